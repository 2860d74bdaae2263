// Recognising an ext2/3/4 superblock (at byte 1024 of the volume).
#pragma once

#include <cstddef>
#include <cstdint>

#include "disk/probe.h"

namespace brantlow {

// Probe row: "extX", sized by the superblock's block count.
bool probeExt(const uint8_t* head, size_t len, ProbeResult& out);

}  // namespace brantlow
