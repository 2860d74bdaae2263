// Recognising an NTFS boot sector.
#pragma once

#include <cstddef>
#include <cstdint>

#include "disk/probe.h"

namespace brantlow {

bool isNtfsBootSector(const uint8_t* bs, size_t len);
// Probe row: "NTFS", sized by the boot sector's sector count.
bool probeNtfs(const uint8_t* head, size_t len, ProbeResult& out);

}  // namespace brantlow
