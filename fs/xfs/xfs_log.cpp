#include "fs/xfs/xfs_log.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "base/bytes.h"

namespace brantlow::xfs {

namespace {

constexpr uint32_t kRecordMagic = 0xFEEDBABE;
constexpr size_t kBB = 512;
constexpr size_t kCycleBytes = 32768;  // one header's cycle data covers 64 sectors
constexpr size_t kMaxRecordData = 256 * 1024;
constexpr uint8_t kClientTrans = 0x69, kClientLog = 0xaa;
constexpr uint8_t kOpCommit = 0x02, kOpContinue = 0x04, kOpWasContinued = 0x08, kOpUnmount = 0x20;
constexpr uint16_t kItemInode = 0x123b;
constexpr uint32_t kTransMagic = 0x5452414e;  // "TRNS"
constexpr size_t kMaxOpenTransactions = 4096;
constexpr uint64_t kChunkSectors = 8192;  // 4 MiB per read while looking for record headers

struct RecordHeader {
    uint64_t lsn = 0;
    uint32_t length = 0;      // bytes of operations
    uint32_t headerSectors = 1;
    uint64_t sectors() const { return headerSectors + (length + kBB - 1) / kBB; }
};

bool parseHeader(const uint8_t* p, size_t n, const Superblock& sb, RecordHeader& h) {
    if (n < kBB || be32(p, n, 0) != kRecordMagic) return false;
    const uint32_t cycle = be32(p, n, 4);
    const uint32_t version = be32(p, n, 8);
    h.length = be32(p, n, 12);
    h.lsn = be64(p, n, 16);
    if (cycle == 0 || (version != 1 && version != 2) || h.length == 0 || h.length > kMaxRecordData) return false;
    if (static_cast<uint32_t>(h.lsn >> 32) != cycle) return false;
    if (!bytesAt(p, n, 304, sb.uuid, 16)) return false;
    h.headerSectors = 1;
    if (version == 2) {
        const uint32_t size = be32(p, n, 320);
        if (size > kMaxRecordData) return false;
        h.headerSectors = std::max<uint32_t>(1, static_cast<uint32_t>((size + kCycleBytes - 1) / kCycleBytes));
    }
    return h.length <= h.headerSectors * kCycleBytes;
}

// Operations of the records in log order: regions joined across records,
// grouped into log items, inode items handed over.
class OpReader {
public:
    OpReader(const Superblock& sb, const std::function<void(const LoggedInode&)>& onInode)
        : sb_(sb), onInode_(onInode) {}

    uint64_t inodeItems = 0;

    void record(const uint8_t* data, size_t n, uint64_t lsn) {
        size_t o = 0;
        while (o + 12 <= n) {
            const uint32_t tid = be32(data, n, o);
            const uint32_t len = be32(data, n, o + 4);
            const uint8_t client = data[o + 8];
            const uint8_t flags = data[o + 9];
            o += 12;
            if (len > n - o || (client != kClientTrans && client != kClientLog)) return;
            const uint8_t* region = data + o;
            o += len;
            if (client == kClientLog || (flags & kOpUnmount)) continue;
            if (tids_.size() > kMaxOpenTransactions) tids_.clear();
            Tid& t = tids_[tid];
            if (flags & kOpWasContinued) {
                if (t.open) t.partial.insert(t.partial.end(), region, region + len);
                else t.lost = true;
            } else {
                t.partial.assign(region, region + len);
                t.lost = false;
            }
            if (flags & kOpContinue) {
                t.open = true;
                continue;
            }
            t.open = false;
            if (!t.lost && !t.partial.empty()) item(t, t.partial.data(), t.partial.size(), lsn);
            if (flags & kOpCommit) tids_.erase(tid);
        }
    }

private:
    struct Item {
        uint16_t type = 0;
        unsigned left = 0;   // regions still to come
        unsigned index = 0;  // of the last region taken (0: the format)
        uint64_t ino = 0;
        uint32_t fields = 0;
        uint16_t dataSize = 0;
        bool haveCore = false;
        LoggedInode logged;
    };
    struct Tid {
        std::vector<uint8_t> partial;
        bool open = false;
        bool lost = false;
        Item item;
    };

    void finish(Item& it) {
        if (it.type == kItemInode && it.haveCore) {
            ++inodeItems;
            it.logged.ino = it.ino;
            it.logged.fields = it.fields;
            onInode_(it.logged);
        }
        it = Item{};
    }

