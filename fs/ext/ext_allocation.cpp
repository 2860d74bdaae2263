// Recoverability: the blocks a deleted file's writer would read (the block
// map of the inode copy the scan kept) looked up in the block bitmaps of
// all groups, read once into one map.
#include <algorithm>

#include "fs/ext/ext_internal.h"
#include "fs/ext/ext_parser.h"

namespace brantlow {

using namespace ext;

void ext2Class::loadAllocationMap() const { allocationMap(); }

const AllocationMap& ext2Class::allocationMap() const {
    return allocation_.get([this](AllocationMap& map) {
        const uint64_t bs = sb_.blockSize, bpg = sb_.blocksPerGroup;
        if (!bs || !bpg || bpg % 8 || bpg / 8 > bs || sb_.blocksCount <= sb_.firstDataBlock || groups_.empty())
            return;
        const uint64_t count = sb_.blocksCount - sb_.firstDataBlock;
        const uint64_t need = (count + 7) / 8;
        if (need > kMaxAllocationMapBytes) return;
        // A group whose bitmap cannot be read counts as in use.
        std::vector<uint8_t> bits(static_cast<size_t>(need), 0xFF);
        std::vector<uint8_t> block(static_cast<size_t>(bs));
        for (size_t g = 0; g < groups_.size(); ++g) {
            const uint64_t at = g * (bpg / 8);
            if (at >= need) break;
            const size_t n = static_cast<size_t>(std::min<uint64_t>(bpg / 8, need - at));
            const GroupDesc& d = groups_[g];
            // As the writer reads it: a group whose bitmap was never set up
            // has nothing allocated.
            if (sb_.groupChecksums() && (d.flags & kBgBlockUninit)) {
                std::fill_n(bits.begin() + static_cast<ptrdiff_t>(at), n, 0);
                continue;
            }
            if (d.blockBitmap == 0 || !readBlock(d.blockBitmap, block.data())) continue;
            std::copy_n(block.begin(), n, bits.begin() + static_cast<ptrdiff_t>(at));
        }
        map.assign(std::move(bits), count, AllocationMap::BitOrder::LsbFirst, sb_.firstDataBlock);
    });
}

std::vector<VolumeRange> ext2Class::unallocatedRanges() const {
    return freeRuns(allocationMap(), 0, sb_.blockSize);
}

RecoveryEstimate ext2Class::recoverability(EntryId id) const {
    const ExtEntry* e = entry(id);
    if (!e || e->type() != kTypeFile || !(e->bits & ExtEntry::kDeleted)) return {};
    if (e->inode == 0 && e->version == ExtEntry::kNone) return RecoveryEstimate::fromCounts(1, 1);  // only the name is left
    const AllocationMap& map = allocationMap();
    if (!map.known()) return {};
    const ExtInodeVersion* v = e->version != ExtEntry::kNone ? &versions_[e->version] : nullptr;
    std::vector<uint8_t> raw;
    if (v)
        raw.assign(rawOf(*v), rawOf(*v) + sb_.inodeSize);
    else if (!readInode(e->inode, raw))
        return {};
    const Inode ino = inodeAt(raw.data(), raw.size());
    const uint64_t size = e->size;
    if (size == 0) return RecoveryEstimate::intact();
    // Inline data lives in the inode copy itself.
    if (ino.inlineData()) return RecoveryEstimate::intact();
    const uint64_t bs = sb_.blockSize;
    const uint64_t need = size / bs + (size % bs ? 1 : 0);
    const MapResult m = mapInode(ino, v, true);
    // Without a block map (the driver cleared it and no logged copy kept
    // it) nothing says where the content was.
    if (m.runs.empty()) return {};
    uint64_t mapped = 0, lost = 0, units = 0;
    for (const Run& r : m.runs) {
        if (r.logical >= need) break;
        const uint64_t n = std::min<uint64_t>(r.count, need - r.logical);
        mapped += n;
        if (r.unwritten) continue;  // zeros: nothing to lose
        units += n;
        lost += map.allocatedIn(r.physical, n);
    }
    // Blocks the map does not reach (gaps, a cut map) cannot come back.
    if (mapped < need) {
        units += need - mapped;
        lost += need - mapped;
    }
    return RecoveryEstimate::fromCounts(units, lost);
}

}  // namespace brantlow

namespace brantlow {

std::vector<VolumeRange> ext2Class::contentRanges(EntryId id) const {
    const ExtEntry* e = entry(id);
    if (!e || e->type() != kTypeFile || e->size == 0 || (e->inode == 0 && e->version == ExtEntry::kNone)) return {};
    const ExtInodeVersion* v = e->version != ExtEntry::kNone ? &versions_[e->version] : nullptr;
    std::vector<uint8_t> raw;
    if (v)
        raw.assign(rawOf(*v), rawOf(*v) + sb_.inodeSize);
    else if (!readInode(e->inode, raw))
        return {};
    const Inode ino = ext::inodeAt(raw.data(), raw.size());
    if (ino.inlineData()) return {};
    const uint64_t bs = sb_.blockSize, size = e->size;
    std::vector<VolumeRange> out;
    for (const Run& r : mapInode(ino, v, (e->bits & ExtEntry::kDeleted) != 0).runs) {
        uint64_t start = 0, at = 0;
        if (__builtin_mul_overflow(r.logical, bs, &start) || start >= size) break;
        if (r.unwritten || __builtin_mul_overflow(r.physical, bs, &at)) continue;
        out.push_back({at, std::min<uint64_t>(r.count * bs, size - start)});
    }
    return out;
}

}  // namespace brantlow

namespace brantlow {

std::optional<uint64_t> ext2Class::plainContentLength(EntryId id) const {
    const ExtEntry* e = entry(id);
    if (!e || e->type() != kTypeFile || (e->inode == 0 && e->version == ExtEntry::kNone)) return std::nullopt;
    const bool deleted = (e->bits & ExtEntry::kDeleted) != 0;
    const ExtInodeVersion* v = e->version != ExtEntry::kNone ? &versions_[e->version] : nullptr;
    std::vector<uint8_t> raw;
    if (v)
        raw.assign(rawOf(*v), rawOf(*v) + sb_.inodeSize);
    else if (!readInode(e->inode, raw))
        return std::nullopt;
    const Inode ino = ext::inodeAt(raw.data(), raw.size());
    if (ino.type() != kTypeFile && ino.type() != 0) return std::nullopt;
    if (e->size == 0) return uint64_t{0};
    if (ino.inlineData()) return std::nullopt;
    const uint64_t bs = sb_.blockSize, size = e->size, volume = volume_.sizeBytes();
    const MapResult m = mapInode(ino, v, deleted);
    if (m.damaged) return std::nullopt;
    uint64_t pos = 0;  // runs must follow each other from the first byte
    for (const Run& r : m.runs) {
        if (pos >= size) break;
        uint64_t start = 0, at = 0, bytes = 0;
        if (__builtin_mul_overflow(r.logical, bs, &start) || start != pos || r.unwritten ||
            __builtin_mul_overflow(r.physical, bs, &at) || __builtin_mul_overflow(r.count, bs, &bytes) ||
            at >= volume || bytes > volume - at)
            return std::nullopt;
        // A deleted file's writer leaves out the blocks the bitmap gives
        // to a file now: plain only when it gives none of them.
        if (deleted)
            for (uint64_t b = 0; b < r.count && start + b * bs < size; ++b)
                if (blockInUse(r.physical + b)) return std::nullopt;
        pos += bytes;
    }
    if (pos < size) return std::nullopt;
    return size;
}

}  // namespace brantlow
