// NTFS's part of the search for earlier file systems: MFT records anywhere
// on the volume, grouped by the MFT they belong to (the place record 0 of
// their table would have), each group judged by the cluster size its runs
// agree with.
#include <algorithm>
#include <map>
#include <set>
#include <unordered_set>

#include "base/bytes.h"
#include "base/texts.h"
#include "fs/api/content_signature.h"
#include "fs/ntfs/ntfs_candidates.h"
#include "fs/ntfs/ntfs_record.h"

namespace brantlow {

namespace {

constexpr size_t kMaxCandidateRecords = 500000;
constexpr size_t kMaxNamed = 4096;
constexpr uint32_t kRecord = 1024;

struct Rec {
    uint64_t pos = 0;
    uint32_t number = 0;
    int64_t parent = -1;   // from $FILE_NAME, -1 without one
    int64_t firstLcn = -1; // unnamed $DATA's first cluster
    uint64_t end = 0;      // clusters: the end of its furthest run (0: no runs)
    uint64_t size = 0;
    int32_t named = -1;    // index into names (samples), -1 none
};

class NtfsMatcher : public CandidateMatcher {
public:
    void block(uint64_t offset, const uint8_t* data, size_t len, size_t room) override {
        if (offset == 0 && room >= 512) {
            boot_ = decodeBootSector(data, room);
            if (boot_.intact) mirror_ = le64(data, room, 0x38);
        }
        std::vector<uint8_t>& rec = scratch_;
        rec.resize(kRecord);
        for (size_t s = 0; s + kRecord <= room && s < len; s += kRecord) {
            const uint8_t* p = data + s;
            if (!isRecordSignature(p) || le16(p, kRecord, 4) >= 512 || le16(p, kRecord, 20) >= kRecord) continue;
            NtfsRecordHeader h;
            if (fixRecord(p, rec.data(), kRecord, h) & kRecordRefused) continue;
            if (!h.hasNumber || h.base != 0) continue;
            if (recs_.size() >= kMaxCandidateRecords) {
                ++dropped_;
                continue;
            }
            add(offset + s, h, rec);
        }
    }

    std::vector<FileSystemCandidate> finish(const VolumeView& volume) override;

private:
    void add(uint64_t pos, const NtfsRecordHeader& h, const std::vector<uint8_t>& rec) {
        Rec r;
        r.pos = pos;
        r.number = h.number;
        std::string name;
        int rank = -1;
        bool dir = false;
        forEachAttribute(rec.data(), rec.size(), [&](const NtfsAttribute& a) {
            if (a.type == kAttrFileName && !a.nonResident) {
                NtfsFileName fn;
                if (!(readFileName(rec.data(), rec.size(), a, fn) & kFileNameRefused) && fn.rank() > rank) {
                    rank = fn.rank();
                    r.parent = fn.parent;
                    dir = fn.directory();
                    name = utf16leToUtf8(rec.data() + fn.nameOffset, fn.nameUnits);
                }
            } else if (a.type == kAttrData && a.nonResident && a.nameLength == 0 && a.firstVcn == 0) {
                r.size = a.realSize;
                for (const NtfsRun& run : attributeRuns(rec.data(), rec.size(), a)) {
                    if (run.sparse || run.lcn < 0) continue;
                    if (r.firstLcn < 0) r.firstLcn = run.lcn;
                    uint64_t e = 0;
                    if (addOverflows(static_cast<uint64_t>(run.lcn), run.length, &e)) e = ~0ull;
                    r.end = std::max(r.end, e);
                }
            }
            return true;
        }, nullptr);
        if (h.number == 0 && name == "$MFT" && r.firstLcn >= 0) mftRecordSize_[pos] = r.size;
        if (!dir && r.firstLcn >= 0 && r.size >= 16 && names_.size() < kMaxNamed && namePromisesContent(name) &&
            name[0] != '$') {
            r.named = static_cast<int32_t>(names_.size());
            names_.push_back(name);
        }
        recs_.push_back(r);
    }

