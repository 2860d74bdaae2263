// Advanced mode: the search for places where an MFT starts (when the boot
// sector or the first MFT records are gone, or the volume was formatted over
// an older one), the choice of one of them, and the records left after the
// end of the chosen MFT by an earlier, larger one.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>

#include "base/bytes.h"
#include "base/texts.h"
#include "fs/ntfs/ntfs.h"
#include "fs/ntfs/ntfs_internal.h"

namespace brantlow {

namespace {

constexpr size_t kChunk = 10485760;

// The stricter slot test of the candidate count and the deep scan.
bool slotIsRecord(const uint8_t* p, size_t room) {
    return room >= 24 && isRecordSignature(p) && le16(p, room, 4) < 512 && le16(p, room, 6) < 512 &&
           le16(p, room, 20) < 512;
}

// The name a fixed-up record carries (Win32 names before DOS ones).
std::string recordName(const uint8_t* rec, size_t size) {
    std::string best;
    int bestRank = -1;
    forEachAttribute(rec, size, [&](const NtfsAttribute& a) {
        if (a.type != kAttrFileName) return true;
        Decoded<NtfsFileName> fn = decodeFileName(rec, size, a);
        if (fn && fn->rank() > bestRank) {
            bestRank = fn->rank();
            best = utf16leToUtf8(rec + fn->nameOffset, fn->nameUnits);
        }
        return true;
    });
    return best;
}

// First LCN of the record's unnamed non-resident $DATA, or -1.
int64_t firstDataLcn(const std::vector<uint8_t>& rec) {
    int64_t lcn = -1;
    forEachAttribute(rec.data(), rec.size(), [&](const NtfsAttribute& a) {
        if (a.type == kAttrData && a.nonResident && a.nameLength == 0 && a.firstVcn == 0) {
            auto runs = attributeRuns(rec.data(), rec.size(), a);
            if (!runs.empty() && !runs.front().sparse) lcn = runs.front().lcn;
            return false;
        }
        return true;
    });
    return lcn;
}

}  // namespace

void ntfs::prepareAdvanced(ScanContext& ctx) {
    ctx_ = &ctx;
    volume_ = ctx.volume;
    readBootSector();
}

uint64_t ntfs::inferClusterSize(uint64_t offset, bool* mirror) {
    if (mirror) *mirror = false;
    std::vector<uint8_t> mft, mirr;
    if (!readRecordAt(offset, mft)) return 0;
    const int64_t mftLcn = firstDataLcn(mft);
    int64_t mirrLcn = -1;
    if (readRecordAt(offset + recordSize_, mirr) && recordName(mirr.data(), mirr.size()) == "$MFTMirr")
        mirrLcn = firstDataLcn(mirr);
    // The cluster size at which the runs point back at this very record:
    // the $MFT run (the MFT itself) or the $MFTMirr run (the mirror's copy).
    for (uint64_t cs = 512; cs <= (2u << 20); cs <<= 1) {
        uint64_t at = 0;
        if (mftLcn > 0 && !mulOverflows(static_cast<uint64_t>(mftLcn), cs, &at) && at == offset) return cs;
        if (mirrLcn > 0 && !mulOverflows(static_cast<uint64_t>(mirrLcn), cs, &at) && at == offset) {
            if (mirror) *mirror = true;
            return cs;
        }
    }
    return 0;
}

MftCandidate ntfs::candidateAt(uint64_t offset) {
    MftCandidate c;
    c.offset = offset;
    c.clusterSize = inferClusterSize(offset, &c.mirror);
    std::vector<uint8_t> boot;
    if (readRecordAt(offset + 7ull * recordSize_, boot)) c.complete = recordName(boot.data(), boot.size()) == "$Boot";
    return c;
}

void ntfs::addMftCandidate(uint64_t offset, bool complete) {
    for (MftCandidate& c : mftCandidates_)
        if (c.offset == offset) {
            c.complete = c.complete || complete;
            return;
        }
    MftCandidate c;
    c.offset = offset;
    c.complete = complete;
    mftCandidates_.push_back(c);
    char text[80];
    std::snprintf(text, sizeof text, "MFT ENTRY %zu Found.Parsing it ...", mftCandidates_.size());
    status(text);
}

unsigned ntfs::countMftCandidates(int64_t limit) {
    mftCandidates_.clear();
    stopRequested.store(false, std::memory_order_relaxed);
    const uint64_t total = volumeSize_;
    if (total == 0) return 0;
    const uint32_t rs = recordSize_;
    const uint64_t chunks = total / kChunk;
    if (ctx_) ctx_->range(static_cast<int64_t>(chunks));
    std::vector<uint8_t> buf(kChunk);
    std::vector<uint8_t> rec(rs), raw(rs);
    // The recent system-file records: position and name.
    std::deque<std::pair<uint64_t, std::string>> recent;
    auto nameAt = [&](uint64_t off) -> const std::string* {
        for (const auto& r : recent)
            if (r.first == off) return &r.second;
        return nullptr;
    };
    bool found = false;
    uint64_t pos = 0;
    for (uint64_t c = 0; pos < total; ++c) {
        if (found && (limit < 0 || static_cast<int64_t>(mftCandidates_.size()) >= limit)) break;
        if (ctx_) ctx_->wait();
        if (ctx_) ctx_->position(static_cast<int64_t>(c));
        if (stopped()) {
            stopRequested.store(false, std::memory_order_relaxed);
            break;
        }
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, total - pos));
        const size_t got = volume_.read(pos, buf.data(), want);
        if (got == 0) break;
        size_t s = 0;
        while (s + 512 <= got || (s < got && s + 24 <= got)) {
            if (stopped()) break;
            const uint8_t* slot = buf.data() + s;
            if (!slotIsRecord(slot, got - s)) {
                s += 512;
                continue;
            }
            const uint64_t at = pos + s;
            if (s + rs <= got) {
                applyFixups(slot, rec.data(), rs);
            } else {
                std::fill(raw.begin(), raw.end(), 0);
                volume_.read(at, raw.data(), rs);
                applyFixups(raw.data(), rec.data(), rs);
            }
            std::string name = recordName(rec.data(), rs);
            if (!name.empty() && name[0] == '$') {
                if (name == "$MFTMirr") {
                    const std::string* prev = at >= rs ? nameAt(at - rs) : nullptr;
                    if (prev && *prev == "$MFT") {
                        addMftCandidate(at - rs, false);
                        found = true;
                    }
                } else if (name == "$Boot" && at >= 7ull * rs) {
                    // Seven records before it: $MFT (never $MFTMirr).
                    const std::string* prev = nameAt(at - 7ull * rs);
                    if (prev && *prev == "$MFT") {
                        addMftCandidate(at - 7ull * rs, true);
                        found = true;
                    }
                }
                recent.emplace_back(at, std::move(name));
                if (recent.size() > 16) recent.pop_front();
            }
            s += rs;
        }
        pos += std::max<size_t>(s, 512);
        if (got < want) break;
    }
    for (MftCandidate& c : mftCandidates_) c.clusterSize = inferClusterSize(c.offset, &c.mirror);
    if (ctx_) ctx_->position(static_cast<int64_t>(chunks));
    return static_cast<unsigned>(mftCandidates_.size());
}

