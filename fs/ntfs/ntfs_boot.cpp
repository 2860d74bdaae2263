// Boot sector, MFT location (from the boot sector, or by scanning the volume
// for the $MFT record when the boot sector is damaged) and the scan phases.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/bytes.h"
#include "fs/ntfs/ntfs.h"
#include "fs/ntfs/ntfs_internal.h"

namespace brantlow {

ntfs::ntfs() = default;
ntfs::~ntfs() = default;

void ntfs::status(const std::string& s) const {
    if (ctx_) ctx_->status(s);
}

bool ntfs::stopped() const { return stopRequested.load(std::memory_order_relaxed); }

ScanOutcome ntfs::scan(ScanContext& ctx) {
    ctx_ = &ctx;
    volume_ = ctx.volume;
    scanMode_ = ctx.mode;
    allocation_.reset();
    previousAllocation_.reset();
    previousUnitBytes_ = 0;
    mapClusterBytes_ = 0;
    entries_.clear();
    lastChild_.clear();
    recordNumbers_.clear();
    deepMftRuns_.clear();
    deepExtents_.clear();
    namePool_.clear();
    streams_.clear();
    runs_.clear();
    {
        std::lock_guard<std::mutex> lock(windowMutex_);
        window_.clear();
    }
    forgetPlan();
    orphanIndex_ = -1;
    rootIndex_ = 5;
    runKnown_ = false;
    getRunFromFirstEntry_ = true;
    mftProbe_ = true;
    mftOrder_ = false;
    previousRecords_ = 0;
    previousClusterSize_ = 0;
    damage_.clear();
    holdNotes_ = false;
    heldNotes_.clear();
    chosenClusterSize_ = 0;

    readBootSector();
    if (scanMode_ == ScanMode::Deep) {
        status(" scanning for mft entries in deep mode ....");
        scanForMft(true);
    } else if (scanMode_ == ScanMode::Advanced) {
        stopRequested.store(false, std::memory_order_relaxed);
        advancedLocate();
    } else {
        status(" ParsingBasedOnMFT is going on....");
        locateMft();
    }
    enumerateMft();
    if (scanMode_ == ScanMode::Advanced) extendPastMft();
    parseAllRecords();
    if (scanMode_ != ScanMode::Standard) votePreviousGeometry();
    ctx_ = nullptr;
    if (!bootIntact_ && !stopped()) {
        // Neither a boot sector nor a single MFT record: not NTFS.
        bool any = false;
        for (int64_t i = 0; i < static_cast<int64_t>(entries_.size()) && !any; ++i)
            any = i != orphanIndex_ && entries_[i].hasName();
        if (!any) return ScanOutcome::Rejected;
    }
    return ScanOutcome::Done;
}

std::string ntfs::rejectMessage() const { return "not an NTFS volume: no boot sector and no MFT record found"; }

bool ntfs::readBootSector() {
    volume_.read(0, bootSector_, sizeof bootSector_);
    Decoded<NtfsGeometry> d = decodeNtfsBootSector(bootSector_, sizeof bootSector_);
    if (!d) note("NTFS boot sector", 0, d.reason(), false);
    for (const std::string& r : d.replaced()) note("NTFS boot sector", 0, r, true);
    geometry_ = d ? *d : NtfsGeometry{};
    const NtfsGeometry& g = geometry_;
    bootIntact_ = g.intact;
    // The volume never extends past the device.
    uint64_t deviceLimit = volume_.sizeBytes();
    if (volume_.reader()) {
        uint64_t dev = volume_.reader()->sizeBytes();
        if (dev > volume_.startByte()) {
            uint64_t rest = dev - volume_.startByte();
            deviceLimit = deviceLimit ? std::min(deviceLimit, rest) : rest;
        }
    }
    if (g.intact && g.volumeSize) {
        volumeSize_ = deviceLimit ? std::min(g.volumeSize, deviceLimit) : g.volumeSize;
        if (volumeSize_ < g.volumeSize)
            note("NTFS boot sector", 0,
                 "total sectors reach " + std::to_string(g.volumeSize) + " bytes, past the device: " +
                     std::to_string(volumeSize_) + " taken",
                 true);
        clusterSize_ = g.clusterSize;
        recordSize_ = g.recordSize;
    } else {
        volumeSize_ = deviceLimit;
        clusterSize_ = 4096;
        recordSize_ = 1024;
    }
    return volumeSize_ != 0;
}

bool ntfs::locateMft() {
    if (!bootIntact_) return scanForMft(false);
    const NtfsGeometry& g = geometry_;
    clusterSize_ = g.clusterSize;
    recordSize_ = g.recordSize;
    runKnown_ = true;
    uint64_t mftPos = 0;
    if (mulOverflows(g.mftCluster, clusterSize_, &mftPos) || mftPos >= volumeSize_) {
        note("NTFS boot sector", 0, "MFT cluster " + std::to_string(g.mftCluster) + " lies past the volume", false);
        return true;
    }
    status("boot sector is fine.Getting run of mft entry...");
    std::vector<uint8_t> rec;
    if (!readRecordAt(mftPos, rec)) note("MFT record 0", mftPos, "no MFT record where the boot sector puts it", false);
    else {
        DataPlan plan;
        RecordLookup lookup = [&](uint64_t recno, std::vector<uint8_t>& out) {
            // Extension records of the MFT lie in its first extent.
            uint64_t byte = 0;
            if (mulOverflows(recno, recordSize_, &byte)) return false;
            uint64_t off = 0;
            if (!volumeOffsetInRuns(plan.firstExtentRuns, clusterSize_, byte, &off)) return false;
            return readRecordAt(off, out);
        };
        if (planFromRecord(rec, 0, nullptr, lookup, plan) && !plan.resident) {
            runs_ = plan.runs;
            mftByteCount_ = plan.realSize;
        }
    }
    status("Got run...");
    getRunFromFirstEntry_ = false;
    return true;
}

bool ntfs::takeMftRuns(const std::vector<uint8_t>& rec) {
    status("found mft entry.getting its run ...");
    DataPlan plan;
    RecordLookup none = [](uint64_t, std::vector<uint8_t>&) { return false; };
    const bool found = planFromRecord(rec, 0, nullptr, none, plan) && !plan.resident && !plan.runs.empty();
    status("got run ...");
    if (!found) return false;
    runs_ = plan.runs;
    mftByteCount_ = plan.realSize;
    runKnown_ = true;
    getRunFromFirstEntry_ = false;
    // The records met on the way are thrown away, and their notes.
    holdNotes_ = false;
    heldNotes_.clear();
    entries_.clear();
    recordNumbers_.clear();
    namePool_.clear();
    streams_.clear();
    return true;
}

// Scans the volume in 10 MiB chunks for MFT records. Without deep, it stops
// at the record named "$MFT" and takes its runs; with deep (or when no $MFT
// is found) every record found becomes an entry, in disk order.
bool ntfs::scanForMft(bool deep) {
    constexpr size_t kChunk = 10485760;
    clusterSize_ = bootIntact_ ? geometry_.clusterSize : 4096;
    if (!deep) status("boot sector corrupt.Scanning for first mft entry...");
    runKnown_ = false;
    // Records met before $MFT are thrown away when it is found; their damage
    // counts only when the scan ends without it.
    holdNotes_ = !deep;
    heldNotes_.clear();
    const uint64_t chunks = volumeSize_ / kChunk;
    if (ctx_) ctx_->range(static_cast<int64_t>(chunks));
    std::vector<uint8_t> buf(kChunk);
    std::vector<uint8_t> rec;
    uint64_t pos = 0;
    uint64_t c = 0;
    const uint32_t rs = recordSize_;
    while (pos < volumeSize_ && !stopped() && entries_.size() < kMaxNtfsEntries) {
        if (ctx_) ctx_->wait();
        if (c % 100 == 0 && ctx_) ctx_->position(static_cast<int64_t>(c));
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, volumeSize_ - pos));
        const size_t got = volume_.read(pos, buf.data(), want);
        if (got == 0) break;
        size_t s = 0;
        while (s + 4 <= got) {
            const uint8_t* slot = buf.data() + s;
            // The deep scan also wants the update sequence and the first
            // attribute inside the first sector.
            if (!isRecordSignature(slot) ||
                (deep && (le16(slot, got - s, 4) >= 512 || le16(slot, got - s, 6) >= 512 ||
                          le16(slot, got - s, 20) >= 512))) {
                s += 512;
                continue;
            }
            rec.assign(rs, 0);
            std::vector<uint8_t> raw;
            if (s + rs > got) {
                raw.assign(rs, 0);
                volume_.read(pos + s, raw.data(), rs);
            }
            NtfsEntry e;
            e.recordOffset = pos + s;
            const auto index = static_cast<int64_t>(entries_.size());
            entries_.push_back(e);
            const uint8_t* at = raw.empty() ? buf.data() + s : raw.data();
            // NTFS 3.1 headers carry the record's own number (the update
            // sequence array starts after it).
            recordNumbers_.push_back(le16(at, rs, 4) >= 48 ? le32(at, rs, 44) : kNoRecordNumber);
            takeRecord(at, rec.data(), rs, index);
            if (deep) {
                if (entries_.back().hasName()) {
                    entries_.back().unlinked = 1;
                    char text[64];
                    std::snprintf(text, sizeof text, "MFT ENTRY %zu Found.Parsing it ..", entries_.size());
                    status(text);
                } else {
                    entries_.pop_back();
                    recordNumbers_.pop_back();
                }
            }
            if (!deep && mftProbe_ && nameOf(index) == "$MFT" && takeMftRuns(rec)) return true;
            s += rs;
        }
        pos += std::max<size_t>(s, 512);
        if (got < want) break;
        ++c;
    }
    if (ctx_) ctx_->position(static_cast<int64_t>(chunks));
    holdNotes_ = false;
    for (DamageNote& n : heldNotes_) damage_.add(std::move(n.structure), n.offset, std::move(n.what), n.repaired);
    heldNotes_.clear();
    // No MFT: what was found is grouped as the deep scan groups it (the
    // table does not follow record numbers).
    scanMode_ = ScanMode::Deep;
    return false;
}

}  // namespace brantlow
