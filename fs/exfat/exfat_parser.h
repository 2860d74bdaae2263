// The exFAT volume parser: boot region, FAT and allocation bitmap, the walk
// of the root and every reachable directory (deleted ones included) over
// whole entry sets, the tree links, the list texts and the writer; and the
// advanced scan, which rebuilds the tree from entry sets found anywhere on
// a volume whose boot sector cannot be trusted.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fs/api/parser.h"
#include "fs/exfat/exfat_chain.h"
#include "fs/exfat/exfat_entry.h"
#include "fs/exfat/exfat_sets.h"
#include "fs/exfat/exfat_volume.h"

namespace brantlow {

inline constexpr const char* kExfatDummyName = "DUMMY ENTRY";
inline constexpr const char* kExfatOrphanName = "ORPHAN ENTRY";

// Damage the scan met and went past, counted by kind for the status line;
// each is also named in the parser's damage log.
struct ExfatProblems {
    uint32_t bootChecksum = 0;     // the boot region's checksum does not match
    uint32_t backupBoot = 0;       // the main boot sector was unusable; the backup was used
    uint32_t fatLoops = 0;         // chains that came back to a cluster they had passed
    uint32_t crossLinks = 0;       // entries sharing clusters with an earlier live entry
    uint32_t notInBitmap = 0;      // live entries with clusters the bitmap marks free
    uint32_t sizeBeyondAllocation = 0;  // streams larger than their chain or the heap
    uint32_t cutSets = 0;          // entry sets cut by the end of their directory
    uint32_t missingStreams = 0;   // File entries without a Stream Extension
    uint32_t badClusters = 0;      // first clusters outside the heap
    uint32_t unreadable = 0;       // directory clusters that could not be read

    uint32_t total() const {
        return bootChecksum + backupBoot + fatLoops + crossLinks + notInBitmap + sizeBeyondAllocation + cutSets +
               missingStreams + badClusters + unreadable;
    }
    // "" when there is nothing to report.
    std::string text() const;
};

// An exFAT time stamp (DOS date and time, 10 ms units, UTC offset byte) as
// an instant. A valid offset (bit 7) gives UTC = stamp - offset; without
// one the stamp is wall time: read as if UTC when asUtcWithoutOffset (the
// listing shows the stored value), else as local time (output files).
OptTime exfatInstant(uint32_t stamp, uint8_t tenMs, uint8_t utcOffset, bool asUtcWithoutOffset);

// Candidate positions for the advanced scan (byte offsets from the volume
// start).
struct ExfatCandidates {
    std::vector<uint64_t> fats;   // sectors that start a FAT (F8 FF FF FF FF FF FF FF)
    std::vector<uint64_t> heaps;  // sectors whose first 8 bytes are FF (a bitmap's start)
};

// One pass over the volume in 10 MiB chunks filling both lists: the FAT
// list stops at maxCount positions, the heap list at maxCount + 1 (maxCount
// <= 0 means 3). Progress 0..1000 and "found fat entry  %d " go to
// progress; stop (polled between chunks) ends the search with what was
// found; gate (may be null) is waited on between chunks. Meant for a worker
// thread: the caller owns the flag and the sink.
ExfatCandidates findExfatCandidates(const VolumeView& volume, int maxCount, ProgressSink* progress,
                                    const std::atomic<bool>* stop, PauseGate* gate = nullptr);

// What the advanced-input page adds from the boot sector: when it is
// accepted, its heap position replaces the first heap candidate (or is the
// only one). Returns the boot sector's cluster exponent counted in 512-byte
// sectors (what the page offers first), or -1.
int applyExfatBootSector(const VolumeView& volume, ExfatCandidates& candidates);

// The sectors-per-cluster exponents offered for a volume: the boot
// sector's own (when >= 0), then 8, 9, 10, 11, then 0 to 7.
std::vector<int> exfatClusterShiftChoices(int bootShift);

// File entries of plausible entry sets anywhere on the volume, in disk
// order, and the last plausible volume label.
struct ExfatSlots {
    std::vector<uint64_t> positions;
    uint64_t labelPosition = 0;  // 0: none
    bool hasLabel = false;
    // The last plausible up-case table entry, and the first clusters of up
    // to 4096 folder sets (for guessing the cluster size).
    bool hasUpcase = false;
    uint32_t upcaseCluster = 0;
    uint64_t upcaseLength = 0;
    uint32_t upcaseChecksum = 0;
    std::vector<uint32_t> folderClusters;
    // Sectors that open like an up-case table (the identity mapping of the
    // first 8 characters), at most 64.
    std::vector<uint64_t> upcaseStarts;
};
ExfatSlots scanForEntrySets(const VolumeView& volume, ProgressSink* progress, const std::atomic<bool>* stop,
                            PauseGate* gate = nullptr);

// The heap position and sectors-per-cluster exponent (0..11) under which
// the found sets fit best: the up-case table's checksum at the place the
// up-case entry names, and folders whose first cluster opens with an entry
// set. Heaps tried: the given candidates, and (deriveHeap) the ones the
// up-case table's place implies for each exponent. shift -1 when nothing
// fits.
struct ExfatGeometryGuess {
    uint64_t heap = 0;
    int shift = -1;
    uint64_t score = 0;
};
ExfatGeometryGuess guessExfatGeometry(const VolumeView& volume, const ExfatSlots& slots,
                                      const std::vector<uint64_t>& heapCandidates, bool deriveHeap);

class Fat64Class : public VolumeParser {
public:
    ScanOutcome scan(ScanContext& ctx) override;
    std::string rejectMessage() const override;
    std::vector<EntryId> children(EntryId folder) const override;
    bool readEntry(EntryId id, EntryInfo& out) const override;
    ListTexts listTexts(EntryId id) const override;
    WriteResult writeContent(EntryId id, ContentSink& out) override;
    void outputTimes(EntryId id, OptTime& accessed, OptTime& modified) const override;
    // From the allocation bitmap the scan read (Standard mode), or in
    // Advanced mode from the current file system's bitmap.
    RecoveryEstimate recoverability(EntryId id) const override;
    std::vector<VolumeRange> contentRanges(EntryId id) const override;
    std::vector<VolumeRange> unallocatedRanges() const override;

