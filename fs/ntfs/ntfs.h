// The NTFS volume parser: boot sector and MFT location, one entry per MFT
// record (live and deleted alike), the folder tree rebuilt from the parent
// references with an ORPHAN_ENTRY folder for what cannot be placed, and the
// content writer (resident, non-resident, sparse, LZNT1, attribute lists).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "fs/api/parser.h"
#include "fs/ntfs/ntfs_record.h"

namespace brantlow {

// Name of the synthetic folder that collects every entry that cannot be
// placed under its parent.
inline constexpr const char* ORPHAN_ENTRY = "ORPHAN_ENTRY";

// One row of the entry table. In Standard mode the index is the MFT record
// number. Kept small (72 bytes): the table holds one row per MFT record, and
// a large volume has millions. Links are table indexes (the table never
// holds more than kMaxNtfsEntries rows: a deep search stops there).
struct NtfsEntry {
    uint64_t recordOffset = 0;  // byte position of the record in the volume
    uint64_t dataSize = 0;      // real size of the unnamed data stream
    uint64_t created = 0, modified = 0, accessed = 0;  // FILETIME
    uint32_t nameOffset = 0;    // into the name pool (UTF-8)
    int32_t parentIndex = 0;    // -1: a parent the table cannot hold
    int32_t firstChild = 0;     // 0 or negative: none
    int32_t nextSibling = 0;    // 0 or negative: none
    uint16_t recordFlags = 0;   // 0x0001 in use, 0x0002 directory
    uint16_t sequence = 0;      // record header sequence number
    uint16_t parentSequence = 0;
    uint16_t fileAttributes = 0;  // low half of the $FILE_NAME flags (list letters)
    uint16_t nameLength = 0;
    char kind = 0;              // 'D' for a directory
    uint8_t unlinked = 0;       // no place under its parent: goes to ORPHAN_ENTRY
    uint8_t bits = 0;           // kHas* below

    enum : uint8_t {
        kHasName = 1,
        kHasAttrList = 2,
        kHasStreams = 4,
        kUnderOrphan = 8,
        kSizeFromExtension = 16,  // dataSize came from an extension record
        kHasOwnData = 32,         // the record holds its unnamed data (VCN 0)
        kExtension = 64,          // an extension record of another file
        kNameFromExtension = 128, // the name came from an extension record
    };
    bool hasName() const { return bits & kHasName; }
};

// The most rows the entry table holds (its links are 32-bit).
inline constexpr uint64_t kMaxNtfsEntries = 0x7FFF0000;

// Set in NtfsEntry::recordFlags (a bit NTFS leaves unused) on records found
// after the end of the chosen MFT in Advanced mode: they belong to an
// earlier file system and hang only under folders of that one (or the root).
inline constexpr uint16_t kRecordPrevious = 0x8000;
// With kRecordPrevious: the record was in use in its own file system (its
// in-use flag is cleared, since the current one has forgotten it).
inline constexpr uint16_t kRecordWasInUse = 0x4000;

// A named data stream of a file.
struct NtfsStream {
    uint32_t entry = 0;
    uint32_t nameOffset = 0;  // stream name, UTF-8, in the name pool
    uint32_t nameLength = 0;
    uint64_t size = 0;
};

// Where an attribute's data lies: the resident value, or the runs of all its
// extents in VCN order, with the sizes of its first extent.
struct DataPlan {
    bool found = false;
    bool resident = false;
    std::vector<uint8_t> residentBytes;
    std::vector<NtfsRun> runs;
    std::vector<NtfsRun> firstExtentRuns;  // runs of the extent at VCN 0
    bool complete = true;  // false when an extent could not be found
    uint64_t realSize = 0, initializedSize = 0, allocatedSize = 0;
    uint16_t flags = 0;
    uint16_t unitExponent = 0;
    bool fromList = false;  // gathered through an attribute list
    uint64_t clusterBytes = 0;  // the cluster size its runs count in (0: the volume's)
};

// A place where an MFT starts, found by the advanced candidate search: a
// record named "$MFT" followed by "$MFTMirr" (the MFT itself, or the copy in
// the mirror) or with "$Boot" seven records later.
struct MftCandidate {
    uint64_t offset = 0;       // byte position of the $MFT record in the volume
    uint64_t clusterSize = 0;  // cluster size its runs agree with; 0 unknown
    bool complete = false;     // "$Boot" seven records later: a whole MFT start
    bool mirror = false;       // the copy in $MFTMirr (its runs name the MFT)
};

// Stream ids handed out by streams() start here (entry ids are table indexes).
inline constexpr EntryId kNtfsStreamBase = 1ull << 62;

class ntfs : public VolumeParser {
public:
    ntfs();
    ~ntfs() override;

