// Recognising a file system by a volume's first bytes. Each file system
// supplies one probe (in its own folder); the walks, the sector scan and the
// naming of mounted volumes run whatever table they are handed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "disk/reader.h"

namespace brantlow {

// A probe sees this many bytes from the volume's first byte (fewer at the
// end of a source): boot sectors, and superblocks or volume headers at 1024.
constexpr size_t kProbeBytes = 4096;

struct ProbeResult {
    std::string fileSystem;    // the name the volume list shows ("NTFS", "FAT32", "FAT64", "extX", "HFS+")
    uint64_t sizeSectors = 0;  // the volume's size in 512-byte sectors by its own header (0: not said)
};

struct ProbeRow {
    const char* family;  // "ntfs", "fat", "exfat", "ext", "hfsplus"
    bool (*probe)(const uint8_t* head, size_t len, ProbeResult& out);
};

using ProbeTable = std::vector<ProbeRow>;

// Runs the table on the bytes at `sector` (512-byte units from the start of
// the source). An empty name: nothing recognised.
ProbeResult identifyVolume(readWriteInterface& reader, uint64_t sector, const ProbeTable& probes);
// The same on bytes already read.
ProbeResult identifyBytes(const uint8_t* head, size_t len, const ProbeTable& probes);

}  // namespace brantlow
