// The Btrfs volume parser: the superblock (the primary, or a copy when the
// primary is bad), the system chunk array and the chunk tree (logical to
// device addresses), the root tree, the file-system tree of the top volume
// and of every subvolume and snapshot (shown as folders where their parent
// names them), inodes, directory index items and file extents (inline,
// regular, holes, preallocated; zlib, LZO and zstd compressed).
//
// Btrfs writes every changed tree node to a new place, so the trees of
// earlier transactions stay on disk until their space is reused: the
// superblock's backup roots lead to them. A file or folder an older tree
// holds and the current one does not is listed as deleted at the path the
// older tree gives it; its extents are judged against the current extent
// tree (not allocated there: intact).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fs/api/parser.h"
#include "fs/btrfs/btrfs_format.h"

namespace brantlow {

// The folder that collects deleted entries whose folder is found nowhere.
inline constexpr const char* kBtrfsOrphanName = "ORPHAN_ENTRY";
// At most this much of the metadata chunks is searched for older leaves.
inline constexpr uint64_t kNodeSearchBytes = 4ull << 30;

struct BtrfsExtent {
    uint64_t fileOffset = 0;
    uint64_t ramBytes = 0;
    // Regular and preallocated extents: the logical range on disk and the
    // slice of the decoded extent the file uses. Inline: diskBytenr is the
    // leaf's logical address, offset the data's place in the leaf and
    // diskNumBytes its stored length; numBytes the bytes the file gets.
    uint64_t diskBytenr = 0, diskNumBytes = 0, offset = 0, numBytes = 0;
    uint64_t leafGeneration = 0;  // the leaf's generation
    uint64_t generation = 0;      // the transaction that wrote the extent
    uint8_t type = 0;
    uint8_t compression = 0;
};

struct BtrfsEntry {
    uint64_t tree = 0;  // the subvolume's tree id
    uint64_t ino = 0;
    uint64_t generation = 0;  // the inode's
    uint64_t size = 0;
    uint32_t parent = kNone;  // index, kNone: ROOT
    uint32_t nameOffset = 0;
    uint16_t nameLength = 0;
    uint8_t bits = 0;
    uint32_t mode = 0;
    btrfs::Timespec atime, mtime, ctime, otime;
    uint32_t extFirst = 0, extCount = 0;
    uint32_t firstChild = kNone, lastChild = kNone, nextSibling = kNone;

    static constexpr uint32_t kNone = 0xFFFFFFFFu;
    enum : uint8_t { kDeleted = 1, kSubvolume = 2, kSynthetic = 4 };
    bool isDir() const { return (mode & btrfs::kTypeMask) == btrfs::kTypeDir; }
};

class BtrfsParser : public VolumeParser {
public:
    ScanOutcome scan(ScanContext& ctx) override;
    std::string rejectMessage() const override;
    std::vector<EntryId> children(EntryId folder) const override;
    bool readEntry(EntryId id, EntryInfo& out) const override;
    ListTexts listTexts(EntryId id) const override;
    WriteResult writeContent(EntryId id, ContentSink& out) override;
    RecoveryEstimate recoverability(EntryId id) const override;
    std::vector<VolumeRange> contentRanges(EntryId id) const override;

    // Inspection (tests, benchmarks).
    const btrfs::Superblock& superblock() const { return sb_; }
    uint64_t superblockOffset() const { return superOffset_; }
    const std::vector<BtrfsEntry>& entries() const { return entries_; }
    // The older roots walked for deleted entries, newest first: (generation, files found deleted).
    const std::vector<std::pair<uint64_t, uint32_t>>& olderRoots() const { return olderRoots_; }
    size_t memoryBytes() const;
    const std::vector<std::pair<std::string, double>>& phaseSeconds() const { return phaseSeconds_; }
    std::string nameOf(const BtrfsEntry& e) const { return names_.substr(e.nameOffset, e.nameLength); }

    // The superblock copies that decode and sit where they say (the
    // primary, 64 MiB, 256 GiB), checksum sound or not.
    static std::vector<std::pair<uint64_t, btrfs::Superblock>> findSuperblocks(const VolumeView& volume);

    // A logical range on this device: the device byte positions of its
    // copies (DUP, RAID1: more than one), or none.
    std::vector<uint64_t> mapLogical(uint64_t logical, uint64_t length) const;

    // One tree's items as a walk collects them.
    struct TreeItems {
        struct Name {
            uint64_t dir = 0;
            uint64_t child = 0;
            uint8_t childKeyType = 0;  // INODE_ITEM, or ROOT_ITEM for a subvolume
            uint32_t nameOffset = 0;
            uint16_t nameLength = 0;
            uint64_t generation = 0;  // of the leaf it came from
        };
        std::unordered_map<uint64_t, btrfs::Inode> inodes;
        std::unordered_map<uint64_t, uint64_t> inodeLeafGen;  // while collecting: the leaf each inode came from
        std::vector<Name> names;  // directory index order
        std::vector<Name> refs;   // inode references: the folder and name an inode has
        std::vector<std::pair<uint64_t, BtrfsExtent>> extents;
        std::string namePool;
        bool complete = true;  // every node read
        void settle();
    };

private:
    struct MappedChunk {
        uint64_t logical = 0, length = 0, type = 0;
        std::vector<uint64_t> physical;  // copies on this device
        bool refused = false;
    };
    struct TreeRoot {
        uint64_t id = 0, bytenr = 0, generation = 0, rootDirid = 256;
        uint8_t level = 0;
    };

