#include "fs/exfat/exfat_volume.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/bytes.h"

namespace brantlow {

namespace {

uint32_t clusterCountFor(uint64_t heapOffset, uint32_t clusterSize, uint64_t volumeSize, uint64_t recorded) {
    uint64_t n = recorded;
    if (volumeSize) {
        uint64_t fit = volumeSize > heapOffset ? (volumeSize - heapOffset) / clusterSize : 0;
        n = std::min(n, fit);
    }
    // Cluster numbers are 32-bit and the top values are markers.
    return static_cast<uint32_t>(std::min<uint64_t>(n, 0xFFFFFFF5ull));
}

}  // namespace

Decoded<ExfatLayout> decodeExfatBootSector(const uint8_t* bs, size_t len, uint64_t volumeSize) {
    using D = Decoded<ExfatLayout>;
    if (!bytesAt(bs, len, 3, "EXFAT", 5)) return D::refused("no \"EXFAT\" at byte 3");
    const unsigned bpsShift = le8(bs, len, 108);
    const unsigned spcShift = le8(bs, len, 109);
    if (bpsShift < 9 || bpsShift > 12) return D::refused("bytes per sector shift " + std::to_string(bpsShift));
    if (bpsShift + spcShift > 25) return D::refused("sectors per cluster shift " + std::to_string(spcShift));
    const uint32_t root = le32(bs, len, 96);
    if (root < 2) return D::refused("root cluster " + std::to_string(root));
    const uint64_t bps = 1ull << bpsShift;
    const uint64_t fatOffset = static_cast<uint64_t>(le32(bs, len, 80)) * bps;
    const uint64_t fatLength = static_cast<uint64_t>(le32(bs, len, 84)) * bps;
    const uint64_t heapOffset = static_cast<uint64_t>(le32(bs, len, 88)) * bps;
    const uint32_t count = le32(bs, len, 92);
    if (fatOffset == 0) return D::refused("FAT offset 0");
    if (heapOffset == 0) return D::refused("cluster heap offset 0");
    if (count == 0) return D::refused("cluster count 0");
    ExfatLayout l;
    l.bytesPerSectorShift = static_cast<uint8_t>(bpsShift);
    l.sectorsPerClusterShift = static_cast<uint8_t>(spcShift);
    l.bytesPerSector = static_cast<uint32_t>(bps);
    l.clusterSize = static_cast<uint32_t>(1ull << (bpsShift + spcShift));
    l.fatOffset = fatOffset;
    l.heapOffset = heapOffset;
    l.rootCluster = root;
    l.volumeBytes = le64(bs, len, 72) << bpsShift;
    l.clusterCount = clusterCountFor(heapOffset, l.clusterSize, volumeSize, count);
    if (l.clusterCount == 0) return D::refused("the cluster heap lies past the volume's end");
    if (!l.clusterValid(root)) return D::refused("root cluster " + std::to_string(root) + " outside the heap");
    // The FAT holds an entry for every cluster up to the last one; a FAT
    // shorter than that (damaged length) bounds the chains instead.
    uint64_t need = (static_cast<uint64_t>(l.clusterCount) + 2) * 4;
    l.fatBytes = fatLength ? std::min(need, fatLength) : need;
    D d = D::ok(l);
    if (l.clusterCount < count)
        d.replace("cluster count " + std::to_string(count) + " runs past the volume: " +
                  std::to_string(l.clusterCount) + " taken");
    if (fatLength && fatLength < need)
        d.replace("FAT length " + std::to_string(fatLength) + " bytes, " + std::to_string(need) +
                  " needed: chains end at its end");
    return d;
}

Decoded<ExfatLayout> decodeExfatBootRegion(const uint8_t* region, size_t len, uint64_t volumeSize) {
    Decoded<ExfatLayout> d = decodeExfatBootSector(region, std::min<size_t>(len, 512), volumeSize);
    if (!d) return d;
    // Sector 11 repeats the checksum of sectors 0-10.
    const size_t bps = d->bytesPerSector;
    if (len < 12 * bps) {
        d->checksumMatches = false;
        d.replace("boot region cut short: its checksum not checked");
    } else {
        const uint32_t sum = exfatBootChecksum(region, bps);
        const uint32_t stored = le32(region, len, 11 * bps);
        if (stored != sum) {
            d->checksumMatches = false;
            char text[96];
            std::snprintf(text, sizeof text, "boot checksum 0x%08X, the sectors give 0x%08X: taken as it is", stored,
                          sum);
            d.replace(text);
        }
    }
    return d;
}

ExfatLayout substituteExfatLayout(uint64_t fatOffset, uint64_t heapOffset, unsigned shift, uint64_t volumeSize) {
    ExfatLayout l;
    if (shift > 16) return l;
    l.bytesPerSectorShift = 9;
    l.sectorsPerClusterShift = static_cast<uint8_t>(shift);
    l.bytesPerSector = 512;
    l.clusterSize = 512u << shift;
    l.fatOffset = fatOffset;
    l.heapOffset = heapOffset;
    l.clusterCount = clusterCountFor(heapOffset, l.clusterSize, volumeSize, 0xFFFFFFF5ull);
    l.fatBytes = (static_cast<uint64_t>(l.clusterCount) + 2) * 4;
    l.volumeBytes = volumeSize;
    if (l.clusterCount == 0) l.clusterSize = 0;
    return l;
}

uint32_t exfatBootChecksum(const uint8_t* region, size_t bps) {
    uint32_t sum = 0;
    const size_t n = bps * 11;
    for (size_t i = 0; i < n; ++i) {
        if (i == 106 || i == 107 || i == 112) continue;
        sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
    }
    return sum;
}

uint32_t exfatTableChecksum(const uint8_t* data, size_t n, uint32_t sum) {
    for (size_t i = 0; i < n; ++i) sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + data[i];
    return sum;
}

void ExfatFat::init(const VolumeView* volume, const ExfatLayout& layout) {
    std::lock_guard<std::mutex> lk(mutex_);
    volume_ = volume;
    layout_ = layout;
    blocks_.clear();
    blocks_.resize(static_cast<size_t>((layout.fatBytes + kBlock - 1) / kBlock));
    loaded_ = 0;
}

const uint8_t* ExfatFat::block(uint64_t index) {
    if (index >= blocks_.size()) return nullptr;
    auto& b = blocks_[static_cast<size_t>(index)];
    if (!b) {
        if (loaded_ >= kMaxBlocks) {
            // Keep the cache bounded: drop everything and start again (chains
            // run forward, so this is rare and cheap).
            for (auto& x : blocks_) x.reset();
            loaded_ = 0;
        }
        b.reset(new uint8_t[kBlock]);
        const uint64_t at = index * kBlock;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kBlock, layout_.fatBytes - at));
        std::memset(b.get(), 0xFF, kBlock);
        if (volume_ && volume_->read(layout_.fatOffset + at, b.get(), n) != n) {
            // An unreadable FAT block ends every chain that enters it.
            std::memset(b.get(), 0xFF, kBlock);
        }
        ++loaded_;
    }
    return b.get();
}

uint32_t ExfatFat::entry(uint32_t c) {
    const uint64_t off = static_cast<uint64_t>(c) * 4;
    if (off + 4 > layout_.fatBytes) return kExfatEnd;
    std::lock_guard<std::mutex> lk(mutex_);
    const uint8_t* b = block(off / kBlock);
    if (!b) return kExfatEnd;
    return le32(b, kBlock, static_cast<size_t>(off % kBlock));
}

}  // namespace brantlow
