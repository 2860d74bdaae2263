#include "fs/fat/fat_volume.h"

#include <cstring>
#include <string>

#include "base/bytes.h"

namespace brantlow {

Decoded<FatLayout> decodeFatLayout(const uint8_t* bs, size_t len) {
    using D = Decoded<FatLayout>;
    Decoded<FatGeometry> geometry = decodeFatBootSector(bs, len);
    if (!geometry) return D::refused(geometry.reason());
    const FatGeometry& g = *geometry;
    // The boot sector decoder lets an "MSDO" name through with odd values:
    // insist on real sector and cluster sizes here.
    const uint32_t bps = g.bytesPerSector;
    if (bps < 512 || bps > 4096 || (bps & (bps - 1))) return D::refused("bytes per sector " + std::to_string(bps));
    const uint32_t spc = g.sectorsPerCluster;
    if (spc == 0 || spc > 128 || (spc & (spc - 1))) return D::refused("sectors per cluster " + std::to_string(spc));
    if (g.reservedSectors == 0) return D::refused("no reserved sectors");
    if (g.fatCount == 0 || g.fatCount > 2) return D::refused(std::to_string(g.fatCount) + " FATs");
    FatLayout l;
    l.kind = g.kind;
    l.bytesPerSector = bps;
    l.sectorsPerCluster = spc;
    l.clusterSize = bps * spc;
    l.fatOffset = static_cast<uint64_t>(g.reservedSectors) * bps;
    uint64_t maxCluster = g.clusterCount + 1;
    if (g.kind == FatKind::Fat12 && maxCluster > 0xFF6) maxCluster = 0xFF6;
    if (g.kind == FatKind::Fat16 && maxCluster > 0xFFF6) maxCluster = 0xFFF6;
    if (g.kind == FatKind::Fat32 && maxCluster > 0x0FFFFFF6) maxCluster = 0x0FFFFFF6;
    const uint64_t fatBytes = g.sectorsPerFat * bps;
    // The FAT must hold an entry for every cluster it claims; a short FAT
    // lowers the last cluster instead.
    const uint64_t held = fatEntriesIn(g.kind, fatBytes);
    if (held < 3) return D::refused("a FAT of " + std::to_string(fatBytes) + " bytes");
    std::string shortFat;
    if (held - 1 < maxCluster) {
        shortFat = "sectors per FAT " + std::to_string(g.sectorsPerFat) + " hold clusters up to " +
                   std::to_string(held - 1) + ", not " + std::to_string(maxCluster) + ": the last cluster lowered";
        maxCluster = held - 1;
    }
    l.lastCluster = static_cast<uint32_t>(maxCluster);
    l.fatBytes = fatBytesFor(g.kind, maxCluster);
    const uint64_t fatsEnd = l.fatOffset + static_cast<uint64_t>(g.fatCount) * fatBytes;
    std::string root;
    if (l.fixedRoot()) {
        l.rootOffset = fatsEnd;
        l.rootBytes = (static_cast<uint64_t>(g.rootEntries) * 32 + bps - 1) / bps * bps;
        l.dataOffset = l.rootOffset + l.rootBytes;
    } else {
        l.dataOffset = fatsEnd;
        uint32_t rc = le32(bs, len, 44) & 0x0FFFFFFF;
        l.rootCluster = l.clusterValid(rc) ? rc : 0;
        if (!l.rootCluster) root = "root cluster " + std::to_string(rc) + " outside the data region: cluster 2 taken";
    }
    D d = D::ok(l);
    if (!shortFat.empty()) d.replace(std::move(shortFat));
    if (!root.empty()) d.replace(std::move(root));
    return d;
}

FatLayout readFatLayout(const uint8_t* bs, size_t len) {
    Decoded<FatLayout> d = decodeFatLayout(bs, len);
    return d ? *d : FatLayout{};
}

uint64_t fatEntriesIn(FatKind kind, uint64_t fatBytes) {
    if (kind == FatKind::Fat12) return fatBytes * 2 / 3;
    return fatBytes / (kind == FatKind::Fat32 ? 4 : 2);
}

uint64_t fatBytesFor(FatKind kind, uint64_t lastCluster) {
    if (kind == FatKind::Fat12) return ((lastCluster + 1) * 3 + 1) / 2;
    return (lastCluster + 1) * (kind == FatKind::Fat32 ? 4 : 2);
}

uint32_t fatEntryIn(FatKind kind, const uint8_t* buf, size_t len, uint64_t firstByte, uint64_t c) {
    if (kind == FatKind::Fat12) {
        // Two entries in three bytes: an even entry takes the first byte and
        // the low half of the second, an odd one the high half and the third.
        const uint64_t pos = c + c / 2;
        if (pos < firstByte || pos - firstByte + 2 > len) return 0;
        const uint32_t v = le16(buf, len, static_cast<size_t>(pos - firstByte));
        return c & 1 ? v >> 4 : v & 0x0FFF;
    }
    const unsigned width = kind == FatKind::Fat32 ? 4 : 2;
    const uint64_t pos = c * width;
    if (pos < firstByte || pos - firstByte + width > len) return 0;
    const size_t at = static_cast<size_t>(pos - firstByte);
    return width == 4 ? le32(buf, len, at) & 0x0FFFFFFF : le16(buf, len, at);
}

void FatTable::init(const VolumeView* volume, const FatLayout& layout) {
    std::lock_guard<std::mutex> lk(mutex_);
    volume_ = volume;
    layout_ = layout;
    width_ = layout.kind == FatKind::Fat32 ? 4 : layout.kind == FatKind::Fat12 ? 0 : 2;
    blocks_.clear();
    blocks_.resize((layout.fatBytes + kBlock - 1) / kBlock);
    loaded_ = 0;
}

const uint8_t* FatTable::block(uint64_t index) {
    if (index >= blocks_.size()) return nullptr;
    if (!blocks_[index]) {
        if (loaded_ >= kMaxBlocks) {
            for (auto& b : blocks_) b.reset();
            loaded_ = 0;
        }
        blocks_[index].reset(new uint8_t[kBlock]);
        uint64_t off = index * kBlock;
        uint64_t n = layout_.fatBytes - off < kBlock ? layout_.fatBytes - off : kBlock;
        std::memset(blocks_[index].get(), 0, kBlock);
        if (volume_) volume_->read(layout_.fatOffset + off, blocks_[index].get(), static_cast<size_t>(n));
        ++loaded_;
    }
    return blocks_[index].get();
}

uint8_t FatTable::byteAt(uint64_t pos) {
    if (pos >= layout_.fatBytes) return 0;
    const uint8_t* b = block(pos / kBlock);
    return b ? b[pos % kBlock] : 0;
}

uint32_t FatTable::entry(uint32_t c) {
    std::lock_guard<std::mutex> lk(mutex_);
    if (c > layout_.lastCluster) return 0;
    if (width_ == 0) {
        // FAT12: the pair of bytes may straddle two cached blocks.
        const uint64_t pos = static_cast<uint64_t>(c) + c / 2;
        if (pos + 2 > layout_.fatBytes) return 0;
        const uint32_t v = byteAt(pos) | static_cast<uint32_t>(byteAt(pos + 1)) << 8;
        return c & 1 ? v >> 4 : v & 0x0FFF;
    }
    uint64_t pos = static_cast<uint64_t>(c) * width_;
    if (pos + width_ > layout_.fatBytes) return 0;
    const uint8_t* b = block(pos / kBlock);
    if (!b) return 0;
    size_t in = static_cast<size_t>(pos % kBlock);
    if (width_ == 2) return le16(b, kBlock, in);
    return le32(b, kBlock, in) & 0x0FFFFFFF;
}

void FatTable::freeClusters(uint32_t first, uint32_t count, std::vector<bool>& out) {
    out.assign(count, true);
    std::lock_guard<std::mutex> lk(mutex_);
    const uint8_t* b = nullptr;
    uint64_t held = ~0ull;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t c = static_cast<uint64_t>(first) + i;
        if (c > layout_.lastCluster) break;
        if (width_ == 0) {
            // FAT12: two entries in three bytes, as entry() reads them.
            const uint64_t at = c + c / 2;
            if (at + 2 > layout_.fatBytes) break;
            const uint32_t v = byteAt(at) | static_cast<uint32_t>(byteAt(at + 1)) << 8;
            out[i] = (c & 1 ? v >> 4 : v & 0x0FFF) == 0;
            continue;
        }
        const uint64_t pos = c * width_;
        if (pos + width_ > layout_.fatBytes) break;
        if (pos / kBlock != held) {
            held = pos / kBlock;
            b = block(held);
        }
        if (!b) continue;
        const size_t in = static_cast<size_t>(pos % kBlock);
        out[i] = (width_ == 2 ? le16(b, kBlock, in) : le32(b, kBlock, in) & 0x0FFFFFFF) == 0;
    }
}

uint32_t FatTable::next(uint32_t c) {
    if (!layout_.clusterValid(c)) return 0;
    uint32_t v = entry(c);
    // Free, reserved, bad and end-of-chain values all end the chain, as
    // does any number past the last cluster.
    if (!layout_.clusterValid(v)) return 0;
    return v;
}

}  // namespace brantlow
