// Recoverability: a deleted file's clusters looked up in $Bitmap, the
// volume's cluster allocation bitmap (record 6, one bit per cluster, least
// significant bit first), read once through the content writer.
#include <algorithm>

#include "fs/ntfs/ntfs.h"
#include "fs/ntfs/ntfs_internal.h"

namespace brantlow {

namespace {
constexpr int64_t kBitmapRecord = 6;
}

void ntfs::loadAllocationMap() const { allocationMap(); }

const AllocationMap& ntfs::allocationMap() const {
    return allocation_.get([this](AllocationMap& map) {
        // Only where the table index is the record number and the boot
        // sector gave the geometry; a deep scan's records have no known place.
        if (scanMode_ != ScanMode::Standard || !mftOrder_ || clusterSize_ == 0) return;
        if (!validIndex(kBitmapRecord) || nameOf(kBitmapRecord) != "$Bitmap" ||
            !(entries_[kBitmapRecord].recordFlags & 0x0001))
            return;
        const uint64_t clusters = volumeSize_ / clusterSize_;
        const uint64_t need = (clusters + 7) / 8;
        if (clusters == 0 || need > kMaxAllocationMapBytes) return;
        DataPlan plan;
        if (!planData(kBitmapRecord, nullptr, plan)) return;
        MemorySink sink(static_cast<size_t>(need));
        if (plan.resident) {
            sink.write(plan.residentBytes.data(), plan.residentBytes.size());
        } else {
            plan.realSize = std::min<uint64_t>(plan.realSize, need);
            plan.initializedSize = std::min(plan.initializedSize, plan.realSize);
            if (!streamRuns(plan, sink).ok()) return;
        }
        if (sink.bytes.size() < need) return;
        map.assign(std::move(sink.bytes), clusters, AllocationMap::BitOrder::LsbFirst);
    });
}

std::vector<VolumeRange> ntfs::unallocatedRanges() const {
    return freeRuns(allocationMap(), 0, clusterSize_);
}

RecoveryEstimate ntfs::recoverability(EntryId id) const {
    int64_t index;
    std::string streamName;
    const std::string* stream = nullptr;
    if (id >= kNtfsStreamBase) {
        const uint64_t k = id - kNtfsStreamBase;
        if (k >= streams_.size()) return {};
        index = streams_[k].entry;
        streamName = namePool_.substr(streams_[k].nameOffset, streams_[k].nameLength);
        stream = &streamName;
    } else {
        if (id >= entries_.size()) return {};
        index = static_cast<int64_t>(id);
    }
    // Live files keep their clusters; only deleted ones are asked about.
    if (!validIndex(index) || (entries_[static_cast<size_t>(index)].recordFlags & 0x0001)) return {};
    const AllocationMap& map = allocationMap();
    if (!map.known()) return {};
    DataPlan plan;
    bool valid = false;
    if (!planData(index, stream, plan, &valid)) {
        // No data attribute: an empty file, nothing to lose.
        return valid ? RecoveryEstimate::intact() : RecoveryEstimate{};
    }
    // Resident data lives in the record itself, which is still this file's.
    if (plan.resident) return RecoveryEstimate::intact();
    // Runs in another file system's clusters: the map says nothing of them.
    if (plan.clusterBytes && plan.clusterBytes != clusterSize_) return {};
    const uint64_t cs = clusterSize_;
    const uint64_t need = plan.realSize / cs + (plan.realSize % cs ? 1 : 0);
    // The clusters of the first `need` VCNs (holes hold nothing to lose);
    // VCNs no run maps cannot be found, nor can those of an extent the
    // attribute list names but no record holds (a hole in the plan).
    uint64_t vcn = 0, units = 0, lost = 0;
    for (const NtfsRun& r : plan.runs) {
        if (vcn >= need) break;
        const uint64_t n = std::min<uint64_t>(r.length, need - vcn);
        vcn += n;
        if (r.sparse || r.lcn < 0) {
            if (!plan.complete) {
                units += n;
                lost += n;
            }
            continue;
        }
        units += n;
        lost += map.allocatedIn(static_cast<uint64_t>(r.lcn), n);
    }
    if (vcn < need) {
        units += need - vcn;
        lost += need - vcn;
    }
    return RecoveryEstimate::fromCounts(units, lost);
}

}  // namespace brantlow

