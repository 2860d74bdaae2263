// Test helpers for partition tables written byte by byte: little-endian
// stores, an MBR-style slot, and a PartitionOwner that keeps what a walk
// reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk/partition.h"

namespace brantlow::test {

inline void put16(std::vector<uint8_t>& d, size_t off, uint16_t v) {
    d[off] = v & 0xFF;
    d[off + 1] = v >> 8;
}
inline void put32(std::vector<uint8_t>& d, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) d[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put64(std::vector<uint8_t>& d, size_t off, uint64_t v) {
    for (int i = 0; i < 8; ++i) d[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

// One MBR-style slot in the table sector at byte base, and its signature.
inline void slot(std::vector<uint8_t>& d, size_t base, int i, uint8_t type, uint32_t first, uint32_t count) {
    size_t off = base + 446 + 16 * i;
    d[off + 4] = type;
    put32(d, off + 8, first);
    put32(d, off + 12, count);
    d[base + 510] = 0x55;
    d[base + 511] = 0xAA;
}

class Collect : public PartitionOwner {
public:
    std::vector<VolumeEntry> entries;
    std::vector<std::string> statuses;
    void addEntry(const VolumeEntry& e) override { entries.push_back(e); }
    void setStatus(const std::string& s) override { statuses.push_back(s); }
};

}  // namespace brantlow::test
