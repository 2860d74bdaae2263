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
    // The sectors the volume occupies when more than sizeSectors (NTFS: the
    // backup boot sector follows the sectors its header counts); 0: the same.
    uint64_t spanSectors = 0;
    // Bytes that name this one volume (a UUID), when the probe knows them:
    // the sector scan takes a structure with the identity of a volume it
    // lies in for a copy kept by that volume (superblock copies, journal
    // blocks), not a volume of its own.
    std::string identity;
};

// What a copy of a volume's first structure (a backup boot sector, a
// superblock copy, an alternate volume header) says about where its volume
// starts.
struct CopyResult {
    // 512-byte sectors from the volume's first sector to the bytes the probe
    // looked at.
    uint64_t sectorsIn = 0;
    // The copy names itself as one (an ext superblock copy records its
    // group); otherwise its bytes equal the original's and only what the
    // structure points to tells them apart.
    bool certain = false;
};

struct ProbeRow {
    const char* family;  // "ntfs", "fat", "exfat", "ext", "hfsplus"
    bool (*probe)(const uint8_t* head, size_t len, ProbeResult& out);
    // Optional, for the sector scan: the bytes `probe` recognised may be a
    // copy kept further into the volume; where would that volume start?
    // False: they cannot be a copy.
    bool (*copyAt)(const uint8_t* head, size_t len, CopyResult& out) = nullptr;
    // Optional, for the sector scan: whether a volume whose first structure
    // reads as `head` really starts at `startSector` (512-byte units of the
    // source): what that structure points to is found there. A few small
    // reads.
    bool (*confirm)(readWriteInterface& reader, uint64_t startSector, const uint8_t* head, size_t len) = nullptr;
    // Optional, for the sector scan, which looks at every sector rather than
    // where a table points: a stricter test the bytes must pass as well (a
    // two-byte magic alone turns up in ordinary data).
    bool (*scanCheck)(const uint8_t* head, size_t len) = nullptr;
};

using ProbeTable = std::vector<ProbeRow>;

// Runs the table on the bytes at `sector` (512-byte units from the start of
// the source). An empty name: nothing recognised.
ProbeResult identifyVolume(readWriteInterface& reader, uint64_t sector, const ProbeTable& probes);
// The same on bytes already read.
ProbeResult identifyBytes(const uint8_t* head, size_t len, const ProbeTable& probes);

}  // namespace brantlow
