// Recognising an ext2/3/4 superblock (at byte 1024 of the volume).
#pragma once

#include <cstddef>
#include <cstdint>

#include "disk/probe.h"

namespace brantlow {

// Probe row: "extX", sized by the superblock's block count. The superblock
// must describe a plausible geometry (block size, groups, inode counts that
// agree), so that the two magic bytes alone do not name a volume.
bool probeExt(const uint8_t* head, size_t len, ProbeResult& out);
// Superblock copies at the start of later block groups record their group
// number: such a copy says where its volume starts.
bool extCopyAt(const uint8_t* head, size_t len, CopyResult& out);

}  // namespace brantlow
