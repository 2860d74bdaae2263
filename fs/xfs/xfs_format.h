// The XFS on-disk format: superblock, allocation-group headers (AGF, AGI),
// B+tree block headers, inodes (v1/v2/v3, classic and big timestamps),
// extent records, the in-inode B+tree root, short-form directories and
// directory data blocks. Pure decoders over byte buffers: every field goes
// through the bounded readers and every count taken from disk is checked
// against the geometry before it is used. Metadata is big-endian; the log
// keeps inode cores in the byte order of the machine that wrote them, so
// the inode decoder takes the order as a parameter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/decoded.h"

namespace brantlow::xfs {

constexpr uint32_t kSuperMagic = 0x58465342;  // "XFSB"
constexpr uint32_t kAgfMagic = 0x58414746;    // "XAGF"
constexpr uint32_t kAgiMagic = 0x58414749;    // "XAGI"
constexpr uint16_t kInodeMagic = 0x494e;      // "IN"

// B+tree block magics: v4 / v5 (with CRC).
constexpr uint32_t kBnoMagic = 0x41425442, kBnoMagic3 = 0x41423342;  // "ABTB" / "AB3B"
constexpr uint32_t kCntMagic = 0x41425443, kCntMagic3 = 0x41423343;  // "ABTC" / "AB3C"
constexpr uint32_t kInoMagic = 0x49414254, kInoMagic3 = 0x49414233;  // "IABT" / "IAB3"
constexpr uint32_t kBmapMagic = 0x424d4150, kBmapMagic3 = 0x424d4133;  // "BMAP" / "BMA3"
// Directory data blocks: single-block form ("XD2B" / "XDB3") and the data
// blocks of leaf and node directories ("XD2D" / "XDD3").
constexpr uint32_t kDirBlockMagic = 0x58443242, kDirBlockMagic3 = 0x58444233;
constexpr uint32_t kDirDataMagic = 0x58443244, kDirDataMagic3 = 0x58444433;

// Data-fork formats.
constexpr uint8_t kFormatDev = 0, kFormatLocal = 1, kFormatExtents = 2, kFormatBtree = 3;

// File types by mode & 0xF000.
constexpr uint16_t kTypeMask = 0xF000;
constexpr uint16_t kTypeFifo = 0x1000, kTypeChar = 0x2000, kTypeDir = 0x4000, kTypeBlock = 0x6000;
constexpr uint16_t kTypeFile = 0x8000, kTypeLink = 0xA000, kTypeSocket = 0xC000;

// Inode flags.
constexpr uint16_t kFlagRealtime = 0x0001;
constexpr uint64_t kFlag2BigTime = 0x08;
constexpr uint64_t kFlag2Nrext64 = 0x10;

// Directory offsets: data blocks live below this file offset (bytes);
// leaf and free-index blocks above it.
constexpr uint64_t kDirLeafOffset = 1ull << 35;

// B+trees deeper than this are refused (real ones have at most 9 levels).
constexpr int kMaxBtreeLevels = 12;

struct Superblock {
    uint32_t blockSize = 0;
    uint64_t dblocks = 0;
    uint64_t rblocks = 0;
    uint64_t rextents = 0;
    uint8_t uuid[16] = {};
    uint64_t logStart = 0;  // file-system block of an internal log, 0: external
    uint64_t rootIno = 0;
    uint32_t agBlocks = 0;
    uint32_t agCount = 0;
    uint32_t logBlocks = 0;
    uint16_t versionNum = 0;
    uint16_t sectSize = 0;
    uint16_t inodeSize = 0;
    uint16_t inodesPerBlock = 0;
    uint8_t blockLog = 0, sectLog = 0, inodeLog = 0, inoPerBlockLog = 0, agBlockLog = 0, dirBlockLog = 0;
    uint64_t icount = 0, ifree = 0;
    uint32_t features2 = 0;
    uint32_t compat = 0, roCompat = 0, incompat = 0;
    std::string label;  // sb_fname up to its first NUL

