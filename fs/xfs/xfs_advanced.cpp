// Advanced mode: inodes found by their magic wherever they lie, for AGs
// whose inode B+tree is damaged and for inode chunks that were freed whole
// (their inodes still hold the cores they had); and the superblock copies
// the operator can take the geometry from.
#include <algorithm>
#include <unordered_set>

#include "base/bytes.h"
#include "fs/xfs/xfs_parser.h"

namespace brantlow {

using namespace xfs;

namespace {

constexpr size_t kSearchChunk = 4u << 20;

// A superblock copy at `at` that its AG header places there.
bool copyAt(const uint8_t* p, size_t n, uint64_t at, Superblock& out) {
    auto sb = decodeSuperblock(p, n);
    if (!sb || static_cast<size_t>(sb->sectSize) + 16 > n) return false;
    const uint32_t k = be32(p, n, sb->sectSize + 8);
    if (be32(p, n, sb->sectSize) != kAgfMagic || k >= sb->agCount) return false;
    if (static_cast<uint64_t>(k) * sb->agBlocks * sb->blockSize != at) return false;
    out = *sb;
    return true;
}

}  // namespace

std::vector<std::pair<uint64_t, Superblock>> XfsParser::findSuperblocks(const VolumeView& volume, size_t max,
                                                                         const std::atomic<bool>* stop,
                                                                         ProgressSink* progress) {
    std::vector<std::pair<uint64_t, Superblock>> out;
    std::vector<uint8_t> head(4096);
    volume.read(0, head.data(), head.size());
    auto primary = decodeSuperblock(head.data(), head.size());
    if (primary) {
        out.emplace_back(0, *primary);
        // The copies where the primary's geometry puts them.
        for (uint32_t ag = 1; ag < primary->agCount && out.size() < max; ++ag) {
            if (stop && stop->load(std::memory_order_relaxed)) break;
            const uint64_t at = static_cast<uint64_t>(ag) * primary->agBlocks * primary->blockSize;
            if (at >= volume.sizeBytes()) break;
            volume.read(at, head.data(), head.size());
            Superblock s;
            if (copyAt(head.data(), head.size(), at, s)) out.emplace_back(at, s);
        }
        return out;
    }
    // No primary: every copy the volume holds, 512-byte aligned.
    std::vector<uint8_t> buf(kSearchChunk + 4096);
    const uint64_t size = volume.sizeBytes();
    if (progress) progress->range(static_cast<int64_t>(size / kSearchChunk + 1));
    uint64_t step = 0;
    for (uint64_t base = 0; base < size && out.size() < max; base += kSearchChunk, ++step) {
        if (stop && stop->load(std::memory_order_relaxed)) break;
        if (progress) progress->position(static_cast<int64_t>(step));
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - base));
        volume.read(base, buf.data(), n);
        for (size_t off = 0; off + 512 <= n && off < kSearchChunk && out.size() < max; off += 512) {
            if (be32(buf.data(), n, off) != kSuperMagic) continue;
            Superblock s;
            if (copyAt(buf.data() + off, n - off, base + off, s)) out.emplace_back(base + off, s);
        }
    }
    return out;
}

void XfsParser::searchInodeChunks() {
    status("searching for inode chunks....");
    // Chunks the inode B+trees gave (64 inodes from each start).
    std::vector<uint64_t> known;
    for (const auto& c : chunks_) known.push_back(c.first);
    std::sort(known.begin(), known.end());
    auto inKnownChunk = [&](uint64_t ino) {
        auto it = std::upper_bound(known.begin(), known.end(), ino);
        return it != known.begin() && ino - *std::prev(it) < 64;
    };
    const size_t isz = sb_.inodeSize;
    const uint64_t bytes = std::min<uint64_t>(sb_.dblocks * sb_.blockSize, volume_.sizeBytes());
    // The internal log holds inode copies of its own: not inodes.
    uint64_t logFirst = 0, logEnd = 0;
    if (sb_.logStart && sb_.linearRun(sb_.logStart, sb_.logBlocks, logFirst)) {
        logEnd = (logFirst + sb_.logBlocks) * sb_.blockSize;
        logFirst *= sb_.blockSize;
    }
    const size_t chunk = std::max<size_t>(kSearchChunk / sb_.blockSize, 1) * sb_.blockSize;
    std::vector<uint8_t> buf(chunk);
    std::unordered_set<uint64_t> found;
    if (ctx_) ctx_->range(static_cast<int64_t>(bytes / chunk + 1));
    uint64_t step = 0;
    for (uint64_t base = 0; base < bytes; base += chunk, ++step) {
        if (stopped()) break;
        if (ctx_) ctx_->position(static_cast<int64_t>(step));
        const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, bytes - base));
        volume_.read(base, buf.data(), n);
        for (size_t off = 0; off + isz <= n; off += isz) {
            const uint8_t* p = buf.data() + off;
            if (p[0] != 0x49 || p[1] != 0x4e || p[4] < 1 || p[4] > 3) continue;
            const uint64_t pos = base + off;
            if (pos >= logFirst && pos < logEnd) continue;
            const uint64_t ino = sb_.inodeAt(pos);
            if (inKnownChunk(ino)) continue;
            auto d = decodeInode(p, isz, sb_);
            if (!d) continue;
            if (d->version == 3 ? d->ino != ino : (d->mode != 0 && (d->type() == 0 || d->nlink == 0))) continue;
            const uint64_t ag = ino >> sb_.agInoBits();
            const bool treeSound = ag < inodeTreeSound_.size() && inodeTreeSound_[ag];
            // Outside a sound tree's chunks: a chunk freed whole. In an AG
            // whose tree is damaged, an inode with a mode and links is in use.
            const bool free = treeSound || d->mode == 0 || d->nlink == 0;
            if (found.insert(ino >> 6).second) ++chunksRead_;
            takeInode(ino, p, free, true);
        }
    }
}

}  // namespace brantlow
