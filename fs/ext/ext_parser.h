// The ext2/ext3/ext4 volume parser: superblock (or a backup), group
// descriptors, one pass over the inode tables, the directory blocks of
// every directory inode, the named entries with their folders, the list
// texts and the writer. On a volume with a journal, inodes that are free
// now are brought back from the newest logged copy of their inode table
// block in which they were in use, and named from the logged copies of the
// directory blocks that named them. Structures the decoders refuse or
// repair go to the damage log, named with their byte offset.
//
// The phases live beside the structures they walk: ext_geometry.cpp
// (superblock, descriptors, blocks and inodes by number), ext_inodes.cpp
// (the inode tables), ext_journal_scan.cpp (the journal), ext_directories.cpp
// (directory blocks), ext_entries.cpp (the named entries and their
// folders), ext_tree.cpp (what the result tree asks), ext_content.cpp and
// ext_allocation.cpp (the writer and the block bitmaps).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "fs/api/parser.h"
#include "fs/ext/ext_format.h"
#include "fs/ext/ext_journal.h"

namespace brantlow {

// The folder that collects entries whose folder is gone, and its id.
inline constexpr const char* kExtOrphanName = "ORPHAN_ENTRY";
inline constexpr EntryId kExtOrphanId = 1ull << 40;
// Entries without an inode of their own (a name whose inode field is 0, the
// earlier incarnation of a folder whose inode was reused) sit at the front
// of the entry list; their id is this plus their position.
inline constexpr EntryId kExtNoInodeBase = 1ull << 41;

// One named inode (or a recovered one under the orphan folder). The id of
// an entry is its inode number.
struct ExtEntry {
    uint32_t inode = 0;
    uint32_t nameOffset = 0;  // into the name pool (raw bytes)
    uint16_t nameLength = 0;
    uint16_t mode = 0;        // i_mode; the directory entry's type 1 or 2 overrides the type bits
    uint16_t inodeMode = 0;   // i_mode as the inode has it (attribute text)
    uint8_t bits = 0;         // kDeleted, kOrphan, ...
    EntryId parent = 0;       // the folder it is listed under
    uint64_t size = 0;
    int64_t atime = 0, mtime = 0, ctime = 0;
    int32_t atimeNs = 0, mtimeNs = 0, ctimeNs = 0;
    int64_t crtime = 0;   // i_crtime (kHasCrtime)
    int32_t crtimeNs = 0;
    uint32_t dtime = 0;   // i_dtime (0: none)
    uint32_t version = kNone;  // index of the recovered inode copy, or kNone
    uint32_t firstChild = kNone;
    uint32_t nextSibling = kNone;

    static constexpr uint32_t kNone = 0xFFFFFFFFu;
    enum : uint8_t {
        kDeleted = 1,
        kOrphan = 2,      // under ORPHAN_ENTRY
        kFromJournal = 4, // inode and name taken from the journal
        kNameless = 8,    // named "inode-N" here
        kHasCrtime = 16,  // the inode is large enough to hold i_crtime
    };
    uint16_t type() const { return mode & ext::kTypeMask; }
};

// An inode as it was before it was freed: the current table's copy (ext2
// keeps the block map of a deleted inode) or a journal copy.
struct ExtInodeVersion {
    size_t rawOffset = 0;   // the inode's bytes, in the parser's pool
    uint32_t sequence = 0;  // journal transaction, 0 for the current table
    bool fromJournal = false;
};

class ext2Class : public VolumeParser {
public:
    ScanOutcome scan(ScanContext& ctx) override;
    std::string rejectMessage() const override;
    std::vector<EntryId> children(EntryId folder) const override;
    bool readEntry(EntryId id, EntryInfo& out) const override;
    ListTexts listTexts(EntryId id) const override;
    WriteResult writeContent(EntryId id, ContentSink& out) override;
    RecoveryEstimate recoverability(EntryId id) const override;
    std::vector<VolumeRange> contentRanges(EntryId id) const override;
    std::optional<uint64_t> plainContentLength(EntryId id) const override;
    void loadAllocationMap() const override;
    std::vector<VolumeRange> unallocatedRanges() const override;

