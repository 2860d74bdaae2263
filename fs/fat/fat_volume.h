// FAT geometry from the boot sector and the FAT itself (FAT12/16/32):
// where the FAT, the root and the data region lie, and the chain lookup.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/decoded.h"
#include "disk/volume_view.h"
#include "fs/fat/fat_probe.h"

namespace brantlow {

struct FatLayout {
    FatKind kind = FatKind::None;
    uint32_t bytesPerSector = 0;
    uint32_t sectorsPerCluster = 0;
    uint32_t clusterSize = 0;
    uint64_t fatOffset = 0;     // first FAT, bytes from the volume start
    uint64_t fatBytes = 0;      // bytes of the first FAT that hold entries
    uint64_t rootOffset = 0;    // FAT12/16: fixed root region
    uint64_t rootBytes = 0;     // FAT12/16: root region rounded up to a sector
    uint64_t dataOffset = 0;    // byte offset of cluster 2
    uint32_t lastCluster = 0;   // highest valid cluster number
    uint32_t rootCluster = 0;   // FAT32: from the boot sector (0 when invalid)

    bool valid() const { return kind == FatKind::Fat12 || kind == FatKind::Fat16 || kind == FatKind::Fat32; }
    // FAT12 and FAT16 keep a fixed root region; FAT32 a root cluster chain.
    bool fixedRoot() const { return kind == FatKind::Fat12 || kind == FatKind::Fat16; }
    bool clusterValid(uint64_t c) const { return c >= 2 && c <= lastCluster; }
    uint64_t clusterOffset(uint32_t c) const {
        return dataOffset + static_cast<uint64_t>(c - 2) * clusterSize;
    }
};

// The layout a 512-byte boot sector gives the parser: refused (with the
// reason) when the geometry is not plausible or the FAT holds fewer than
// three entries. A FAT too
// short for the clusters counted lowers the last cluster, and a FAT32 root
// cluster outside the data region is left 0 (the walk takes cluster 2);
// both are said so.
Decoded<FatLayout> decodeFatLayout(const uint8_t* bs, size_t len);
// The layout alone: kind None when refused.
FatLayout readFatLayout(const uint8_t* bs, size_t len);

// Entries that fit in fatBytes bytes of a FAT of this kind.
uint64_t fatEntriesIn(FatKind kind, uint64_t fatBytes);
// Bytes that hold entries 0..lastCluster.
uint64_t fatBytesFor(FatKind kind, uint64_t lastCluster);
// Entry c of a FAT held in buf (buf[0] is the FAT's byte firstByte); 0 when
// the entry is not wholly in buf.
uint32_t fatEntryIn(FatKind kind, const uint8_t* buf, size_t len, uint64_t firstByte, uint64_t c);

// The first FAT, read on demand in 64 KiB blocks (a bounded cache) and
// shared by the walk and the writers.
class FatTable {
public:
    void init(const VolumeView* volume, const FatLayout& layout);
    // The stored entry for cluster c (12 bits on FAT12, packed two in three
    // bytes; 28 bits on FAT32); 0 outside the FAT.
    uint32_t entry(uint32_t c);
    // Whether each of clusters first .. first + count - 1 is free (its
    // entry 0, or outside the FAT), under one lock: for passes over every
    // cluster.
    void freeClusters(uint32_t first, uint32_t count, std::vector<bool>& out);
    // The next cluster of a chain, or 0 at its end (end markers, bad
    // cluster, free, out of range).
    uint32_t next(uint32_t c);

private:
    const uint8_t* block(uint64_t index);
    static constexpr uint64_t kBlock = 64 * 1024;
    static constexpr size_t kMaxBlocks = 1024;  // 64 MiB
    const VolumeView* volume_ = nullptr;
    FatLayout layout_;
    unsigned width_ = 2;  // bytes per entry; 0 for FAT12's 1.5
    uint8_t byteAt(uint64_t pos);
    std::vector<std::unique_ptr<uint8_t[]>> blocks_;
    size_t loaded_ = 0;
    std::mutex mutex_;
};

}  // namespace brantlow