    int version() const { return versionNum & 0xF; }
    bool v5() const { return version() == 5; }
    // Directory entries carry a file-type byte.
    bool hasFtype() const { return v5() ? (incompat & 0x1) : (features2 & 0x200); }
    bool sparseInodes() const { return v5() && (incompat & 0x2); }
    bool nrext64() const { return v5() && (incompat & 0x20); }
    bool hasRealtime() const { return rblocks != 0 || rextents != 0; }
    uint32_t dirBlockSize() const { return blockSize << dirBlockLog; }
    uint32_t inodeCoreSize() const { return v5() ? 176 : 100; }
    // Blocks of allocation group `ag` (the last one may be shorter).
    uint64_t agLength(uint32_t ag) const;
    // Bits of an inode number below the AG number.
    unsigned agInoBits() const { return agBlockLog + inoPerBlockLog; }
    uint64_t maxIno() const;

    // File-system block (AG number above agBlockLog bits) to a block
    // counted from the start of the volume; false when it lies outside
    // every AG.
    bool linear(uint64_t fsb, uint64_t& out) const;
    // The same for a run: false when it leaves its AG.
    bool linearRun(uint64_t fsb, uint64_t count, uint64_t& out) const;
    uint64_t fsbOf(uint64_t linearBlock) const;
    // Byte position of an inode in the volume; false for a number that
    // names no inode of the volume.
    bool inodePosition(uint64_t ino, uint64_t& byte) const;
    // The inode number at a byte position (inode-size aligned).
    uint64_t inodeAt(uint64_t byte) const;
    bool validIno(uint64_t ino) const {
        uint64_t b = 0;
        return ino != 0 && inodePosition(ino, b);
    }
};

// Decodes a superblock sector (at least 264 bytes): the magic, version 4 or
// 5, power-of-two block, sector and inode sizes that agree with their
// logarithms, AGs of 16 MiB to 1 TiB whose size and count cover the data
// blocks, directory blocks of at most 64 KiB. A root inode number that
// names no inode (AG copies written before the root existed) is replaced
// by 0.
Decoded<Superblock> decodeSuperblock(const uint8_t* p, size_t len);

// Free-space header of an AG (sector 1 of the AG).
struct Agf {
    uint32_t seqno = 0;
    uint32_t length = 0;
    uint32_t bnoRoot = 0, cntRoot = 0;
    uint32_t bnoLevel = 0, cntLevel = 0;
    uint32_t flFirst = 0, flLast = 0, flCount = 0;
    uint32_t freeBlocks = 0;
};
Decoded<Agf> decodeAgf(const uint8_t* p, size_t len, const Superblock& sb, uint32_t ag);

// Inode header of an AG (sector 2 of the AG).
struct Agi {
    uint32_t seqno = 0;
    uint32_t length = 0;
    uint32_t count = 0;
    uint32_t root = 0, level = 0;
    uint32_t freeCount = 0;
};
Decoded<Agi> decodeAgi(const uint8_t* p, size_t len, const Superblock& sb, uint32_t ag);

// A B+tree block header: short form (AG btrees, 32-bit siblings) or long
// form (the file block map, 64-bit siblings).
struct BtreeBlock {
    uint32_t magic = 0;
    uint16_t level = 0;
    uint16_t numrecs = 0;
    size_t headerSize = 0;
    uint64_t owner = 0;  // v5: AG number (short) or inode number (long)
};
Decoded<BtreeBlock> decodeBtreeBlock(const uint8_t* p, size_t len, bool longForm, bool crc);

// A timestamp as stored: seconds since 1970 and nanoseconds.
struct Timestamp {
    int64_t sec = 0;
    int32_t nsec = 0;
};

struct Inode {
    uint16_t mode = 0;
    uint8_t version = 0;
    uint8_t format = 0;
    uint32_t nlink = 0;
    uint64_t size = 0;
    uint64_t nblocks = 0;
    uint64_t nextents = 0;
    uint8_t forkOff = 0;  // attribute fork offset in 8-byte units, 0: none
    uint16_t flags = 0;
    uint32_t gen = 0;
    uint64_t flags2 = 0;
    uint64_t ino = 0;  // v3: the inode's own number
    Timestamp atime, mtime, ctime, crtime;
    bool hasCrtime = false;
    // The data fork inside the raw inode.
    size_t forkOffset = 0;
    size_t forkSize = 0;

