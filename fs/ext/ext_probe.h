// Recognising an ext2/3/4 superblock (at byte 1024 of the volume).
#pragma once

#include <cstddef>
#include <cstdint>

#include "disk/probe.h"

namespace brantlow {

// Probe row: "extX" (the magic 0xEF53), sized by the superblock's block
// count.
bool probeExt(const uint8_t* head, size_t len, ProbeResult& out);
// The superblock describes a plausible geometry (block size, groups, inode
// counts that agree with one another).
bool extGeometryPlausible(const uint8_t* head, size_t len);
// Superblock copies at the start of later block groups record their group
// number: such a copy says where its volume starts.
bool extCopyAt(const uint8_t* head, size_t len, CopyResult& out);

}  // namespace brantlow
