// The HFS+ (and HFSX) volume parser: the volume header (or its alternate
// copy at the end of the volume), the extents-overflow and catalog B-trees
// read through their own forks, every folder and file record of the live
// leaf chain, records that survive in freed nodes, node free space and the
// journal as deleted entries, hard links resolved through the private
// metadata folder, and the content writer (data forks, resource forks as
// streams, decmpfs-compressed files). Structures the decoders refuse or
// repair go to the damage log, named with their byte offset.
//
// The phases live beside the structures they walk: hfsplus_parser.cpp (the
// volume header, forks and B-tree node maps), hfsplus_extents.cpp (the
// extents overflow file), hfsplus_catalog.cpp (catalog nodes, the deep
// search, records in free space), hfsplus_journal.cpp (the journal buffer),
// hfsplus_records.cpp (what the records say together: stale copies,
// threads, hard links, decmpfs attributes), hfsplus_tree.cpp (the folder
// tree), hfsplus_content.cpp and hfsplus_allocation.cpp (the writer and the
// allocation file).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "fs/api/parser.h"
#include "fs/hfsplus/hfsplus_format.h"

namespace brantlow {

namespace hfs {
// Name of the folder that collects what cannot be placed under its parent.
inline constexpr const char* ORPHAN_ENTRY = "ORPHAN_ENTRY";
// Stream ids (resource forks) are this plus the file's CNID.
inline constexpr EntryId kRsrcStreamBase = 1ull << 40;
}  // namespace hfs

// Where a record was found.
enum class HfsSource : uint8_t {
    LiveLeaf,    // a leaf of the live chain, or an in-use leaf off the chain
    FreedNode,   // a leaf node the B-tree marks free
    FreeSpace,   // free space of a node, past its records
    Journal,     // the journal buffer
    Thread,      // a folder rebuilt from its thread record
    DeepSearch,  // found by the volume search
};

// One folder or file (one per CNID; the catalog map owns it).
struct HfsEntry {
    uint16_t kind = 0;  // 1 folder, 2 file
    EntryState state = EntryState::Live;
    HfsSource source = HfsSource::LiveLeaf;
    uint8_t rank = 0;        // of its source: lower replaces higher for one CNID
    bool orphan = false;     // listed under ORPHAN_ENTRY
    bool hardLink = false;   // a file hard link: content and size from linkTarget
    bool compressed = false; // UF_COMPRESSED with a decmpfs attribute
    uint64_t parentId = 0;
    uint64_t cnid = 0;
    int64_t firstChild = -1;   // CNID of the first child, -1 when none
    int64_t nextSibling = -1;  // CNID of the next entry with the same parent, -1 when none
    uint32_t nameOffset = 0, nameLength = 0;  // display name (UTF-8) in the name pool
    uint64_t nodeOffset = 0;    // byte offset in the volume of the node (or buffer) holding the record
    uint32_t recordOffset = 0;  // offset of the record within it
    uint32_t createDate = 0, contentModDate = 0, attributeModDate = 0, accessDate = 0;
    uint16_t fileMode = 0;
    uint32_t linkTarget = 0;  // hard links: the CNID of the indirect node file
    // Files: the data and resource forks (sizes, block counts, and the
    // record's non-empty extents, data first, in the parser's extent pool).
    uint64_t dataSize = 0, rsrcSize = 0;
    uint32_t dataBlocks = 0, rsrcBlocks = 0;
    uint32_t extentIndex = 0;
    uint8_t dataExtents = 0, rsrcExtents = 0;
};

// A decmpfs attribute of a compressed file.
struct HfsCompression {
    uint32_t type = 0;          // 3 zlib inline, 4 zlib in the resource fork, others unsupported
    uint64_t size = 0;          // uncompressed size
    std::vector<uint8_t> inlineData;  // type 3: the bytes after the 16-byte header
};

class HFSP : public VolumeParser {
public:
    HFSP() = default;

    // VolumeParser
    ScanOutcome scan(ScanContext& ctx) override;
    std::string rejectMessage() const override { return rejectText_; }
    const char* endingStatus(ScanOutcome outcome) const override;
    std::vector<EntryId> children(EntryId folder) const override;
    bool readEntry(EntryId id, EntryInfo& out) const override;
    ListTexts listTexts(EntryId id) const override;
    WriteResult writeContent(EntryId id, ContentSink& out) override;
    std::vector<EntryId> streams(EntryId id) const override;
    RecoveryEstimate recoverability(EntryId id) const override;
    std::vector<VolumeRange> contentRanges(EntryId id) const override;
    void loadAllocationMap() const override;
    std::vector<VolumeRange> unallocatedRanges() const override;

    // Phases (on the scan's worker thread).
    bool readVolumeHeader();
    bool readExtentsOverflow();
    bool readCatalogNodes();      // standard mode
    bool searchCatalogLeaves();   // deep mode
    void readAttributes();
    void searchJournal();
    void parseCatalogLeaves();    // records into the catalog, live first
    void linkParentChild();

    // Writes the file's data fork (or its hard link's, or its decompressed
    // content) into out.
    WriteResult writeEntry(EntryId id, ContentSink& out);
    ListTexts formatListItem(EntryId id) const;