    uint16_t type() const { return mode & kTypeMask; }
    bool isDir() const { return type() == kTypeDir; }
    bool isFile() const { return type() == kTypeFile; }
    bool realtime() const { return flags & kFlagRealtime; }
};

// Decodes an inode core: `len` bytes from its first byte, at least the core
// (a log copy may hold only the core). bigEndian is false for a log copy
// written by a little-endian machine. Refuses a wrong magic, an unknown
// version or format, and a data fork that does not fit the inode size.
Decoded<Inode> decodeInode(const uint8_t* p, size_t len, const Superblock& sb, bool bigEndian = true);

// One extent record (16 bytes, big-endian).
struct Extent {
    uint64_t startOff = 0;    // file block
    uint64_t startBlock = 0;  // file-system block (AG-relative encoding)
    uint32_t count = 0;
    bool unwritten = false;
};
Extent decodeExtent(const uint8_t* p);
// A record that names blocks of the volume: a non-zero count, inside one AG,
// not past its end.
bool extentValid(const Extent& e, const Superblock& sb);

// Up to `max` records from `p` (n bytes): all of them must be valid and in
// ascending file order, else the list ends before the first one that is
// not (stale lists of freed inodes also end at an all-zero record).
// `damaged` is set when a record inside the count was refused.
std::vector<Extent> decodeExtentList(const uint8_t* p, size_t n, uint64_t max, const Superblock& sb,
                                     bool* damaged = nullptr);

// The B+tree root held in an inode's fork: level and record count, then the
// keys and the child pointers (file-system blocks).
struct BmapRoot {
    uint16_t level = 0;
    std::vector<uint64_t> children;
};
Decoded<BmapRoot> decodeBmapRoot(const uint8_t* p, size_t forkSize, const Superblock& sb);

// A directory entry as found.
struct DirName {
    uint64_t ino = 0;
    uint32_t nameOffset = 0;  // in the decoded buffer
    uint8_t nameLength = 0;
    uint8_t ftype = 0;        // 0 when the volume keeps none
    bool stale = false;       // a removed entry: found behind a free tag or past the live entries
    bool lowOnly = false;     // only the low 32 bits of the inode number survived
    bool dot = false;         // "." or ".."
};

// A short-form directory in an inode's fork (`n` bytes: the whole literal
// area; `size` of them hold the live entries). Live entries, then with
// `stale` the removed entries still readable past them. Refused when the
// header or a live entry does not fit.
struct ShortDir {
    uint64_t parent = 0;
    std::vector<DirName> names;
};
Decoded<ShortDir> decodeShortDir(const uint8_t* p, size_t n, uint64_t size, const Superblock& sb, bool stale);

// A directory data block (`n` = the directory block size): the single-block
// form (its leaf entries and tail at the end) or a data block of a leaf or
// node directory. Live entries, "." and "..", and the removed entries that
// can still be read inside free regions. v5 blocks must name `owner`
// (0: not checked).
struct DirBlock {
    bool v5 = false;
    bool singleBlock = false;
    std::vector<DirName> names;
};
Decoded<DirBlock> decodeDirBlock(const uint8_t* p, size_t n, const Superblock& sb, uint64_t owner);

// Whether bytes are a directory data block header (any of the four magics).
bool isDirBlock(const uint8_t* p, size_t n);

// A plausible entry name: 1 to 255 bytes, none of them "/" or NUL.
bool nameValid(const uint8_t* name, size_t n);

}  // namespace brantlow::xfs
