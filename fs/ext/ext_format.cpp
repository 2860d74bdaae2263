#include "fs/ext/ext_format.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "base/bytes.h"

namespace brantlow::ext {

namespace {

bool powerOfTwo(uint32_t v) { return v && !(v & (v - 1)); }

// Seconds of a 32-bit time field and its extra field (two epoch bits, 30
// bits of nanoseconds).
void decodeTime(uint32_t lo, uint32_t extra, bool hasExtra, int64_t& sec, int32_t& ns) {
    sec = static_cast<int32_t>(lo);
    ns = 0;
    if (!hasExtra) return;
    sec += static_cast<int64_t>(extra & 3) << 32;
    uint32_t n = extra >> 2;
    ns = n <= 999999999u ? static_cast<int32_t>(n) : 0;
}

}  // namespace

bool parseSuperblock(const uint8_t* sb, size_t len, Superblock& out) {
    if (len < 1024 || le16(sb, len, 56) != kSuperMagic) return false;
    Superblock s;
    s.logBlockSize = le32(sb, len, 24);
    if (s.logBlockSize > 3) return false;
    s.blockSize = 1024u << s.logBlockSize;
    s.blocksPerGroup = le32(sb, len, 32);
    s.inodesPerGroup = le32(sb, len, 40);
    if (s.blocksPerGroup == 0 || s.blocksPerGroup > 8 * s.blockSize) return false;
    if (s.inodesPerGroup == 0 || s.inodesPerGroup > 8 * s.blockSize) return false;
    s.revLevel = le32(sb, len, 76);
    if (s.revLevel == 0) {
        s.inodeSize = 128;
        s.firstInode = 11;
    } else {
        s.inodeSize = le16(sb, len, 88);
        s.firstInode = std::max<uint32_t>(le32(sb, len, 84), 3);
    }
    if (!powerOfTwo(s.inodeSize) || s.inodeSize < 128 || s.inodeSize > s.blockSize) return false;
    s.blockGroupNr = le16(sb, len, 90);
    s.compat = le32(sb, len, 92);
    s.incompat = le32(sb, len, 96);
    s.roCompat = le32(sb, len, 100);
    std::memcpy(s.uuid, sb + 104, 16);
    s.journalInode = le32(sb, len, 224);
    s.firstMetaBg = le32(sb, len, 260);
    std::memcpy(s.journalBlocks, sb + 268, sizeof s.journalBlocks);
    s.firstDataBlock = le32(sb, len, 20);
    s.blocksCount = le32(sb, len, 4);
    if (s.incompat & kIncompat64Bit) {
        s.blocksCount |= static_cast<uint64_t>(le32(sb, len, 336)) << 32;
        uint32_t ds = le16(sb, len, 254);
        s.descSize = std::max<uint32_t>(32, ds);
        if (!powerOfTwo(s.descSize) || s.descSize > 1024 || s.descSize > s.blockSize) return false;
    }
    // Block numbers are 48 bits at most.
    if (s.blocksCount <= s.firstDataBlock || s.blocksCount >= (1ull << 48)) return false;
    s.groupCount = (s.blocksCount - s.firstDataBlock + s.blocksPerGroup - 1) / s.blocksPerGroup;
    uint64_t inodes = s.groupCount * s.inodesPerGroup;  // < 2^48 * 2^16: no overflow
    s.inodesCount = static_cast<uint32_t>(std::min<uint64_t>({le32(sb, len, 0), inodes, 0xFFFFFFFFull}));
    if (s.inodesCount == 0) return false;
    out = s;
    return true;
}

GroupDesc parseGroupDesc(const uint8_t* d, size_t len, bool wide) {
    GroupDesc g;
    g.blockBitmap = le32(d, len, 0);
    g.inodeBitmap = le32(d, len, 4);
    g.inodeTable = le32(d, len, 8);
    g.flags = le16(d, len, 18);
    g.itableUnused = le16(d, len, 28);
    if (wide && len >= 64) {
        g.blockBitmap |= static_cast<uint64_t>(le32(d, len, 32)) << 32;
        g.inodeBitmap |= static_cast<uint64_t>(le32(d, len, 36)) << 32;
        g.inodeTable |= static_cast<uint64_t>(le32(d, len, 40)) << 32;
        g.itableUnused |= static_cast<uint32_t>(le16(d, len, 50)) << 16;
    }
    return g;
}

bool groupHasSuper(const Superblock& sb, uint64_t group) {
    if (group <= 1) return true;
    if (!(sb.roCompat & kRoCompatSparseSuper)) return true;
    for (uint64_t base : {3ull, 5ull, 7ull}) {
        uint64_t p = base;
        while (p < group) p *= base;
        if (p == group) return true;
    }
    return false;
}

bool Inode::hasBlockArea() const {
    if (inlineData()) return size > 0;
    if (usesExtents()) return le16(block, 60, 0) == kExtentMagic && le16(block, 60, 2) > 0;
    for (int i = 0; i < 15; ++i)
        if (le32(block, 60, 4 * i)) return true;
    return false;
}

void parseInode(const uint8_t* p, size_t len, Inode& out) {
    out = Inode{};
    out.mode = le16(p, len, 0);
    out.size = le32(p, len, 4) | (static_cast<uint64_t>(le32(p, len, 108)) << 32);
    out.dtime = le32(p, len, 20);
    out.links = le16(p, len, 26);
    out.flags = le32(p, len, 32);
    if (fieldFits(len, 40, 60)) std::memcpy(out.block, p + 40, 60);
    out.generation = le32(p, len, 100);
    // Extra fields exist up to 128 + i_extra_isize.
    size_t extraEnd = 128;
    if (len > 128) extraEnd = std::min<size_t>(len, 128 + static_cast<size_t>(le16(p, len, 128)));
    auto has = [&](size_t off) { return off + 4 <= extraEnd; };
    decodeTime(le32(p, len, 8), le32(p, len, 140), has(140), out.atime, out.atimeNs);
    decodeTime(le32(p, len, 12), le32(p, len, 132), has(132), out.ctime, out.ctimeNs);
    decodeTime(le32(p, len, 16), le32(p, len, 136), has(136), out.mtime, out.mtimeNs);
    if (has(144)) decodeTime(le32(p, len, 144), le32(p, len, 148), has(148), out.crtime, out.crtimeNs);
}

std::string inlineDataTail(const uint8_t* p, size_t len) {
    if (len <= 132) return {};
    const size_t start = 128 + static_cast<size_t>(le16(p, len, 128));
    if (le32(p, len, start) != 0xEA020000u) return {};
    const size_t base = start + 4;  // value offsets count from the first entry
    size_t off = base;
    while (fieldFits(len, off, 16)) {
        const uint8_t nameLen = le8(p, len, off);
        const uint8_t index = le8(p, len, off + 1);
        if (nameLen == 0 && index == 0 && le16(p, len, off + 2) == 0 && le32(p, len, off + 4) == 0) break;
        const uint16_t valueOff = le16(p, len, off + 2);
        const uint32_t valueSize = le32(p, len, off + 8);
        if (!fieldFits(len, off + 16, nameLen)) break;
        if (index == 7 && nameLen == 4 && std::memcmp(p + off + 16, "data", 4) == 0) {
            if (!fieldFits(len, base + valueOff, valueSize)) return {};
            return std::string(reinterpret_cast<const char*>(p + base + valueOff), valueSize);
        }
        off += (16 + nameLen + 3) & ~size_t{3};
    }
    return {};
}

namespace {

class Mapper {
public:
    Mapper(uint32_t bs, uint64_t blocksCount, uint64_t maxLogical, const BlockFetch& fetch)
        : bs_(bs), blocksCount_(blocksCount), maxLogical_(maxLogical), fetch_(fetch) {}

