// Partition tables (MBR with its extended chain, GPT): the volumes a disk
// lists, each named through the file systems' probe table.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/sinks.h"
#include "disk/probe.h"
#include "disk/reader.h"

namespace brantlow {

// One candidate volume.
struct VolumeEntry {
    std::string fileSystem;    // "NTFS", "FAT16", "FAT32", "FAT64", "extX", "HFS+", "Unknown", a GPT name...
    std::string rootPath;      // mount point of a mounted volume; empty for volumes found on a disk
    std::string volumeNumber;  // decimal sequence number, or the device path of a mounted volume
    std::string sizeText;      // as shown in VOLUME_SIZE
    uint64_t startSector = 0;  // 512-byte sectors from the start of the disk
    uint64_t sizeSectors = 0;  // exact size in 512-byte sectors (0: unknown)
};

// Receives what a walk or scan finds.
class PartitionOwner {
public:
    virtual ~PartitionOwner() = default;
    virtual void addEntry(const VolumeEntry& e) = 0;
    virtual void setStatus(const std::string& text) { (void)text; }
};

// Runs one procedure (partition-table walk, or the sector scan).
class Partition {
public:
    PartitionOwner* owner = nullptr;
    ProgressSink* progress = nullptr;  // sector scan: range 0..1000 and positions
    PauseGate* pause = nullptr;        // sector scan: waited on between reads
    bool skipFoundVolumes = true;
    std::atomic<bool> stopRequested{false};
    int64_t scanStartSector = 0;
    int64_t scanEndSector = 0;
    bool useGpt = false;

    void status(const std::string& s) { if (owner) owner->setStatus(s); }
    void add(const VolumeEntry& e) { if (owner) owner->addEntry(e); }
};

// The partition-table walk. Returns 0, or an errno value when a read failed.
int ReadPartitionTables(readWriteInterface& reader, Partition& partition, const ProbeTable& probes);

// Sizes in the three forms the walks use.
std::string sizeTextMbSpaces3(uint64_t mib);  // "%d   MB"
std::string sizeTextMbSpaces2(uint64_t mib);  // "%lld  MB"

}  // namespace brantlow
