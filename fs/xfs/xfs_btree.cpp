#include "fs/xfs/xfs_btree.h"

#include <unordered_set>

#include "base/bytes.h"

namespace brantlow::xfs {

void walkAgTree(const Superblock& sb, uint32_t ag, uint32_t root, uint32_t levels, const AgTree& tree,
                const BlockRead& read, const std::function<bool(const uint8_t* rec)>& visit, WalkDamage& damage) {
    const uint64_t agLen = sb.agLength(ag);
    const uint64_t agStart = static_cast<uint64_t>(ag) * sb.agBlocks;
    if (levels == 0 || levels > static_cast<uint32_t>(kMaxBtreeLevels)) {
        damage.note(agStart * sb.blockSize, std::string(tree.name) + " of " + std::to_string(levels) + " levels");
        return;
    }
    const bool crc = sb.v5();
    const uint32_t magic = crc ? tree.magic3 : tree.magic;
    const size_t bs = sb.blockSize;
    std::vector<uint8_t> buf(bs);
    std::unordered_set<uint32_t> seen;
    struct Step {
        uint32_t agbno;
        uint32_t level;
    };
    std::vector<Step> stack{{root, levels - 1}};
    while (!stack.empty()) {
        const Step s = stack.back();
        stack.pop_back();
        const uint64_t block = agStart + s.agbno;
        if (s.agbno >= agLen || s.agbno == 0) {
            damage.note(agStart * bs, std::string(tree.name) + " points at block " + std::to_string(s.agbno) + " of the AG");
            continue;
        }
        if (!seen.insert(s.agbno).second || seen.size() > agLen) {
            damage.note(block * bs, std::string(tree.name) + " reaches this block twice");
            continue;
        }
        if (!read(block, buf.data())) {
            damage.note(block * bs, std::string(tree.name) + " block cannot be read");
            continue;
        }
        auto h = decodeBtreeBlock(buf.data(), bs, false, crc);
        if (!h || h->magic != magic || h->level != s.level || (crc && h->owner != ag)) {
            damage.note(block * bs, std::string(tree.name) + " block is not one of this tree (magic, level or owner)");
            continue;
        }
        if (s.level == 0) {
            const size_t maxrecs = (bs - h->headerSize) / tree.recSize;
            if (h->numrecs > maxrecs) {
                damage.note(block * bs, std::string(tree.name) + " leaf of " + std::to_string(h->numrecs) + " records");
                continue;
            }
            for (size_t k = 0; k < h->numrecs; ++k)
                if (!visit(buf.data() + h->headerSize + k * tree.recSize)) return;
            continue;
        }
        const size_t maxrecs = (bs - h->headerSize) / (tree.keySize + 4);
        if (h->numrecs == 0 || h->numrecs > maxrecs) {
            damage.note(block * bs, std::string(tree.name) + " node of " + std::to_string(h->numrecs) + " records");
            continue;
        }
        const size_t ptrs = h->headerSize + maxrecs * tree.keySize;
        // Children pushed last first, so they are visited in key order.
        for (size_t k = h->numrecs; k-- > 0;)
            stack.push_back({be32(buf.data(), bs, ptrs + k * 4), s.level - 1});
    }
}

std::vector<Extent> mapBmapTree(const Superblock& sb, const BmapRoot& root, uint64_t owner, const BlockRead& read,
                                uint64_t maxExtents, WalkDamage& damage) {
    std::vector<Extent> out;
    const bool crc = sb.v5();
    const uint32_t magic = crc ? kBmapMagic3 : kBmapMagic;
    const size_t bs = sb.blockSize;
    std::vector<uint8_t> buf(bs);
    std::unordered_set<uint64_t> seen;
    struct Step {
        uint64_t fsb;
        uint32_t level;
    };
    std::vector<Step> stack;
    for (size_t k = root.children.size(); k-- > 0;) stack.push_back({root.children[k], root.level - 1u});
    uint64_t end = 0;
    while (!stack.empty() && out.size() < maxExtents) {
        const Step s = stack.back();
        stack.pop_back();
        uint64_t block = 0;
        if (!sb.linear(s.fsb, block)) {
            damage.note(0, "block map points past the volume");
            continue;
        }
        if (!seen.insert(block).second || seen.size() > sb.dblocks) {
            damage.note(block * bs, "block map reaches this block twice");
            continue;
        }
        if (!read(block, buf.data())) {
            damage.note(block * bs, "block map block cannot be read");
            continue;
        }
        auto h = decodeBtreeBlock(buf.data(), bs, true, crc);
        if (!h || h->magic != magic || h->level != s.level || (crc && owner && h->owner != owner)) {
            damage.note(block * bs, "block map block is not one of this file (magic, level or owner)");
            continue;
        }
        const size_t maxrecs = (bs - h->headerSize) / 16;
        if (h->numrecs > maxrecs || (s.level > 0 && h->numrecs == 0)) {
            damage.note(block * bs, "block map block of " + std::to_string(h->numrecs) + " records");
            continue;
        }
        if (s.level > 0) {
            const size_t ptrs = h->headerSize + maxrecs * 8;
            for (size_t k = h->numrecs; k-- > 0;) stack.push_back({be64(buf.data(), bs, ptrs + k * 8), s.level - 1u});
            continue;
        }
        for (size_t k = 0; k < h->numrecs && out.size() < maxExtents; ++k) {
            const Extent e = decodeExtent(buf.data() + h->headerSize + k * 16);
            if (!extentValid(e, sb) || e.startOff < end) {
                damage.note(block * bs, "block map record " + std::to_string(k) + " is not valid");
                continue;
            }
            out.push_back(e);
            end = e.startOff + e.count;
        }
    }
    return out;
}

}  // namespace brantlow::xfs
