#include "fs/ext/ext_journal.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "base/bytes.h"

namespace brantlow::ext {

namespace {

constexpr uint32_t kDescriptor = 1;
constexpr uint32_t kCommit = 2;
constexpr uint32_t kSuperV1 = 3;
constexpr uint32_t kSuperV2 = 4;
constexpr uint32_t kRevoke = 5;

constexpr uint32_t kIncompatRevoke = 0x1;
constexpr uint32_t kIncompat64 = 0x2;
constexpr uint32_t kIncompatCsumV2 = 0x8;
constexpr uint32_t kIncompatCsumV3 = 0x10;

constexpr uint16_t kTagEscape = 0x1;
constexpr uint16_t kTagSameUuid = 0x2;
constexpr uint16_t kTagLast = 0x8;

// Blocks read per request during the walk.
constexpr uint32_t kChunkBlocks = 256;

const std::array<uint32_t, 256>& crcTable() {
    static const std::array<uint32_t, 256> t = [] {
        std::array<uint32_t, 256> a{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
            a[i] = c;
        }
        return a;
    }();
    return t;
}

}  // namespace

namespace {

uint32_t crc32cTable(uint32_t crc, const uint8_t* p, size_t n) {
    const auto& t = crcTable();
    for (size_t i = 0; i < n; ++i) crc = t[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

#if defined(__x86_64__)
// The processor's CRC32 instruction computes the same polynomial.
__attribute__((target("sse4.2"))) uint32_t crc32cHardware(uint32_t crc, const uint8_t* p, size_t n) {
    uint64_t c = crc;
    while (n >= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        c = __builtin_ia32_crc32di(c, v);
        p += 8;
        n -= 8;
    }
    uint32_t c32 = static_cast<uint32_t>(c);
    while (n--) c32 = __builtin_ia32_crc32qi(c32, *p++);
    return c32;
}
#endif

}  // namespace

uint32_t crc32c(uint32_t crc, const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
#if defined(__x86_64__)
    static const bool hw = __builtin_cpu_supports("sse4.2");
    if (hw) return crc32cHardware(crc, p, n);
#endif
    return crc32cTable(crc, p, n);
}

bool parseJournalSuper(const uint8_t* b, size_t len, JournalInfo& out) {
    JournalInfo j;
    if (be32(b, len, 0) != kJournalMagic) return false;
    const uint32_t type = be32(b, len, 4);
    if (type != kSuperV1 && type != kSuperV2) return false;
    j.v2 = type == kSuperV2;
    j.blockSize = be32(b, len, 12);
    j.maxLen = be32(b, len, 16);
    j.first = be32(b, len, 20);
    j.sequence = be32(b, len, 24);
    j.start = be32(b, len, 28);
    if (j.blockSize < 1024 || j.blockSize > 65536 || (j.blockSize & (j.blockSize - 1))) return false;
    if (j.first == 0 || j.first >= j.maxLen) return false;
    if (j.v2) {
        j.incompat = be32(b, len, 40);
        if (fieldFits(len, 48, 16)) std::memcpy(j.uuid, b + 48, 16);
    }
    j.is64 = j.incompat & kIncompat64;
    j.csumV2 = j.incompat & kIncompatCsumV2;
    j.csumV3 = j.incompat & kIncompatCsumV3;
    if (j.csumV3)
        j.tagBytes = 16;
    else
        j.tagBytes = 8 + (j.csumV2 ? 2 : 0) + (j.is64 ? 4 : 0);
    j.valid = true;
    out = j;
    return true;
}

void JournalIndex::descriptor(const uint8_t* b, uint32_t at, uint32_t seq, uint64_t fsBlocks) {
    const size_t bs = info_.blockSize;
    const size_t end = bs - ((info_.csumV2 || info_.csumV3) ? 4 : 0);
    const size_t logLen = info_.maxLen - info_.first;
    size_t off = 12;
    uint32_t k = 0;
    while (off + info_.tagBytes <= end && k < logLen) {
        const uint16_t flags = be16(b, bs, off + 6);
        uint64_t block = be32(b, bs, off);
        if (info_.is64) block |= static_cast<uint64_t>(be32(b, bs, off + 8)) << 32;
        uint32_t csum = 0;
        if (info_.csumV3)
            csum = be32(b, bs, off + 12);
        else if (info_.csumV2)
            csum = be16(b, bs, off + 4);
        // The data block: the k-th after the descriptor, wrapping in the log.
        uint64_t pos = static_cast<uint64_t>(at) + 1 + k;
        if (pos >= info_.maxLen) pos = info_.first + (pos - info_.maxLen) % logLen;
        if (block < fsBlocks && copies_.size() < maxCopies_) {
            if (onCopy && pos > at && (info_.csumV2 || info_.csumV3)) pending_[static_cast<uint32_t>(pos)] = copies_.size();
            copies_.push_back({block, static_cast<uint32_t>(pos), seq, csum, (flags & kTagEscape) != 0, false});
        }
        ++k;
        off += info_.tagBytes;
        if (!(flags & kTagSameUuid)) off += 16;
        if (flags & kTagLast) break;
    }
}

void JournalIndex::revoke(const uint8_t* b, uint32_t seq) {
    const size_t bs = info_.blockSize;
    const size_t end = std::min<size_t>(be32(b, bs, 12), bs - ((info_.csumV2 || info_.csumV3) ? 4 : 0));
    const size_t rec = info_.is64 ? 8 : 4;
    for (size_t off = 16; off + rec <= end; off += rec) {
        const uint64_t block = info_.is64 ? be64(b, bs, off) : be32(b, bs, off);
        uint32_t& r = revokes_[block];
        r = std::max(r, seq);
        if (revokes_.size() > maxCopies_) return;
    }
}

bool JournalIndex::build(const JournalRead& read, uint32_t blockSize, uint64_t journalBlocks, uint64_t fsBlocks, const std::function<bool()>& stop) {
    copies_.clear();
    revokes_.clear();
    commits_.clear();
    if (blockSize < 1024 || blockSize > 65536) return false;
    std::vector<uint8_t> first(blockSize, 0);
    if (!read(0, 1, first.data())) return false;
    if (!parseJournalSuper(first.data(), first.size(), info_) || info_.blockSize != blockSize) {
        info_ = JournalInfo{};
        return false;
    }
    // The log cannot be longer than the journal's own blocks.
    if (info_.maxLen > journalBlocks) info_.maxLen = static_cast<uint32_t>(journalBlocks);
    if (info_.first >= info_.maxLen) {
        info_ = JournalInfo{};
        return false;
    }
    if (!info_.csumV2 && !info_.csumV3) csumSeed_ = 0;
    else csumSeed_ = crc32c(0xFFFFFFFFu, info_.uuid, 16);
    maxCopies_ = 4ull * info_.maxLen + 1024;
    const uint32_t bs = info_.blockSize;
    std::vector<uint8_t> buf(static_cast<size_t>(std::min(kChunkBlocks, info_.maxLen - info_.first)) * bs);
    std::vector<uint8_t> one(bs);
    pending_.clear();
    for (uint32_t at = info_.first; at < info_.maxLen;) {
        if (stop && stop()) break;
        const uint32_t n = std::min(kChunkBlocks, info_.maxLen - at);
        if (read(at, n, buf.data())) {
            for (uint32_t i = 0; i < n; ++i) {
                const uint8_t* b = buf.data() + static_cast<size_t>(i) * bs;
                if (be32(b, bs, 0) != kJournalMagic) {
                    if (onDataBlock) onDataBlock(at + i, b);
                    if (!pending_.empty()) {
                        auto p = pending_.find(at + i);
                        if (p != pending_.end()) {
                            JournalCopy& c = copies_[p->second];
                            pending_.erase(p);
                            c.streamed = true;
                            if (checksumOk(c, b)) {
                                if (c.escaped) {
                                    std::memcpy(one.data(), b, bs);
                                    std::memcpy(one.data(), "\xC0\x3B\x39\x98", 4);
                                    onCopy(c, one.data());
                                } else {
                                    onCopy(c, b);
                                }
                            }
                        }
                    }
                    continue;
                }
                const uint32_t type = be32(b, bs, 4);
                const uint32_t seq = be32(b, bs, 8);
                if (type == kDescriptor)
                    descriptor(b, at + i, seq, fsBlocks);
                else if (type == kCommit)
                    commits_[seq] = true;
                else if (type == kRevoke && (info_.incompat & kIncompatRevoke || !info_.v2))
                    revoke(b, seq);
            }
        }
        at += n;
    }
    pending_.clear();
    // A copy whose block holds a journal header is stale (the descriptor
    // outlived its data); those are found when read. Copies of a
    // transaction without a commit block are kept only where a checksum can
    // vouch for them.
    if (!info_.csumV2 && !info_.csumV3)
        copies_.erase(std::remove_if(copies_.begin(), copies_.end(),
                                     [&](const JournalCopy& c) { return !commits_.count(c.sequence); }),
                      copies_.end());
    std::sort(copies_.begin(), copies_.end(), [](const JournalCopy& a, const JournalCopy& b) {
        if (a.fsBlock != b.fsBlock) return a.fsBlock < b.fsBlock;
        if (a.sequence != b.sequence) return a.sequence > b.sequence;
        return a.journalBlock > b.journalBlock;
    });
    return true;
}

std::vector<const JournalCopy*> JournalIndex::copiesOf(uint64_t fsBlock) const {
    std::vector<const JournalCopy*> out;
    auto it = std::lower_bound(copies_.begin(), copies_.end(), fsBlock,
                               [](const JournalCopy& c, uint64_t b) { return c.fsBlock < b; });
    for (; it != copies_.end() && it->fsBlock == fsBlock; ++it) out.push_back(&*it);
    return out;
}

uint32_t JournalIndex::lastRevoke(uint64_t fsBlock) const {
    auto it = revokes_.find(fsBlock);
    return it == revokes_.end() ? 0 : it->second;
}

bool JournalIndex::checksumOk(const JournalCopy& c, const uint8_t* b) const {
    if (!info_.csumV2 && !info_.csumV3) return true;
    uint8_t seq[4] = {static_cast<uint8_t>(c.sequence >> 24), static_cast<uint8_t>(c.sequence >> 16),
                      static_cast<uint8_t>(c.sequence >> 8), static_cast<uint8_t>(c.sequence)};
    uint32_t crc = crc32c(csumSeed_, seq, 4);
    crc = crc32c(crc, b, info_.blockSize);
    return info_.csumV3 ? crc == c.checksum : (crc & 0xFFFF) == c.checksum;
}

bool JournalIndex::readCopy(const JournalCopy& c, uint8_t* buf, const JournalRead& read) const {
    const uint32_t bs = info_.blockSize;
    if (!read(c.journalBlock, 1, buf)) return false;
    // A header block where data should be: the data was overwritten.
    if (be32(buf, bs, 0) == kJournalMagic) return false;
    if (!checksumOk(c, buf)) return false;
    if (c.escaped) {
        buf[0] = 0xC0;
        buf[1] = 0x3B;
        buf[2] = 0x39;
        buf[3] = 0x98;
    }
    return true;
}

}  // namespace brantlow::ext
