// The ext2/ext3/ext4 on-disk format: superblock, group descriptors, inodes,
// block maps, extent trees and directory blocks. Pure decoders over byte
// buffers; every field goes through the bounded readers and every count
// taken from disk is checked before it is used. A decoder gives the value
// or the reason it was refused, and names the fields it replaced to go on.
//
// Where they are: the superblock and group descriptors in ext_superblock.cpp,
// inodes in ext_inode.cpp, extent trees and block maps in ext_extents.cpp,
// directory blocks in ext_dirent.cpp, the journal in ext_journal.h.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/decoded.h"

namespace brantlow::ext {

constexpr uint16_t kSuperMagic = 0xEF53;
constexpr uint16_t kExtentMagic = 0xF30A;
constexpr uint32_t kRootInode = 2;

// Feature bits.
constexpr uint32_t kCompatHasJournal = 0x0004;
constexpr uint32_t kIncompatFileType = 0x0002;
constexpr uint32_t kIncompatJournalDev = 0x0008;
constexpr uint32_t kIncompatMetaBg = 0x0010;
constexpr uint32_t kIncompatExtents = 0x0040;
constexpr uint32_t kIncompat64Bit = 0x0080;
constexpr uint32_t kIncompatInlineData = 0x8000;
constexpr uint32_t kRoCompatSparseSuper = 0x0001;
constexpr uint32_t kRoCompatGdtCsum = 0x0010;
constexpr uint32_t kRoCompatMetadataCsum = 0x0400;

// Inode flags.
constexpr uint32_t kFlagIndex = 0x00001000;
constexpr uint32_t kFlagExtents = 0x00080000;
constexpr uint32_t kFlagInlineData = 0x10000000;

// File types by mode & 0xF000.
constexpr uint16_t kTypeMask = 0xF000;
constexpr uint16_t kTypeFifo = 0x1000;
constexpr uint16_t kTypeChar = 0x2000;
constexpr uint16_t kTypeDir = 0x4000;
constexpr uint16_t kTypeBlock = 0x6000;
constexpr uint16_t kTypeFile = 0x8000;
constexpr uint16_t kTypeLink = 0xA000;
constexpr uint16_t kTypeSocket = 0xC000;

// Group descriptor flags.
constexpr uint16_t kBgInodeUninit = 0x0001;
constexpr uint16_t kBgBlockUninit = 0x0002;

constexpr uint32_t kMaxBlockSize = 8192;
constexpr int kMaxExtentDepth = 5;

// The superblock fields this program uses, validated.
struct Superblock {
    uint32_t inodesCount = 0;     // bounded by groupCount * inodesPerGroup
    uint64_t blocksCount = 0;     // 64-bit with INCOMPAT_64BIT
    uint32_t firstDataBlock = 0;
    uint32_t logBlockSize = 0;
    uint32_t blockSize = 0;
    uint32_t blocksPerGroup = 0;
    uint32_t inodesPerGroup = 0;
    uint32_t inodeSize = 0;       // 128 on revision 0
    uint32_t firstInode = 11;
    uint32_t revLevel = 0;
    uint16_t blockGroupNr = 0;    // which group holds this copy
    uint32_t compat = 0, incompat = 0, roCompat = 0;
    uint32_t journalInode = 0;
    uint32_t firstMetaBg = 0;
    uint32_t descSize = 32;       // descriptor stride
    uint64_t groupCount = 0;      // ⌈(blocksCount − firstDataBlock) / blocksPerGroup⌉
    uint8_t uuid[16] = {};
    uint8_t journalBlocks[68] = {};  // s_jnl_blocks: a copy of the journal inode's i_block, i_size

    bool hasFileType() const { return incompat & kIncompatFileType; }
    bool hasJournal() const { return (compat & kCompatHasJournal) && !(incompat & kIncompatJournalDev); }
    bool groupChecksums() const { return roCompat & (kRoCompatGdtCsum | kRoCompatMetadataCsum); }
};

// Decodes and checks a 1024-byte superblock: the magic, a block size of
// 1 to 8 KiB, 0 < blocks per group <= 8 x block size, 0 < inodes per group
// <= 8 x block size, an inode size that is a power of two between 128 and
// the block size, a descriptor size that is a power of two up to the block
// size, a block count above the first data block and below 2^48. An inode
// count above what the groups hold is cut to it (replaced).
Decoded<Superblock> decodeSuperblock(const uint8_t* sb, size_t len);

// One group descriptor, 64-bit fields joined. A field of 0 means "none".
struct GroupDesc {
    uint64_t blockBitmap = 0;
    uint64_t inodeBitmap = 0;
    uint64_t inodeTable = 0;
    uint16_t flags = 0;
    uint32_t itableUnused = 0;
};
// Decodes descriptor `len` bytes long (the superblock's stride). Bitmaps
// and an inode table (tableBlocks long) that do not lie inside the volume
// are replaced by 0: the group's inodes are then skipped and its bitmaps
// unknown.
Decoded<GroupDesc> decodeGroupDesc(const uint8_t* d, size_t len, const Superblock& sb, uint64_t tableBlocks);

// Whether a group holds a superblock backup (sparse_super: 0, 1, powers of
// 3, 5 and 7).
bool groupHasSuper(const Superblock& sb, uint64_t group);

// The inode fields this program uses.
struct Inode {
    uint16_t mode = 0;
    uint16_t links = 0;
    uint32_t flags = 0;
    uint64_t size = 0;
    int64_t atime = 0, ctime = 0, mtime = 0, crtime = 0;
    int32_t atimeNs = 0, ctimeNs = 0, mtimeNs = 0, crtimeNs = 0;
    uint32_t dtime = 0;
    bool hasCrtime = false;  // a large inode with room for i_crtime
    uint32_t generation = 0;
    uint8_t block[60] = {};