    // The phases, in the order scan() runs them.
    bool findSuperblock();
    bool readGroupDescriptors();
    void parseGroups();
    void readJournal();
    void recoverFromJournal();  // after readJournal: what the walk could not hand over
    void parseDirectories();
    void buildEntryMap();
    void linkParentChild();
    void fillRootEntries();

    // List texts: crtime (none in a small inode), atime and mtime as local dates, "-OE" ... "-UR".
    ListTexts formatListItem(const ExtEntry& e) const;
    static std::string attributeText(uint16_t mode);
    std::string formatSize(const ExtEntry& e) const;

    // Inspection (tests, benchmarks).
    const ext::Superblock& superblock() const { return sb_; }
    uint64_t superblockOffset() const { return superOffset_; }
    const std::vector<ExtEntry>& entries() const { return entries_; }
    const ExtEntry* entry(EntryId id) const;
    std::string nameOf(const ExtEntry& e) const { return names_.substr(e.nameOffset, e.nameLength); }
    size_t journalCopies() const { return journal_.copies().size(); }
    size_t recoveredVersions() const { return versions_.size(); }
    size_t memoryBytes() const;
    // Seconds each phase of the last scan took.
    const std::vector<std::pair<std::string, double>>& phaseSeconds() const { return phaseSeconds_; }

private:
    // What the inode pass keeps of an inode that was ever used.
    struct InodeRec {
        uint32_t inode = 0;
        uint16_t mode = 0;
        uint16_t links = 0;
        uint32_t generation = 0;
        bool inUse = false;  // by the inode bitmap (or the link count)
        bool hasBlocks = false;
        uint64_t size = 0;
        int64_t atime = 0, mtime = 0, ctime = 0;
        int32_t atimeNs = 0, mtimeNs = 0, ctimeNs = 0;
        int64_t crtime = 0;
        int32_t crtimeNs = 0;
        uint32_t dtime = 0;
        bool hasCrtime = false;
    };
    struct DirInode {
        uint32_t inode = 0;
        bool inUse = false;
        uint32_t version = ExtEntry::kNone;  // recovered copy for a freed directory
        ext::Inode ino;
    };
    struct Naming {
        uint32_t inode = 0;
        uint32_t owner = 0;  // the directory's inode
        uint32_t nameOffset = 0;
        uint8_t nameLength = 0;
        uint8_t fileType = 0;
        uint8_t kind = 0;       // kLive, kDeadRecord, kSlack, kJournal
        uint32_t sequence = 0;  // journal transaction (current blocks: newest)
    };
    enum : uint8_t { kLive = 0, kDeadRecord = 1, kSlack = 2, kJournal = 3 };
    // A directory block that has logged copies, and whose it is now.
    struct JournalOwner {
        uint64_t block = 0;
        uint32_t owner = 0;
        bool live = false;
    };

