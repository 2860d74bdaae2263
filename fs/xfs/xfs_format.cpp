#include "fs/xfs/xfs_format.h"

#include <algorithm>
#include <cstring>

#include "base/bytes.h"

namespace brantlow::xfs {

namespace {

// Smallest L with 2^L >= v.
unsigned log2Up(uint64_t v) {
    unsigned l = 0;
    while (l < 64 && (1ull << l) < v) ++l;
    return l;
}

std::string num(uint64_t v) { return std::to_string(v); }

constexpr size_t kSuperBytes = 264;
constexpr uint64_t kBigTimeEpochOffset = 2147483648ull;  // 2^31 s: big timestamps count from 1901-12-13

// Directory entry sizes: the inode number, the name length, the name, the
// file type when kept and the two-byte tag, rounded up to 8.
size_t dataEntrySize(size_t nameLength, bool ftype) { return (8 + 1 + nameLength + (ftype ? 1 : 0) + 2 + 7) & ~size_t{7}; }

bool ftypeValid(uint8_t t) { return t >= 1 && t <= 7; }

}  // namespace

uint64_t Superblock::agLength(uint32_t ag) const {
    if (ag >= agCount) return 0;
    if (ag + 1 < agCount) return agBlocks;
    return dblocks - static_cast<uint64_t>(agCount - 1) * agBlocks;
}

uint64_t Superblock::maxIno() const {
    const unsigned bits = agInoBits() + log2Up(agCount);
    return bits >= 64 ? ~0ull : (1ull << bits) - 1;
}

bool Superblock::linear(uint64_t fsb, uint64_t& out) const {
    const uint64_t ag = agBlockLog >= 64 ? 0 : fsb >> agBlockLog;
    const uint64_t agbno = fsb & ((1ull << agBlockLog) - 1);
    if (ag >= agCount || agbno >= agLength(static_cast<uint32_t>(ag))) return false;
    out = ag * agBlocks + agbno;
    return true;
}

bool Superblock::linearRun(uint64_t fsb, uint64_t count, uint64_t& out) const {
    if (!linear(fsb, out)) return false;
    const uint64_t ag = fsb >> agBlockLog;
    const uint64_t agbno = fsb & ((1ull << agBlockLog) - 1);
    return count <= agLength(static_cast<uint32_t>(ag)) - agbno;
}

uint64_t Superblock::fsbOf(uint64_t linearBlock) const {
    const uint64_t ag = linearBlock / agBlocks;
    return (ag << agBlockLog) | (linearBlock % agBlocks);
}

bool Superblock::inodePosition(uint64_t ino, uint64_t& byte) const {
    const unsigned bits = agInoBits();
    const uint64_t ag = bits >= 64 ? 0 : ino >> bits;
    const uint64_t agino = ino & ((1ull << bits) - 1);
    const uint64_t agbno = agino >> inoPerBlockLog;
    const uint64_t slot = agino & (inodesPerBlock - 1u);
    if (ag >= agCount || agbno >= agLength(static_cast<uint32_t>(ag))) return false;
    byte = (ag * agBlocks + agbno) * blockSize + slot * inodeSize;
    return true;
}

uint64_t Superblock::inodeAt(uint64_t byte) const {
    const uint64_t block = byte / blockSize;
    const uint64_t ag = block / agBlocks;
    const uint64_t agbno = block % agBlocks;
    const uint64_t slot = (byte % blockSize) / inodeSize;
    return (ag << agInoBits()) | (agbno << inoPerBlockLog) | slot;
}

Decoded<Superblock> decodeSuperblock(const uint8_t* p, size_t len) {
    using R = Decoded<Superblock>;
    if (len < kSuperBytes) return R::refused("shorter than a superblock");
    if (be32(p, len, 0) != kSuperMagic) return R::refused("no superblock magic");
    Superblock s;
    s.blockSize = be32(p, len, 4);
    s.dblocks = be64(p, len, 8);
    s.rblocks = be64(p, len, 16);
    s.rextents = be64(p, len, 24);
    std::memcpy(s.uuid, p + 32, 16);
    s.logStart = be64(p, len, 48);
    s.rootIno = be64(p, len, 56);
    s.agBlocks = be32(p, len, 84);
    s.agCount = be32(p, len, 88);
    s.logBlocks = be32(p, len, 96);
    s.versionNum = be16(p, len, 100);
    s.sectSize = be16(p, len, 102);
    s.inodeSize = be16(p, len, 104);
    s.inodesPerBlock = be16(p, len, 106);
    for (size_t i = 108; i < 120 && p[i]; ++i) s.label.push_back(static_cast<char>(p[i]));
    s.blockLog = p[120];
    s.sectLog = p[121];
    s.inodeLog = p[122];
    s.inoPerBlockLog = p[123];
    s.agBlockLog = p[124];
    s.icount = be64(p, len, 128);
    s.ifree = be64(p, len, 136);
    s.dirBlockLog = p[192];
    if (s.versionNum & 0x8000) s.features2 = be32(p, len, 200);
    const int version = s.version();
    if (version != 4 && version != 5) return R::refused("version " + num(static_cast<uint64_t>(version)) + " is not read");
    if (version == 4 && !(s.versionNum & 0x2000)) return R::refused("version 1 directories are not read");
    if (version == 5) {
        s.compat = be32(p, len, 208);
        s.roCompat = be32(p, len, 212);
        s.incompat = be32(p, len, 216);
    }
    if (s.blockLog < 9 || s.blockLog > 16 || s.blockSize != (1u << s.blockLog))
        return R::refused("block size " + num(s.blockSize) + " is not a power of two from 512 to 65536");
    if (s.sectLog < 9 || s.sectLog > 15 || s.sectSize != (1u << s.sectLog) || s.sectSize > s.blockSize)
        return R::refused("sector size " + num(s.sectSize) + " is not valid");
    if (s.inodeLog < 8 || s.inodeLog > 11 || s.inodeSize != (1u << s.inodeLog) || s.inodeSize > s.blockSize ||
        (version == 5 && s.inodeSize < 512))
        return R::refused("inode size " + num(s.inodeSize) + " is not valid");
    if (s.inoPerBlockLog != s.blockLog - s.inodeLog || s.inodesPerBlock != (1u << s.inoPerBlockLog))
        return R::refused("inodes per block " + num(s.inodesPerBlock) + " disagree with the block and inode sizes");
    // AGs of 16 MiB to 1 TiB, as the kernel requires.
    const uint64_t agBytes = static_cast<uint64_t>(s.agBlocks) * s.blockSize;
    if (agBytes < (16ull << 20) || agBytes > (1ull << 40) || s.agBlockLog != log2Up(s.agBlocks))
        return R::refused("AG size " + num(s.agBlocks) + " is not valid");
    if (s.agBlockLog + s.inoPerBlockLog > 32) return R::refused("inode numbers inside an AG exceed 32 bits");
    if (s.agCount == 0 || s.dblocks == 0 || s.dblocks > (1ull << 54))
        return R::refused("AG count " + num(s.agCount) + " or block count " + num(s.dblocks) + " is not valid");
    const uint64_t covered = static_cast<uint64_t>(s.agCount) * s.agBlocks;
    if (covered < s.dblocks || covered - s.agBlocks >= s.dblocks)
        return R::refused(num(s.agCount) + " AGs of " + num(s.agBlocks) + " blocks do not hold " + num(s.dblocks) +
                          " blocks");
    if (s.blockLog + s.dirBlockLog > 16) return R::refused("directory blocks larger than 64 KiB");
    uint64_t logBlock = 0;
    if (s.logStart != 0 && !s.linearRun(s.logStart, s.logBlocks, logBlock)) s.logStart = 0;
    // Copies in later AGs may have been written before the root existed.
    const uint64_t root = s.rootIno;
    if (!s.validIno(root)) s.rootIno = 0;
    R r = R::ok(s);
    if (!s.rootIno) r.replace("root inode " + num(root) + " is no inode of the volume: the folder that is its own parent taken");
    return r;
}

Decoded<Agf> decodeAgf(const uint8_t* p, size_t len, const Superblock& sb, uint32_t ag) {
    using R = Decoded<Agf>;
    if (be32(p, len, 0) != kAgfMagic) return R::refused("no AGF magic");
    Agf a;
    a.seqno = be32(p, len, 8);
    if (a.seqno != ag) return R::refused("AGF of AG " + num(a.seqno) + " where AG " + num(ag) + " was expected");
    a.length = be32(p, len, 12);
    a.bnoRoot = be32(p, len, 16);
    a.cntRoot = be32(p, len, 20);
    a.bnoLevel = be32(p, len, 28);
    a.cntLevel = be32(p, len, 32);
    a.flFirst = be32(p, len, 40);
    a.flLast = be32(p, len, 44);
    a.flCount = be32(p, len, 48);
    a.freeBlocks = be32(p, len, 52);
    R r = R::ok(a);
    const uint64_t want = sb.agLength(ag);
    if (a.length != want) {
        r->length = static_cast<uint32_t>(want);
        r.replace("length " + num(a.length) + ": " + num(want) + " taken");
    }
    return r;
}

Decoded<Agi> decodeAgi(const uint8_t* p, size_t len, const Superblock& sb, uint32_t ag) {
    using R = Decoded<Agi>;
    if (be32(p, len, 0) != kAgiMagic) return R::refused("no AGI magic");
    Agi a;
    a.seqno = be32(p, len, 8);
    if (a.seqno != ag) return R::refused("AGI of AG " + num(a.seqno) + " where AG " + num(ag) + " was expected");
    a.length = be32(p, len, 12);
    a.count = be32(p, len, 16);
    a.root = be32(p, len, 20);
    a.level = be32(p, len, 24);
    a.freeCount = be32(p, len, 28);
    if (a.root >= sb.agLength(ag)) return R::refused("inode B+tree root " + num(a.root) + " lies past the AG");
    if (a.level == 0 || a.level > static_cast<uint32_t>(kMaxBtreeLevels))
        return R::refused("inode B+tree of " + num(a.level) + " levels");
    return R::ok(a);
}

Decoded<BtreeBlock> decodeBtreeBlock(const uint8_t* p, size_t len, bool longForm, bool crc) {
    using R = Decoded<BtreeBlock>;
    BtreeBlock b;
    b.magic = be32(p, len, 0);
    b.level = be16(p, len, 4);
    b.numrecs = be16(p, len, 6);
    if (longForm) {
        b.headerSize = crc ? 72 : 24;
        if (crc) b.owner = be64(p, len, 56);
    } else {
        b.headerSize = crc ? 56 : 16;
        if (crc) b.owner = be32(p, len, 48);
    }
    if (len < b.headerSize) return R::refused("shorter than its header");
    if (b.level >= kMaxBtreeLevels) return R::refused("level " + num(b.level));
    return R::ok(b);
}

Decoded<Inode> decodeInode(const uint8_t* p, size_t len, const Superblock& sb, bool bigEndian) {
    using R = Decoded<Inode>;
    auto r16 = [&](size_t o) { return bigEndian ? be16(p, len, o) : le16(p, len, o); };
    auto r32 = [&](size_t o) { return bigEndian ? be32(p, len, o) : le32(p, len, o); };
    auto r64 = [&](size_t o) { return bigEndian ? be64(p, len, o) : le64(p, len, o); };
    if (len < 96 || r16(0) != kInodeMagic) return R::refused("no inode magic");
    Inode i;
    i.mode = r16(2);
    i.version = p[4];
    i.format = p[5];
    if (i.version < 1 || i.version > 3 || (i.version == 3) != sb.v5())
        return R::refused("inode version " + num(i.version) + " on a version " + num(static_cast<uint64_t>(sb.version())) +
                          " volume");
    const size_t core = i.version == 3 ? 176 : 100;
    if (len < (i.version == 3 ? core : 96)) return R::refused("shorter than an inode core");
    if (i.format > kFormatBtree) return R::refused("data fork format " + num(i.format));
    i.nlink = i.version == 1 ? r16(6) : r32(16);
    if (i.version == 3) i.flags2 = r64(120);
    const bool bigTime = i.flags2 & kFlag2BigTime;
    auto time = [&](size_t o, Timestamp& t) {
        if (bigTime) {
            const uint64_t v = r64(o);
            t.sec = static_cast<int64_t>(v / 1000000000ull) - static_cast<int64_t>(kBigTimeEpochOffset);
            t.nsec = static_cast<int32_t>(v % 1000000000ull);
        } else {
            t.sec = static_cast<int32_t>(r32(o));
            const uint32_t ns = r32(o + 4);
            t.nsec = ns <= 999999999u ? static_cast<int32_t>(ns) : 0;
        }
    };
    time(32, i.atime);
    time(40, i.mtime);
    time(48, i.ctime);
    const uint64_t size = r64(56);
    i.size = size >> 63 ? 0 : size;
    i.nblocks = r64(64);
    i.nextents = (i.flags2 & kFlag2Nrext64) ? r64(24) : r32(76);
    i.forkOff = p[82];
    i.flags = r16(90);
    i.gen = r32(92);
    if (i.version == 3) {
        time(144, i.crtime);
        i.hasCrtime = true;
        i.ino = r64(152);
    }
    const size_t literal = sb.inodeSize > core ? sb.inodeSize - core : 0;
    i.forkOffset = core;
    i.forkSize = i.forkOff ? static_cast<size_t>(i.forkOff) * 8 : literal;
    if (i.forkSize > literal) return R::refused("attribute fork offset " + num(i.forkOff) + " lies past the inode");
    R r = R::ok(i);
    if (size >> 63) r.replace("negative size: 0 taken");
    return r;
}

Extent decodeExtent(const uint8_t* p) {
    const uint64_t l0 = be64(p, 16, 0), l1 = be64(p, 16, 8);
    Extent e;
    e.unwritten = l0 >> 63;
    e.startOff = (l0 & ((1ull << 63) - 1)) >> 9;
    e.startBlock = ((l0 & 0x1FF) << 43) | (l1 >> 21);
    e.count = static_cast<uint32_t>(l1 & 0x1FFFFF);
    return e;
}

bool extentValid(const Extent& e, const Superblock& sb) {
    uint64_t at = 0;
    return e.count > 0 && sb.linearRun(e.startBlock, e.count, at);
}

std::vector<Extent> decodeExtentList(const uint8_t* p, size_t n, uint64_t max, const Superblock& sb, bool* damaged) {
    std::vector<Extent> out;
    uint64_t end = 0;
    const uint64_t records = n / 16;
    for (uint64_t k = 0; k < records && k < max; ++k) {
        const uint8_t* r = p + k * 16;
        static const uint8_t zero[16] = {};
        if (std::memcmp(r, zero, 16) == 0) {
            if (damaged && max != ~0ull) *damaged = true;
            break;
        }
        const Extent e = decodeExtent(r);
        if (!extentValid(e, sb) || e.startOff < end) {
            if (damaged) *damaged = true;
            break;
        }
        out.push_back(e);
        end = e.startOff + e.count;
    }
    return out;
}

Decoded<BmapRoot> decodeBmapRoot(const uint8_t* p, size_t forkSize, const Superblock& sb) {
    using R = Decoded<BmapRoot>;
    if (forkSize < 4 + 16) return R::refused("fork too small for a B+tree root");
    BmapRoot b;
    b.level = be16(p, forkSize, 0);
    const uint16_t numrecs = be16(p, forkSize, 2);
    const size_t maxrecs = (forkSize - 4) / 16;
    if (b.level == 0 || b.level >= kMaxBtreeLevels) return R::refused("B+tree root of level " + num(b.level));
    if (numrecs == 0 || numrecs > maxrecs) return R::refused("B+tree root of " + num(numrecs) + " records");
    const size_t ptrs = 4 + maxrecs * 8;
    uint64_t lastKey = 0;
    for (size_t k = 0; k < numrecs; ++k) {
        const uint64_t key = be64(p, forkSize, 4 + k * 8);
        const uint64_t child = be64(p, forkSize, ptrs + k * 8);
        uint64_t at = 0;
        if (k > 0 && key <= lastKey) return R::refused("B+tree root keys out of order");
        if (!sb.linear(child, at)) return R::refused("B+tree root points past the volume");
        lastKey = key;
        b.children.push_back(child);
    }
    return R::ok(b);
}

bool nameValid(const uint8_t* name, size_t n) {
    if (n == 0 || n > 255) return false;
    for (size_t i = 0; i < n; ++i)
        if (name[i] == 0 || name[i] == '/') return false;
    return true;
}

Decoded<ShortDir> decodeShortDir(const uint8_t* p, size_t n, uint64_t size, const Superblock& sb, bool stale) {
    using R = Decoded<ShortDir>;
    if (n < 6) return R::refused("fork too small for a directory");
    const uint8_t count = p[0];
    const uint8_t i8count = p[1];
    const size_t inoBytes = i8count ? 8 : 4;
    const size_t header = 2 + inoBytes;
    if (i8count > count) return R::refused("more 8-byte inode numbers than entries");
    if (size < header || header > n) return R::refused("shorter than its header");
    ShortDir d;
    d.parent = i8count ? be64(p, n, 2) : be32(p, n, 2);
    if (!sb.validIno(d.parent)) return R::refused("parent " + num(d.parent) + " is no inode of the volume");
    const bool ft = sb.hasFtype();
    const size_t limit = static_cast<size_t>(std::min<uint64_t>(size, n));
    size_t o = header;
    for (unsigned k = 0; k < count; ++k) {
        const size_t nameLength = o < limit ? p[o] : 0;
        const size_t entry = 3 + nameLength + (ft ? 1 : 0) + inoBytes;
        if (nameLength == 0 || o + entry > limit) return R::refused("entry " + num(k) + " runs past the directory");
        DirName e;
        e.nameOffset = static_cast<uint32_t>(o + 3);
        e.nameLength = static_cast<uint8_t>(nameLength);
        e.ftype = ft ? p[o + 3 + nameLength] : 0;
        const size_t io = o + 3 + nameLength + (ft ? 1 : 0);
        e.ino = inoBytes == 8 ? be64(p, n, io) : be32(p, n, io);
        if (!nameValid(p + o + 3, nameLength)) return R::refused("entry " + num(k) + " has no valid name");
        if (!sb.validIno(e.ino)) return R::refused("entry " + num(k) + " names inode " + num(e.ino));
        d.names.push_back(e);
        o += entry;
    }
    if (!stale) return R::ok(d);
    // Removed entries: the bytes past the live ones keep what the last
    // entries held before the rest moved down over a removed one.
    const uint32_t firstOffset = sb.v5() ? 0x60 : 0x30;
    while (o + 3 + 1 + inoBytes <= n) {
        const size_t nameLength = p[o];
        const size_t entry = 3 + nameLength + (ft ? 1 : 0) + inoBytes;
        const uint16_t off = be16(p, n, o + 1);
        if (nameLength == 0 || o + entry > n || off < firstOffset || (off & 7) || !nameValid(p + o + 3, nameLength)) {
            ++o;
            continue;
        }
        DirName e;
        e.nameOffset = static_cast<uint32_t>(o + 3);
        e.nameLength = static_cast<uint8_t>(nameLength);
        e.ftype = ft ? p[o + 3 + nameLength] : 0;
        const size_t io = o + 3 + nameLength + (ft ? 1 : 0);
        e.ino = inoBytes == 8 ? be64(p, n, io) : be32(p, n, io);
        e.stale = true;
        if ((ft && !ftypeValid(e.ftype)) || !sb.validIno(e.ino)) {
            ++o;
            continue;
        }
        d.names.push_back(e);
        o += entry;
    }
    return R::ok(d);
}

bool isDirBlock(const uint8_t* p, size_t n) {
    const uint32_t m = be32(p, n, 0);
    return m == kDirBlockMagic || m == kDirBlockMagic3 || m == kDirDataMagic || m == kDirDataMagic3;
}

Decoded<DirBlock> decodeDirBlock(const uint8_t* p, size_t n, const Superblock& sb, uint64_t owner) {
    using R = Decoded<DirBlock>;
    const uint32_t magic = be32(p, n, 0);
    DirBlock d;
    d.v5 = magic == kDirBlockMagic3 || magic == kDirDataMagic3;
    d.singleBlock = magic == kDirBlockMagic || magic == kDirBlockMagic3;
    if (!isDirBlock(p, n)) return R::refused("no directory block magic");
    if (d.v5 != sb.v5()) return R::refused("directory block of the other format version");
    const size_t header = d.v5 ? 64 : 16;
    if (n < header + 16) return R::refused("shorter than a directory block");
    if (d.v5 && owner && be64(p, n, 40) != owner)
        return R::refused("directory block of inode " + num(be64(p, n, 40)));
    size_t end = n;
    if (d.singleBlock) {
        const uint64_t leaves = be32(p, n, n - 8);
        if (leaves * 8 + 8 > n - header) return R::refused(num(leaves) + " leaf entries do not fit the block");
        end = n - 8 - static_cast<size_t>(leaves) * 8;
    }
    const bool ft = sb.hasFtype();
    // Removed entries inside a free region [s, e): each keeps its name and
    // tag; the free tag and length cover the high half of the inode number
    // of the one the region starts with.
    auto staleIn = [&](size_t s, size_t e) {
        size_t q = s;
        while (q + 16 <= e) {
            const size_t nameLength = p[q + 8];
            const size_t size = dataEntrySize(nameLength, ft);
            if (nameLength == 0 || q + size > e || be16(p, n, q + size - 2) != q || !nameValid(p + q + 9, nameLength)) {
                q += 8;
                continue;
            }
            DirName x;
            x.nameOffset = static_cast<uint32_t>(q + 9);
            x.nameLength = static_cast<uint8_t>(nameLength);
            x.ftype = ft ? p[q + 9 + nameLength] : 0;
            x.stale = true;
            const bool covered = q == s || be16(p, n, q) == 0xFFFF;
            x.ino = covered ? be32(p, n, q + 4) : be64(p, n, q);
            if (!covered && !sb.validIno(x.ino)) x.ino &= 0xFFFFFFFFu, x.lowOnly = true;
            x.lowOnly = x.lowOnly || covered;
            if ((ft && !ftypeValid(x.ftype)) || x.ino == 0) {
                q += 8;
                continue;
            }
            d.names.push_back(x);
            q += size;
        }
    };
    size_t o = header;
    R r = R::ok(DirBlock{});
    while (o + 8 <= end) {
        if (be16(p, n, o) == 0xFFFF) {
            const size_t length = be16(p, n, o + 2);
            if (length < 8 || (length & 7) || o + length > end) {
                r.replace("free region at " + num(o) + " of " + num(length) + " bytes: block cut there");
                break;
            }
            staleIn(o, o + length);
            o += length;
            continue;
        }
        const size_t nameLength = p[o + 8];
        const size_t size = dataEntrySize(nameLength, ft);
        if (nameLength == 0 || o + size > end || be16(p, n, o + size - 2) != o) {
            r.replace("entry at " + num(o) + " is not valid: block cut there");
            break;
        }
        DirName x;
        x.ino = be64(p, n, o);
        x.nameOffset = static_cast<uint32_t>(o + 9);
        x.nameLength = static_cast<uint8_t>(nameLength);
        x.ftype = ft ? p[o + 9 + nameLength] : 0;
        x.dot = (nameLength == 1 && p[o + 9] == '.') || (nameLength == 2 && p[o + 9] == '.' && p[o + 10] == '.');
        if (nameValid(p + o + 9, nameLength) && sb.validIno(x.ino))
            d.names.push_back(x);
        else
            r.replace("entry at " + num(o) + " names no valid inode: skipped");
        o += size;
    }
    *r = std::move(d);
    return r;
}

}  // namespace brantlow::xfs