    void item(Tid& t, const uint8_t* r, size_t n, uint64_t lsn) {
        Item& it = t.item;
        if (it.left > 0) {
            ++it.index;
            --it.left;
            if (it.type == kItemInode && it.index == 1) {
                // The core, in the byte order of the machine that logged it.
                const bool big = n >= 2 && r[0] == 0x49 && r[1] == 0x4e;
                auto core = decodeInode(r, n, sb_, big);
                if (core && (core->version != 3 || core->ino == it.ino)) {
                    it.logged.core = *core;
                    it.logged.lsn = lsn;
                    it.haveCore = true;
                }
            } else if (it.type == kItemInode && it.index == 2 && (it.fields & (kLogData | kLogExtents | kLogBroot)) &&
                       it.dataSize > 0) {
                it.logged.fork.assign(r, r + std::min<size_t>(n, it.dataSize));
            }
            if (it.left == 0) finish(it);
            return;
        }
        // A new item: its format region names its type and how many
        // regions it has, in the logging machine's byte order.
        if (n < 4 || le32(r, n, 0) == kTransMagic || be32(r, n, 0) == kTransMagic) return;
        const uint16_t tl = le16(r, n, 0), tb = be16(r, n, 0);
        const bool little = tl >= 0x1230 && tl <= 0x1260;
        if (!little && !(tb >= 0x1230 && tb <= 0x1260)) return;
        auto r16 = [&](size_t off) { return little ? le16(r, n, off) : be16(r, n, off); };
        auto r32 = [&](size_t off) { return little ? le32(r, n, off) : be32(r, n, off); };
        auto r64 = [&](size_t off) { return little ? le64(r, n, off) : be64(r, n, off); };
        const uint16_t regions = r16(2);
        if (regions == 0 || regions > 64) return;
        it = Item{};
        it.type = little ? tl : tb;
        it.left = regions - 1u;
        if (it.type == kItemInode) {
            it.fields = r32(4);
            it.dataSize = r16(10);
            // The 64-bit layout pads before the inode number; the packed
            // 32-bit one (52 bytes) does not.
            it.ino = n >= 56 ? r64(16) : r64(12);
        }
        if (it.left == 0) finish(it);
    }

    const Superblock& sb_;
    const std::function<void(const LoggedInode&)>& onInode_;
    std::unordered_map<uint32_t, Tid> tids_;
};

// The operations of one record: its data sectors with their first words
// put back from the cycle data of the header sectors.
bool recordData(const uint8_t* rec, size_t n, const RecordHeader& h, std::vector<uint8_t>& out) {
    const size_t head = static_cast<size_t>(h.headerSectors) * kBB;
    const size_t sectors = (h.length + kBB - 1) / kBB;
    if (n < head + sectors * kBB) return false;
    out.assign(rec + head, rec + head + sectors * kBB);
    for (size_t k = 0; k < sectors; ++k) {
        const size_t j = k / 64;
        const size_t at = j == 0 ? 44 + (k % 64) * 4 : j * kBB + 4 + (k % 64) * 4;
        if (j >= h.headerSectors || at + 4 > head) return false;
        std::memcpy(out.data() + k * kBB, rec + at, 4);
    }
    out.resize(h.length);
    return true;
}

}  // namespace

void decodeLogRecord(const uint8_t* rec, size_t n, const Superblock& sb,
                     const std::function<void(const LoggedInode&)>& onInode) {
    RecordHeader h;
    if (!parseHeader(rec, n, sb, h)) return;
    std::vector<uint8_t> data;
    if (!recordData(rec, n, h, data)) return;
    OpReader ops(sb, onInode);
    ops.record(data.data(), data.size(), h.lsn);
}

void walkLog(const Superblock& sb, const VolumeRead& read, const std::function<void(const LoggedInode&)>& onInode,
             const std::function<bool()>& stopped, LogStats* stats) {
    uint64_t first = 0;
    if (sb.logStart == 0 || !sb.linearRun(sb.logStart, sb.logBlocks, first)) return;
    const uint64_t start = first * sb.blockSize;
    const uint64_t total = static_cast<uint64_t>(sb.logBlocks) * sb.blockSize / kBB;
    if (total == 0) return;
    // Reads `count` sectors from log sector `at` on, wrapping at the end.
    auto readLog = [&](uint64_t at, uint64_t count, uint8_t* buf) {
        at %= total;
        const uint64_t a = std::min(count, total - at);
        bool ok = read(start + at * kBB, buf, static_cast<size_t>(a * kBB));
        if (count > a) ok = read(start, buf + a * kBB, static_cast<size_t>((count - a) * kBB)) && ok;
        return ok;
    };

    // Every record header, found sector by sector; a record's own sectors
    // are skipped.
    std::vector<std::pair<uint64_t, uint64_t>> records;  // (lsn, first sector)
    std::vector<uint8_t> chunk;
    uint64_t s = 0;
    while (s < total) {
        if (stopped && stopped()) return;
        const uint64_t n = std::min(kChunkSectors, total - s);
        chunk.assign(static_cast<size_t>(n * kBB), 0);
        readLog(s, n, chunk.data());
        uint64_t next = s + n;
        for (uint64_t k = 0; k < n; ++k) {
            RecordHeader h;
            if (!parseHeader(chunk.data() + k * kBB, kBB, sb, h)) continue;
            records.emplace_back(h.lsn, s + k);
            if (s + k + h.sectors() >= s + n) {
                next = s + k + h.sectors();
                break;
            }
            k += h.sectors() - 1;
        }
        s = next;
    }
    std::sort(records.begin(), records.end());
    records.erase(std::unique(records.begin(), records.end(),
                              [](const auto& a, const auto& b) { return a.first == b.first; }),
                  records.end());

    OpReader ops(sb, onInode);
    std::vector<uint8_t> rec, data;
    uint64_t damaged = 0;
    for (const auto& [lsn, at] : records) {
        if (stopped && stopped()) break;
        uint8_t head[kBB];
        RecordHeader h;
        if (!readLog(at, 1, head) || !parseHeader(head, kBB, sb, h)) continue;
        rec.assign(static_cast<size_t>(h.sectors() * kBB), 0);
        if (!readLog(at, h.sectors(), rec.data()) || !recordData(rec.data(), rec.size(), h, data)) {
            ++damaged;
            continue;
        }
        ops.record(data.data(), data.size(), h.lsn);
    }
    if (stats) {
        stats->records = records.size();
        stats->inodeItems = ops.inodeItems;
        stats->damagedRecords = damaged;
    }
}

}  // namespace brantlow::xfs
