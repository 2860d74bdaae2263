// Inode decoder and block mapper: byte 0 picks v4 or v5 and the byte
// order, the next 512 bytes are an inode, the rest are 4 KiB blocks that
// its block-map B+tree may name (block n of the volume is the n-th block
// of the input, others read as missing). Extents must lie inside the
// volume and come in file order.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fs/xfs/xfs_btree.h"
#include "fuzz/xfs_fuzz_geometry.h"

using namespace brantlow::xfs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 + 512) return 0;
    const bool v5 = data[0] & 1;
    const Superblock sb = brantlow::fuzz::xfsGeometry(v5);
    const uint8_t* raw = data + 1;
    auto ino = decodeInode(raw, 512, sb, !(data[0] & 2));
    if (!ino) return 0;
    if (ino->forkOffset + ino->forkSize > 512) __builtin_trap();
    const size_t blocks = (size - 513) / sb.blockSize;
    BlockRead read = [&](uint64_t b, uint8_t* buf) {
        if (b >= blocks) return false;
        std::memcpy(buf, data + 513 + b * sb.blockSize, sb.blockSize);
        return true;
    };
    std::vector<Extent> ext;
    if (ino->format == kFormatBtree) {
        auto root = decodeBmapRoot(raw + ino->forkOffset, ino->forkSize, sb);
        if (root) {
            WalkDamage dmg;
            ext = mapBmapTree(sb, *root, v5 ? 131 : 0, read, 1u << 16, dmg);
        }
    } else {
        ext = decodeExtentList(raw + ino->forkOffset, ino->forkSize, ino->nextents, sb);
    }
    uint64_t end = 0;
    for (const Extent& e : ext) {
        uint64_t at = 0;
        if (!sb.linearRun(e.startBlock, e.count, at) || at + e.count > sb.dblocks) __builtin_trap();
        if (e.count == 0 || e.startOff < end) __builtin_trap();
        end = e.startOff + e.count;
    }
    return 0;
}
