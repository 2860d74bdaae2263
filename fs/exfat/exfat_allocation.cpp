// Recoverability: the clusters a deleted file's writer would read (its
// chain, or the contiguous clusters from its first one when the chain was
// freed) looked up in the allocation bitmap the scan read.
#include "fs/exfat/exfat_parser.h"

namespace brantlow {

// The clusters the allocation bitmap marks free (none in Advanced mode or
// on a formatted drive, where the bitmap says nothing).
std::vector<ByteRun> Fat64Class::unallocatedRanges() const {
    std::vector<ByteRun> out;
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
    // Advanced mode rebuilds the layout from guesses, and a formatted
    // drive's bitmap says nothing of the files found.
    if (advanced_ || driveFormatted_ || !bitmap_.loaded()) return {};
    if (id == kRootId || id == 0 || id >= entries_.size()) return {};
    const ExFatEntry& e = entries_[static_cast<size_t>(id)];
    if (isExfatDirectory(e.fileAttributes) || !(e.deleted() || e.inDeletedTree)) return {};
    const uint64_t size = e.validDataLength;
    if (size == 0) return RecoveryEstimate::intact();
    const uint32_t cs = layout_.clusterSize;
    if (!cs || !layout_.clusterValid(e.firstCluster)) return {};
    const uint64_t need = size / cs + (size % cs ? 1 : 0);
    // streamChain only reads (the FAT cache has its own lock).
    const Chain chain = const_cast<Fat64Class*>(this)->streamChain(e, size, nullptr);
    uint64_t found = 0, lost = 0;
    for (const ClusterRun& r : chain.runs) {
        for (uint32_t k = 0; k < r.count && found < need; ++k, ++found)
            if (bitmap_.inUse(r.first + k)) ++lost;
    }
    // The writer takes only the first cluster when another file holds it:
    // what it does not reach is lost too.
    if (found < need) lost += need - found;
    return RecoveryEstimate::fromCounts(need, lost);
}

}  // namespace brantlow
