// Where everything is: the superblock (or a backup copy), the group
// descriptor table, and the positions of blocks and inodes by number.
#include <algorithm>

#include "base/bytes.h"
#include "fs/ext/ext_internal.h"
#include "fs/ext/ext_parser.h"

namespace brantlow {

using namespace ext;

namespace {

constexpr size_t kSearchChunk = 1u << 20;
// Descriptor tables beyond this are cut (1M groups of 64 bytes).
constexpr uint64_t kMaxDescriptorBytes = 64ull << 20;

}  // namespace

bool ext2Class::findSuperblock() {
    const uint64_t volumeBytes = volume_.sizeBytes();
    if (volumeBytes <= 1536) return false;
    uint8_t sb[1024];
    volume_.read(1024, sb, sizeof sb);
    Decoded<Superblock> primary = decodeSuperblock(sb, sizeof sb);
    if (primary) {
        sb_ = *primary;
        superOffset_ = 1024;
        for (const std::string& r : primary.replaced()) note("ext superblock", 1024, r, true);
        return true;
    }
    note("ext superblock", 1024, primary.reason());
    // A damaged primary: a backup at the start of a later group, checked
    // against the group it says it belongs to. Searched in 1 MiB reads.
    std::vector<uint8_t> buf(kSearchChunk + 1024);
    const uint64_t steps = volumeBytes / kSearchChunk + 1;
    if (ctx_) ctx_->range(static_cast<int64_t>(steps));
    uint64_t step = 0;
    for (uint64_t base = 0; base + 1024 < volumeBytes; base += kSearchChunk, ++step) {
        if (stopped()) break;
        if (ctx_ && (step & 15) == 0) ctx_->position(static_cast<int64_t>(step));
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), volumeBytes - base));
        volume_.read(base, buf.data(), n);
        for (size_t off = 0; off + 1024 <= n && off < kSearchChunk; off += 512) {
            const uint64_t at = base + off;
            if (at <= 1024) continue;
            if (le16(buf.data(), n, off + 56) != kSuperMagic) continue;
            const Decoded<Superblock> s = decodeSuperblock(buf.data() + off, 1024);
            if (!s) continue;
            const uint64_t block = static_cast<uint64_t>(s->blockGroupNr) * s->blocksPerGroup + s->firstDataBlock;
            uint64_t expect = 0;
            if (s->blockGroupNr == 0 || mulOverflows(block, s->blockSize, &expect) || expect != at) continue;
            sb_ = *s;
            superOffset_ = at;
            for (const std::string& r : s.replaced()) note("ext superblock copy of group " + std::to_string(s->blockGroupNr), at, r, true);
            return true;
        }
    }
    return false;
}

bool ext2Class::readGroupDescriptors() {
    const uint32_t bs = sb_.blockSize;
    const uint32_t stride = sb_.descSize;
    uint64_t groups = sb_.groupCount;
    const uint64_t perBlock = bs / stride;
    const uint64_t tableStart = superOffset_ / bs + 1;
    if (groups * stride > kMaxDescriptorBytes) {
        groups = kMaxDescriptorBytes / stride;
        note("group descriptor table", tableStart * bs,
             std::to_string(sb_.groupCount) + " groups: the first " + std::to_string(groups) + " read", true);
    }
    const uint64_t tableBlocks = (groups + perBlock - 1) / perBlock;
    std::vector<uint8_t> table(static_cast<size_t>(tableBlocks * bs));
    const bool metaBg = sb_.incompat & kIncompatMetaBg;
    // Descriptor blocks: one table after the superblock, or with meta_bg
    // one block at the start of each meta group.
    std::vector<uint64_t> blockAt(static_cast<size_t>(tableBlocks));
    uint64_t i = 0;
    while (i < tableBlocks) {
        uint64_t at = tableStart + i, count = 1;
        if (!metaBg || i < sb_.firstMetaBg) {
            count = metaBg ? std::min<uint64_t>(tableBlocks, sb_.firstMetaBg) - i : tableBlocks - i;
        } else {
            const uint64_t g = i * perBlock;
            at = g * sb_.blocksPerGroup + sb_.firstDataBlock + (groupHasSuper(sb_, g) ? 1 : 0);
        }
        for (uint64_t k = 0; k < count; ++k) blockAt[static_cast<size_t>(i + k)] = at + k;
        const size_t bytes = static_cast<size_t>(count * bs);
        const bool ok = volume_.readExact(at * bs, table.data() + i * bs, bytes);
        if (!ok && i == 0) return false;
        i += count;
    }
    groups_.resize(static_cast<size_t>(groups));
    tablesByBlock_.clear();
    tableBlocks_ = (static_cast<uint64_t>(sb_.inodesPerGroup) * sb_.inodeSize + bs - 1) / bs;
    for (uint64_t g = 0; g < groups; ++g) {
        Decoded<GroupDesc> d = decodeGroupDesc(table.data() + g * stride, stride, sb_, tableBlocks_);
        for (const std::string& r : d.replaced())
            note("group descriptor " + std::to_string(g), blockAt[g / perBlock] * bs + g % perBlock * stride, r, true);
        groups_[static_cast<size_t>(g)] = *d;
        if (d->inodeTable) tablesByBlock_.emplace_back(d->inodeTable, static_cast<uint32_t>(g));
    }
    std::sort(tablesByBlock_.begin(), tablesByBlock_.end());
    // Inode numbers stop where the groups read stop.
    sb_.inodesCount = static_cast<uint32_t>(std::min<uint64_t>(sb_.inodesCount, groups * sb_.inodesPerGroup));
    return !groups_.empty();
}