    bool stopped();
    bool findSuperblock(const ScanContext& ctx);
    bool addChunk(const btrfs::Chunk& c, uint64_t at);
    bool readChunkTree();
    // Reads the node at `logical` (any copy that passes): header, place, volume id, checksum.
    bool readNode(uint64_t logical, std::vector<uint8_t>& buf, btrfs::NodeHeader& h, std::string* why) const;
    bool readLogical(uint64_t logical, uint8_t* dst, size_t n) const;
    // The volume byte of a logical address (damage notes), or the address itself.
    uint64_t placeOf(uint64_t logical) const;
    // Walks a tree in key order; fn gets each leaf item. Bounded: every node
    // once, levels falling by one, at most kMaxLevel deep. Damage is noted
    // unless quiet (older trees). False when a node could not be read.
    // Node addresses with their generations.
    using NodeSet = std::unordered_map<uint64_t, uint64_t>;
    // `record` gets every node read; nodes in `skip` with the generation
    // their parent names are passed over.
    template <class Fn>
    bool walkTree(uint64_t root, uint8_t level, uint64_t generation, bool quiet, const char* what, Fn&& fn,
                  NodeSet* record = nullptr, const NodeSet* skip = nullptr);
    bool readRoots(uint64_t root, uint8_t level, uint64_t generation, bool quiet, std::vector<TreeRoot>& fsTrees,
                   TreeRoot* extentTree, TreeRoot* csumTree = nullptr);
    void readCsumTree(const TreeRoot& t);
    // Sectors of data at `logical` (n bytes, sector-aligned) whose checksum
    // the checksum tree holds and does not match; `leaf` caches a node.
    uint64_t badSectors(uint64_t logical, const uint8_t* data, size_t n, std::vector<uint8_t>& leaf,
                        uint64_t& leafAt) const;
    // An older tree (older: quiet, and only the nodes the current trees do not hold).
    TreeItems collect(const TreeRoot& t, bool older);
    // olderOf: the tree id of an older tree (0: the current one).
    void takeItem(TreeItems& items, const uint8_t* node, const btrfs::NodeHeader& h, const btrfs::LeafItem& it,
                  uint64_t leaf, bool quiet, uint64_t olderOf = 0);
    void searchOlderNodes();
    bool takeOlderLeaf(const uint8_t* node, uint64_t logical, bool anyGeneration,
                       std::unordered_map<uint64_t, TreeItems>& trees);
    void searchDevice(ScanContext& ctx);
    void mapDeviceExtents();
    uint32_t orphanFolder();
    void buildLive(std::unordered_map<uint64_t, TreeItems>& trees, const std::vector<TreeRoot>& roots);
    uint32_t addEntry(uint64_t tree, uint64_t ino, const btrfs::Inode& inode, uint32_t parent, const TreeItems& items,
                      const char* name, size_t nameLength, uint8_t bits);
    void readOlderRoots();
    void mergeOlder(std::unordered_map<uint64_t, TreeItems>& trees, const std::vector<TreeRoot>& roots, uint32_t& found);
    void readExtentTree(const TreeRoot& t);
    // Sectors of [logical, +length) that the extent tree gives out now or
    // that an extent written later (by a file listed live or deleted) covers.
    uint64_t busySectors(uint64_t logical, uint64_t length, uint64_t generation) const;
    void indexWriters();

    static uint64_t key(uint64_t tree, uint64_t ino) { return tree * 0x9E3779B97F4A7C15ull ^ ino; }
    uint32_t find(uint64_t tree, uint64_t ino) const;

    ScanContext* ctx_ = nullptr;
    VolumeView volume_;
    btrfs::Superblock sb_;
    uint64_t superOffset_ = 0;
    bool rejected_ = false;
    bool refusedMessage_ = false;
    std::vector<MappedChunk> chunks_;  // by logical address
    std::vector<BtrfsExtent> extents_;
    std::vector<BtrfsEntry> entries_;
    std::string names_;
    std::unordered_multimap<uint64_t, uint32_t> byInode_;  // key(tree, ino) -> entry
    uint32_t rootFirst_ = BtrfsEntry::kNone, rootLast_ = BtrfsEntry::kNone;
    std::vector<std::pair<uint64_t, uint64_t>> allocated_;  // data extents now, by logical address
    struct Writer {
        uint64_t logical, length, generation;
    };
    std::vector<Writer> writers_;
    struct CsumRun {
        uint64_t logical = 0;  // first data byte covered
        uint64_t sectors = 0;
        uint64_t leaf = 0;     // the leaf holding the checksums, and where in it
        uint32_t offset = 0;
    };
    std::vector<CsumRun> csums_;  // by logical address  // every listed file's extents on disk, by logical address
    uint64_t longestWriter_ = 0;
    bool extentTreeRead_ = false;
    std::vector<std::pair<uint64_t, uint32_t>> olderRoots_;
    NodeSet currentNodes_;  // the current file-system trees' nodes
    NodeSet olderNodes_;    // those of the backup roots' trees
    uint32_t orphan_ = BtrfsEntry::kNone;
    std::vector<std::pair<std::string, double>> phaseSeconds_;
    // Advanced mode's device search: file-system leaves (volume byte,
    // address) and the newest root item of each tree.
    std::vector<std::pair<uint64_t, uint64_t>> deviceLeaves_;
    std::unordered_map<uint64_t, TreeRoot> deviceRoots_;
    TreeRoot devTree_;
};

}  // namespace brantlow
