// Recognising an HFS+ volume header (at byte 1024 of the volume).
#pragma once

#include <cstddef>
#include <cstdint>

#include "disk/probe.h"

namespace brantlow {

// Probe row: "HFS+" (HFSX too), sized by block size × total blocks.
bool probeHfsPlus(const uint8_t* head, size_t len, ProbeResult& out);
// The alternate volume header lies 1024 bytes before the end of the volume:
// a header may be that copy.
bool hfsPlusCopyAt(const uint8_t* head, size_t len, CopyResult& out);
// The volume starts at startSector when the catalog (or extents overflow)
// file's first block there holds a B-tree header node.
bool hfsPlusConfirm(readWriteInterface& reader, uint64_t startSector, const uint8_t* head, size_t len);

}  // namespace brantlow