size_t ntfs::bestMftCandidate() const {
    for (size_t i = 0; i < mftCandidates_.size(); ++i)
        if (mftCandidates_[i].clusterSize && !mftCandidates_[i].mirror) return i;
    for (size_t i = 0; i < mftCandidates_.size(); ++i)
        if (mftCandidates_[i].clusterSize) return i;
    for (size_t i = 0; i < mftCandidates_.size(); ++i)
        if (mftCandidates_[i].complete) return i;
    return 0;
}

bool ntfs::selectMftCandidate(size_t index) {
    runKnown_ = false;
    runs_.clear();
    {
        std::lock_guard<std::mutex> lock(windowMutex_);
        window_.clear();
    }
    forgetPlan();
    if (index >= mftCandidates_.size()) return false;
    const MftCandidate& c = mftCandidates_[index];
    if (chosenClusterSize_)
        clusterSize_ = chosenClusterSize_;
    else if (c.clusterSize)
        clusterSize_ = c.clusterSize;
    else if (!clusterSize_)
        clusterSize_ = 4096;
    std::vector<uint8_t> rec;
    if (!readRecordAt(c.offset, rec)) return false;
    DataPlan plan;
    RecordLookup none = [](uint64_t, std::vector<uint8_t>&) { return false; };
    if (!planFromRecord(rec, 0, nullptr, none, plan) || plan.resident || plan.runs.empty()) return false;
    runs_ = plan.runs;
    mftByteCount_ = plan.realSize;
    runKnown_ = true;
    getRunFromFirstEntry_ = false;
    return true;
}

