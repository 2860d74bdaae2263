// Recognising an exFAT boot sector.
#pragma once

#include <cstddef>
#include <cstdint>

#include "disk/probe.h"

namespace brantlow {

bool isExfatBootSector(const uint8_t* bs, size_t len);
// Probe row: "FAT64", sized by the boot sector's volume length.
bool probeExfat(const uint8_t* head, size_t len, ProbeResult& out);

}  // namespace brantlow