    bool stopped();
    void status(const std::string& s) const;
    // A refused or repaired structure, for the damage log.
    void note(const std::string& structure, uint64_t offset, const std::string& what, bool repaired = false) {
        damage_.add(structure, offset, what, repaired);
    }
    // The fault a block map met, named by the inode or the tree block.
    void noteMapFault(uint32_t inode, const ext::MapResult& m);
    // Byte position in the volume of a journal block, 0 when unmapped.
    uint64_t journalByteOffset(uint32_t journalBlock) const;
    bool listable(uint32_t inode) const;
    // The inode pass over one group's table.
    void readInodeTable(size_t group, std::vector<uint8_t>& table, std::vector<uint8_t>& bitmap);
    void takeInode(const uint8_t* p, uint32_t inode, uint64_t slot, bool bitmapKnown, const uint8_t* bitmap);
    // Logged copies of directory blocks (after the live pass).
    void parseLoggedDirectories();
    // The entry map, step by step.
    std::vector<Naming> chooseNamings() const;
    void addNamedEntries(const std::vector<Naming>& chosen, const std::vector<uint32_t>& owners,
                         std::vector<std::pair<uint32_t, uint32_t>>& displaced);
    void addRootDot();
    void addNamelessEntries(const std::vector<Naming>& chosen, const std::vector<uint32_t>& owners);
    bool anyBlockFree(const ext::Inode& ino, const ExtInodeVersion& v) const;
    void nameNamelessFiles();
    void releaseScanState();
    // Where each entry hangs; loops go to the orphan folder.
    void resolveParents();
    void breakFolderLoops();
    const InodeRec* rec(uint32_t inode) const;
    bool inodeFree(uint32_t inode) const;
    // Position of an inode in the volume, 0 when its group is unknown.
    uint64_t inodeOffset(uint32_t inode) const;
    bool readInode(uint32_t inode, std::vector<uint8_t>& raw) const;
    // Whether a block is allocated now (by its group's block bitmap).
    bool blockInUse(uint64_t block) const;
    uint64_t groupOfBlock(uint64_t block) const;
    bool readBlock(uint64_t block, uint8_t* buf) const;
    // Reads a journal block through the journal inode's map.
    bool readJournalBlocks(uint32_t first, uint32_t count, uint8_t* buf) const;
    // The newest logged copy of a block no newer than `sequence`.
    bool journalCopyAtOrBefore(uint64_t block, uint32_t sequence, uint8_t* buf) const;
    // Maps an inode's blocks; tree and indirect blocks of a recovered copy
    // come from the journal (no newer than the copy) or from free blocks.
    ext::MapResult mapInode(const ext::Inode& ino, const ExtInodeVersion* v, bool deleted) const;
    void addNamings(const uint8_t* block, uint32_t owner, uint8_t kind, uint32_t sequence, bool readSlack,
                    bool ownerLive, ext::DirFault* fault = nullptr);
    void parseDirectoryBlocks(const DirInode& d);
    // One logged copy of an inode-table block: its freed inodes as they were.
    void inodeTableCopy(const ext::JournalCopy& c, const uint8_t* data);
    // The ".." of a freed directory's first block (the newest copy wins).
    void noteDotParent(uint32_t self, uint32_t parent, uint32_t sequence);
    uint32_t addName(const uint8_t* p, size_t n);
    uint32_t addName(const std::string& s) { return addName(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
    std::string guessExtension(const ExtEntry& e) const;
    // Writes a file's runs in order, keeping what the result depends on.
    struct RunWriter {
        const ext2Class& p;
        ContentSink& out;
        uint64_t size;
        bool deleted;
        uint64_t bs = p.sb_.blockSize;
        uint64_t pos = 0;
        uint64_t backed = 0;  // bytes that came from the file's own blocks
        bool readError = false, reused = false, gaps = false, full = false;
        bool run(const ext::Run& r, std::vector<uint8_t>& buf);
    };
    WriteResult writeInline(const ext::Inode& ino, const std::vector<uint8_t>& raw, uint64_t size,
                            ContentSink& out) const;

    ScanContext* ctx_ = nullptr;
    VolumeView volume_;
    ext::Superblock sb_;
    uint64_t superOffset_ = 0;
    std::vector<ext::GroupDesc> groups_;
    uint64_t tableBlocks_ = 0;  // inode table length in blocks
    // Inode tables by first block, for the journal's copies.
    std::vector<std::pair<uint64_t, uint32_t>> tablesByBlock_;

    ext::JournalIndex journal_;
    std::vector<ext::Run> journalRuns_;  // the journal inode's blocks
    uint64_t journalBlocks_ = 0;
    std::vector<uint32_t> dotJournalBlocks_;  // journal blocks that open a directory

    std::vector<InodeRec> recs_;
    std::vector<uint64_t> inUseBits_;
    std::vector<DirInode> dirs_;
    std::vector<Naming> namings_;
    std::vector<JournalOwner> journalOwners_;
    struct SeenCopy {
        uint32_t inode = 0, sequence = 0, generation = 0;
    };
    std::vector<SeenCopy> copiesSeen_;
    std::unordered_map<uint32_t, Naming> journalNames_;  // best logged name per free inode
    std::unordered_map<uint32_t, uint32_t> versionOf_;   // inode -> versions_ index
    std::unordered_map<uint32_t, uint32_t> otherGenerationSeq_;  // newest copy of an earlier incarnation
    std::unordered_map<uint32_t, std::pair<uint32_t, uint32_t>> dotParent_;  // freed folder -> (parent, sequence)
    // Folders in use whose inode had another generation in a logged copy:
    // the newest such copy's transaction; and the name that earlier
    // incarnation had (from a logged directory block no newer than it).
    std::unordered_map<uint32_t, uint32_t> folderOldSeq_;
    std::unordered_map<uint32_t, Naming> oldFolderNames_;
    std::vector<Naming> noInodeNames_;  // records whose inode field is 0
    // Inodes in use now that held another file before: the newest logged
    // copy of that file (versions_ index), and its newest logged name.
    std::unordered_map<uint32_t, uint32_t> earlierVersionOf_;
    std::unordered_map<uint32_t, Naming> earlierNames_;
    // Whether a deleted entry named in folder `owner` (in use) was put
    // there by an earlier incarnation of that folder.
    bool fromEarlierFolder(const Naming& nm, const ExtEntry& e) const;
    void addNoInodeEntries(const std::vector<std::pair<uint32_t, uint32_t>>& displaced);

    std::vector<ExtInodeVersion> versions_;
    std::vector<uint8_t> versionBytes_;  // inode copies, inodeSize bytes each
    const uint8_t* rawOf(const ExtInodeVersion& v) const { return versionBytes_.data() + v.rawOffset; }
    uint32_t addVersion(const uint8_t* p, uint32_t sequence, bool fromJournal);
    // Index of an entry in entries_ (sorted by inode), or kNone.
    uint32_t indexOf(uint64_t inode) const;
    // Index of an entry by its id (inode, or kExtNoInodeBase + position).
    uint32_t indexOfId(EntryId id) const;
    EntryId idAt(uint32_t i) const { return entries_[i].inode ? EntryId{entries_[i].inode} : kExtNoInodeBase + i; }
    std::vector<ExtEntry> entries_;  // ascending inode
    std::string names_;
    uint32_t rootFirst_ = ExtEntry::kNone;
    uint32_t orphanFirst_ = ExtEntry::kNone;
    std::vector<std::pair<std::string, double>> phaseSeconds_;

    // All groups' block bitmaps in one map (recoverability), read once.
    const AllocationMap& allocationMap() const;
    LazyAllocationMap allocation_;

    // The inode read last and the blocks mapped last: a file's writer, its
    // ranges, its estimate and the question whether it is plain ask for the
    // same inode one after the other (a session asks all four of every file).
    struct InodeMemo {
        uint64_t offset = 0;  // 0: none
        std::vector<uint8_t> raw;
    };
    struct MapMemo {
        bool held = false, deleted = false;
        uint8_t block[60] = {};
        uint32_t flags = 0;
        uint64_t size = 0, blockSize = 0, blocks = 0;
        ext::MapResult result;
    };
    mutable std::mutex memoMutex_;
    mutable InodeMemo inodeMemo_;
    mutable MapMemo mapMemo_;
    mutable std::mutex bitmapMutex_;
    mutable std::unordered_map<uint64_t, std::vector<uint8_t>> blockBitmaps_;
    std::function<std::string(const uint8_t*, size_t)> guess_;
};

}  // namespace brantlow
