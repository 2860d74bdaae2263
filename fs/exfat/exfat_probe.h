// Recognising an exFAT boot sector.
#pragma once

#include <cstddef>
#include <cstdint>

#include "disk/probe.h"

namespace brantlow {

bool isExfatBootSector(const uint8_t* bs, size_t len);
// Probe row: "FAT64", sized by the boot sector's volume length.
bool probeExfat(const uint8_t* head, size_t len, ProbeResult& out);
// The backup boot region starts 12 sectors into the volume: a boot sector
// may be its first sector.
bool exfatCopyAt(const uint8_t* head, size_t len, CopyResult& out);
// The volume starts at startSector when its first FAT begins there with the
// media entry 0xFFFFFFF8.
bool exfatConfirm(readWriteInterface& reader, uint64_t startSector, const uint8_t* head, size_t len);

}  // namespace brantlow
