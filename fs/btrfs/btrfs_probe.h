// Recognising Btrfs: the superblock lies 64 KiB into the volume (copies at
// 64 MiB and 256 GiB), so the volume walks read it for themselves; the
// sector scan meets a superblock copy and goes back by the position the
// copy records for itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "disk/probe.h"

namespace brantlow {

bool probeBtrfs(const uint8_t* head, size_t len, ProbeResult& out);
bool btrfsCopyAt(const uint8_t* head, size_t len, CopyResult& out);
bool btrfsScanCheck(const uint8_t* head, size_t len);
bool probeBtrfsVolume(readWriteInterface& reader, uint64_t startByte, uint64_t sizeBytes, ProbeResult& out);

}  // namespace brantlow