// Advanced mode's way to the MFT: the chosen candidate, or the best one the
// count finds; without any, the standard way.
bool ntfs::advancedLocate() {
    const ScanOptions& o = ctx_->options;
    chosenClusterSize_ = 0;
    if (o.advancedClusterShift >= 0 && o.advancedClusterShift <= 12)
        chosenClusterSize_ = 512ull << o.advancedClusterShift;
    mftCandidates_.clear();
    size_t pick = 0;
    if (o.advancedCandidate >= 0) {
        if (static_cast<uint64_t>(o.advancedCandidate) < volumeSize_)
            mftCandidates_.push_back(candidateAt(static_cast<uint64_t>(o.advancedCandidate)));
    } else {
        status(" searching for mft entries ....");
        countMftCandidates(3);
        pick = bestMftCandidate();
    }
    if (!mftCandidates_.empty() && selectMftCandidate(pick)) {
        mftProbe_ = false;
        return true;
    }
    if (chosenClusterSize_) clusterSize_ = chosenClusterSize_;
    return locateMft();
}

// Records after the end of the chosen MFT whose own record number continues
// the table (an older, larger MFT at the same place, as a quick format
// leaves it). They are listed as deleted: the current file system has
// forgotten them.
void ntfs::extendPastMft() {
    previousRecords_ = 0;
    if (!runKnown_ || runs_.empty() || stopped()) return;
    const uint32_t rs = recordSize_;
    uint64_t runBytes = 0;
    for (const NtfsRun& r : runs_) {
        uint64_t len = 0;
        if (mulOverflows(r.length, clusterSize_, &len) || addOverflows(runBytes, len, &runBytes)) return;
    }
    const NtfsRun& last = runs_.back();
    if (last.sparse || last.lcn < 0) return;
    uint64_t lastEnd = 0;
    if (addOverflows(static_cast<uint64_t>(last.lcn), last.length, &lastEnd) ||
        mulOverflows(lastEnd, clusterSize_, &lastEnd) || lastEnd >= volumeSize_)
        return;
    std::vector<uint8_t> raw(rs), rec(rs);
    uint64_t misses = 0;
    const size_t keep = entries_.size();
    size_t lastHit = keep;
    constexpr uint64_t kMaxMisses = 256;
    constexpr uint64_t kMaxRecords = 1ull << 26;
    for (uint64_t k = entries_.size(); k < kMaxRecords && misses < kMaxMisses; ++k) {
        if ((k & 1023) == 0 && stopped()) break;
        const uint64_t byte = k * rs;
        uint64_t off = 0;
        if (!volumeOffsetInRuns(runs_, clusterSize_, byte, &off)) {
            if (byte < runBytes) break;
            if (addOverflows(lastEnd, byte - runBytes, &off)) break;
        }
        if (off > volumeSize_ || volumeSize_ - off < rs) break;
        entries_.push_back(NtfsEntry{});
        const bool ok = volume_.read(off, raw.data(), rs) == rs && isRecordSignature(raw.data()) &&
                        le16(raw.data(), rs, 4) >= 0x30 && le32(raw.data(), rs, 44) == static_cast<uint32_t>(k);
        if (!ok) {
            ++misses;
            continue;
        }
        misses = 0;
        entries_.back().recordOffset = off;
        takeRecord(raw.data(), rec.data(), rs, static_cast<int64_t>(k));
        if (entries_.back().recordFlags & 0x0001) entries_.back().recordFlags |= kRecordWasInUse;
        entries_.back().recordFlags &= static_cast<uint16_t>(~0x0001u);
        entries_.back().recordFlags |= kRecordPrevious;
        lastHit = entries_.size();
        ++previousRecords_;
    }
    entries_.resize(std::max(lastHit, keep));
    if (previousRecords_) {
        char text[96];
        std::snprintf(text, sizeof text, "%llu records found after the end of the MFT",
                      static_cast<unsigned long long>(previousRecords_));
        status(text);
    }
}

