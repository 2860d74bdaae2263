// exFAT geometry from the boot region, the FAT (read on demand through a
// bounded block cache) and the allocation bitmap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/decoded.h"
#include "disk/volume_view.h"

namespace brantlow {

// FAT values with a meaning of their own.
constexpr uint32_t kExfatFree = 0;
constexpr uint32_t kExfatBad = 0xFFFFFFF7u;
constexpr uint32_t kExfatEnd = 0xFFFFFFFFu;
// The largest directory the format allows.
constexpr uint64_t kExfatMaxDirectoryBytes = 256ull * 1024 * 1024;

struct ExfatLayout {
    uint32_t bytesPerSector = 0;
    uint32_t clusterSize = 0;
    uint8_t bytesPerSectorShift = 0;
    uint8_t sectorsPerClusterShift = 0;
    uint64_t fatOffset = 0;   // first FAT, bytes from the volume start
    uint64_t fatBytes = 0;    // bytes of FAT that hold entries (4 per cluster, clusters 0..last)
    uint64_t heapOffset = 0;  // byte offset of cluster 2
    uint32_t clusterCount = 0;  // clusters in the heap as the volume can hold them
    uint32_t rootCluster = 0;
    uint64_t volumeBytes = 0;   // what the boot sector says (VolumeLength)
    bool checksumMatches = true;  // the boot region's checksum (false: wrong or not readable)

    bool valid() const { return clusterSize != 0; }
    uint32_t lastCluster() const { return clusterCount + 1; }
    bool clusterValid(uint64_t c) const { return c >= 2 && c <= static_cast<uint64_t>(clusterCount) + 1; }
    uint64_t clusterOffset(uint32_t c) const { return heapOffset + static_cast<uint64_t>(c - 2) * clusterSize; }
    // Clusters that hold bytes (0 without a cluster size).
    uint64_t clustersFor(uint64_t bytes) const {
        return clusterSize ? bytes / clusterSize + (bytes % clusterSize ? 1 : 0) : 0;
    }
};

// Geometry from a boot sector: BytesPerSectorShift 9-12, the cluster at
// most 32 MiB, root cluster in the heap, FAT and heap offsets and the
// cluster count not 0; refused with the reason otherwise. volumeSize (bytes,
// 0 = unknown) bounds the cluster count, and a FAT length too short for it
// bounds the chains; both are said so.
Decoded<ExfatLayout> decodeExfatBootSector(const uint8_t* bs, size_t len, uint64_t volumeSize);
// The boot region (12 sectors): its boot sector, and the checksum that
// sector 11 repeats, which is said when it does not match (or the region
// was cut short) and the sector is taken as it is.
Decoded<ExfatLayout> decodeExfatBootRegion(const uint8_t* region, size_t len, uint64_t volumeSize);

// A layout from chosen positions (advanced mode): 512-byte sectors,
// 2^shift sectors per cluster, as many clusters as the volume holds after
// the heap position.
ExfatLayout substituteExfatLayout(uint64_t fatOffset, uint64_t heapOffset, unsigned shift, uint64_t volumeSize);

// The boot checksum over the first 11 sectors of a boot region
// (VolumeFlags and PercentInUse left out).
uint32_t exfatBootChecksum(const uint8_t* region, size_t bytesPerSector);
// The rolling checksum of the up-case table (and of any byte run).
uint32_t exfatTableChecksum(const uint8_t* data, size_t n, uint32_t seed = 0);

// The FAT, read on demand in 64 KiB blocks and shared by the walk and the
// writers (a mutex guards the cache).
class ExfatFat {
public:
    void init(const VolumeView* volume, const ExfatLayout& layout);
    // The stored value for cluster c; kExfatEnd outside the FAT.
    uint32_t entry(uint32_t c);

private:
    const uint8_t* block(uint64_t index);
    static constexpr uint64_t kBlock = 64 * 1024;
    static constexpr size_t kMaxBlocks = 1024;  // 64 MiB
    const VolumeView* volume_ = nullptr;
    ExfatLayout layout_;
    std::vector<std::unique_ptr<uint8_t[]>> blocks_;
    size_t loaded_ = 0;
    std::mutex mutex_;
};

// The allocation bitmap (one bit per cluster from cluster 2), when it could
// be read.
class ExfatBitmap {
public:
    void clear() { bits_.clear(); clusters_ = 0; }
    bool loaded() const { return clusters_ != 0; }
    void assign(std::vector<uint8_t> bits, uint32_t clusters) { bits_ = std::move(bits); clusters_ = clusters; }
    // True when cluster c is marked in use (false outside the bitmap).
    bool inUse(uint32_t c) const {
        if (c < 2 || c - 2 >= clusters_) return false;
        uint32_t i = c - 2;
        return (bits_[i >> 3] >> (i & 7)) & 1;
    }
    size_t bytes() const { return bits_.size(); }

private:
    std::vector<uint8_t> bits_;
    uint32_t clusters_ = 0;
};

}  // namespace brantlow
