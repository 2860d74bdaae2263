// Where a file's blocks are: the extent tree (a header and up to four
// entries in i_block, index nodes and leaves in tree blocks) or the block
// map of ext2/ext3 (twelve direct pointers, then single, double and triple
// indirect blocks).
#include <algorithm>
#include <cstdio>
#include <unordered_set>

#include "base/bytes.h"
#include "fs/ext/ext_format.h"

namespace brantlow::ext {

using std::to_string;

Decoded<ExtentHeader> decodeExtentHeader(const uint8_t* n, size_t len, int expectDepth) {
    using D = Decoded<ExtentHeader>;
    if (len < 12) return D::refused("extent header past the node's end");
    if (le16(n, len, 0) != kExtentMagic) {
        char magic[8];
        std::snprintf(magic, sizeof magic, "0x%X", le16(n, len, 0));
        return D::refused(std::string("extent magic ") + magic + " is not 0xF30A");
    }
    ExtentHeader h;
    h.entries = le16(n, len, 2);
    h.maxEntries = le16(n, len, 4);
    h.depth = le16(n, len, 6);
    if (h.depth > kMaxExtentDepth) return D::refused("extent depth " + to_string(h.depth) + " above 5");
    if (expectDepth >= 0 && h.depth != expectDepth)
        return D::refused("extent depth " + to_string(h.depth) + " where " + to_string(expectDepth) + " belongs");
    const size_t room = (len - 12) / 12;
    if (h.entries > h.maxEntries || h.entries > room) {
        const uint16_t claimed = h.entries;
        h.entries = static_cast<uint16_t>(std::min<size_t>(h.entries, room));
        D d = D::ok(h);
        d.replace("extent entries " + to_string(claimed) + " above eh_max " + to_string(h.maxEntries) +
                  " or the node's room " + to_string(room) + ": " + to_string(h.entries) + " read");
        return d;
    }
    return D::ok(h);
}

Decoded<ExtentLeaf> decodeExtentLeaf(const uint8_t* n, size_t len, size_t i, uint64_t blocksCount) {
    const size_t e = 12 + 12 * i;
    ExtentLeaf l;
    l.logical = le32(n, len, e);
    l.count = le16(n, len, e + 4);
    if (l.count > 32768) {
        l.count -= 32768;
        l.unwritten = true;
    }
    l.start = le32(n, len, e + 8) | (static_cast<uint64_t>(le16(n, len, e + 6)) << 32);
    if (l.start == 0 || l.start >= blocksCount)
        return Decoded<ExtentLeaf>::refused("extent at logical block " + to_string(l.logical) + " starts at block " +
                                            to_string(l.start) + ", outside the volume");
    return Decoded<ExtentLeaf>::ok(l);
}

Decoded<ExtentIndex> decodeExtentIndex(const uint8_t* n, size_t len, size_t i, uint64_t blocksCount) {
    const size_t e = 12 + 12 * i;
    ExtentIndex x;
    x.logical = le32(n, len, e);
    x.child = le32(n, len, e + 4) | (static_cast<uint64_t>(le16(n, len, e + 8)) << 32);
    if (x.child == 0 || x.child >= blocksCount)
        return Decoded<ExtentIndex>::refused("extent index at logical block " + to_string(x.logical) +
                                             " names block " + to_string(x.child) + ", outside the volume");
    return Decoded<ExtentIndex>::ok(x);
}

namespace {

class Mapper {
public:
    Mapper(uint32_t bs, uint64_t blocksCount, uint64_t maxLogical, const BlockFetch& fetch)
        : bs_(bs), blocksCount_(blocksCount), maxLogical_(maxLogical), fetch_(fetch) {}

    // The first fault is kept; every fault marks the map damaged.
    void fault(uint64_t block, std::string what) {
        if (res.fault.empty()) {
            res.faultBlock = block;
            res.fault = std::move(what);
        }
        res.damaged = true;
    }