    void add(uint64_t logical, uint64_t physical, uint64_t count, bool unwritten) {
        if (count == 0 || logical >= maxLogical_) return;
        count = std::min(count, maxLogical_ - logical);
        if (physical == 0 || physical >= blocksCount_) {
            res.damaged = true;
            return;
        }
        if (count > blocksCount_ - physical) {
            count = blocksCount_ - physical;
            res.damaged = true;
        }
        if (!res.runs.empty()) {
            Run& r = res.runs.back();
            if (!r.unwritten && !unwritten && r.logical + r.count == logical && r.physical + r.count == physical) {
                r.count += count;
                return;
            }
        }
        res.runs.push_back({logical, physical, count, unwritten});
    }

    bool readNode(uint64_t block, std::vector<uint8_t>& buf) {
        if (block == 0 || block >= blocksCount_ || ++nodes_ > kMaxNodes || !visited_.insert(block).second) {
            res.damaged = true;
            return false;
        }
        buf.assign(bs_, 0);
        if (!fetch_ || !fetch_(block, buf.data())) {
            res.damaged = true;
            return false;
        }
        return true;
    }

    // One extent node: the inode's 60 bytes or a tree block.
    void extentNode(const uint8_t* n, size_t len, int expectDepth) {
        if (le16(n, len, 0) != kExtentMagic) {
            res.damaged = true;
            return;
        }
        const uint16_t entries = le16(n, len, 2);
        const uint16_t maxEntries = le16(n, len, 4);
        const uint16_t depth = le16(n, len, 6);
        const size_t room = (len - 12) / 12;
        if (depth > kMaxExtentDepth || (expectDepth >= 0 && depth != expectDepth) || entries > maxEntries ||
            entries > room) {
            res.damaged = true;
            if (depth > kMaxExtentDepth || (expectDepth >= 0 && depth != expectDepth)) return;
        }
        const size_t count = std::min<size_t>(entries, room);
        for (size_t i = 0; i < count; ++i) {
            const size_t e = 12 + 12 * i;
            const uint64_t logical = le32(n, len, e);
            if (depth == 0) {
                uint32_t l = le16(n, len, e + 4);
                bool unwritten = false;
                if (l > 32768) {
                    l -= 32768;
                    unwritten = true;
                }
                const uint64_t start = le32(n, len, e + 8) | (static_cast<uint64_t>(le16(n, len, e + 6)) << 32);
                add(logical, start, l, unwritten);
            } else {
                if (logical >= maxLogical_) continue;
                const uint64_t child = le32(n, len, e + 4) | (static_cast<uint64_t>(le16(n, len, e + 8)) << 32);
                std::vector<uint8_t> buf;
                if (!readNode(child, buf)) continue;
                extentNode(buf.data(), buf.size(), depth - 1);
            }
        }
    }

