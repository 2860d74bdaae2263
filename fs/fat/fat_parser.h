// FAT12, FAT16 and FAT32 volume parsers: boot sector, FAT, the walk of the root and
// every reachable directory (deleted ones included), the tree links, the
// list texts and the writer.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <unordered_set>
#include <vector>

#include "fs/api/parser.h"
#include "fs/fat/fat_entry.h"
#include "fs/fat/fat_slots.h"
#include "fs/fat/fat_volume.h"

namespace brantlow {

// Names of the two placeholder folders.
inline constexpr const char* kFatDummyName = "DUMMY ENTRY";
inline constexpr const char* kFatOrphanName = "ORPHAN ENTRY";

// Advanced mode: byte positions (from the volume start) of 512-byte sectors
// that open a FAT of this kind (FAT16: F8 FF FF FF; FAT32: FAT[0] = 0x0FFFFFF8
// and FAT[1] = 0x0FFFFFFF in their low 28 bits), in disk order, at most
// maxCount (< 1: 3). Reads 10 MiB chunks; progress 0..1000 and "found fat
// entry  %d "; stop and gate are polled between chunks.
std::vector<uint64_t> findFatCandidates(const VolumeView& volume, FatKind kind, int maxCount, ProgressSink* progress,
                                        const std::atomic<bool>* stop, PauseGate* gate = nullptr);

// A cluster that opens a folder: "." (pointing at itself) and ".." slots.
// self and parent get their first clusters.
bool fatDirectoryStart(const uint8_t* p, size_t n, bool fat32, uint32_t* self, uint32_t* parent);

// True when every 32-byte slot of a cluster is a plausible directory slot
// (short slots with a valid name and dates, long-name slots, zero slots)
// and at least one short slot is there: a folder's later cluster, or one
// whose chain is lost.
bool fatLooksLikeDirectory(const uint8_t* p, size_t n, uint32_t lastCluster, uint64_t volumeBytes);

// The geometry the folders on a volume agree with when its boot sector is
// gone: cluster size and data start voted for by every "." slot found (its
// position against the cluster it names), the FAT at fatPos, its size from
// the distance of the first two FAT candidates. shift >= 0 fixes the
// cluster size (512 << shift). kind None when no folder was found.
// With tally: how many "." slots the best geometry has, and how many agree
// with boot's (cluster size and data start).
struct FatGeometryVotes {
    unsigned best = 0;
    unsigned boot = 0;
};
FatLayout guessFatLayout(const VolumeView& volume, FatKind kind, uint64_t fatPos, const std::vector<uint64_t>& fats,
                         int shift, ProgressSink* progress, const std::atomic<bool>* stop, PauseGate* gate = nullptr,
                         const FatLayout* boot = nullptr, FatGeometryVotes* tally = nullptr);

// The vote itself, over "." slots found elsewhere (byte position, the
// cluster it names); fatSize 0 when unknown, total the volume's bytes.
FatLayout fatLayoutFromDots(const std::vector<std::pair<uint64_t, uint32_t>>& dots, FatKind kind, uint64_t fatPos,
                            uint64_t fatSize, int shift, uint64_t total, const FatLayout* boot = nullptr,
                            FatGeometryVotes* tally = nullptr);

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
    std::vector<VolumeRange> contentRanges(EntryId id) const override;
    std::optional<uint64_t> plainContentLength(EntryId id) const override;
    void loadAllocationMap() const override;
    std::vector<VolumeRange> unallocatedRanges() const override;

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

    // Folders no walk reached, searched among the clusters: their first
    // clusters (opened by "." and "..") and clusters that look like folder
    // clusters whose chain is lost (a deleted folder's later clusters, past
    // clusters in use). Standard mode searches the free clusters only.
    void scanForDirectorySlots(bool freeOnly);
    // Turns what the search found into entries under ORPHAN ENTRY (the
    // folders' contents, walked like deleted folders).
    void buildEntriesFromSlots();
    uint32_t orphanIndex() const { return orphanIndex_; }
    // Advanced mode on a sound boot sector: when the "." slots the search
    // met agree with another cluster size and data start more often than
    // with the boot sector's (the file system this one was formatted over),
    // walks again with that geometry. True when it did.
    bool takeEarlierGeometry();

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
    // Reads a directory's clusters (the chain, bounded) into buf, their
    // numbers into clusters; empty when the first cluster does not open with
    // a dot slot or was walked already.
    bool readDirectory(uint32_t cluster, bool deletedTree, std::vector<uint8_t>& buf, std::vector<uint32_t>& clusters);
    // Puts what the slot decoders refused in the damage log: the buffer
    // held clusters (in order), or a region at regionOffset when empty.
    void noteSlots(const std::vector<SlotNote>& notes, const std::vector<uint32_t>& clusters, uint64_t regionOffset);
    bool polledStop();
    // The FAT as a bitmap (a cluster is in use when its entry is not 0),
    // read once; Standard mode on a drive that was not formatted only.
    const AllocationMap& allocationMap() const;
    void runJobs(const SlotParseOptions& opt);
    SlotParseOptions slotOptions() const;
    uint32_t ensureOrphanFolder();
    bool advancedLayout(ScanContext& ctx);

    FatKind kind_;
    // "Is Drive Formated..?" (from the scan's options): every FAT lookup
    // reports the end of the chain, so directories give their first cluster
    // only and files are read from contiguous clusters.
    bool driveFormatted_ = false;
    FatLayout layout_;
    // The geometry the boot sector gives (invalid: none): the file system on
    // the volume now, whose FAT is the allocation map in every mode.
    FatLayout bootLayout_;
    bool formattedOption_ = false;  // "Is Drive Formated..?" chosen
    const FatLayout& mapLayout() const;
    FatTable fat_;
    VolumeView volume_;
    ScanContext* ctx_ = nullptr;
    std::vector<uint8_t> rootBuffer_;
    std::vector<uint32_t> rootClusters_;  // FAT32: the root's clusters in rootBuffer_
    std::vector<FatEntry> entries_;
    std::vector<DirJob> liveJobs_, deletedJobs_;
    // Directory clusters opened by walks of live folders, and by walks of
    // deleted ones (a deleted folder never takes a live folder's cluster).
    std::unordered_set<uint32_t> visitedLive_, visitedDeleted_;
    bool advanced_ = false;
    uint32_t orphanIndex_ = kNoEntry;
    bool voteDots_ = false;
    std::vector<std::pair<uint64_t, uint32_t>> dots_;  // "." slots met by the search (position, cluster)
    unsigned foldersOpened_ = 0;                       // folders the walks opened
    std::vector<uint32_t> foundStarts_;  // folder first clusters no walk reached
    std::vector<uint32_t> foundLoose_;   // folder-like clusters no walk reached
    std::atomic<uint64_t> noTimesFor_{~0ull};
    bool standardMode_ = true;
    LazyAllocationMap allocation_;
    StartClusters starts_;  // every entry's first cluster (the contiguous rule's check)
};

class Fat16Class : public FatParser {
public:
    Fat16Class() : FatParser(FatKind::Fat16) {}
};

class Fat12Class : public FatParser {
public:
    Fat12Class() : FatParser(FatKind::Fat12) {}
};

class Fat32Class : public FatParser {
public:
    Fat32Class() : FatParser(FatKind::Fat32) {}
};

}  // namespace brantlow