uint64_t ext2Class::inodeOffset(uint32_t inode) const {
    if (inode == 0 || inode > sb_.inodesCount) return 0;
    const uint64_t g = (inode - 1) / sb_.inodesPerGroup;
    const uint64_t slot = (inode - 1) % sb_.inodesPerGroup;
    if (g >= groups_.size() || groups_[g].inodeTable == 0) return 0;
    return groups_[g].inodeTable * sb_.blockSize + slot * sb_.inodeSize;
}

bool ext2Class::readInode(uint32_t inode, std::vector<uint8_t>& raw) const {
    const uint64_t off = inodeOffset(inode);
    if (!off) {
        raw.assign(sb_.inodeSize, 0);
        return false;
    }
    {
        std::lock_guard<std::mutex> lk(memoMutex_);
        if (inodeMemo_.offset == off && inodeMemo_.raw.size() == sb_.inodeSize) {
            raw = inodeMemo_.raw;
            return true;
        }
    }
    raw.assign(sb_.inodeSize, 0);
    if (!volume_.readExact(off, raw.data(), raw.size())) return false;
    std::lock_guard<std::mutex> lk(memoMutex_);
    inodeMemo_.offset = off;
    inodeMemo_.raw = raw;
    return true;
}

bool ext2Class::readBlock(uint64_t block, uint8_t* buf) const {
    if (block >= sb_.blocksCount) return false;
    return volume_.readExact(block * sb_.blockSize, buf, sb_.blockSize);
}

uint64_t ext2Class::groupOfBlock(uint64_t block) const {
    return block < sb_.firstDataBlock ? 0 : (block - sb_.firstDataBlock) / sb_.blocksPerGroup;
}

bool ext2Class::blockInUse(uint64_t block) const {
    if (block >= sb_.blocksCount) return true;
    const uint64_t g = groupOfBlock(block);
    if (g >= groups_.size()) return true;
    const GroupDesc& d = groups_[g];
    if (sb_.groupChecksums() && (d.flags & kBgBlockUninit)) return false;
    std::lock_guard<std::mutex> lk(bitmapMutex_);
    auto it = blockBitmaps_.find(g);
    if (it == blockBitmaps_.end()) {
        // A bounded cache: a file spread over very many groups starts it over.
        if (blockBitmaps_.size() >= 4096) blockBitmaps_.clear();
        std::vector<uint8_t> bm(sb_.blockSize, 0xFF);
        if (d.blockBitmap == 0 || !readBlock(d.blockBitmap, bm.data())) bm.assign(sb_.blockSize, 0xFF);
        it = blockBitmaps_.emplace(g, std::move(bm)).first;
    }
    const uint64_t bit = (block - sb_.firstDataBlock) % sb_.blocksPerGroup;
    return (it->second[bit / 8] >> (bit % 8)) & 1;
}

}  // namespace brantlow