    NtfsGeometry boot_;
    uint64_t mirror_ = 0;
    std::vector<Rec> recs_;
    std::vector<std::string> names_;
    std::map<uint64_t, uint64_t> mftRecordSize_;  // $MFT record position -> its $DATA size
    uint64_t dropped_ = 0;
    std::vector<uint8_t> scratch_;
};

std::vector<FileSystemCandidate> NtfsMatcher::finish(const VolumeView& volume) {
    std::vector<FileSystemCandidate> out;
    const uint64_t total = volume.sizeBytes();
    std::map<int64_t, std::vector<size_t>> groups;
    for (size_t i = 0; i < recs_.size(); ++i)
        groups[static_cast<int64_t>(recs_[i].pos) - static_cast<int64_t>(recs_[i].number) * kRecord].push_back(i);
    const bool current = boot_.intact && boot_.clusterSize;
    int currentShift = -1;
    uint64_t currentOrigin = 0, currentMirror = 0;
    if (current) {
        currentShift = 0;
        while ((512ull << currentShift) < boot_.clusterSize && currentShift < 20) ++currentShift;
        currentOrigin = boot_.mftCluster * boot_.clusterSize;
        currentMirror = mirror_ * boot_.clusterSize;
    }
    std::vector<uint8_t> sector(512);
    for (const auto& [origin, all] : groups) {
        if (all.size() < 2 || origin < 0) continue;
        const uint64_t org = static_cast<uint64_t>(origin);
        if (current && org == currentMirror) continue;  // the current volume's own mirror
        const bool ownMft = current && org == currentOrigin;
        std::vector<size_t> members;
        uint64_t ownRecords = 0;
        if (ownMft) {
            // The records the current MFT holds are the current file system's.
            auto it = mftRecordSize_.find(org);
            ownRecords = it != mftRecordSize_.end() ? it->second / kRecord : 16;
            for (size_t i : all)
                if (recs_[i].number >= ownRecords) members.push_back(i);
            if (members.size() < 2) continue;
        } else {
            members = all;
        }
        // Record 0 or 1 of the group: its run tells the cluster size (the
        // MFT pointing back at itself, or the mirror's copy at the mirror).
        int shift = -1;
        uint64_t metadata = 0;
        bool hasZero = false, mirrorCopy = false;
        int64_t mftLcn = -1;
        for (size_t i : members) {
            const Rec& r = recs_[i];
            if (r.number > 1 || r.firstLcn <= 0) continue;
            for (int e = 0; e <= 12 && shift < 0; ++e) {
                uint64_t at = 0;
                if (!mulOverflows(static_cast<uint64_t>(r.firstLcn), 512ull << e, &at) && at == org) {
                    shift = e;
                    mirrorCopy = r.number == 1;
                }
            }
            if (r.number == 0) {
                hasZero = true;
                metadata = r.pos;
                mftLcn = r.firstLcn;
            }
        }
        // Otherwise the sizes at which 95 % of the runs end inside the
        // volume, the one the files' first bytes agree with most.
        uint32_t withRuns = 0;
        std::vector<uint32_t> fit(8, 0);
        for (size_t i : members) {
            const Rec& r = recs_[i];
            if (!r.end) continue;
            ++withRuns;
            for (int e = 0; e < 8; ++e) {
                uint64_t b = 0;
                if (!mulOverflows(r.end, 512ull << e, &b) && b <= total) ++fit[static_cast<size_t>(e)];
            }
        }
        std::vector<size_t> sampled;
        for (size_t i : members)
            if (recs_[i].named >= 0 && sampled.size() < kMaxSamples) sampled.push_back(i);
        auto opened = [&](int e) {
            uint32_t good = 0;
            for (size_t i : sampled) {
                uint64_t at = 0;
                if (mulOverflows(static_cast<uint64_t>(recs_[i].firstLcn), 512ull << e, &at) || at >= total) continue;
                const size_t n = volume.read(at, sector.data(), std::min<uint64_t>(512, total - at));
                if (contentMatchesName(names_[static_cast<size_t>(recs_[i].named)], sector.data(), n) > 0) ++good;
            }
            return good;
        };
        if (shift < 0 && withRuns) {
            uint32_t bestGood = 0;
            for (int e : {currentShift, 3, 2, 1, 0, 4, 5, 6, 7}) {
                if (e < 0 || e > 7 || fit[static_cast<size_t>(e)] * 20 < withRuns * 19) continue;
                const uint32_t good = opened(e);
                if (shift < 0 || good > bestGood) {
                    shift = e;
                    bestGood = good;
                }
            }
        }
        if (shift < 0) shift = current ? currentShift : 3;
        const uint64_t cs = 512ull << shift;
        const bool sameAsCurrent = ownMft && shift == currentShift;
        FileSystemCandidate c;
        c.fileSystem = "NTFS";
        c.mode = ScanMode::Advanced;
        c.variant = current;
        c.clusterShift = shift;
        c.clusterBytes = cs;
        // The current MFT's own table: its parser votes for the older
        // records' size by itself; elsewhere the chosen record starts it.
        if (!ownMft) {
            if (hasZero) c.metadata = static_cast<int64_t>(metadata);
        } else {
            c.clusterShift = -1;
        }
        c.where = std::string(ownMft ? "older MFT records after the current MFT" : mirrorCopy ? "MFT mirror" : "MFT") +
                  " at byte " + std::to_string(org) + (sameAsCurrent ? ", the current cluster size" : "");
        // The mirror's copy of $MFT names the table: is it still there?
        bool tableGone = false;
        uint64_t table = 0;
        if (mirrorCopy && mftLcn > 0 && !mulOverflows(static_cast<uint64_t>(mftLcn), cs, &table) && table + 4 <= total) {
            uint8_t sig[4] = {};
            tableGone = volume.read(table, sig, 4) != 4 || !isRecordSignature(sig);
            if (tableGone)
                c.where += " (the MFT it names, at byte " + std::to_string(table) +
                           ", is overwritten: only the metadata files' records are left)";
        }
        // Runs inside the volume and clear of the table's own records.
        uint32_t maxNumber = 0;
        std::unordered_set<uint32_t> numbers;
        for (size_t i : all) {
            numbers.insert(recs_[i].number);
            maxNumber = std::max(maxNumber, recs_[i].number);
        }
        const uint64_t tableEnd = org + (static_cast<uint64_t>(maxNumber) + 1) * kRecord;
        c.agreeText = "MFT records whose runs land inside the volume";
        c.linkText = "named records whose folder record is there";
        for (size_t i : members) {
            const Rec& r = recs_[i];
            if (!r.end) continue;
            ++c.found;
            uint64_t b = 0, first = 0;
            if (mulOverflows(r.end, cs, &b) || b > total) continue;
            first = static_cast<uint64_t>(r.firstLcn) * cs;
            if (r.number >= 16 && first >= org && first < tableEnd) continue;
            ++c.agreeing;
        }
        if (!c.found) {
            // Only the metadata files' resident records: count the records.
            c.found = static_cast<uint32_t>(members.size());
            c.agreeing = c.found;
            c.agreeText = "MFT records";
        }
        if (tableGone) ++c.found;  // the table itself, which does not agree
        for (size_t i : members) {
            const Rec& r = recs_[i];
            if (r.parent < 0 || r.number < 16) continue;
            ++c.folders;
            if (r.parent == 5 || numbers.count(static_cast<uint32_t>(r.parent))) ++c.linked;
        }
        for (size_t i : sampled) {
            uint64_t at = 0;
            if (mulOverflows(static_cast<uint64_t>(recs_[i].firstLcn), cs, &at)) continue;
            c.samples.push_back({names_[static_cast<size_t>(recs_[i].named)], at});
        }
        out.push_back(std::move(c));
    }
    return out;
}

}  // namespace

std::unique_ptr<CandidateMatcher> makeNtfsCandidateMatcher() { return std::make_unique<NtfsMatcher>(); }

}  // namespace brantlow
