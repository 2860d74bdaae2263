// Recognising a FAT boot sector: plausible geometry (or the OEM name
// "MSDO"); FAT32 by its layout, FAT12/16/32 otherwise by cluster count.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/decoded.h"
#include "disk/probe.h"

namespace brantlow {

enum class FatKind { None, Fat12, Fat16, Fat32 };

struct FatGeometry {
    FatKind kind = FatKind::None;
    uint32_t bytesPerSector = 0;
    uint32_t sectorsPerCluster = 0;
    uint32_t reservedSectors = 0;
    uint32_t fatCount = 0;
    uint32_t rootEntries = 0;
    uint64_t totalSectors = 0;   // in the boot sector's own sectors
    uint64_t sectorsPerFat = 0;
    uint64_t clusterCount = 0;
};

// The boot sector's BIOS parameter block: refused (with the reason) when
// its geometry is not plausible (odd values pass when the OEM name starts
// with "MSDO"). FAT32 when sectors-per-FAT lives at byte 36 alone and no
// fixed root is given, whatever the cluster count; otherwise FAT12, FAT16
// or FAT32 by cluster count.
Decoded<FatGeometry> decodeFatBootSector(const uint8_t* bs, size_t len);
// The geometry alone: kind None when refused.
FatGeometry classifyFatBootSector(const uint8_t* bs, size_t len);
// Probe row: "FAT12", "FAT16" or "FAT32".
bool probeFat(const uint8_t* head, size_t len, ProbeResult& out);
// FAT32 keeps a copy of its boot sector in the reserved sectors (the sector
// its byte 50 names, usually 6): a boot sector may be that copy.
bool fatCopyAt(const uint8_t* head, size_t len, CopyResult& out);
// The volume starts at startSector when its first FAT begins there with the
// media byte and the end-of-chain marks of entries 0 and 1.
bool fatConfirm(readWriteInterface& reader, uint64_t startSector, const uint8_t* head, size_t len);

}  // namespace brantlow
