// HFS+ extents decoder: a fork's 80-byte fork data and any overflow records
// from the input, block and volume sizes from the input. The runs never map
// more blocks than the logical size needs, valid runs lie inside the volume,
// and the lookup ends (repeated keys, records adding no blocks).
#include <cstddef>
#include <cstdint>

#include "base/bytes.h"
#include "fs/hfsplus/hfsplus_format.h"

using namespace brantlow;
using namespace brantlow::hfs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 86) return 0;
    const uint64_t blockSize = 512ull << (data[0] % 8);
    const uint64_t volumeBlocks = be32(data, size, 1);
    const uint8_t forkType = data[5] & 1 ? kResourceFork : kDataFork;
    const ForkData fork = readForkData(data, size, 6);
    const uint32_t fileId = 20;
    ExtentsIndex index;
    // Records of 76 bytes: key (12) + 8 extents (64), as in a leaf node.
    for (size_t off = 86; off + 76 <= size && index.size() < 4096; off += 76) {
        std::vector<uint8_t> rec(14 + 76 + 2, 0);
        for (size_t i = 0; i < 76; ++i) rec[14 + i] = data[off + i];
        rec[14] = 0, rec[15] = 10;  // keyLength
        Decoded<ExtentsRecord> r = decodeExtentsRecord(rec.data(), rec.size(), 14);
        if (!r) continue;
        r->key.fileId = fileId;  // make lookups hit
        index.emplace(r->key, r->extents);
    }
    ForkRuns r = forkRuns(fork, forkType, fileId, index, blockSize, volumeBlocks);
    const uint64_t needed = fork.logicalSize / blockSize + (fork.logicalSize % blockSize ? 1 : 0);
    uint64_t sum = 0;
    for (const Run& run : r.runs) {
        sum += run.blockCount;
        if (run.blockCount == 0) __builtin_trap();
        if (run.valid && (run.startBlock >= volumeBlocks || run.blockCount > volumeBlocks - run.startBlock))
            __builtin_trap();
    }
    if (sum != r.blocks || sum > needed) __builtin_trap();
    uint64_t at = 0, contiguous = 0;
    (void)forkByteOffset(r.runs, blockSize, fork.logicalSize / 2, &at, &contiguous);
    return 0;
}