namespace brantlow {

std::vector<VolumeRange> ntfs::contentRanges(EntryId id) const {
    int64_t index;
    std::string streamName;
    const std::string* stream = nullptr;
    if (id >= kNtfsStreamBase) {
        const uint64_t k = id - kNtfsStreamBase;
        if (k >= streams_.size()) return {};
        index = streams_[k].entry;
        streamName = namePool_.substr(streams_[k].nameOffset, streams_[k].nameLength);
        stream = &streamName;
    } else {
        if (id >= entries_.size()) return {};
        index = static_cast<int64_t>(id);
    }
    DataPlan plan;
    if (!validIndex(index) || clusterSize_ == 0 || !planData(index, stream, plan) || plan.resident) return {};
    // The clusters of the VCNs the writer reads: up to the recorded size
    // (compressed units: as allocated), sparse runs excluded.
    const uint64_t cs = plan.clusterBytes ? plan.clusterBytes : clusterSize_;
    const uint64_t bytes = plan.unitExponent ? std::max(plan.realSize, plan.allocatedSize) : plan.realSize;
    const uint64_t need = bytes / cs + (bytes % cs ? 1 : 0);
    std::vector<VolumeRange> out;
    uint64_t vcn = 0;
    for (const NtfsRun& r : plan.runs) {
        if (vcn >= need) break;
        const uint64_t n = std::min<uint64_t>(r.length, need - vcn);
        vcn += n;
        uint64_t at = 0;
        if (r.sparse || r.lcn < 0 || __builtin_mul_overflow(static_cast<uint64_t>(r.lcn), cs, &at)) continue;
        out.push_back({at, n * cs});
    }
    return out;
}

}  // namespace brantlow

namespace brantlow {

std::optional<uint64_t> ntfs::plainContentLength(EntryId id) const {
    int64_t index;
    std::string streamName;
    const std::string* stream = nullptr;
    if (id >= kNtfsStreamBase) {
        const uint64_t k = id - kNtfsStreamBase;
        if (k >= streams_.size()) return std::nullopt;
        index = streams_[k].entry;
        streamName = namePool_.substr(streams_[k].nameOffset, streams_[k].nameLength);
        stream = &streamName;
    } else {
        if (id >= entries_.size()) return std::nullopt;
        index = static_cast<int64_t>(id);
    }
    if (!validIndex(index) || clusterSize_ == 0 || !entries_[index].hasName() || (entries_[index].kind == 'D' && !stream))
        return std::nullopt;
    DataPlan plan;
    if (!planData(index, stream, plan) || plan.resident || !plan.complete || plan.unitExponent != 0 ||
        (plan.flags & 0x00FF) != 0 || plan.initializedSize < plan.realSize || plan.realSize > volumeSize_)
        return std::nullopt;
    // Every cluster up to the size mapped, inside the volume, in run order.
    const uint64_t cs = plan.clusterBytes ? plan.clusterBytes : clusterSize_;
    uint64_t mapped = 0;
    for (const NtfsRun& r : plan.runs) {
        if (mapped >= plan.realSize) break;
        uint64_t bytes = 0, at = 0;
        if (r.sparse || r.lcn < 0 || __builtin_mul_overflow(r.length, cs, &bytes) ||
            __builtin_mul_overflow(static_cast<uint64_t>(r.lcn), cs, &at) || at >= volumeSize_ ||
            bytes > volumeSize_ - at)
            return std::nullopt;
        mapped += bytes;
    }
    if (mapped < plan.realSize) return std::nullopt;
    return plan.realSize;
}

}  // namespace brantlow