    // Standard phases, in the order scan() runs them.
    bool checkBootSector();
    bool readRootDirectory();
    void walkRootDirectory();
    void linkParentChild();
    void fillRootEntries();
    // Chains, sizes, cross-links and the bitmap of the live entries.
    void checkAllocations();
    // Standard mode: free clusters (up to the highest in use) that open with
    // an entry set and that no walk opened, walked as deleted folders whose
    // contents go under ORPHAN ENTRY.
    void findUnreachedFolders();

    // Advanced scan with chosen positions and exponent (the scan page's
    // part; scan() calls it in Advanced mode).
    void buildEntriesFromSlots(const ExfatSlots& slots, uint64_t heapOffset, uint64_t fatOffset, unsigned shift);

    // The clusters of an entry's stream as the writer reads them.
    Chain streamChain(const ExFatEntry& e, uint64_t wantBytes, bool* contiguousGuess = nullptr);

    static ListTexts formatListItem(const ExFatEntry& e);
    static std::string formatSize(const ExFatEntry& e);

    const std::vector<ExFatEntry>& entries() const { return entries_; }
    const ExfatLayout& layout() const { return layout_; }
    const ExfatProblems& problems() const { return problems_; }
    const ExfatBitmap& bitmap() const { return bitmap_; }
    const std::string& volumeLabel() const { return label_; }
    bool bootAccepted() const { return bootAccepted_; }
    // Advanced mode: what the scan searched and chose.
    const ExfatCandidates& candidates() const { return candidates_; }
    int chosenClusterShift() const { return chosenShift_; }

private:
    struct DirJob {
        uint32_t index;
        bool deletedTree;
    };
    bool polledStop();
    // Counts a problem (counter may be null) and names it in the damage log.
    void damaged(uint32_t ExfatProblems::*counter, const char* structure, uint64_t offset, std::string what,
                 bool kept = true);
    // Counts and notes what is wrong with a set (its File entry at position).
    void noteSet(const ParsedSet& s, uint64_t position);
    bool readDirectory(const ExFatEntry* dir, bool deletedTree, std::vector<uint8_t>& buf,
                       std::vector<uint32_t>& clusters);
    void addSets(ParsedDirectory& dir, const std::vector<uint32_t>& clusters, uint32_t parent,
                 bool deletedTree);
    void runJobs();
    void loadBitmap(const ParsedDirectory& root);
    // The allocation bitmap that root names, read in layout through fat
    // (bits: one per cluster from cluster 2).
    static bool readBitmap(const VolumeView& volume, const ExfatLayout& layout, ExfatFat& fat,
                           const ParsedDirectory& root, std::vector<uint8_t>& bits, uint32_t& clusters);
    // Advanced mode: the bitmap of the file system the boot sector
    // describes now, when it is exFAT (none otherwise).
    void loadCurrentMap();
    void computeStates();
    bool isAncestor(uint32_t maybeAncestor, uint32_t of) const;
    ScanOutcome advancedScan(ScanContext& ctx);
    uint32_t ensureOrphanFolder();
    uint64_t positionOf(const std::vector<uint32_t>& clusters, size_t offset) const;

    bool driveFormatted_ = false;
    bool failed_ = false;
    bool advanced_ = false;
    bool bootAccepted_ = false;
    ScanContext* ctx_ = nullptr;
    VolumeView volume_;
    ExfatLayout layout_;
    ExfatFat fat_;
    ExfatBitmap bitmap_;
    // Advanced mode: the geometry and bitmap of the file system on the
    // volume now, kept apart from the guessed layout the entries are read in.
    ExfatLayout nowLayout_;
    AllocationMap nowMap_;
    StartClusters starts_;  // every entry's first cluster (the contiguous rule's check)
    ExfatProblems problems_;
    std::string label_;
    std::vector<uint8_t> rootBuffer_;
    std::vector<uint32_t> rootClusters_;
    std::vector<ExFatEntry> entries_;
    std::vector<DirJob> liveJobs_, deletedJobs_;
    std::unordered_set<uint32_t> visitedLive_, visitedDeleted_;
    // Advanced mode: File entry positions already turned into entries.
    std::unordered_map<uint64_t, uint32_t> seenSlots_;
    ExfatCandidates candidates_;
    int chosenShift_ = -1;
    uint32_t orphanIndex_ = kNoExfatEntry;  // ORPHAN ENTRY, when there is one
    std::atomic<uint64_t> noTimesFor_{~0ull};
};

}  // namespace brantlow
