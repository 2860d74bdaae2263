// MFT enumeration and record parsing: one entry per record, read in large
// sequential pieces and parsed from memory in the same pass.
#include <algorithm>
#include <optional>
#include <cstdio>
#include <cstring>

#include "base/bytes.h"
#include "base/texts.h"
#include "fs/ntfs/ntfs.h"
#include "fs/ntfs/ntfs_internal.h"

namespace brantlow {

namespace {

constexpr uint64_t kMaxRecords = 1ull << 26;  // 64 Mi records
constexpr size_t kPiece = 4u << 20;          // sequential read size

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

bool ntfs::readRecordAt(uint64_t offset, std::vector<uint8_t>& rec) const {
    std::vector<uint8_t> raw(recordSize_);
    rec.assign(recordSize_, 0);
    if (volume_.read(offset, raw.data(), raw.size()) != raw.size()) return false;
    applyFixups(raw.data(), rec.data(), rec.size());
    return isRecordSignature(rec.data());
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
    for (size_t guard = 0; p + 26 <= value.size() && guard < 65536; ++guard) {
        const uint8_t* e = value.data() + p;
        const size_t room = value.size() - p;
        const uint32_t type = le32(e, room, 0);
        const uint16_t len = le16(e, room, 4);
        if (type == 0 || type == kAttrEnd || len == 0) break;
        p += len;
        const uint8_t nameLen = le8(e, room, 6);
        const uint8_t nameOff = le8(e, room, 7);
        const uint64_t startVcn = le64(e, room, 8);
        const uint64_t ref = le64(e, room, 16) & 0xFFFFFFFFFFFFull;
        if (type != kAttrData || ref == recno) continue;
        bool match = false;
        if (!streamName)
            match = nameLen == 0;
        else if (nameLen && static_cast<size_t>(nameOff) + 2u * nameLen <= std::min<size_t>(room, len))
            match = utf16leToUtf8(e + nameOff, nameLen) == *streamName;
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

uint32_t ntfs::addName(const std::string& s) {
    uint32_t off = static_cast<uint32_t>(namePool_.size());
    if (namePool_.size() + s.size() > 0xFFFFFFF0ull) return 0;
    namePool_ += s;
    return off;
}

std::string ntfs::nameOf(int64_t index) const {
    if (index < 0 || index >= static_cast<int64_t>(entries_.size())) return {};
    const NtfsEntry& e = entries_[index];
    if (!e.hasName()) return {};
    return namePool_.substr(e.nameOffset, e.nameLength);
}

void ntfs::enumerateMft() {
    if (!runKnown_ || stopped()) return;
    if (clusterSize_ == 0) clusterSize_ = 4096;
    // Bytes of MFT the runs cover, within the volume.
    uint64_t runBytes = 0;
    std::vector<NtfsRun> runs;
    for (const NtfsRun& r : runs_) {
        uint64_t len = 0;
        if (mulOverflows(r.length, clusterSize_, &len)) break;
        runs.push_back(r);
        runBytes += len;
        if (runBytes > volumeSize_) break;
    }
    uint64_t total = runBytes;
    if (mftByteCount_ && mftByteCount_ < total) total = mftByteCount_;
    if (total > volumeSize_) total = volumeSize_;
    uint64_t records = total / recordSize_;
    if (records > kMaxRecords) records = kMaxRecords;
    mftOrder_ = true;
    entries_.reserve(records + 1);  // + ORPHAN_ENTRY
    entries_.assign(records, NtfsEntry{});
    for (uint64_t i = 0; i < records; ++i) entries_[i].ownIndex = static_cast<int64_t>(i);
    if (ctx_) ctx_->range(static_cast<int64_t>(records));

    const uint64_t streamBytes = records * recordSize_;
    std::vector<uint8_t> buf(std::min<uint64_t>(kPiece, std::max<uint64_t>(streamBytes, recordSize_)));
    std::vector<uint8_t> fixed(recordSize_);
    size_t fill = 0;          // bytes in buf
    uint64_t streamPos = 0;   // stream position of buf[0]
    uint64_t nextRecord = 0;  // next record to parse
    char text[96];

    auto parseBuffered = [&](bool final) {
        size_t done = 0;
        while (fill - done >= recordSize_ || (final && fill > done)) {
            if (nextRecord >= records) break;
            if (stopped()) return;
            const uint8_t* raw = buf.data() + done;
            NtfsEntry& e = entries_[nextRecord];
            std::memcpy(e.signature, raw, 4);
            if ((nextRecord & 4095) == 0) {
                std::snprintf(text, sizeof text, "parsing MFT entry %lld...", static_cast<long long>(nextRecord));
                status(text);
                if (ctx_) ctx_->position(static_cast<int64_t>(nextRecord));
            }
            if (isRecordSignature(raw) || std::memcmp(raw, "BAAD", 4) == 0) {
                size_t have = std::min<size_t>(recordSize_, fill - done);
                std::memset(fixed.data(), 0, recordSize_);
                std::memcpy(fixed.data(), raw, have);
                applyFixups(fixed.data(), fixed.data(), recordSize_);
                parseRecord(fixed.data(), recordSize_, static_cast<int64_t>(nextRecord));
            }
            ++nextRecord;
            done += recordSize_;
        }
        if (done > fill) done = fill;
        std::memmove(buf.data(), buf.data() + done, fill - done);
        fill -= done;
        streamPos += done;
    };

    uint64_t pos = 0;  // stream position of the next byte to read
    for (const NtfsRun& r : runs) {
        if (stopped() || pos >= streamBytes) break;
        std::snprintf(text, sizeof text, "parsing %lld cluster of MFT run.", static_cast<long long>(r.lcn));
        status(text);
        const uint64_t runBytesLen = r.length * clusterSize_;
        uint64_t inRun = 0;
        while (inRun < runBytesLen && pos < streamBytes && !stopped()) {
            size_t n = static_cast<size_t>(
                std::min<uint64_t>({runBytesLen - inRun, buf.size() - fill, streamBytes - pos}));
            uint64_t volOff = 0;
            bool valid = !r.sparse && r.lcn >= 0 &&
                         !mulOverflows(static_cast<uint64_t>(r.lcn), clusterSize_, &volOff) &&
                         !addOverflows(volOff, inRun, &volOff) && volOff < volumeSize_;
            if (valid) {
                n = static_cast<size_t>(std::min<uint64_t>(n, volumeSize_ - volOff));
                volume_.read(volOff, buf.data() + fill, n);
            } else {
                std::memset(buf.data() + fill, 0, n);
            }
            // Record offsets: the first byte of each record that starts here.
            uint64_t firstRec = (pos + recordSize_ - 1) / recordSize_;
            for (uint64_t k = firstRec; k * recordSize_ < pos + n && k < records; ++k)
                entries_[k].recordOffset = valid ? volOff + (k * recordSize_ - pos) : 0;
            fill += n;
            pos += n;
            inRun += n;
            if (fill == buf.size()) parseBuffered(false);
        }
    }
    parseBuffered(true);
    // Records the runs did not reach keep zeroed entries (no name).
}

bool ntfs::parseRecord(const uint8_t* rec, size_t size, int64_t index) {
    if (index < 0 || index >= static_cast<int64_t>(entries_.size()) || size < 48) return false;
    NtfsEntry& e = entries_[index];
    std::memcpy(e.signature, rec, 4);
    e.recordFlags = le16(rec, size, 22);
    e.sequence = le16(rec, size, 16);
    const uint64_t base = le64(rec, size, 32) & 0xFFFFFFFFFFFFull;
    if (base != 0) e.bits |= NtfsEntry::kExtension;

    // $FILE_NAME attributes of an extension record belong to its base.
    const bool toBase = mftOrder_ && base != 0 && base < entries_.size() && static_cast<int64_t>(base) != index;
    NtfsEntry& t = toBase ? entries_[base] : e;
    bool firstName = !(toBase && t.hasName());
    int bestRank = -1;
    uint32_t bestOff = 0, bestUnits = 0;
    uint32_t streamStart = static_cast<uint32_t>(streams_.size());
    struct PendingStream {
        uint32_t off, len;
        uint64_t size;
    };
    PendingStream pending[8];
    int npending = 0;

    forEachAttribute(rec, size, [&](const NtfsAttribute& a) {
        switch (a.type) {
            case kAttrStandardInfo:
                if (!a.nonResident && a.valueLength >= 32) {
                    const uint8_t* v = rec + a.valueOffset;
                    e.created = le64(v, a.valueLength, 0);
                    e.modified = le64(v, a.valueLength, 8);
                    e.accessed = le64(v, a.valueLength, 24);
                }
                break;
            case kAttrAttributeList:
                e.bits |= NtfsEntry::kHasAttrList;
                break;
            case kAttrFileName: {
                if (a.nonResident || a.valueLength < 66) break;
                const uint8_t* v = rec + a.valueOffset;
                const size_t vl = a.valueLength;
                const uint32_t flags = le32(v, vl, 56);
                if (flags & 0x10000000u) t.kind = 'D';
                const uint32_t units = std::min<uint32_t>(le8(v, vl, 64), static_cast<uint32_t>((vl - 66) / 2));
                const uint8_t ns = le8(v, vl, 65);
                const int rank = (ns == 1 || ns == 3) ? 3 : ns == 0 ? 2 : 1;
                if (rank >= bestRank) {
                    bestRank = rank;
                    bestOff = a.valueOffset + 66;
                    bestUnits = units;
                }
                t.allocatedSize = le64(v, vl, 40);
                t.fileAttributes = static_cast<uint16_t>(flags & 0xFFFF);
                if (firstName) {
                    const uint64_t ref = le64(v, vl, 0);
                    uint64_t rn = ref & 0xFFFFFFFFFFFFull;
                    if (rn & 0x800000000000ull) rn |= 0xFFFF000000000000ull;  // sign-extended from bit 47
                    t.parentIndex = static_cast<int64_t>(rn);
                    t.parentSequence = static_cast<uint16_t>(ref >> 48);
                    firstName = false;
                }
                break;
            }
            case kAttrData:
                if (a.nameLength == 0) {
                    if (!a.nonResident) {
                        if (!(e.bits & NtfsEntry::kSizeFromExtension)) e.dataSize = a.valueLength;
                        e.bits |= NtfsEntry::kHasOwnData;
                    } else if (a.firstVcn == 0) {
                        if (base != 0) {
                            // Extension record: the size belongs to its base.
                            if (toBase && base < entries_.size() && static_cast<int64_t>(base) != index) {
                                entries_[base].dataSize = a.realSize;
                                entries_[base].bits |= NtfsEntry::kSizeFromExtension;
                            }
                        } else {
                            e.dataSize = a.realSize;
                            e.bits |= NtfsEntry::kHasOwnData;
                        }
                    }
                } else if (base == 0 && npending < 8 && (!a.nonResident || a.firstVcn == 0)) {
                    std::string n = attributeName(rec, size, a);
                    pending[npending++] = {addName(n), static_cast<uint32_t>(n.size()),
                                           a.nonResident ? a.realSize : a.valueLength};
                }
                break;
            default:
                break;
        }
        return true;
    });
    if (bestRank >= 0 && !(toBase && t.hasName() && !(t.bits & NtfsEntry::kNameFromExtension))) {
        std::string name = utf16leToUtf8(rec + bestOff, bestUnits);
        t.nameOffset = addName(name);
        t.nameLength = static_cast<uint32_t>(name.size());
        t.bits |= NtfsEntry::kHasName;
        if (toBase) t.bits |= NtfsEntry::kNameFromExtension;
    }
    if (e.hasName() && npending > 0) {
        e.bits |= NtfsEntry::kHasStreams;
        for (int k = 0; k < npending; ++k)
            streams_.push_back({static_cast<uint32_t>(index), pending[k].off, pending[k].len, pending[k].size});
    }
    (void)streamStart;
    return true;
}

}  // namespace brantlow
