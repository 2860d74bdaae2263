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

Decoded<JournalInfo> decodeJournalSuper(const uint8_t* b, size_t len) {
    using D = Decoded<JournalInfo>;
    JournalInfo j;
    if (be32(b, len, 0) != kJournalMagic) return D::refused("no journal magic");
    const uint32_t type = be32(b, len, 4);
    if (type != kSuperV1 && type != kSuperV2) return D::refused("block type " + std::to_string(type) + " is not a superblock");
    j.v2 = type == kSuperV2;
    j.blockSize = be32(b, len, 12);
    j.maxLen = be32(b, len, 16);
    j.first = be32(b, len, 20);
    j.sequence = be32(b, len, 24);
    j.start = be32(b, len, 28);
    if (j.blockSize < 1024 || j.blockSize > 65536 || (j.blockSize & (j.blockSize - 1)))
        return D::refused("block size " + std::to_string(j.blockSize) + " is not a power of two from 1 to 64 KiB");
    if (j.first == 0 || j.first >= j.maxLen)
        return D::refused("first log block " + std::to_string(j.first) + " outside the journal's " +
                          std::to_string(j.maxLen) + " blocks");
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
    return D::ok(j);
}

Decoded<JournalHeader> decodeJournalHeader(const uint8_t* b, size_t len) {
    using D = Decoded<JournalHeader>;
    if (be32(b, len, 0) != kJournalMagic) return D::refused("no journal magic");
    JournalHeader h;
    h.type = be32(b, len, 4);
    h.sequence = be32(b, len, 8);
    if (h.type < kDescriptor || h.type > kRevoke) return D::refused("block type " + std::to_string(h.type) + " unknown");
    return D::ok(h);
}

Decoded<std::vector<JournalTag>> decodeDescriptorTags(const uint8_t* b, const JournalInfo& j, uint64_t fsBlocks) {
    const size_t bs = j.blockSize;
    const size_t end = bs - ((j.csumV2 || j.csumV3) ? 4 : 0);
    const size_t logLen = j.maxLen - j.first;
    std::vector<JournalTag> tags;
    uint64_t outside = 0, firstOutside = 0;
    size_t off = 12;
    uint32_t k = 0;
    while (off + j.tagBytes <= end && k < logLen) {
        const uint16_t flags = be16(b, bs, off + 6);
        JournalTag t;
        t.fsBlock = be32(b, bs, off);
        if (j.is64) t.fsBlock |= static_cast<uint64_t>(be32(b, bs, off + 8)) << 32;
        if (j.csumV3)
            t.checksum = be32(b, bs, off + 12);
        else if (j.csumV2)
            t.checksum = be16(b, bs, off + 4);
        t.index = k;
        t.escaped = (flags & kTagEscape) != 0;
        if (t.fsBlock < fsBlocks)
            tags.push_back(t);
        else if (outside++ == 0)
            firstOutside = t.fsBlock;
        ++k;
        off += j.tagBytes;
        if (!(flags & kTagSameUuid)) off += 16;
        if (flags & kTagLast) break;
    }
    auto d = Decoded<std::vector<JournalTag>>::ok(std::move(tags));
    if (outside)
        d.replace(std::to_string(outside) + " tags name blocks beyond the file system (first: " +
                  std::to_string(firstOutside) + "): left out");
    return d;
}

Decoded<std::vector<uint64_t>> decodeRevokeBlock(const uint8_t* b, const JournalInfo& j) {
    const size_t bs = j.blockSize;
    const size_t room = bs - ((j.csumV2 || j.csumV3) ? 4 : 0);
    const uint32_t count = be32(b, bs, 12);
    const size_t end = std::min<size_t>(count, room);
    const size_t rec = j.is64 ? 8 : 4;
    std::vector<uint64_t> blocks;
    for (size_t off = 16; off + rec <= end; off += rec) blocks.push_back(j.is64 ? be64(b, bs, off) : be32(b, bs, off));
    auto d = Decoded<std::vector<uint64_t>>::ok(std::move(blocks));
    if (count > room) d.replace("byte count " + std::to_string(count) + " past the block: cut to " + std::to_string(room));
    return d;
}

