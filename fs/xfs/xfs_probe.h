// Recognising an XFS superblock (sector 0 of the volume, and a copy at the
// start of every later allocation group).
#pragma once

#include <cstddef>
#include <cstdint>

#include "disk/probe.h"

namespace brantlow {

// Probe row: "XFS" (the magic "XFSB" and a version the program reads),
// sized by the superblock's block count when its geometry holds.
bool probeXfs(const uint8_t* head, size_t len, ProbeResult& out);
// The superblock's geometry holds together (sizes, AG count and size).
bool xfsGeometryPlausible(const uint8_t* head, size_t len);
// A superblock copy is followed by its AG's free-space header, which
// names the AG: such a copy says where its volume starts.
bool xfsCopyAt(const uint8_t* head, size_t len, CopyResult& out);

}  // namespace brantlow