    // VolumeParser
    ScanOutcome scan(ScanContext& ctx) override;
    std::string rejectMessage() const override;
    std::vector<EntryId> children(EntryId folder) const override;
    bool readEntry(EntryId id, EntryInfo& out) const override;
    ListTexts listTexts(EntryId id) const override;
    WriteResult writeContent(EntryId id, ContentSink& out) override;
    std::vector<EntryId> streams(EntryId id) const override;
    RecoveryEstimate recoverability(EntryId id) const override;
    std::vector<VolumeRange> contentRanges(EntryId id) const override;
    std::optional<uint64_t> plainContentLength(EntryId id) const override;
    void loadAllocationMap() const override;
    std::vector<VolumeRange> unallocatedRanges() const override;

    // Phases (run on the scan's worker thread).
    bool readBootSector();
    bool locateMft();
    void enumerateMft();
    void parseAllRecords();

    // Advanced mode. prepareAdvanced attaches the volume and reads the boot
    // sector (the advanced-input page runs it before the candidate count).
    void prepareAdvanced(ScanContext& ctx);
    // Searches the volume for MFT starts; stops once limit candidates are
    // found (limit < 0: at the end of the first chunk holding one). Clears
    // and honours stopRequested. Returns the number of candidates.
    unsigned countMftCandidates(int64_t limit);
    // Takes the MFT runs from candidate index; true when runs were found.
    bool selectMftCandidate(size_t index);
    const std::vector<MftCandidate>& mftCandidates() const { return mftCandidates_; }
    // The candidate a scan takes when none was chosen: one whose runs point
    // back at itself, else a whole MFT start, else the first.
    size_t bestMftCandidate() const;
    // The candidate for a record position chosen earlier (its cluster size
    // worked out again).
    MftCandidate candidateAt(uint64_t offset);

    // Runs of the unnamed $DATA of the record at recordOffset (type 0x80),
    // or of its $ATTRIBUTE_LIST (type 0x20). Sets dataClusterCount.
    std::vector<NtfsRun> readRuns(uint64_t recordOffset, uint32_t attributeType);
    // Fixes up the record read for the entry at index (raw, size bytes) into
    // fixed and parses it; what its decoders refuse or cut goes to the
    // damage log. False when the record header is refused.
    bool takeRecord(const uint8_t* raw, uint8_t* fixed, size_t size, int64_t index);
    // Parses one fixed-up record (h its header) for the entry at index; what
    // the attribute decoders refuse or cut is appended to notes.
    bool parseRecord(const NtfsRecordHeader& h, const uint8_t* record, size_t size, int64_t index,
                     std::vector<RecordNote>* notes = nullptr);
    // Appends an entry to its parent's child list (O(1), keeps order).
    void attachToParent(int64_t index);

    // List texts.
    ListTexts formatListItem(int64_t index) const;
    std::string formatSize(int64_t index) const;
    // Writes the entry's unnamed data stream (or, for a stream id, the named
    // stream) into out, never more than its runs back within the volume.
    WriteResult writeEntryToDisk(EntryId id, ContentSink& out);

    // Inspection (tests, benchmarks).
    const std::vector<NtfsEntry>& entries() const { return entries_; }
    std::string nameOf(int64_t index) const;
    int64_t rootIndex() const { return rootIndex_; }
    int64_t orphanIndex() const { return orphanIndex_; }
    uint64_t clusterSize() const { return clusterSize_; }
    uint32_t recordSize() const { return recordSize_; }
    uint64_t volumeSize() const { return volumeSize_; }
    const std::vector<NtfsRun>& mftRuns() const { return runs_; }
    size_t memoryBytes() const;
    // Advanced mode: records found after the end of the chosen MFT (left by
    // an earlier, larger MFT) and listed as deleted.
    uint64_t recordsPastMft() const { return previousRecords_; }
    uint64_t previousClusterSize() const { return previousClusterSize_; }

private:
    struct RecordParse;
    void takeStandardInfo(RecordParse& r, const NtfsAttribute& a);
    void takeAttributeList(RecordParse& r, const NtfsAttribute& a);
    void takeFileName(RecordParse& r, const NtfsAttribute& a);
    void takeData(RecordParse& r, const NtfsAttribute& a);
    // "MFT record 37" (the record number where it is known).
    std::string recordLabel(int64_t index, const NtfsRecordHeader& h) const;
    // Adds to the damage log, or holds the note while holdNotes_ is set.
    void note(const std::string& structure, uint64_t offset, std::string what, bool kept);
    bool planData(int64_t index, const std::string* streamName, DataPlan& plan, bool* validRecord = nullptr) const;
    bool planFresh(int64_t index, const std::string* streamName, DataPlan& plan, bool* validRecord, uint64_t cs) const;
    bool readRecordAt(uint64_t offset, std::vector<uint8_t>& rec) const;
    WriteResult streamRuns(const DataPlan& plan, ContentSink& out) const;
    WriteResult streamCompressed(const DataPlan& plan, ContentSink& out) const;
    // The bytes of the file the runs can back: the real size, cut at what
    // the runs map and at the volume size; why, when cut.
    uint64_t backedSize(const DataPlan& plan, std::string& why) const;
    // $Bitmap (record 6) of the file system on the volume now.
    const AllocationMap& allocationMap() const;
    bool bootBitmapPlan(DataPlan& plan) const;
    // The current map joined with the clusters that the earlier file
    // system's files in use held (Advanced, Deep): a file already deleted
    // there lost to them what they took.
    const AllocationMap& previousAllocationMap() const;
    // The MFT runs within the volume (into runs) and the records they hold.
    uint64_t mftRecordCount(std::vector<NtfsRun>& runs) const;
    bool scanForMft(bool deep);
    // The search for $MFT found its record: takes its runs (false when it
    // has none).
    bool takeMftRuns(const std::vector<uint8_t>& rec);
    bool advancedLocate();
    // A place where an MFT starts (complete: "$Boot" seven records later),
    // once.
    void addMftCandidate(uint64_t offset, bool complete);
    void extendPastMft();
    // Advanced: the records found past the MFT vote for their own cluster
    // size when the volume's puts their runs outside it (formatted again
    // with larger clusters).
    void votePreviousGeometry();
    uint64_t clusterSizeFor(int64_t index) const;
    uint64_t inferClusterSize(uint64_t offset, bool* mirror);
    void linkOrphans();
    void reachabilityPass();
    // Deep mode: each record under the folder its $FILE_NAME names.
    void deepPlacement();
    std::vector<uint8_t> deepMftMembership();
    // Deep mode: the runs of the MFT holding the record at offset (null:
    // none found holds it).
    const std::vector<NtfsRun>* deepMftRunsAt(uint64_t offset) const;
    void status(const std::string& s) const;
    bool stopped() const;
    uint32_t addName(const std::string& s);
    bool validIndex(int64_t i) const { return i > 0 && i < static_cast<int64_t>(entries_.size()); }