void JournalIndex::descriptor(const uint8_t* b, uint32_t at, uint32_t seq, uint64_t fsBlocks) {
    const Decoded<std::vector<JournalTag>> tags = decodeDescriptorTags(b, info_, fsBlocks);
    for (const std::string& r : tags.replaced()) damage(at, "descriptor: " + r, true);
    const size_t logLen = info_.maxLen - info_.first;
    for (const JournalTag& t : *tags) {
        if (copies_.size() >= maxCopies_) break;
        // The data block: the k-th after the descriptor, wrapping in the log.
        uint64_t pos = static_cast<uint64_t>(at) + 1 + t.index;
        if (pos >= info_.maxLen) pos = info_.first + (pos - info_.maxLen) % logLen;
        if (onCopy && pos > at && (info_.csumV2 || info_.csumV3)) pending_[static_cast<uint32_t>(pos)] = copies_.size();
        copies_.push_back({t.fsBlock, static_cast<uint32_t>(pos), seq, t.checksum, t.escaped, false});
    }
}

void JournalIndex::revoke(const uint8_t* b, uint32_t at, uint32_t seq) {
    const Decoded<std::vector<uint64_t>> blocks = decodeRevokeBlock(b, info_);
    for (const std::string& r : blocks.replaced()) damage(at, "revoke block: " + r, true);
    for (uint64_t block : *blocks) {
        uint32_t& r = revokes_[block];
        r = std::max(r, seq);
        if (revokes_.size() > maxCopies_) return;
    }
}

// A block that starts with the journal magic.
void JournalIndex::header(const uint8_t* b, uint32_t at, uint64_t fsBlocks) {
    const Decoded<JournalHeader> h = decodeJournalHeader(b, info_.blockSize);
    if (!h) {
        damage(at, h.reason(), false);
        return;
    }
    if (h->type == kDescriptor)
        descriptor(b, at, h->sequence, fsBlocks);
    else if (h->type == kCommit)
        commits_[h->sequence] = true;
    else if (h->type == kRevoke && (info_.incompat & kIncompatRevoke || !info_.v2))
        revoke(b, at, h->sequence);
}

bool JournalIndex::build(const JournalRead& read, uint32_t blockSize, uint64_t journalBlocks, uint64_t fsBlocks, const std::function<bool()>& stop) {
    copies_.clear();
    revokes_.clear();
    commits_.clear();
    if (blockSize < 1024 || blockSize > 65536) return false;
    if (!readSuper(read, blockSize, journalBlocks)) {
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
                if (be32(b, bs, 0) != kJournalMagic)
                    dataBlock(b, at + i, one);
                else
                    header(b, at + i, fsBlocks);
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

// Journal block 0, checked against the file system's block size; the log
// is cut at the journal's own length.
bool JournalIndex::readSuper(const JournalRead& read, uint32_t blockSize, uint64_t journalBlocks) {
    std::vector<uint8_t> first(blockSize, 0);
    if (!read(0, 1, first.data())) return false;
    const Decoded<JournalInfo> super = decodeJournalSuper(first.data(), first.size());
    if (!super || super->blockSize != blockSize) {
        damage(0, super ? "block size " + std::to_string(super->blockSize) + " is not the file system's"
                        : super.reason(), false);
        return false;
    }
    info_ = *super;
    if (info_.maxLen > journalBlocks) {
        damage(0, "log length " + std::to_string(info_.maxLen) + " above the journal's " +
                      std::to_string(journalBlocks) + " blocks: cut", true);
        info_.maxLen = static_cast<uint32_t>(journalBlocks);
    }
    if (info_.first >= info_.maxLen) {
        damage(0, "first log block " + std::to_string(info_.first) + " past the journal's end", false);
        return false;
    }
    return true;
}

// A block without the magic: a logged copy, or unused log space. A copy
// whose descriptor came first is handed over as the walk passes it.
void JournalIndex::dataBlock(const uint8_t* b, uint32_t at, std::vector<uint8_t>& one) {
    if (onDataBlock) onDataBlock(at, b);
    if (pending_.empty()) return;
    auto p = pending_.find(at);
    if (p == pending_.end()) return;
    JournalCopy& c = copies_[p->second];
    pending_.erase(p);
    c.streamed = true;
    if (!checksumOk(c, b)) return;
    if (c.escaped) {
        std::memcpy(one.data(), b, one.size());
        std::memcpy(one.data(), "\xC0\x3B\x39\x98", 4);
        onCopy(c, one.data());
    } else {
        onCopy(c, b);
    }
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