    // Pointers of an indirect block at `level` (1 single, 2 double, 3
    // triple) covering logical blocks from `base`.
    void indirect(uint64_t block, int level, uint64_t base) {
        if (block == 0 || base >= maxLogical_) return;
        std::vector<uint8_t> buf;
        if (!readNode(block, buf)) return;
        const uint64_t per = bs_ / 4;
        uint64_t span = 1;
        for (int i = 1; i < level; ++i) span *= per;
        for (uint64_t i = 0; i < per; ++i) {
            const uint64_t at = base + i * span;
            if (at >= maxLogical_) break;
            const uint32_t p = le32(buf.data(), buf.size(), 4 * i);
            if (!p) continue;
            if (level == 1)
                add(at, p, 1, false);
            else
                indirect(p, level - 1, at);
        }
    }

    void blockMap(const uint8_t* b) {
        for (int i = 0; i < 12; ++i) {
            const uint32_t p = le32(b, 60, 4 * i);
            if (p) add(static_cast<uint64_t>(i), p, 1, false);
        }
        const uint64_t per = bs_ / 4;
        indirect(le32(b, 60, 48), 1, 12);
        indirect(le32(b, 60, 52), 2, 12 + per);
        indirect(le32(b, 60, 56), 3, 12 + per + per * per);
    }