    ScanContext* ctx_ = nullptr;
    VolumeView volume_;
    ScanMode scanMode_ = ScanMode::Standard;

    bool bootIntact_ = false;
    bool mftOrder_ = false;  // table index == MFT record number
    bool runKnown_ = false;
    bool getRunFromFirstEntry_ = true;
    bool mftProbe_ = true;
    uint8_t bootSector_[512] = {};
    NtfsGeometry geometry_;  // of bootSector_ (intact false when refused)
    uint64_t volumeSize_ = 0;
    uint64_t clusterSize_ = 0;
    uint32_t recordSize_ = 1024;
    uint64_t mftByteCount_ = 0;  // bytes of MFT to enumerate (real size, clipped)
    uint64_t dataClusterCount_ = 0;
    std::vector<NtfsRun> runs_;
    // The MFT bytes around the record read last: records asked for in MFT
    // order (a folder's deleted files) come from one read.
    mutable std::mutex windowMutex_;
    mutable std::vector<uint8_t> window_;
    mutable uint64_t windowAt_ = 0;
    bool fromWindow(uint64_t offset, uint8_t* out) const;
    // The plan made last: a file's writer, its ranges, its estimate and the
    // question whether it is plain ask for the same record one after the
    // other (a session asks all four of every file).
    struct PlanMemo {
        bool held = false;
        int64_t index = -1;
        bool hasStream = false;
        std::string stream;
        uint64_t recordOffset = 0, clusterBytes = 0;
        const void* table = nullptr;
        size_t tableSize = 0;
        ScanMode mode = ScanMode::Standard;
        bool ok = false, valid = false;
        DataPlan plan;
    };
    mutable std::mutex planMutex_;
    mutable PlanMemo planMemo_;
    void forgetPlan() const;
    std::vector<MftCandidate> mftCandidates_;
    uint64_t chosenClusterSize_ = 0;  // Advanced: the operator's cluster size
    uint64_t previousRecords_ = 0;    // Advanced: records found past the MFT
    uint64_t previousClusterSize_ = 0;  // Advanced: their own cluster size, when another

    std::vector<NtfsEntry> entries_;
    std::vector<int32_t> lastChild_;  // per entry, for O(1) appends
    // Deep mode: each entry's own record number as its header gives it
    // (kNoRecordNumber: the header has none).
    static constexpr uint32_t kNoRecordNumber = ~0u;
    std::vector<uint32_t> recordNumbers_;
    // Deep mode: the MFTs found (their runs) and the volume ranges they
    // cover, sorted, each naming its MFT.
    struct DeepExtent {
        uint64_t start, end;
        uint8_t mft;  // 1-based into deepMftRuns_
    };
    std::vector<std::vector<NtfsRun>> deepMftRuns_;
    std::vector<DeepExtent> deepExtents_;
    std::string namePool_;
    std::vector<NtfsStream> streams_;
    int64_t orphanIndex_ = -1;
    int64_t rootIndex_ = 5;
    LazyAllocationMap allocation_;
    mutable uint64_t mapClusterBytes_ = 0;  // the map's cluster size (set with it)
    LazyAllocationMap previousAllocation_;
    mutable uint64_t previousUnitBytes_ = 0;  // its unit (set with it)
    // The search for $MFT on a volume without a boot sector parses records
    // it throws away when the MFT is found: their notes wait here.
    bool holdNotes_ = false;
    std::vector<DamageNote> heldNotes_;
};

}  // namespace brantlow
