// Walking XFS B+trees: the per-AG short-form trees (free space by block and
// by size, inodes) and the long-form block map of a file. Every block is
// checked (magic, level, record count, v5 owner) before its records are
// used; a block is never visited twice and the walk is bounded by the size
// of what it walks, so a loop or a pointer past the AG ends that branch.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fs/xfs/xfs_format.h"

namespace brantlow::xfs {

// Reads one file-system block, numbered from the start of the volume.
using BlockRead = std::function<bool(uint64_t linearBlock, uint8_t* buf)>;

struct AgTree {
    uint32_t magic;   // v4
    uint32_t magic3;  // v5
    size_t keySize;
    size_t recSize;
    const char* name;
};
inline constexpr AgTree kBnoTree{kBnoMagic, kBnoMagic3, 8, 8, "free-space B+tree"};
inline constexpr AgTree kCntTree{kCntMagic, kCntMagic3, 8, 8, "free-space-by-size B+tree"};
inline constexpr AgTree kInoTree{kInoMagic, kInoMagic3, 4, 16, "inode B+tree"};

// Where a walk met damage: the first refused block and why.
struct WalkDamage {
    bool damaged = false;
    uint64_t offset = 0;  // byte offset of the block in the volume
    std::string what;
    void note(uint64_t b, std::string w) {
        if (!damaged) offset = b, what = std::move(w);
        damaged = true;
    }
};

// Visits the leaf records of AG `ag`'s tree from `root` (`levels` levels),
// in key order. `visit` returning false ends the walk.
void walkAgTree(const Superblock& sb, uint32_t ag, uint32_t root, uint32_t levels, const AgTree& tree,
                const BlockRead& read, const std::function<bool(const uint8_t* rec)>& visit, WalkDamage& damage);

// The extents of a B+tree-format fork: leaves reached from the root's
// children, records that are valid and in file order, at most maxExtents.
// v5 blocks must name `owner` (0: not checked).
std::vector<Extent> mapBmapTree(const Superblock& sb, const BmapRoot& root, uint64_t owner, const BlockRead& read,
                                uint64_t maxExtents, WalkDamage& damage);

}  // namespace brantlow::xfs
