// The XFS volume parser: the superblock (or a secondary one of a later
// AG), the AG headers, the inode B+trees (or, in Advanced mode, inode
// chunks found by their magic), every inode, the log, the directories
// (short-form, block, leaf and node), the named entries with their folders,
// the list texts and the writer. Freed inodes keep the extent list, the
// block-map root or the short-form directory they held in their literal
// area; the log keeps their size and earlier directory contents; removed
// directory entries keep their names behind the free tag. From these the
// deleted files and folders come back, named where a name survives and
// under the orphan folder as "inode-N" where none does.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "fs/api/parser.h"
#include "fs/xfs/xfs_btree.h"
#include "fs/xfs/xfs_format.h"
#include "fs/xfs/xfs_log.h"

namespace brantlow {

// The folder that collects entries whose folder is gone, and its id
// (above every inode number, which XFS keeps below 2^56).
inline constexpr const char* kXfsOrphanName = "ORPHAN_ENTRY";
inline constexpr EntryId kXfsOrphanId = 1ull << 62;

// One listed inode. Its id is its inode number.
struct XfsEntry {
    uint64_t ino = 0;
    EntryId parent = 0;
    uint64_t size = 0;
    uint32_t nameOffset = 0;  // into the name pool (raw bytes)
    uint16_t nameLength = 0;
    uint16_t mode = 0;
    uint8_t bits = 0;
    xfs::Timestamp atime, mtime, ctime, crtime;
    uint32_t fork = kNone;  // deleted files and folders: the data fork kept for them
    uint32_t firstChild = kNone;
    uint32_t nextSibling = kNone;

    static constexpr uint32_t kNone = 0xFFFFFFFFu;
    enum : uint8_t {
        kDeleted = 1,
        kOrphan = 2,          // under ORPHAN_ENTRY
        kNameless = 4,        // named "inode-N" here
        kSizeFromBlocks = 8,  // no record of the size survived: its blocks, trailing zeros cut
        kRealtime = 16,       // its data lies on the real-time device
        kHasCrtime = 32,
    };
    uint16_t type() const { return mode & xfs::kTypeMask; }
};

// The data fork of a freed inode as it was found: extent records (the
// literal area, or a logged copy) or a block-map root.
struct XfsKeptFork {
    uint32_t offset = 0;  // in the parser's fork pool
    uint32_t stored = 0;  // bytes kept there (the rest are zeros)
    uint32_t length = 0;
    uint8_t format = xfs::kFormatExtents;
    uint64_t maxExtents = ~0ull;  // the extent count recorded with it, or unknown
};

class XfsParser : public VolumeParser {
public:
    ScanOutcome scan(ScanContext& ctx) override;
    std::string rejectMessage() const override;
    std::vector<EntryId> children(EntryId folder) const override;
    bool readEntry(EntryId id, EntryInfo& out) const override;
    ListTexts listTexts(EntryId id) const override;
    WriteResult writeContent(EntryId id, ContentSink& out) override;
    RecoveryEstimate recoverability(EntryId id) const override;
    void loadAllocationMap() const override;

    // Inspection (tests, benchmarks).
    const xfs::Superblock& superblock() const { return sb_; }
    uint64_t superblockOffset() const { return superOffset_; }
    const std::vector<XfsEntry>& entries() const { return entries_; }
    const XfsEntry* entry(EntryId id) const;
    std::string nameOf(const XfsEntry& e) const { return names_.substr(e.nameOffset, e.nameLength); }
    const xfs::LogStats& logStats() const { return logStats_; }
    size_t memoryBytes() const;
    const std::vector<std::pair<std::string, double>>& phaseSeconds() const { return phaseSeconds_; }
    // Inode chunks read (from the inode B+trees or, in Advanced mode, found).
    uint64_t chunksRead() const { return chunksRead_; }

    static std::string attributeText(uint16_t mode);

    // The superblocks a search finds (the primary, then each AG's copy), as
    // byte positions: for the Advanced-mode candidate list.
    static std::vector<std::pair<uint64_t, xfs::Superblock>> findSuperblocks(const VolumeView& volume, size_t max,
                                                                             const std::atomic<bool>* stop,
                                                                             ProgressSink* progress);

private:
    // An inode in use, as the inode pass keeps it.
    struct LiveInode {
        uint64_t ino = 0;
        uint32_t gen = 0;
        uint16_t mode = 0;
        uint16_t flags = 0;
        bool hasCrtime = false;
        uint64_t size = 0;
        xfs::Timestamp atime, mtime, ctime, crtime;
    };
    // A freed inode with something in its literal area, or (Advanced mode,
    // a freed chunk) a whole old inode.
    struct FreedInode {
        uint64_t ino = 0;
        uint32_t gen = 0;
        uint16_t mode = 0;      // 0 unless the core was never cleared
        uint8_t format = 0;
        uint16_t flags = 0;
        uint64_t size = 0;
        uint64_t nextents = 0;
        bool hasCrtime = false;
        xfs::Timestamp atime, mtime, ctime, crtime;
        uint32_t literal = 0;   // in the fork pool: the literal area up to its last non-zero byte
        uint32_t stored = 0;
        uint32_t literalLength = 0;
        // What the scan made of it: type and size (from a log copy, the
        // core, or what its literal area holds), the data fork kept for it.
        uint16_t resolvedMode = 0;
        uint64_t resolvedSize = 0;
        bool sizeFromBlocks = false;
        bool listable = false;
        uint32_t keptFork = XfsEntry::kNone;
    };
    // A directory whose data is read in the directory pass.
    struct DirInode {
        uint64_t ino = 0;
        uint64_t size = 0;
        uint32_t gen = 0;
        uint8_t format = 0;
        uint64_t nextents = 0;
        uint32_t fork = 0;  // in the fork pool
        uint32_t stored = 0;
        uint32_t forkLength = 0;
        bool freed = false;
    };
    // The newest log copy of a freed inode while it was in use.
    struct LogCopy {
        uint64_t lsn = 0;
        uint16_t mode = 0;
        uint8_t format = 0;
        uint32_t gen = 0;
        uint64_t size = 0;
        uint64_t nextents = 0;
        uint64_t forkLsn = 0;  // its newest logged data fork
        uint32_t fork = 0;
        uint32_t forkStored = 0;
        uint32_t forkLength = 0;
        uint8_t forkFormat = 0;
        uint64_t forkExtents = 0;
    };
    // A directory entry naming an inode: live, removed (stale) in a live
    // folder, in a freed folder, or in a logged copy of a folder.
    struct Naming {
        uint64_t ino = 0;
        uint64_t owner = 0;
        uint64_t lsn = 0;       // logged copies: their record
        uint32_t ownerGen = 0;  // logged copies: the folder's generation then
        uint32_t nameOffset = 0;
        uint8_t nameLength = 0;
        uint8_t ftype = 0;
        uint8_t kind = 0;
        bool lowOnly = false;
    };
    enum : uint8_t { kLive = 0, kStale = 1, kFreedDir = 2, kLogged = 3 };

