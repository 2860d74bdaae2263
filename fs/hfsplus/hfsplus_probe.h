// Recognising an HFS+ volume header (at byte 1024 of the volume).
#pragma once

#include <cstddef>
#include <cstdint>

#include "disk/probe.h"

namespace brantlow {

// Probe row: "HFS+" (HFSX too), sized by block size × total blocks.
bool probeHfsPlus(const uint8_t* head, size_t len, ProbeResult& out);

}  // namespace brantlow
