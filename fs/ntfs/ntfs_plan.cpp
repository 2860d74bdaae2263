// Where an attribute's data lies: its resident value, or the runs of all
// its extents in VCN order, gathered through the attribute list from the
// extension records when there is one.
#include <algorithm>
#include <optional>

#include "base/bytes.h"
#include "base/texts.h"
#include "fs/ntfs/ntfs.h"
#include "fs/ntfs/ntfs_internal.h"

namespace brantlow {

namespace {

bool nameMatches(const uint8_t* rec, size_t size, const NtfsAttribute& a, const std::string* streamName) {
    if (!streamName) return a.nameLength == 0;
    return a.nameLength != 0 && attributeName(rec, size, a) == *streamName;
}

}  // namespace

bool volumeOffsetInRuns(const std::vector<NtfsRun>& runs, uint64_t clusterSize, uint64_t byte, uint64_t* out) {
    uint64_t vcnByte = 0;
    for (const NtfsRun& r : runs) {
        uint64_t len = 0;
        if (mulOverflows(r.length, clusterSize, &len)) return false;
        if (byte < vcnByte + len) {
            if (r.sparse || r.lcn < 0) return false;
            uint64_t base = 0;
            if (mulOverflows(static_cast<uint64_t>(r.lcn), clusterSize, &base)) return false;
            return !addOverflows(base, byte - vcnByte, out);
        }
        vcnByte += len;
    }
    return false;
}

namespace {

// One $DATA attribute's runs and where they start in the file.
struct DataPiece {
    uint64_t firstVcn;
    std::vector<NtfsRun> runs;
};

void takeSizes(const NtfsAttribute& a, DataPlan& plan) {
    plan.realSize = a.realSize;
    plan.initializedSize = a.initializedSize;
    plan.allocatedSize = a.allocatedSize;
    plan.flags = a.flags;
    plan.unitExponent = a.unitExponent;
}

// The stream's attributes in the record itself: a resident value (the plan
// is then complete) or non-resident pieces; and the attribute list, if any.
void collectLocalPieces(const uint8_t* r, size_t size, const std::string* streamName, DataPlan& plan,
                        std::vector<DataPiece>& pieces, std::optional<NtfsAttribute>& list) {
    forEachAttribute(r, size, [&](const NtfsAttribute& a) {
        if (a.type == kAttrAttributeList && !list) {
            list = a;
        } else if (a.type == kAttrData && nameMatches(r, size, a, streamName)) {
            if (!a.nonResident) {
                if (pieces.empty() && !plan.resident) {
                    plan.resident = true;
                    plan.residentBytes.assign(r + a.valueOffset, r + a.valueOffset + a.valueLength);
                    plan.realSize = a.valueLength;
                    plan.initializedSize = a.valueLength;
                    plan.flags = a.flags;
                }
            } else if (!plan.resident) {
                if (a.firstVcn == 0) takeSizes(a, plan);
                pieces.push_back({a.firstVcn, attributeRuns(r, size, a)});
            }
        }
        return true;
    });
}

// The attribute list's value: resident, or read from its runs (capped).
std::vector<uint8_t> attributeListValue(const uint8_t* r, size_t size, const NtfsAttribute& list,
                                        const VolumeView* volume, uint64_t clusterSize) {
    std::vector<uint8_t> value;
    if (!list.nonResident) {
        value.assign(r + list.valueOffset, r + list.valueOffset + list.valueLength);
        return value;
    }
    if (!volume || !clusterSize) return value;
    uint64_t want = std::min<uint64_t>(list.realSize, kMaxAttrListBytes);
    value.assign(want, 0);
    uint64_t done = 0;
    for (const NtfsRun& run : attributeRuns(r, size, list)) {
        if (done >= want) break;
        uint64_t bytes = 0;
        if (mulOverflows(run.length, clusterSize, &bytes)) break;
        uint64_t n = std::min(bytes, want - done);
        if (!run.sparse) {
            uint64_t off = 0;
            if (!mulOverflows(static_cast<uint64_t>(run.lcn), clusterSize, &off))
                volume->read(off, value.data() + done, n);
        }
        done += n;
    }
    return value;
}

// The stream's extents in other records, as the attribute list names them.
// An extension record counts only when it names this record as its base.
void collectListedPieces(const std::vector<uint8_t>& value, uint64_t recno, const std::string* streamName,
                         const RecordLookup& lookup, DataPlan& plan, std::vector<DataPiece>& pieces) {
    std::vector<uint8_t> ext;
    size_t p = 0;
    for (size_t guard = 0; guard < 65536; ++guard) {
        Decoded<NtfsListEntry> le = decodeListEntry(value.data(), value.size(), p);
        if (!le) break;
        const uint8_t* e = value.data() + p;
        p += le->length;
        const uint64_t startVcn = le->startVcn;
        const uint64_t ref = le->record;
        if (le->type != kAttrData || ref == recno) continue;
        bool match = false;
        if (!streamName)
            match = le->nameLength == 0;
        else if (le->nameLength && le->nameInside)
            match = utf16leToUtf8(e + le->nameOffset, le->nameLength) == *streamName;
        bool have = false;
        for (const DataPiece& pc : pieces)
            if (pc.firstVcn == startVcn) have = true;
        if (!match || have || !lookup(ref, ext)) continue;
        uint64_t base = le64(ext.data(), ext.size(), 32) & 0xFFFFFFFFFFFFull;
        if (base != recno) continue;
        forEachAttribute(ext.data(), ext.size(), [&](const NtfsAttribute& a) {
            if (a.type == kAttrData && a.nonResident && a.firstVcn == startVcn &&
                nameMatches(ext.data(), ext.size(), a, streamName)) {
                if (a.firstVcn == 0) takeSizes(a, plan);
                pieces.push_back({a.firstVcn, attributeRuns(ext.data(), ext.size(), a)});
                plan.fromList = true;
                return false;
            }
            return true;
        });
    }
}

// Joins the pieces in VCN order; a missing extent becomes zeros and marks
// the plan incomplete, an overlapping one is dropped.
bool joinPieces(std::vector<DataPiece>& pieces, DataPlan& plan) {
    std::sort(pieces.begin(), pieces.end(),
              [](const DataPiece& a, const DataPiece& b) { return a.firstVcn < b.firstVcn; });
    if (pieces.empty() || pieces.front().firstVcn != 0) return false;
    uint64_t vcn = 0;
    for (const DataPiece& pc : pieces) {
        if (pc.firstVcn < vcn) continue;
        if (pc.firstVcn > vcn) {
            plan.complete = false;
            plan.runs.push_back({0, pc.firstVcn - vcn, true});
            vcn = pc.firstVcn;
        }
        for (const NtfsRun& run : pc.runs) {
            plan.runs.push_back(run);
            vcn += run.length;
        }
    }
    plan.firstExtentRuns = pieces.front().runs;
    return true;
}

}  // namespace

bool planFromRecord(const std::vector<uint8_t>& rec, uint64_t recno, const std::string* streamName,
                    const RecordLookup& lookup, DataPlan& plan, const VolumeView* volume, uint64_t clusterSize) {
    plan = DataPlan{};
    std::vector<DataPiece> pieces;
    std::optional<NtfsAttribute> list;
    collectLocalPieces(rec.data(), rec.size(), streamName, plan, pieces, list);
    if (plan.resident) {
        plan.found = true;
        return true;
    }
    if (list) {
        std::vector<uint8_t> value = attributeListValue(rec.data(), rec.size(), *list, volume, clusterSize);
        collectListedPieces(value, recno, streamName, lookup, plan, pieces);
    }
    if (!joinPieces(pieces, plan)) return false;
    plan.found = true;
    return true;
}

std::vector<NtfsRun> ntfs::readRuns(uint64_t recordOffset, uint32_t attributeType) {
    std::vector<uint8_t> rec;
    dataClusterCount_ = 0;
    if (!readRecordAt(recordOffset, rec)) return {};
    std::vector<NtfsRun> out;
    forEachAttribute(rec.data(), rec.size(), [&](const NtfsAttribute& a) {
        if (a.type == attributeType && a.nonResident && a.nameLength == 0) {
            dataClusterCount_ = a.lastVcn >= a.firstVcn ? a.lastVcn - a.firstVcn + 1 : 0;
            out = attributeRuns(rec.data(), rec.size(), a);
            return false;
        }
        return true;
    });
    return out;
}

}  // namespace brantlow
