// Recoverability: a deleted file's clusters looked up in $Bitmap, the
// volume's cluster allocation bitmap (record 6, one bit per cluster, least
// significant bit first), read once through the content writer.
#include <algorithm>

#include "base/texts.h"

#include "fs/ntfs/ntfs.h"
#include "fs/ntfs/ntfs_internal.h"

namespace brantlow {

namespace {
constexpr int64_t kBitmapRecord = 6;

// The name of a fixed-up record's first $FILE_NAME.
std::string nameOfRecord(const std::vector<uint8_t>& rec) {
    std::string name;
    forEachAttribute(rec.data(), rec.size(), [&](const NtfsAttribute& a) {
        NtfsFileName fn;
        if (a.type != kAttrFileName || (readFileName(rec.data(), rec.size(), a, fn) & kFileNameRefused)) return true;
        name = utf16leToUtf8(rec.data() + fn.nameOffset, fn.nameUnits);
        return false;
    });
    return name;
}
}  // namespace

void ntfs::loadAllocationMap() const { allocationMap(); }

// The $Bitmap of the file system the boot sector describes: record 6 of the
// MFT it points to (an Advanced or Deep scan's table may hold another MFT,
// or none in record order).
bool ntfs::bootBitmapPlan(DataPlan& plan) const {
    const NtfsGeometry& g = geometry_;
    uint64_t mftPos = 0, byte = 0, at = 0;
    if (!bootIntact_ || mulOverflows(g.mftCluster, g.clusterSize, &mftPos) || mftPos >= volumeSize_) return false;
    std::vector<uint8_t> rec;
    if (!readRecordAt(mftPos, rec) || nameOfRecord(rec) != "$MFT") return false;
    DataPlan mft;
    RecordLookup none = [](uint64_t, std::vector<uint8_t>&) { return false; };
    if (!planFromRecord(rec, 0, nullptr, none, mft) || mft.resident ||
        mulOverflows(static_cast<uint64_t>(kBitmapRecord), g.recordSize, &byte) ||
        !volumeOffsetInRuns(mft.runs, g.clusterSize, byte, &at) || !readRecordAt(at, rec))
        return false;
    NtfsRecordHeader h;
    std::vector<uint8_t> fixed(rec.size());
    if ((fixRecord(rec.data(), fixed.data(), fixed.size(), h) & kRecordRefused) || !(h.flags & 0x0001) ||
        nameOfRecord(rec) != "$Bitmap")
        return false;
    if (!planFromRecord(rec, kBitmapRecord, nullptr, none, plan, &volume_, g.clusterSize)) return false;
    plan.clusterBytes = g.clusterSize;
    return true;
}

const AllocationMap& ntfs::allocationMap() const {
    return allocation_.get([this](AllocationMap& map) {
        // The map of the file system on the volume now. Standard mode (and
        // Advanced mode when the table is the MFT the boot sector names):
        // record 6 of the table. Otherwise the boot sector's MFT is read for
        // it; Advanced mode without a boot sector takes the chosen MFT's.
        // Deep mode without a boot sector has none.
        const uint64_t bootMft = bootIntact_ ? geometry_.mftCluster * geometry_.clusterSize : ~0ull;
        const bool tableIsCurrent =
            mftOrder_ && scanMode_ != ScanMode::Deep && clusterSize_ != 0 &&
            (scanMode_ == ScanMode::Standard || !bootIntact_ ||
             (clusterSize_ == geometry_.clusterSize && !runs_.empty() && !runs_.front().sparse &&
              static_cast<uint64_t>(runs_.front().lcn) * clusterSize_ == bootMft));
        DataPlan plan;
        uint64_t cs = 0;
        if (tableIsCurrent) {
            if (!validIndex(kBitmapRecord) || nameOf(kBitmapRecord) != "$Bitmap" ||
                !(entries_[kBitmapRecord].recordFlags & 0x0001) || !planData(kBitmapRecord, nullptr, plan))
                return;
            cs = clusterSize_;
        } else if (scanMode_ != ScanMode::Standard && bootBitmapPlan(plan)) {
            cs = geometry_.clusterSize;
        } else {
            return;
        }
        const uint64_t clusters = cs ? volumeSize_ / cs : 0;
        const uint64_t need = (clusters + 7) / 8;
        if (clusters == 0 || need > kMaxAllocationMapBytes) return;
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
        mapClusterBytes_ = cs;
    });
}

const AllocationMap& ntfs::previousAllocationMap() const {
    return previousAllocation_.get([this](AllocationMap& map) {
        const AllocationMap& current = allocationMap();
        const uint64_t mcs = mapClusterBytes_;
        if (!current.known() || mcs == 0) return;
        // In the smaller of the two cluster sizes: an earlier file system's
        // smaller clusters share one of the current map's.
        const uint64_t older = previousClusterSize_ ? previousClusterSize_ : clusterSize_;
        const uint64_t unit = older && older < mcs && mcs % older == 0 ? older : mcs;
        const uint64_t k = mcs / unit;
        if (current.count() > kMaxAllocationMapBytes * 8 / k) return;
        map.assign(std::vector<uint8_t>(static_cast<size_t>((current.count() * k + 7) / 8), 0), current.count() * k,
                   AllocationMap::BitOrder::LsbFirst);
        for (uint64_t c = 0; c < current.count(); ++c)
            if (current.allocated(c)) map.markAllocated(c * k, k);
        for (size_t i = 0; i < entries_.size() && !stopped(); ++i) {
            const NtfsEntry& e = entries_[i];
            if (!(e.recordFlags & kRecordPrevious) || !(e.recordFlags & kRecordWasInUse) || e.kind == 'D' ||
                (e.bits & NtfsEntry::kExtension))
                continue;
            for (const VolumeRange& r : contentRanges(i)) {
                if (r.length == 0) continue;
                const uint64_t first = r.offset / unit, end = (r.offset + r.length + unit - 1) / unit;
                if (first < map.count()) map.markAllocated(first, std::min(end, map.count()) - first);
            }
        }
        previousUnitBytes_ = unit;
    });
}

std::vector<VolumeRange> ntfs::unallocatedRanges() const {
    const AllocationMap& map = allocationMap();
    return freeRuns(map, 0, mapClusterBytes_);
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
    const uint16_t flags = entries_[static_cast<size_t>(index)].recordFlags;
    // A file an earlier file system had deleted already: what its files in
    // use took then is lost as well.
    const bool earlier = (flags & kRecordPrevious) && !(flags & kRecordWasInUse);
    const AllocationMap& map = earlier ? previousAllocationMap() : allocationMap();
    if (!map.known()) return {};
    DataPlan plan;
    bool valid = false;
    if (!planData(index, stream, plan, &valid)) {
        // No data attribute: an empty file, nothing to lose.
        return valid ? RecoveryEstimate::intact() : RecoveryEstimate{};
    }
    // Resident data lives in the record itself, which is still this file's.
    if (plan.resident) return RecoveryEstimate::intact();
    // Runs count in the file's own clusters (an earlier file system's may
    // be smaller), the map in the current one's: counted in map clusters.
    const uint64_t cs = plan.clusterBytes ? plan.clusterBytes : clusterSize_;
    const uint64_t mcs = earlier ? previousUnitBytes_ : mapClusterBytes_;
    if (cs == 0 || mcs == 0) return {};
    auto mapUnits = [&](uint64_t fileClusters) {
        const unsigned __int128 b = static_cast<unsigned __int128>(fileClusters) * cs;
        return static_cast<uint64_t>((b + mcs - 1) / mcs);
    };
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
                units += mapUnits(n);
                lost += mapUnits(n);
            }
            continue;
        }
        if (cs == mcs) {
            units += n;
            lost += map.allocatedIn(static_cast<uint64_t>(r.lcn), n);
            continue;
        }
        const unsigned __int128 from = static_cast<unsigned __int128>(r.lcn) * cs, to = from + static_cast<unsigned __int128>(n) * cs;
        const unsigned __int128 first = from / mcs, end = (to + mcs - 1) / mcs;
        if (first >= map.count()) {
            units += mapUnits(n);
            lost += mapUnits(n);
            continue;
        }
        const uint64_t count = static_cast<uint64_t>(end - first);
        units += count;
        lost += map.allocatedIn(static_cast<uint64_t>(first), count);
    }
    if (vcn < need) {
        units += mapUnits(need - vcn);
        lost += mapUnits(need - vcn);
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