    // Inspection (tests, benchmarks).
    const std::map<uint64_t, HfsEntry>& catalog() const { return catalog_; }
    const hfs::VolumeHeader& header() const { return header_; }
    bool usedAlternateHeader() const { return alternateHeader_; }
    uint64_t blockSize() const { return blockSize_; }
    uint32_t catalogNodeSize() const { return catalogNodeSize_; }
    uint64_t orphanId() const { return orphanId_; }
    size_t extentsRecords() const { return extentsIndex_.size(); }
    std::string nameOf(const HfsEntry& e) const { return namePool_.substr(e.nameOffset, e.nameLength); }
    // Counts of records taken from each source (deleted entries found).
    std::map<HfsSource, uint64_t> sourceCounts() const;
    // Largest single read (tests lower it to see pieces and retries).
    size_t readPiece = 8u << 20;

private:
    // Rank of a record's source: a lower rank replaces a higher one for the
    // same CNID; equal ranks keep the first.
    enum Rank : uint8_t { kLive = 0, kFreedNode = 1, kFreeSpace = 2, kJournal = 3 };

    bool stopped() const;
    void status(const std::string& s) const;
    // A refused or repaired structure, for the damage log.
    void note(const std::string& structure, uint64_t offset, const std::string& what, bool repaired = false) {
        damage_.add(structure, offset, what, repaired);
    }
    // Byte position in the volume of a byte of a fork, 0 when unmapped.
    uint64_t forkByte(const std::vector<hfs::Run>& runs, uint64_t offset) const;
    // Node 0 of a B-tree file: its header record, checked; `what` names the
    // tree in damage notes.
    bool readHeaderNode(const std::vector<hfs::Run>& runs, uint64_t forkBytes, const char* what, bool needKind,
                        hfs::HeaderRecord& h, std::vector<uint8_t>& node0);
    // The leaf records of one extents-overflow node.
    void takeExtentsNode(const uint8_t* node, uint32_t ns, uint32_t n, bool used, hfs::ExtentsIndex& freed);
    bool readFork(const std::vector<hfs::Run>& runs, uint64_t offset, void* buf, size_t n) const;
    bool loadNodeMap(const std::vector<hfs::Run>& runs, const uint8_t* node0, uint32_t nodeSize,
                     uint32_t totalNodes, std::vector<uint8_t>& bits, const char* what);
    // nodeNumber names the node in damage notes (-1: found by the search).
    void takeNode(const uint8_t* node, size_t nodeSize, uint64_t nodeOffset, bool inUse, HfsSource freedSource,
                  int64_t nodeNumber);
    void takeLeafRecords(const uint8_t* node, size_t ns, uint64_t nodeOffset, const hfs::RecordTable& table,
                         int64_t nodeNumber);
    void carve(const uint8_t* buf, size_t len, size_t from, size_t to, uint64_t bufOffset, Rank rank,
               HfsSource source);
    void takeRecord(const hfs::CatalogRecord& r, Rank rank, HfsSource source, uint64_t nodeOffset, uint32_t recOff);
    void dropStaleDuplicates();
    void rebuildFoldersFromThreads();
    void resolveHardLinks();
    void linkStandard();
    void linkDeep();
    void placeUnreachable();
    void makeRootList();
    uint64_t ensureOrphan();
    uint32_t addName(const std::string& s);
    const HfsEntry* find(uint64_t cnid) const;
    HfsEntry* find(uint64_t cnid);
    const HfsEntry* contentEntry(const HfsEntry& e) const;
    // A file's fork as its catalog record gave it.
    hfs::ForkData fork(const HfsEntry& e, bool rsrc) const;
    uint64_t shownSize(const HfsEntry& e) const;
    uint64_t reusedBlocks(const hfs::ForkRuns& runs) const;
    void allocationBits(uint64_t first, uint64_t count, std::vector<uint8_t>& bytes) const;
    WriteResult writeRuns(const hfs::ForkRuns& runs, uint64_t size, bool deleted, ContentSink& out) const;
    WriteResult writeCompressed(const HfsEntry& e, const HfsCompression& c, ContentSink& out) const;

    ScanContext* ctx_ = nullptr;
    VolumeView volume_;
    ScanMode mode_ = ScanMode::Standard;
    std::string rejectText_;

    hfs::VolumeHeader header_;
    bool alternateHeader_ = false;
    uint64_t blockSize_ = 0;
    uint64_t volumeBlocks_ = 0;
    uint32_t catalogNodeSize_ = 0;
    uint32_t extentsNodeSize_ = 0;
    hfs::HeaderRecord catalogHeader_;
    std::vector<hfs::Run> catalogRuns_, extentsRuns_, allocationRuns_;
    hfs::ExtentsIndex extentsIndex_;
    std::vector<uint8_t> catalogMap_;  // the catalog B-tree's node bitmap (empty: unknown)

    std::map<uint64_t, HfsEntry> catalog_;
    // catalog_ by CNID once the tree is linked (empty: look in the map;
    // made only when the CNIDs are dense enough).
    std::vector<HfsEntry*> byId_;
    void indexCatalog();
    struct Thread {
        uint64_t parent = 0;
        uint32_t nameOffset = 0, nameLength = 0;
        uint8_t rank = 0;
    };
    std::map<uint64_t, Thread> threads_;  // folder threads by the folder's CNID
    std::unordered_map<uint64_t, HfsCompression> compression_;
    std::string namePool_;
    std::vector<hfs::Extent> extentPool_;
    std::vector<EntryId> rootList_;
    uint64_t orphanId_ = 0;
    bool hasOrphan_ = false;
    std::map<HfsSource, uint64_t> counts_;
    // The allocation file as one map (recoverability), read once.
    const AllocationMap& allocationMap() const;
    LazyAllocationMap allocation_;
};

}  // namespace brantlow
