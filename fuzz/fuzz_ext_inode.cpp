// Inode decoder and block mapper: the first 256 bytes are an inode, the
// rest are 1 KiB blocks that the extent tree or the indirect blocks may
// name (block n is the n-th KiB after the inode; others read as missing).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fs/ext/ext_format.h"

using namespace brantlow::ext;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kInode = 256;
    constexpr uint32_t kBs = 1024;
    if (size < kInode) return 0;
    std::vector<uint8_t> raw(data, data + kInode);
    const brantlow::Decoded<Inode> decoded = decodeInode(raw.data(), raw.size());
    if (!decoded) __builtin_trap();  // 256 bytes always decode
    const Inode& ino = *decoded;
    (void)inlineDataTail(raw.data(), raw.size());
    const size_t blocks = (size - kInode) / kBs;
    const uint64_t blocksCount = 64 + blocks;
    BlockFetch fetch = [&](uint64_t b, uint8_t* buf) {
        if (b < 1 || b > blocks) return false;
        const uint8_t* p = data + kInode + (b - 1) * kBs;
        for (size_t i = 0; i < kBs; ++i) buf[i] = p[i];
        return true;
    };
    // Bounded by the recorded size, as the parser does.
    uint64_t maxLogical = (ino.size + kBs - 1) / kBs;
    if (maxLogical > (1u << 20)) maxLogical = 1u << 20;
    MapResult m = mapBlocks(ino, kBs, blocksCount, maxLogical, fetch);
    if (m.damaged != !m.fault.empty()) __builtin_trap();  // every fault says what it was
    uint64_t end = 0;
    for (const Run& r : m.runs) {
        if (r.count == 0 || r.logical < end || r.logical + r.count > maxLogical) __builtin_trap();
        if (r.physical == 0 || r.physical + r.count > blocksCount) __builtin_trap();
        end = r.logical + r.count;
    }
    return 0;
}