    bool stopped();
    void status(const std::string& s) const;
    bool findSuperblock(const ScanContext& ctx);
    void readAgHeaders();
    void readInodeTrees();
    void searchInodeChunks();
    void takeInode(uint64_t ino, const uint8_t* raw, bool free, bool fromSearch);
    void readLog();
    void readDirectories();
    void readDirectory(const DirInode& d);
    void classifyFreed();
    void buildEntries();
    void linkParentChild();

    bool readBlock(uint64_t linearBlock, uint8_t* buf) const;
    bool readInode(uint64_t ino, std::vector<uint8_t>& raw) const;
    // Keeps bytes in the fork pool up to their last non-zero one; `stored`
    // says how many were kept. forkBytes gives them back at full length.
    uint32_t addFork(const uint8_t* p, size_t n, uint32_t* stored = nullptr);
    std::vector<uint8_t> forkBytes(uint32_t offset, uint32_t stored, uint32_t length) const;
    uint32_t addName(const uint8_t* p, size_t n);
    uint32_t addName(const std::string& s) { return addName(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
    void addNamings(const std::vector<xfs::DirName>& names, const uint8_t* base, uint64_t owner, uint8_t kind,
                    uint64_t lsn, uint32_t ownerGen);
    // Extents of a data fork (extent records or a block-map root); a freed
    // inode's tree blocks count only while they are free.
    std::vector<xfs::Extent> mapFork(const uint8_t* fork, size_t n, uint8_t format, uint64_t maxExtents, uint64_t ino,
                                     bool freed, bool* damaged) const;
    std::vector<xfs::Extent> entryExtents(const XfsEntry& e, bool* damaged) const;
    uint32_t indexOf(uint64_t ino) const;
    const LiveInode* live(uint64_t ino) const;
    const FreedInode* freed(uint64_t ino) const;
    bool blockInUse(uint64_t linearBlock) const;
    // The blocks on an AG's free list (AG-relative).
    std::vector<uint32_t> agFreeList(uint32_t ag) const;
    const AllocationMap& allocationMap() const;
    uint64_t trimmedSize(const std::vector<xfs::Extent>& ext) const;

    ScanContext* ctx_ = nullptr;
    VolumeView volume_;
    xfs::Superblock sb_;
    uint64_t superOffset_ = 0;
    bool rejectedNoSuper_ = false;
    std::vector<xfs::Agf> agf_;
    std::vector<uint8_t> agfOk_;
    std::vector<xfs::Agi> agi_;
    std::vector<uint8_t> agiOk_;
    std::vector<uint8_t> inodeTreeSound_;  // per AG: the inode B+tree walked without damage
    // Inode chunks the inode B+trees name: (first inode, holes), per AG.
    std::vector<std::pair<uint64_t, uint16_t>> chunks_;
    uint64_t chunksRead_ = 0;

    std::vector<LiveInode> live_;    // ascending inode
    std::vector<FreedInode> freed_;  // ascending inode
    std::vector<DirInode> dirs_;
    std::unordered_map<uint64_t, LogCopy> logCopies_;
    std::unordered_map<uint64_t, LogCopy> unknownCopies_;  // logged inodes of no known chunk
    std::vector<Naming> namings_;
    std::unordered_map<uint64_t, uint64_t> dotParent_;  // freed folder -> parent its own data names
    // Blocks a folder held earlier (its logged block maps): (folder, first block).
    std::vector<std::pair<uint64_t, uint64_t>> oldDirBlocks_;
    xfs::LogStats logStats_;

    std::vector<uint8_t> forkPool_;
    std::vector<XfsKeptFork> forks_;
    std::vector<XfsEntry> entries_;  // ascending inode
    std::string names_;
    uint32_t rootFirst_ = XfsEntry::kNone;
    uint32_t orphanFirst_ = XfsEntry::kNone;
    std::vector<std::pair<std::string, double>> phaseSeconds_;

    LazyAllocationMap allocation_;
    mutable std::vector<DamageNote> mapDamage_;  // what reading the free-space trees met
};

}  // namespace brantlow
