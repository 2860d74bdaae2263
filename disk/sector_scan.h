// The sector scan: finds volumes whose partition-table entries are lost by
// looking at every sector of the disk (or of a range) for a volume's first
// structure, through the file systems' probe table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "disk/partition.h"
#include "disk/probe.h"
#include "disk/reader.h"

namespace brantlow {

// The disk is read in pieces of this size (the window also holds the few
// kilobytes a probe looks at beyond a sector).
constexpr size_t kScanChunkBytes = 4u << 20;
// The scan ends after this many volumes (a disk made of boot-sector copies
// would otherwise fill memory).
constexpr uint64_t kMaxScanVolumes = 100000;

struct SectorScanResult {
    uint64_t firstSector = 0;        // the range examined, in 512-byte sectors
    uint64_t lastSector = 0;         // inclusive; 0 with firstSector 0 and nothing examined: empty
    uint64_t sectorsRead = 0;        // sectors read from the disk (skipped volume bodies are not read)
    uint64_t unreadableSectors = 0;  // sectors that could not be read: skipped, taken as zeros
    uint64_t volumesFound = 0;
    bool stopped = false;            // ended by stopRequested
    uint64_t endedAt = 0;            // the first sector not examined (lastSector + 1 when the scan ran to its end)
    bool tooMany = false;            // ended at kMaxScanVolumes
};

// Looks at every 512-byte sector from partition.scanStartSector (0: the
// first) to partition.scanEndSector (0: the last) for the start of a
// volume. Each volume of at least 1 MiB is handed to partition.owner as it
// is found, numbered from "0" in the order found. With
// partition.skipFoundVolumes the scan goes on behind each volume found.
// A copy of a volume's first structure whose original is gone (NTFS backup
// boot sector, FAT32 and exFAT backup boot sectors, ext superblock copies,
// the HFS+ alternate header) gives the volume at its real start.
// Unreadable sectors are skipped and counted. Progress goes to
// partition.progress (range 1000); partition.pause is waited on between
// reads; partition.stopRequested ends the scan with "Scanned Partitions".
//
// With hooks, the scan is asked between reads whether a checkpoint is due
// and then hands over where it stands; hooks->resume goes on from one (the
// volumes found before it were handed over then), to the result of a scan
// that never stopped.
struct SectorScanProgress {
    uint64_t next = 0;  // the next sector to look at
    uint64_t sectorsRead = 0, unreadableSectors = 0, volumesFound = 0;
    std::vector<std::pair<std::string, long long>> counts;  // volumes of each kind, for the status texts
    std::vector<std::pair<uint64_t, uint64_t>> reported;    // (start sector, probe row) of each volume listed
    struct Listed {
        uint64_t start = 0, end = 0, row = 0;
        std::string identity;
    };
    std::vector<Listed> withIdentity;
};
struct SectorScanHooks {
    std::function<bool()> checkpointDue;
    std::function<void(const SectorScanProgress&)> checkpoint;
    const SectorScanProgress* resume = nullptr;
};
SectorScanResult ScanForFileSystems(readWriteInterface& reader, Partition& partition, const ProbeTable& probes,
                                    size_t chunkBytes = kScanChunkBytes, SectorScanHooks* hooks = nullptr);

}  // namespace brantlow
