// MFT enumeration: one entry per record, read in large sequential pieces
// and parsed from memory in the same pass.
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

}  // namespace

// The record at offset copied from the window, which is moved to the MFT
// run holding it (bytes the scan read already) when it does not hold it.
// False when the record is not wholly inside one MFT run.
bool ntfs::fromWindow(uint64_t offset, uint8_t* out) const {
    constexpr uint64_t kWindow = 64 * 1024;
    std::lock_guard<std::mutex> lock(windowMutex_);
    if (offset >= windowAt_ && offset - windowAt_ <= window_.size() &&
        window_.size() - (offset - windowAt_) >= recordSize_) {
        std::memcpy(out, window_.data() + (offset - windowAt_), recordSize_);
        return true;
    }
    for (const NtfsRun& r : runs_) {
        uint64_t start = 0, len = 0;
        if (r.sparse || r.lcn < 0 || mulOverflows(static_cast<uint64_t>(r.lcn), clusterSize_, &start) ||
            mulOverflows(r.length, clusterSize_, &len) || start > UINT64_MAX - len)
            continue;
        if (offset < start || offset - start >= len || len - (offset - start) < recordSize_) continue;
        const uint64_t from = std::max(start, offset & ~(kWindow - 1));
        const uint64_t n = std::min(kWindow, start + len - from);
        if (n < offset - from + recordSize_) return false;
        window_.resize(static_cast<size_t>(n));
        if (volume_.read(from, window_.data(), window_.size()) != window_.size()) {
            window_.clear();
            return false;
        }
        windowAt_ = from;
        std::memcpy(out, window_.data() + (offset - from), recordSize_);
        return true;
    }
    return false;
}

bool ntfs::readRecordAt(uint64_t offset, std::vector<uint8_t>& rec) const {
    std::vector<uint8_t> raw(recordSize_);
    rec.assign(recordSize_, 0);
    if (!fromWindow(offset, raw.data()) && volume_.read(offset, raw.data(), raw.size()) != raw.size()) return false;
    Decoded<NtfsRecordHeader> h = applyFixups(raw.data(), rec.data(), rec.size());
    return h && !h->baad;
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

uint64_t ntfs::mftRecordCount(std::vector<NtfsRun>& runs) const {
    // Bytes of MFT the runs cover, within the volume.
    uint64_t runBytes = 0;
    runs.clear();
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
    return std::min<uint64_t>(total / recordSize_, kMaxRecords);
}

void ntfs::enumerateMft() {
    if (!runKnown_ || stopped()) return;
    if (clusterSize_ == 0) clusterSize_ = 4096;
    std::vector<NtfsRun> runs;
    const uint64_t records = mftRecordCount(runs);
    mftOrder_ = true;
    entries_.reserve(records + 1);  // + ORPHAN_ENTRY
    // Room for names of a usual length: pages of it that stay unused are
    // never touched, and the pool is not copied while it grows.
    // (Bounded: the record count comes from the disk.)
    namePool_.reserve(static_cast<size_t>(std::min<uint64_t>(records, 1u << 24)) * 20);
    entries_.assign(records, NtfsEntry{});
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
            if ((nextRecord & 4095) == 0) {
                std::snprintf(text, sizeof text, "parsing MFT entry %lld...", static_cast<long long>(nextRecord));
                status(text);
                if (ctx_) ctx_->position(static_cast<int64_t>(nextRecord));
            }
            if (isRecordSignature(raw) || std::memcmp(raw, "BAAD", 4) == 0) {
                size_t have = std::min<size_t>(recordSize_, fill - done);
                std::memset(fixed.data(), 0, recordSize_);
                std::memcpy(fixed.data(), raw, have);
                takeRecord(fixed.data(), fixed.data(), recordSize_, static_cast<int64_t>(nextRecord));
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

}  // namespace brantlow
