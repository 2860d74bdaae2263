// FAT16 and FAT32 volume parsers: boot sector, FAT, the walk of the root and
// every reachable directory (deleted ones included), the tree links, the
// list texts and the writer.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "fs/api/parser.h"
#include "fs/fat/fat_entry.h"
#include "fs/fat/fat_slots.h"
#include "fs/fat/fat_volume.h"

namespace brantlow {

class FatParser : public VolumeParser {
public:
    ScanOutcome scan(ScanContext& ctx) override;
    std::string rejectMessage() const override;
    std::vector<EntryId> children(EntryId folder) const override;
    bool readEntry(EntryId id, EntryInfo& out) const override;
    ListTexts listTexts(EntryId id) const override;
    WriteResult writeContent(EntryId id, ContentSink& out) override;
    void outputTimes(EntryId id, OptTime& accessed, OptTime& modified) const override;
    RecoveryEstimate recoverability(EntryId id) const override;
    void loadAllocationMap() const override;

    // The phases, in the order scan() runs them.
    bool checkBootSector();
    void readRootDirectory();
    void walkRootDirectory();
    void linkParentChild();
    void fillRootEntries();

    // The next cluster of a chain, 0 at its end.
    uint32_t nextCluster(uint32_t c);
    // Writes one file's content (the FAT chain, or contiguous clusters
    // for a deleted file whose chain was freed). Partial when the chain,
    // or the volume, ends before the recorded size.
    WriteResult writeEntryToFile(const FatEntry& entry, ContentSink& out, bool* timesAllowed = nullptr);

    // "%02d/%02d/%d  %02d:%02d AM|PM" texts, the access date alone with a
    // trailing blank, and "-R-H-S-A".
    static ListTexts formatListItem(const FatEntry& e);
    static std::string formatSize(const FatEntry& e);

    const std::vector<FatEntry>& entries() const { return entries_; }
    const FatLayout& layout() const { return layout_; }
    uint32_t firstCluster(const FatEntry& e) const;

protected:
    explicit FatParser(FatKind kind) : kind_(kind) {}

private:
    struct DirJob {
        uint32_t index;
        uint32_t cluster;
        bool deletedTree;
    };
    void addSlots(const std::vector<ParsedSlot>& slots, uint32_t parent, bool deletedTree);
    // Reads a directory's clusters (the chain, bounded); empty when the
    // first cluster does not open with a dot slot or was walked already.
    bool readDirectory(uint32_t cluster, bool deletedTree, std::vector<uint8_t>& buf);
    bool polledStop();
    // The FAT as a bitmap (a cluster is in use when its entry is not 0),
    // read once; Standard mode on a drive that was not formatted only.
    const AllocationMap& allocationMap() const;

    FatKind kind_;
    // "Is Drive Formated..?" (from the scan's options): every FAT lookup
    // reports the end of the chain, so directories give their first cluster
    // only and files are read from contiguous clusters.
    bool driveFormatted_ = false;
    FatLayout layout_;
    FatTable fat_;
    VolumeView volume_;
    ScanContext* ctx_ = nullptr;
    std::vector<uint8_t> rootBuffer_;
    std::vector<FatEntry> entries_;
    std::vector<DirJob> liveJobs_, deletedJobs_;
    // Directory clusters opened by walks of live folders, and by walks of
    // deleted ones (a deleted folder never takes a live folder's cluster).
    std::unordered_set<uint32_t> visitedLive_, visitedDeleted_;
    bool rejectedFat12_ = false;
    std::atomic<uint64_t> noTimesFor_{~0ull};
    bool standardMode_ = true;
    LazyAllocationMap allocation_;
};

class Fat16Class : public FatParser {
public:
    Fat16Class() : FatParser(FatKind::Fat16) {}
};

class Fat32Class : public FatParser {
public:
    Fat32Class() : FatParser(FatKind::Fat32) {}
};

}  // namespace brantlow
