// Recognising an NTFS boot sector.
#pragma once

#include <cstddef>
#include <cstdint>

#include "disk/probe.h"

namespace brantlow {

bool isNtfsBootSector(const uint8_t* bs, size_t len);
// Probe row: "NTFS", sized by the boot sector's sector count.
bool probeNtfs(const uint8_t* head, size_t len, ProbeResult& out);
// The backup boot sector sits in the sector after those the boot sector
// counts: a boot sector may be that copy.
bool ntfsCopyAt(const uint8_t* head, size_t len, CopyResult& out);
// The volume starts at startSector when an MFT record ("FILE") lies where
// the boot sector puts $MFT or $MFTMirr.
bool ntfsConfirm(readWriteInterface& reader, uint64_t startSector, const uint8_t* head, size_t len);

}  // namespace brantlow
