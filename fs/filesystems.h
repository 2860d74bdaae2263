// The file systems this program reads: one probe row (recognising the boot
// sector or superblock) and one parser row each. Adding a file system is a
// folder under fs/ plus its two rows here.
#pragma once

#include <vector>

#include "disk/probe.h"
#include "fs/api/parser.h"

namespace brantlow {

// In recognition order.
const ProbeTable& probeTable();
// In selection order.
const std::vector<ParserRow>& parserTable();

}  // namespace brantlow