    MapResult res;

private:
    static constexpr uint64_t kMaxNodes = 1u << 20;
    uint32_t bs_;
    uint64_t blocksCount_, maxLogical_;
    const BlockFetch& fetch_;
    std::unordered_set<uint64_t> visited_;
    uint64_t nodes_ = 0;
};

}  // namespace

MapResult mapBlocks(const Inode& ino, uint32_t blockSize, uint64_t blocksCount, uint64_t maxLogical,
                    const BlockFetch& fetch) {
    Mapper m(blockSize, blocksCount, maxLogical, fetch);
    if (ino.inlineData() || maxLogical == 0) return std::move(m.res);
    if (ino.usesExtents())
        m.extentNode(ino.block, sizeof ino.block, -1);
    else
        m.blockMap(ino.block);
    MapResult r = std::move(m.res);
    // Extent trees list their leaves in order; damaged ones may not.
    if (!std::is_sorted(r.runs.begin(), r.runs.end(), [](const Run& a, const Run& b) { return a.logical < b.logical; })) {
        std::stable_sort(r.runs.begin(), r.runs.end(), [](const Run& a, const Run& b) { return a.logical < b.logical; });
        r.damaged = true;
    }
    // Overlaps: the earlier run keeps its blocks.
    std::vector<Run> clean;
    clean.reserve(r.runs.size());
    uint64_t end = 0;
    for (Run run : r.runs) {
        if (run.logical < end) {
            r.damaged = true;
            const uint64_t cut = end - run.logical;
            if (cut >= run.count) continue;
            run.logical += cut;
            run.physical += cut;
            run.count -= cut;
        }
        end = run.logical + run.count;
        clean.push_back(run);
    }
    r.runs = std::move(clean);
    return r;
}

namespace {

size_t idealLength(size_t nameLen) { return (8 + nameLen + 3) & ~size_t{3}; }

bool plausibleName(const uint8_t* name, size_t n) {
    if (n == 0) return false;
    for (size_t i = 0; i < n; ++i)
        if (name[i] == 0 || name[i] == '/') return false;
    if (n == 1 && name[0] == '.') return false;
    if (n == 2 && name[0] == '.' && name[1] == '.') return false;
    return true;
}

// Deleted records left in the slack [from, to) of a record.
void slackRecords(const uint8_t* b, size_t len, size_t from, size_t to, const DirParseOptions& opt,
                  std::vector<DirRecord>& out) {
    size_t p = (from + 3) & ~size_t{3};
    while (p + 8 <= to) {
        const uint32_t inode = le32(b, len, p);
        const uint16_t rec = le16(b, len, p + 4);
        const uint8_t nl = le8(b, len, p + 6);
        const uint8_t ft = le8(b, len, p + 7);
        bool ok = inode != 0 && inode <= opt.maxInode && nl > 0 && p + 8 + nl <= to && rec % 4 == 0 &&
                  rec >= idealLength(nl) && p + rec <= len && (!opt.hasFileType || ft <= 7) &&
                  plausibleName(b + p + 8, nl);
        if (ok) {
            DirRecord r;
            r.inode = inode;
            r.fileType = opt.hasFileType ? ft : 0;
            r.hidden = true;
            r.offset = static_cast<uint32_t>(p);
            r.nameOffset = static_cast<uint16_t>(p + 8);
            r.nameLength = nl;
            out.push_back(r);
            p += idealLength(nl);
        } else {
            p += 4;
        }
    }
}

}  // namespace

bool parseDirBlock(const uint8_t* b, size_t len, const DirParseOptions& opt, std::vector<DirRecord>& out,
                   bool* indexNode) {
    if (indexNode) *indexNode = false;
    if (len < 12 || len > 65536) return false;
    // An htree interior node: one empty record over the whole block.
    if (le32(b, len, 0) == 0 && le16(b, len, 4) == len) {
        if (indexNode) *indexNode = true;
        return true;
    }
    size_t off = 0;
    bool first = true;
    while (off + 8 <= len) {
        const uint32_t inode = le32(b, len, off);
        const uint16_t rec = le16(b, len, off + 4);
        uint16_t nl = opt.hasFileType ? le8(b, len, off + 6) : le16(b, len, off + 6);
        const uint8_t ft = opt.hasFileType ? le8(b, len, off + 7) : 0;
        if (rec < 8 || rec % 4 != 0 || off + rec > len || nl > 255 || 8u + nl > rec) {
            if (first) return false;
            break;
        }
        // The checksum tail: an empty record of 12 bytes with type 0xDE.
        const bool tail = inode == 0 && rec == 12 && nl == 0 && off + 12 == len;
        if (tail) break;
        bool dxRoot = false;
        if (inode != 0 && nl > 0 && inode <= opt.maxInode) {
            DirRecord r;
            r.inode = inode;
            r.fileType = ft;
            r.offset = static_cast<uint32_t>(off);
            r.nameOffset = static_cast<uint16_t>(off + 8);
            r.nameLength = static_cast<uint8_t>(nl);
            out.push_back(r);
            // ".." spanning the rest of the first block: an htree root, whose
            // slack is the index.
            dxRoot = off == 12 && nl == 2 && b[off + 8] == '.' && b[off + 9] == '.' && off + rec == len &&
                     le8(b, len, off + 8 + 4 + 5) == 8;
            if (dxRoot && indexNode) *indexNode = true;
        }
        if (opt.readSlack && !dxRoot) {
            const size_t used = inode != 0 || nl > 0 ? idealLength(nl) : 8;
            if (rec >= used + 12) slackRecords(b, len, off + used, off + rec, opt, out);
        }
        off += rec;
        first = false;
    }
    return true;
}

bool dotEntries(const uint8_t* b, size_t len, uint32_t& self, uint32_t& parent) {
    if (len < 24) return false;
    const uint16_t r0 = le16(b, len, 4);
    if (le8(b, len, 6) != 1 || b[8] != '.' || r0 < 12 || r0 % 4 || r0 + 12u > len) return false;
    if (le8(b, len, r0 + 6) != 2 || b[r0 + 8] != '.' || b[r0 + 9] != '.') return false;
    self = le32(b, len, 0);
    parent = le32(b, len, r0);
    return self != 0;
}

}  // namespace brantlow::ext