uint64_t ntfs::clusterSizeFor(int64_t index) const {
    if (previousClusterSize_ && index >= 0 && index < static_cast<int64_t>(entries_.size()) &&
        (entries_[static_cast<size_t>(index)].recordFlags & kRecordPrevious))
        return previousClusterSize_;
    return clusterSize_;
}

// Each record past the MFT with runs votes for the cluster sizes (up to the
// volume's) at which all its runs end inside the volume. When the volume's
// own size leaves more than a tenth of them outside, the largest smaller
// size that holds 95 % of them is theirs: the file system formatted over had
// smaller clusters. (A larger old size cannot be told this way: its runs fit
// at the volume's size too.)
void ntfs::votePreviousGeometry() {
    previousClusterSize_ = 0;
    if (!previousRecords_ || clusterSize_ < 1024 || stopped()) return;
    std::vector<uint64_t> fits;  // by exponent above 512
    uint64_t considered = 0;
    for (size_t i = 0; i < entries_.size() && considered < 4096; ++i) {
        if (!(entries_[i].recordFlags & kRecordPrevious) || entries_[i].kind == 'D') continue;
        DataPlan plan;
        if (!planData(static_cast<int64_t>(i), nullptr, plan) || plan.resident || plan.runs.empty()) continue;
        uint64_t end = 0;
        for (const NtfsRun& r : plan.runs) {
            uint64_t e = 0;
            if (r.sparse || r.lcn < 0) continue;
            if (addOverflows(static_cast<uint64_t>(r.lcn), r.length, &e)) e = ~0ull;
            end = std::max(end, e);
        }
        if (!end) continue;
        ++considered;
        unsigned k = 0;
        for (uint64_t cs = 512; cs <= clusterSize_; cs <<= 1, ++k) {
            if (fits.size() <= k) fits.push_back(0);
            uint64_t bytes = 0;
            if (!mulOverflows(end, cs, &bytes) && bytes <= volumeSize_) ++fits[k];
        }
    }
    if (considered < 4 || fits.empty()) return;
    const size_t own = fits.size() - 1;
    if (fits[own] * 10 >= considered * 9) return;
    for (size_t k = own; k-- > 0;)
        if (fits[k] * 20 >= considered * 19) {
            previousClusterSize_ = 512ull << k;
            break;
        }
    if (!previousClusterSize_) return;
    damage_.add("NTFS boot sector", 0,
                std::to_string(considered - fits[own]) + " of " + std::to_string(considered) +
                    " records past the MFT have runs beyond the volume in " + std::to_string(clusterSize_) +
                    "-byte clusters: read in " + std::to_string(previousClusterSize_) + "-byte clusters",
                true);
}

}  // namespace brantlow
