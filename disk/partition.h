// Partition tables (MBR with its extended chain, GPT) and file-system
// identification of a volume's first sectors.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "disk/reader.h"
#include "fs/common/sinks.h"

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
    bool skipFoundVolumes = true;
    std::atomic<bool> stopRequested{false};
    int64_t scanStartSector = 0;
    int64_t scanEndSector = 0;
    bool useGpt = false;

    void status(const std::string& s) { if (owner) owner->setStatus(s); }
    void add(const VolumeEntry& e) { if (owner) owner->addEntry(e); }
};

// What a boot sector or superblock says.
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

// FAT by plausible geometry (or the OEM name "MSDO"), FAT12/16/32 by cluster count.
FatGeometry classifyFatBootSector(const uint8_t* bs, size_t len);
bool isNtfsBootSector(const uint8_t* bs, size_t len);
bool isExfatBootSectorBytes(const uint8_t* bs, size_t len);

bool IsExfatBootSector(readWriteInterface& reader, uint64_t sector);
bool IsHfsPlusVolume(readWriteInterface& reader, uint64_t sector);
bool IsExtVolume(readWriteInterface& reader, uint64_t sector);

// Identifies the volume starting at sector (reader base offset 0 assumed):
// file-system name as the volume list uses it and the size in sectors taken
// from the volume's own header (0 when it does not say). Empty name: not
// recognised.
struct Identified {
    std::string fileSystem;
    uint64_t sizeSectors = 0;
};
Identified identifyVolume(readWriteInterface& reader, uint64_t sector);

// The partition-table walk. Returns 0, or an errno value when a read failed.
int ReadPartitionTables(readWriteInterface& reader, Partition& partition);

// Sizes in the three forms the walks use.
std::string sizeTextMbSpaces3(uint64_t mib);  // "%d   MB"
std::string sizeTextMbSpaces2(uint64_t mib);  // "%lld  MB"

}  // namespace brantlow
