#include "fs/ext/ext_placement.h"

#include <algorithm>
#include <vector>

#include "fs/ext/ext_format.h"
#include "fs/ext/ext_internal.h"

namespace brantlow {

namespace {

constexpr uint32_t kMaxFolders = 256;
constexpr uint64_t kMaxGroups = 4096;
constexpr size_t kInodeBatch = 64 * 1024;

struct Budget {
    readWriteInterface& reader;
    uint64_t start, size, left;
    bool read(uint64_t at, uint8_t* out, size_t n) {
        if (n > left || at > size || n > size - at) return false;
        left -= n;
        return readZeroFill(reader, start + at, out, n) == n;
    }
};

}  // namespace

PlacementCheck extPlacementCheck(readWriteInterface& reader, uint64_t startByte, uint64_t sizeBytes,
                                 uint64_t budgetBytes) {
    PlacementCheck out;
    Budget io{reader, startByte, sizeBytes, budgetBytes};
    uint8_t sbBytes[1024];
    if (!io.read(1024, sbBytes, sizeof sbBytes)) return out;
    const Decoded<ext::Superblock> decoded = ext::decodeSuperblock(sbBytes, sizeof sbBytes);
    if (!decoded) return out;
    const ext::Superblock& sb = *decoded;
    const uint64_t bs = sb.blockSize;
    const uint64_t groups = std::min<uint64_t>(sb.groupCount, kMaxGroups);
    std::vector<uint8_t> gdt(static_cast<size_t>(groups * sb.descSize));
    if (!io.read((sb.firstDataBlock + 1) * bs, gdt.data(), gdt.size())) return out;
    std::vector<uint8_t> inodes(kInodeBatch), block(bs);
    const uint64_t perBatch = kInodeBatch / sb.inodeSize;
    for (uint64_t g = 0; g < groups && out.looked < kMaxFolders; ++g) {
        const uint64_t tableBlocks = (static_cast<uint64_t>(sb.inodesPerGroup) * sb.inodeSize + bs - 1) / bs;
        const Decoded<ext::GroupDesc> dd = ext::decodeGroupDesc(gdt.data() + g * sb.descSize, sb.descSize, sb, tableBlocks);
        if (!dd) continue;
        const ext::GroupDesc& d = *dd;
        if (sb.groupChecksums() && (d.flags & ext::kBgInodeUninit)) continue;
        uint64_t used = sb.inodesPerGroup;
        if (sb.groupChecksums() && d.itableUnused <= used) used -= d.itableUnused;
        for (uint64_t first = 0; first < used && out.looked < kMaxFolders; first += perBatch) {
            const uint64_t n = std::min(perBatch, used - first);
            if (d.inodeTable >= sb.blocksCount ||
                !io.read(d.inodeTable * bs + first * sb.inodeSize, inodes.data(), static_cast<size_t>(n * sb.inodeSize)))
                return out;
            for (uint64_t i = 0; i < n && out.looked < kMaxFolders; ++i) {
                const ext::Inode ino = ext::inodeAt(inodes.data() + i * sb.inodeSize, sb.inodeSize);
                if (!ino.isDir() || ino.links == 0 || ino.dtime || ino.inlineData() || !ino.hasBlockArea()) continue;
                const uint64_t number = g * sb.inodesPerGroup + first + i + 1;
                const ext::MapResult map = ext::mapBlocks(ino, sb.blockSize, sb.blocksCount, 1, [&](uint64_t b, uint8_t* buf) {
                    return io.read(b * bs, buf, static_cast<size_t>(bs));
                });
                ++out.looked;
                if (map.runs.empty() || map.runs[0].logical != 0 || map.runs[0].unwritten) continue;
                uint32_t self = 0, parent = 0;
                if (io.read(map.runs[0].physical * bs, block.data(), block.size()) &&
                    ext::dotEntries(block.data(), block.size(), self, parent) && self == number)
                    ++out.placed;
            }
        }
    }
    return out;
}

}  // namespace brantlow