    void add(uint64_t logical, uint64_t physical, uint64_t count, bool unwritten) {
        if (count == 0 || logical >= maxLogical_) return;
        count = std::min(count, maxLogical_ - logical);
        if (physical == 0 || physical >= blocksCount_) {
            fault(node_, "block " + to_string(physical) + " at logical block " + to_string(logical) +
                             " outside the volume");
            return;
        }
        if (count > blocksCount_ - physical) {
            count = blocksCount_ - physical;
            fault(node_, "blocks from logical block " + to_string(logical) + " run past the volume's end: cut");
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
        if (block == 0 || block >= blocksCount_) {
            fault(node_, "block " + to_string(block) + " outside the volume");
            return false;
        }
        if (++nodes_ > kMaxNodes || !visited_.insert(block).second) {
            fault(node_, "block " + to_string(block) + " named twice");
            return false;
        }
        buf.assign(bs_, 0);
        if (!fetch_ || !fetch_(block, buf.data())) {
            fault(block, "unreadable");
            return false;
        }
        return true;
    }

    // One extent node: the inode's 60 bytes (block 0) or a tree block.
    void extentNode(const uint8_t* n, size_t len, int expectDepth, uint64_t block) {
        node_ = block;
        const Decoded<ExtentHeader> h = decodeExtentHeader(n, len, expectDepth);
        if (!h) {
            fault(block, h.reason());
            return;
        }
        if (!h.replaced().empty()) fault(block, h.replaced().front());
        for (size_t i = 0; i < h->entries; ++i) {
            node_ = block;
            const uint64_t logical = le32(n, len, 12 + 12 * i);
            if (h->depth == 0) {
                const Decoded<ExtentLeaf> l = decodeExtentLeaf(n, len, i, blocksCount_);
                // Extents past the size, or empty ones, are no fault.
                const uint32_t raw = le16(n, len, 12 + 12 * i + 4);
                if ((raw > 32768 ? raw - 32768 : raw) == 0 || logical >= maxLogical_) continue;
                if (!l) {
                    fault(block, l.reason());
                    continue;
                }
                add(l->logical, l->start, l->count, l->unwritten);
            } else {
                if (logical >= maxLogical_) continue;
                const Decoded<ExtentIndex> x = decodeExtentIndex(n, len, i, blocksCount_);
                if (!x) {
                    fault(block, x.reason());
                    continue;
                }
                std::vector<uint8_t> buf;
                if (!readNode(x->child, buf)) continue;
                extentNode(buf.data(), buf.size(), h->depth - 1, x->child);
            }
        }
    }

    // Pointers of an indirect block at `level` (1 single, 2 double, 3
    // triple) covering logical blocks from `base`.
    void indirect(uint64_t block, int level, uint64_t base, uint64_t parent) {
        if (block == 0 || base >= maxLogical_) return;
        node_ = parent;
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
            node_ = block;
            if (level == 1)
                add(at, p, 1, false);
            else
                indirect(p, level - 1, at, block);
        }
    }

    void blockMap(const uint8_t* b) {
        node_ = 0;
        for (int i = 0; i < 12; ++i) {
            const uint32_t p = le32(b, 60, 4 * i);
            if (p) add(static_cast<uint64_t>(i), p, 1, false);
        }
        const uint64_t per = bs_ / 4;
        indirect(le32(b, 60, 48), 1, 12, 0);
        indirect(le32(b, 60, 52), 2, 12 + per, 0);
        indirect(le32(b, 60, 56), 3, 12 + per + per * per, 0);
    }

    MapResult res;

private:
    static constexpr uint64_t kMaxNodes = 1u << 20;
    uint32_t bs_;
    uint64_t blocksCount_, maxLogical_;
    const BlockFetch& fetch_;
    std::unordered_set<uint64_t> visited_;
    uint64_t nodes_ = 0;
    uint64_t node_ = 0;  // the block being read (0: the inode)
};

// Runs in logical order without overlaps: the earlier run keeps its blocks.
void orderRuns(MapResult& r) {
    auto byLogical = [](const Run& a, const Run& b) { return a.logical < b.logical; };
    // Extent trees list their leaves in order; damaged ones may not.
    if (!std::is_sorted(r.runs.begin(), r.runs.end(), byLogical)) {
        std::stable_sort(r.runs.begin(), r.runs.end(), byLogical);
        r.damaged = true;
        if (r.fault.empty()) r.fault = "extents out of order";
    }
    std::vector<Run> clean;
    clean.reserve(r.runs.size());
    uint64_t end = 0;
    for (Run run : r.runs) {
        if (run.logical < end) {
            r.damaged = true;
            if (r.fault.empty()) r.fault = "extents overlap at logical block " + to_string(run.logical);
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
}

}  // namespace

MapResult mapBlocks(const Inode& ino, uint32_t blockSize, uint64_t blocksCount, uint64_t maxLogical,
                    const BlockFetch& fetch) {
    Mapper m(blockSize, blocksCount, maxLogical, fetch);
    if (ino.inlineData() || maxLogical == 0) return std::move(m.res);
    if (ino.usesExtents())
        m.extentNode(ino.block, sizeof ino.block, -1, 0);
    else
        m.blockMap(ino.block);
    MapResult r = std::move(m.res);
    orderRuns(r);
    return r;
}

}  // namespace brantlow::ext