    uint16_t type() const { return mode & kTypeMask; }
    bool isDir() const { return type() == kTypeDir; }
    bool isFile() const { return type() == kTypeFile; }
    bool usesExtents() const { return flags & kFlagExtents; }
    bool inlineData() const { return flags & kFlagInlineData; }
    // i_block holds something: an extent header with entries, or a non-zero
    // block pointer.
    bool hasBlockArea() const;
};
// Seconds of a 32-bit time field and its extra field (two epoch bits, 30
// bits of nanoseconds). False when the nanoseconds are out of range (then 0).
inline bool decodeInodeTime(uint32_t lo, uint32_t extra, bool hasExtra, int64_t& sec, int32_t& ns) {
    sec = static_cast<int32_t>(lo);
    ns = 0;
    if (!hasExtra) return true;
    sec += static_cast<int64_t>(extra & 3) << 32;
    const uint32_t n = extra >> 2;
    if (n > 999999999u) return false;
    ns = static_cast<int32_t>(n);
    return true;
}
// Out of line, for decodeInode: the refusal and the repairs' texts.
Decoded<Inode> refuseInode(size_t len);
void noteInodeRepairs(Decoded<Inode>& d, const uint8_t* p, size_t len, bool extraCut, bool nsBad);

// Decodes an inode of `len` bytes (the inode size, at least 128; the extra
// time fields are read only where i_extra_isize says they exist). An
// i_extra_isize past the inode's end is cut to it, nanoseconds above
// 999,999,999 become 0 (replaced). Inline: inodes are decoded by the million.
inline Decoded<Inode> decodeInode(const uint8_t* p, size_t len) {
    if (len < 128) return refuseInode(len);
    Decoded<Inode> d = Decoded<Inode>::ok(Inode{});
    Inode& out = *d;
    out.mode = le16(p, len, 0);
    out.size = le32(p, len, 4) | (static_cast<uint64_t>(le32(p, len, 108)) << 32);
    out.dtime = le32(p, len, 20);
    out.links = le16(p, len, 26);
    out.flags = le32(p, len, 32);
    std::memcpy(out.block, p + 40, 60);
    out.generation = le32(p, len, 100);
    // Extra fields exist up to 128 + i_extra_isize.
    size_t extraEnd = 128;
    bool extraCut = false;
    if (len > 128) {
        const size_t extra = le16(p, len, 128);
        extraCut = 128 + extra > len;
        extraEnd = std::min<size_t>(len, 128 + extra);
    }
    auto has = [&](size_t off) { return off + 4 <= extraEnd; };
    bool nsOk = decodeInodeTime(le32(p, len, 8), le32(p, len, 140), has(140), out.atime, out.atimeNs);
    nsOk &= decodeInodeTime(le32(p, len, 12), le32(p, len, 132), has(132), out.ctime, out.ctimeNs);
    nsOk &= decodeInodeTime(le32(p, len, 16), le32(p, len, 136), has(136), out.mtime, out.mtimeNs);
    out.hasCrtime = has(144);
    if (has(144)) nsOk &= decodeInodeTime(le32(p, len, 144), le32(p, len, 148), has(148), out.crtime, out.crtimeNs);
    if (extraCut || !nsOk) noteInodeRepairs(d, p, len, extraCut, !nsOk);
    return d;
}

// The in-inode extended attribute "system.data" of an inline-data inode:
// the bytes beyond the first 60. Empty when absent.
std::string inlineDataTail(const uint8_t* p, size_t len);

// A piece of a file: `count` blocks from logical block `logical` at
// physical block `physical`; unwritten extents read as zeros.
struct Run {
    uint64_t logical = 0;
    uint64_t physical = 0;
    uint64_t count = 0;
    bool unwritten = false;
};

// Reads one tree or indirect block (blockSize bytes) for the mapper; false
// when it cannot be read.
using BlockFetch = std::function<bool(uint64_t block, uint8_t* buf)>;

// The root of an extent tree (in i_block) or of one of its nodes.
struct ExtentHeader {
    uint16_t entries = 0;     // the entries to read: cut to what the node holds
    uint16_t maxEntries = 0;
    uint16_t depth = 0;       // 0: the entries are leaves
};
// Checks the magic, a depth of at most 5 (and `expectDepth` when it is not
// negative: a child is one level below its index). A count above eh_max or
// above what the node holds is cut to the node's room (replaced).
Decoded<ExtentHeader> decodeExtentHeader(const uint8_t* node, size_t len, int expectDepth);

// Entry i of an extent node (after the 12-byte header).
struct ExtentLeaf {
    uint64_t logical = 0;
    uint64_t start = 0;    // 48-bit physical block
    uint32_t count = 0;    // blocks; an unwritten extent's length less 32768
    bool unwritten = false;
};
// Refused when its start block is 0 or at or beyond blocksCount.
Decoded<ExtentLeaf> decodeExtentLeaf(const uint8_t* node, size_t len, size_t i, uint64_t blocksCount);
struct ExtentIndex {
    uint64_t logical = 0;
    uint64_t child = 0;    // 48-bit block of the node one level down
};
// Refused when its child block is 0 or at or beyond blocksCount.
Decoded<ExtentIndex> decodeExtentIndex(const uint8_t* node, size_t len, size_t i, uint64_t blocksCount);

struct MapResult {
    std::vector<Run> runs;  // ascending, non-overlapping; gaps are holes
    bool damaged = false;   // a node or indirect block was unreadable or invalid
    // The first fault: the tree or indirect block it lies in (0: the
    // inode's own i_block) and what was wrong.
    uint64_t faultBlock = 0;
    std::string fault;
};

// Maps an inode's blocks (extent tree of any depth, or the direct and the
// single, double and triple indirect block map) up to `maxLogical` blocks.
// Block numbers at or beyond blocksCount are dropped (damaged); a tree or
// indirect block is never read twice.
MapResult mapBlocks(const Inode& ino, uint32_t blockSize, uint64_t blocksCount, uint64_t maxLogical,
                    const BlockFetch& fetch);

// One record of a directory block.
struct DirRecord {
    uint32_t inode = 0;
    uint8_t fileType = 0;
    bool hidden = false;     // found in the slack of another record (a deleted name)
    uint32_t offset = 0;     // of the record in the block
    uint16_t nameOffset = 0; // of the name in the block
    uint8_t nameLength = 0;
};

// The header of a directory record.
struct DirEntry {
    uint32_t inode = 0;
    uint16_t recLen = 0;
    uint16_t nameLength = 0;
    uint8_t fileType = 0;
};
// Why decodeDirEntry refuses a record (out of line: the walk calls the
// decoder for every record).
Decoded<DirEntry> refuseDirEntry(const DirEntry& e, size_t len, size_t off);
// The record at `off` of a directory block: its 8-byte header and name lie
// inside the block, rec_len is at least 8, a multiple of 4 and stays in the
// block, the name (at most 255 bytes) fits in the record.
inline Decoded<DirEntry> decodeDirEntry(const uint8_t* b, size_t len, size_t off, bool hasFileType) {
    DirEntry e;
    if (off + 8 <= len) {
        const uint8_t* p = b + off;
        e.inode = static_cast<uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16)) | (static_cast<uint32_t>(p[3]) << 24);
        e.recLen = static_cast<uint16_t>(p[4] | (p[5] << 8));
        e.nameLength = hasFileType ? p[6] : static_cast<uint16_t>(p[6] | (p[7] << 8));
        e.fileType = hasFileType ? p[7] : 0;
        if (e.recLen >= 8 && e.recLen % 4 == 0 && off + e.recLen <= len && e.nameLength <= 255 &&
            8u + e.nameLength <= e.recLen)
            return Decoded<DirEntry>::ok(e);
    }
    return refuseDirEntry(e, len, off);
}

// Why a directory block's record walk ended early.
struct DirFault {
    uint32_t offset = 0;  // of the refused record in the block
    std::string what;
};

struct DirParseOptions {
    bool hasFileType = true;
    bool readSlack = true;   // look for deleted names in record slack
    uint32_t maxInode = 0;   // inode numbers above this are not names
    bool keepNoInode = false;  // also return records whose inode is 0 and name is left
};

// Parses one directory block. Records with inode 0 are not returned
// (unless keepNoInode: then those that still hold a name); the
// walk ends at the first record decodeDirEntry refuses (`fault` says
// which). Returns false when the first record is not a valid record at all.
// `indexNode` is set for an htree interior node (one empty record spanning
// the block) and for a root block (its slack holds the index, not names).
bool parseDirBlock(const uint8_t* b, size_t len, const DirParseOptions& opt, std::vector<DirRecord>& out,
                   bool* indexNode = nullptr, DirFault* fault = nullptr);

// A directory block's first two records are "." and "..": their inodes.
bool dotEntries(const uint8_t* b, size_t len, uint32_t& self, uint32_t& parent);

}  // namespace brantlow::ext
