// Partition tables (MBR with its extended chain, GPT): the volumes a disk
// lists, each named through the file systems' probe table.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/sinks.h"
#include "disk/probe.h"
#include "disk/reader.h"

namespace brantlow {

// One candidate volume.
struct VolumeEntry {
    std::string fileSystem;    // a name of the probe table's kinds, "Unknown", a GPT name...
    std::string rootPath;      // mount point of a mounted volume; empty for volumes found on a disk
    // Decimal sequence number, or the device path of a mounted volume; a
    // volume inside a layer adds its own number to its parent's ("1/0").
    std::string volumeNumber;
    std::string sizeText;      // as shown in VOLUME_SIZE
    uint64_t startSector = 0;  // 512-byte sectors from the start of `reader` (the disk when null)
    uint64_t sizeSectors = 0;  // exact size in 512-byte sectors (0: unknown)
    // Volumes inside a layer (a decrypted container, a logical volume): the
    // reader of what the layer yields, the parent volume's number and what
    // holds it ("LV vg0/home on 1"). Null and empty at the top.
    std::shared_ptr<readWriteInterface> reader;
    std::string parent;
    std::string within;
    // A layer that could not be opened (it needs an answer, or failed):
    // what it holds is not listed; why, for the operator.
    std::string layerNote;
    // What a save's summary says of files read through its layers ("the
    // files were written decrypted (read through LUKS2 … on 1)").
    std::string outputNote;
    // A member of a set (a RAID set, a volume group over several disks)
    // opened under another volume: that volume's number.
    std::string memberOf;
    // Other file systems recognised at the same place (ProbeResult).
    std::vector<ProbeResult::Other> alsoLooksLike;
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
    // The stop of a scan this one runs inside (a scan inside a decrypted
    // volume found by the scan of the disk), or null.
    const std::atomic<bool>* outerStop = nullptr;
    bool stopping() const {
        return stopRequested.load(std::memory_order_relaxed) ||
               (outerStop && outerStop->load(std::memory_order_relaxed));
    }
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
