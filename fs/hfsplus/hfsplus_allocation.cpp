// Recoverability: a deleted file's fork extents looked up in the allocation
// file (one bit per block, most significant bit first), read once.
#include <algorithm>

#include "fs/hfsplus/hfsplus.h"

namespace brantlow {

using namespace hfs;

void HFSP::loadAllocationMap() const { allocationMap(); }

const AllocationMap& HFSP::allocationMap() const {
    return allocation_.get([this](AllocationMap& map) {
        // Records found by a volume search have no trusted volume header.
        if (mode_ != ScanMode::Standard || !blockSize_ || !volumeBlocks_ || allocationRuns_.empty()) return;
        const uint64_t need = (volumeBlocks_ + 7) / 8;
        if (need > kMaxAllocationMapBytes) return;
        std::vector<uint8_t> bits(static_cast<size_t>(need), 0);
        for (uint64_t done = 0; done < need;) {
            uint64_t at = 0, contiguous = 0;
            if (!forkByteOffset(allocationRuns_, blockSize_, done, &at, &contiguous) || contiguous == 0) return;
            const size_t step = static_cast<size_t>(std::min<uint64_t>({contiguous, need - done, 8u << 20}));
            if (!volume_.readExact(at, bits.data() + done, step)) return;
            done += step;
        }
        map.assign(std::move(bits), volumeBlocks_, AllocationMap::BitOrder::MsbFirst);
    });
}

std::vector<VolumeRange> HFSP::unallocatedRanges() const {
    return freeRuns(allocationMap(), 0, blockSize_);
}

RecoveryEstimate HFSP::recoverability(EntryId id) const {
    const bool rsrc = id >= kRsrcStreamBase;
    const HfsEntry* e = find(rsrc ? id - kRsrcStreamBase : id);
    if (!e || e->kind != 2) return {};
    if (e->state != EntryState::Deleted) return {};
    const HfsEntry* c = contentEntry(*e);
    // A deleted link to a file that is still there: its content is whole.
    if (c->state != EntryState::Deleted) return RecoveryEstimate::intact();
    const AllocationMap& map = allocationMap();
    if (!map.known()) return {};
    // Compressed content is in the resource fork (or in an attribute that
    // the map does not cover).
    const bool useRsrc = rsrc || c->compressed;
    if (c->compressed && !rsrc) {
        auto it = compression_.find(c->cnid);
        if (it == compression_.end() || it->second.type != 4) return {};
    }
    const uint64_t size = useRsrc ? c->rsrcSize : c->dataSize;
    if (size == 0) return RecoveryEstimate::intact();
    const ForkRuns fr = forkRuns(fork(*c, useRsrc), useRsrc ? kResourceFork : kDataFork,
                                 static_cast<uint32_t>(c->cnid), extentsIndex_, blockSize_, volumeBlocks_);
    const uint64_t need = size / blockSize_ + (size % blockSize_ ? 1 : 0);
    uint64_t mapped = 0, lost = 0;
    for (const Run& r : fr.runs) {
        if (mapped >= need) break;
        const uint64_t n = std::min<uint64_t>(r.blockCount, need - mapped);
        mapped += n;
        lost += r.valid ? map.allocatedIn(r.startBlock, n) : n;
    }
    if (mapped < need) lost += need - mapped;
    return RecoveryEstimate::fromCounts(need, lost);
}

}  // namespace brantlow

namespace brantlow {

std::vector<VolumeRange> HFSP::contentRanges(EntryId id) const {
    const bool rsrc = id >= kRsrcStreamBase;
    const HfsEntry* e = find(rsrc ? id - kRsrcStreamBase : id);
    if (!e || e->kind != 2 || !blockSize_) return {};
    const HfsEntry* c = contentEntry(*e);
    // Compressed content is in the resource fork (or in an attribute, with the metadata).
    bool useRsrc = rsrc;
    if (c->compressed && !rsrc) {
        auto it = compression_.find(c->cnid);
        if (it != compression_.end()) {
            if (it->second.type != 4) return {};
            useRsrc = true;
        }
    }
    const uint64_t size = useRsrc ? c->rsrcSize : c->dataSize;
    const ForkRuns fr = forkRuns(fork(*c, useRsrc), useRsrc ? kResourceFork : kDataFork,
                                 static_cast<uint32_t>(c->cnid), extentsIndex_, blockSize_, volumeBlocks_);
    std::vector<VolumeRange> out;
    uint64_t left = size;
    for (const Run& r : fr.runs) {
        if (!left) break;
        const uint64_t len = std::min<uint64_t>(r.blockCount * blockSize_, left);
        left -= len;
        if (r.valid) out.push_back({r.startBlock * blockSize_, len});
    }
    return out;
}

}  // namespace brantlow
