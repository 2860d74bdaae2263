// The allocation checks of a scan (chains, sizes, cross-links and the
// bitmap of the live entries), and recoverability: the clusters a deleted
// file's writer would read (its chain, or the contiguous clusters from its
// first one when the chain was freed) looked up in the allocation bitmap
// the scan read; in Advanced mode, their bytes looked up in the bitmap of
// the file system on the volume now.
#include <algorithm>
#include <string>

#include "fs/exfat/exfat_parser.h"

namespace brantlow {

namespace {

// Cross-link and bitmap checks keep one bit per cluster: up to 64 MiB.
constexpr uint64_t kMaxCheckedClusters = 512ull * 1024 * 1024;

}  // namespace

void Fat64Class::checkAllocations() {
    if (!layout_.valid() || layout_.clusterCount > kMaxCheckedClusters) return;
    const uint32_t last = layout_.lastCluster();
    std::vector<uint64_t> claimed((static_cast<size_t>(layout_.clusterCount) + 2 + 63) / 64, 0);
    // Marks the chain's clusters; true when one was claimed before.
    auto claim = [&](const Chain& ch, bool& notInBitmap) {
        bool cross = false;
        for (const ClusterRun& r : ch.runs)
            for (uint32_t i = 0; i < r.count; ++i) {
                const uint32_t c = r.first + i;
                uint64_t& w = claimed[c >> 6];
                const uint64_t bit = 1ull << (c & 63);
                if (w & bit) cross = true;
                w |= bit;
                if (bitmap_.loaded() && !bitmap_.inUse(c)) notInBitmap = true;
            }
        return cross;
    };
    bool dummyFlag = false;
    {
        Chain root;
        for (size_t i = 0; i < rootClusters_.size(); ++i) root.runs.push_back({rootClusters_[i], 1});
        claim(root, dummyFlag);
    }
    auto next = [this](uint32_t c) { return fat_.entry(c); };
    for (size_t i = 1; i < entries_.size(); ++i) {
        if ((i & 1023) == 0 && polledStop()) return;
        const ExFatEntry& e = entries_[i];
        if (e.inDeletedTree) continue;
        const char* set = "exFAT entry set";
        if (e.validDataLength > e.dataLength)
            damaged(&ExfatProblems::sizeBeyondAllocation, set, e.position,
                    "valid data length " + std::to_string(e.validDataLength) + " beyond its data length " +
                        std::to_string(e.dataLength));
        if (e.dataLength == 0) continue;
        if (!layout_.clusterValid(e.firstCluster)) {
            damaged(&ExfatProblems::badClusters, set, e.position,
                    "first cluster " + std::to_string(e.firstCluster) + " outside the heap");
            continue;
        }
        const uint64_t need = layout_.clustersFor(e.dataLength);
        Chain ch = (e.noFatChain() || driveFormatted_) ? contiguousChain(e.firstCluster, last, need)
                                                       : followChain(next, e.firstCluster, last, need);
        if (ch.end == ChainEnd::Loop)
            damaged(&ExfatProblems::fatLoops, set, e.position, "its FAT chain comes back to a cluster it passed");
        else if (ch.clusters < need && !(driveFormatted_ && !e.noFatChain()))
            damaged(&ExfatProblems::sizeBeyondAllocation, set, e.position,
                    "data length " + std::to_string(e.dataLength) + " beyond its " + std::to_string(ch.clusters) +
                        " clusters");
        bool notInBitmap = false;
        if (claim(ch, notInBitmap))
            damaged(&ExfatProblems::crossLinks, set, e.position, "clusters shared with an earlier entry");
        if (notInBitmap)
            damaged(&ExfatProblems::notInBitmap, set, e.position, "clusters the allocation bitmap marks free");
    }
}

// The clusters the allocation bitmap marks free (none in Advanced mode or
// on a formatted drive, where the bitmap says nothing).
std::vector<VolumeRange> Fat64Class::unallocatedRanges() const {
    std::vector<VolumeRange> out;
    if (advanced_ || driveFormatted_ || !bitmap_.loaded() || !layout_.clusterSize) return out;
    for (uint64_t c = 2; c <= layout_.lastCluster();) {
        if (bitmap_.inUse(static_cast<uint32_t>(c))) {
            ++c;
            continue;
        }
        uint64_t d = c + 1;
        while (d <= layout_.lastCluster() && !bitmap_.inUse(static_cast<uint32_t>(d))) ++d;
        out.push_back({layout_.clusterOffset(static_cast<uint32_t>(c)), (d - c) * layout_.clusterSize});
        c = d;
    }
    return out;
}

RecoveryEstimate Fat64Class::recoverability(EntryId id) const {
    // A formatted drive's bitmap says nothing of the files found. Advanced
    // mode reads the entries in a guessed layout and looks their bytes up
    // in the bitmap of the file system on the volume now.
    if (driveFormatted_ || (advanced_ ? !nowMap_.known() : !bitmap_.loaded())) return {};
    if (id == kRootId || id == 0 || id >= entries_.size()) return {};
    const ExFatEntry& e = entries_[static_cast<size_t>(id)];
    if (isExfatDirectory(e.fileAttributes) || !(e.deleted() || e.inDeletedTree)) return {};
    const uint64_t size = e.validDataLength;
    if (size == 0) return RecoveryEstimate::intact();
    const uint32_t cs = layout_.clusterSize;
    if (!cs || !layout_.clusterValid(e.firstCluster)) return {};
    const uint64_t need = size / cs + (size % cs ? 1 : 0);
    // streamChain only reads (the FAT cache has its own lock).
    bool guess = false;
    const Chain chain = const_cast<Fat64Class*>(this)->streamChain(e, size, &guess);
    RecoveryEstimate est;
    if (advanced_) {
        std::vector<VolumeRange> ranges;
        uint64_t left = size;
        for (const ClusterRun& r : chain.runs) {
            if (!left) break;
            const uint64_t len = std::min<uint64_t>(static_cast<uint64_t>(r.count) * cs, left);
            ranges.push_back({layout_.clusterOffset(r.first), len});
            left -= len;
        }
        const uint64_t ncs = nowLayout_.clusterSize;
        est = estimateRanges(ranges, nowMap_, static_cast<int64_t>(nowLayout_.heapOffset) - 2 * static_cast<int64_t>(ncs),
                             ncs);
        // Bytes the writer does not reach are lost.
        const uint64_t missing = left / ncs + (left % ncs ? 1 : 0);
        if (missing) est = RecoveryEstimate::fromCounts(est.units + missing, est.overwritten + missing);
    } else {
        uint64_t found = 0, lost = 0;
        for (const ClusterRun& r : chain.runs) {
            for (uint32_t k = 0; k < r.count && found < need; ++k, ++found)
                if (bitmap_.inUse(r.first + k)) ++lost;
        }
        // The writer takes only the first cluster when another file holds it:
        // what it does not reach is lost too.
        if (found < need) lost += need - found;
        est = RecoveryEstimate::fromCounts(need, lost);
    }
    // A freed chain read as contiguous clusters where another entry (live
    // or deleted) starts: the file was fragmented, the run is not all its own.
    if (guess && est.state == Recoverability::Intact && need > 1 &&
        starts_.ensure([this](std::vector<uint64_t>& v) {
                   for (const ExFatEntry& o : entries_)
                       if (layout_.clusterValid(o.firstCluster)) v.push_back(o.firstCluster);
               }).anyIn(uint64_t{e.firstCluster} + 1, uint64_t{e.firstCluster} + need))
        return RecoveryEstimate::uncertain(need);
    return est;
}

}  // namespace brantlow

namespace brantlow {

std::vector<VolumeRange> Fat64Class::contentRanges(EntryId id) const {
    if (id == kRootId || id == 0 || id >= entries_.size()) return {};
    const ExFatEntry& e = entries_[static_cast<size_t>(id)];
    const uint64_t size = e.validDataLength;
    const uint32_t cs = layout_.clusterSize;
    if (isExfatDirectory(e.fileAttributes) || size == 0 || !cs || !layout_.clusterValid(e.firstCluster)) return {};
    // streamChain only reads (the FAT cache has its own lock).
    const Chain chain = const_cast<Fat64Class*>(this)->streamChain(e, size, nullptr);
    std::vector<VolumeRange> out;
    uint64_t left = size;
    for (const ClusterRun& r : chain.runs) {
        if (!left) break;
        const uint64_t len = std::min<uint64_t>(static_cast<uint64_t>(r.count) * cs, left);
        out.push_back({layout_.clusterOffset(r.first), len});
        left -= len;
    }
    return out;
}

}  // namespace brantlow
