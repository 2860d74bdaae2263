#include "disk/sector_scan.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "disk/read_ahead.h"

namespace brantlow {

namespace {

constexpr uint64_t kSector = 512;
constexpr uint64_t kOneMiBSectors = 2048;
constexpr uint64_t kProbeSectors = kProbeBytes / kSector;
constexpr size_t kRetryPiece = 64 * 1024;

std::string fmtU(const char* f, unsigned long long v) {
    char b[96];
    std::snprintf(b, sizeof b, f, v);
    return b;
}

// Reads `sectors` sectors at `sector` into dst. What cannot be read is
// retried in smaller pieces, then sector by sector; a sector that still
// fails reads as zeros and is counted.
void readSpan(readWriteInterface& reader, uint64_t sector, uint8_t* dst, uint64_t sectors, SectorScanResult& res) {
    const size_t bytes = static_cast<size_t>(sectors * kSector);
    const long long got = reader.readAbsolute(sector * kSector, dst, bytes);
    res.sectorsRead += sectors;
    if (got == static_cast<long long>(bytes)) return;
    for (size_t piece = 0; piece < bytes; piece += kRetryPiece) {
        const size_t n = std::min(kRetryPiece, bytes - piece);
        const uint64_t off = sector * kSector + piece;
        if (reader.readAbsolute(off, dst + piece, n) == static_cast<long long>(n)) continue;
        for (size_t s = 0; s < n; s += kSector) {
            if (reader.readAbsolute(off + s, dst + piece + s, kSector) == static_cast<long long>(kSector)) continue;
            std::memset(dst + piece + s, 0, kSector);
            ++res.unreadableSectors;
        }
    }
}

// The rows whose marks hold at a sector: a byte test per place a mark
// lies, the whole mark only where its first byte is there. Rows without
// marks are always asked (every row, in a table of more than 64).
class MarkFilter {
public:
    explicit MarkFilter(const ProbeTable& probes) {
        for (size_t row = 0; row < probes.size(); ++row) {
            const uint64_t bit = row < 64 ? uint64_t{1} << row : 0;
            if (!probes[row].probe) continue;
            if (probes[row].scanMarks.empty() || !bit) {
                always_ |= bit;
                continue;
            }
            for (const ScanMark& m : probes[row].scanMarks) add(m, bit);
        }
        if (marks_.size() > 32 || probes.size() > 64) {
            // More than the tables hold: every row at every sector.
            always_ = ~uint64_t{0};
            marks_.clear();
        }
        for (size_t i = 0; i < marks_.size(); ++i) {
            Group& g = groupAt(marks_[i].at);
            g.byFirst[marks_[i].first] |= uint32_t{1} << i;
        }
    }
    // Bytes from a sector's start that the marks look at.
    size_t reach() const { return reach_; }
    // Rows (one bit each) worth asking about the len bytes at head.
    uint64_t rows(const uint8_t* head, size_t len) const {
        uint64_t r = always_;
        for (const Group& g : groups_) {
            if (g.at >= len) continue;
            uint32_t bits = g.byFirst[head[g.at]];
            while (bits) {
                const Mark& m = marks_[static_cast<size_t>(__builtin_ctz(bits))];
                bits &= bits - 1;
                if (m.at + m.length > len) continue;
                uint64_t w = 0;
                std::memcpy(&w, head + m.at, m.length);
                if ((w & m.mask) == m.pat) r |= m.rows;
            }
        }
        return r;
    }

private:
    struct Mark {
        uint16_t at = 0;
        uint8_t length = 0, first = 0;
        uint64_t pat = 0, mask = 0, rows = 0;
    };
    struct Group {
        uint16_t at = 0;
        std::array<uint32_t, 256> byFirst{};
    };
    void add(const ScanMark& s, uint64_t bit) {
        if (s.length == 0) {
            always_ |= bit;
            return;
        }
        Mark m;
        m.at = s.at;
        m.length = std::min<uint8_t>(s.length, 8);
        m.first = s.bytes[0];
        uint8_t mask[8]{};
        std::memset(mask, 0xFF, m.length);
        std::memcpy(&m.pat, s.bytes, m.length);
        std::memcpy(&m.mask, mask, 8);
        for (Mark& k : marks_) {
            if (k.at == m.at && k.length == m.length && k.pat == m.pat) {
                k.rows |= bit;
                return;
            }
        }
        m.rows = bit;
        marks_.push_back(m);
        reach_ = std::max<size_t>(reach_, m.at + m.length);
    }
    Group& groupAt(uint16_t at) {
        for (Group& g : groups_)
            if (g.at == at) return g;
        groups_.emplace_back();
        groups_.back().at = at;
        return groups_.back();
    }
    uint64_t always_ = 0;
    size_t reach_ = 0;
    std::vector<Mark> marks_;
    std::vector<Group> groups_;
};

struct Scan {
    Scan(readWriteInterface& r, Partition& part, const ProbeTable& t) : reader(r), p(part), probes(t), filter(t) {}
    readWriteInterface& reader;
    Partition& p;
    const ProbeTable& probes;
    const MarkFilter filter;
    SectorScanHooks* hooks = nullptr;
    SectorScanResult res;
    // Running counts of the volumes of each kind found (the "%d" of their
    // status texts).
    std::map<std::string, long long> counts;
    // Volumes reported: (start sector, probe row); tells a copy of a volume
    // already listed from the copy of one whose first structure is gone.
    std::set<std::pair<uint64_t, size_t>> reported;
    struct Listed {
        uint64_t end;  // first sector behind the volume
        size_t row;
        std::string identity;
    };
    // Volumes reported with an identity, by start sector.
    std::multimap<uint64_t, Listed> withIdentity;

    // Whether a structure at x with this identity lies inside a volume
    // already listed under the same identity (a copy that volume keeps).
    bool insideListed(uint64_t x, size_t row, const std::string& identity) const {
        if (identity.empty()) return false;
        auto it = withIdentity.upper_bound(x);
        for (int n = 0; n < 64 && it != withIdentity.begin(); ++n) {
            --it;
            if (it->second.row == row && x < it->second.end && it->second.identity == identity) return true;
        }
        return false;
    }

    // Looks at the bytes of sector x as a volume's first bytes. Returns the
    // next sector to look at (> x).
    uint64_t examine(uint64_t x, const uint8_t* head, size_t len) {
        const uint64_t asked = filter.rows(head, len);
        if (!asked && probes.size() <= 64) return x + 1;
        size_t row = 0;
        ProbeResult id;
        for (; row < probes.size(); ++row) {
            if (!probes[row].probe || (row < 64 && !(asked >> row & 1))) continue;
            // A fresh result each time (nothing to clear: no work for the
            // rows that do not match, which is nearly every row at nearly
            // every sector).
            ProbeResult r;
            if (probes[row].probe(head, len, r) && !r.fileSystem.empty() &&
                (!probes[row].scanCheck || probes[row].scanCheck(head, len))) {
                id = std::move(r);
                break;
            }
        }
        if (row == probes.size()) return x + 1;
        const ProbeRow& r = probes[row];
        if (insideListed(x, row, id.identity)) return x + 1;

        uint64_t start = x;
        CopyResult copy;
        if (r.copyAt && r.copyAt(head, len, copy) && copy.sectorsIn > 0 && copy.sectorsIn <= x) {
            const uint64_t original = x - copy.sectorsIn;
            const bool listed = reported.count({original, row}) != 0;
            if (copy.certain) {
                if (listed) return x + 1;  // a copy inside a volume already listed
                start = original;
            } else if (!listed && r.confirm && !r.confirm(reader, x, head, len) &&
                       r.confirm(reader, original, head, len)) {
                // The first structure is gone; its copy gives the volume.
                start = original;
            }
        }

        const VolumeKind* kind = findVolumeKind(probes, id.fileSystem);
        const bool unsized = kind && kind->sizeUnrecorded && id.sizeSectors == 0;
        const uint64_t total = reader.sizeBytes() / kSector;
        const uint64_t size = unsized ? (total > start ? total - start : 0) : id.sizeSectors;
        const uint64_t maxMiB = kind ? kind->maxScanMiB : 0;
        const bool add = size >= kOneMiBSectors && (maxMiB == 0 || size / kOneMiBSectors <= maxMiB);
        const std::string text = kind ? kind->foundText : "found " + id.fileSystem + "...";
        if (text.find("%d") != std::string::npos) ++counts[id.fileSystem];
        if (maxMiB == 0 || add) p.status(countedText(text, counts[id.fileSystem]));
        if (add) {
            VolumeEntry e;
            e.fileSystem = id.fileSystem;
            e.volumeNumber = std::to_string(res.volumesFound);
            e.sizeText = kind && kind->threeSpaceSize ? sizeTextMbSpaces3(size / kOneMiBSectors)
                                                      : sizeTextMbSpaces2(size / kOneMiBSectors);
            e.startSector = start;
            e.sizeSectors = size;
            p.add(e);
            reported.insert({start, row});
            if (!id.identity.empty()) {
                uint64_t end = 0;
                if (addOverflows(start, std::max(size, id.spanSectors), &end)) end = UINT64_MAX;
                withIdentity.insert({start, Listed{end, row, id.identity}});
            }
            ++res.volumesFound;
        }
        if (!p.skipFoundVolumes || size < kOneMiBSectors) return x + 1;
        // Behind the volume: its counted sectors, and what follows them
        // (NTFS: the backup boot sector); behind the header of one whose
        // size is not recorded.
        const uint64_t span = unsized ? std::max<uint64_t>(id.spanSectors, 1) : std::max(size, id.spanSectors);
        uint64_t next = 0;
        if (addOverflows(start, span, &next)) return UINT64_MAX;
        return next > x ? next : x + 1;
    }
};

SectorScanResult finish(Scan& scan, Partition& p);

// A checkpoint at sector x when one is due; held: sectors from x on that
// were read already (they count as not read yet: a resumed scan reads them).
void offerCheckpoint(Scan& scan, uint64_t x, uint64_t held) {
    SectorScanHooks* h = scan.hooks;
    if (!h || !h->checkpoint || !h->checkpointDue || !h->checkpointDue()) return;
    SectorScanProgress c;
    c.next = x;
    c.sectorsRead = scan.res.sectorsRead - std::min(held, scan.res.sectorsRead);
    c.unreadableSectors = scan.res.unreadableSectors;
    c.volumesFound = scan.res.volumesFound;
    c.counts.assign(scan.counts.begin(), scan.counts.end());
    for (const auto& [start, row] : scan.reported) c.reported.push_back({start, row});
    for (const auto& [start, l] : scan.withIdentity) c.withIdentity.push_back({start, l.end, l.row, l.identity});
    h->checkpoint(c);
}

// Where a checkpoint left the scan: its counts and what it had listed.
// False when the checkpoint does not fit this probe table.
bool restore(Scan& scan, const SectorScanProgress& c) {
    for (const auto& [start, row] : c.reported)
        if (row >= scan.probes.size()) return false;
    for (const auto& l : c.withIdentity)
        if (l.row >= scan.probes.size()) return false;
    scan.res.sectorsRead = c.sectorsRead;
    scan.res.unreadableSectors = c.unreadableSectors;
    scan.res.volumesFound = c.volumesFound;
    scan.counts.clear();
    scan.counts.insert(c.counts.begin(), c.counts.end());
    scan.reported.clear();
    for (const auto& [start, row] : c.reported) scan.reported.insert({start, static_cast<size_t>(row)});
    scan.withIdentity.clear();
    for (const auto& l : c.withIdentity)
        scan.withIdentity.insert({l.start, Scan::Listed{l.end, static_cast<size_t>(l.row), l.identity}});
    return true;
}

// Sectors first .. last, each looked at in order (no volume skipped): the
// blocks are read on a second thread while this one looks at the last.
// Each block holds its own sectors and the probe window behind them; the
// sectors read and the unreadable ones are counted for the blocks taken.
void scanAllSectors(Scan& scan, uint64_t first, uint64_t last, uint64_t readLimit, uint64_t chunkSectors) {
    Partition& p = scan.p;
    SectorScanResult& res = scan.res;
    readWriteInterface& reader = scan.reader;
    const uint64_t range = last - first + 1;
    int64_t permille = -1;
    ReadAhead reads(
        [&](uint8_t* buf, uint64_t pos, size_t n) -> uint64_t {
            if (p.pause) p.pause->wait();
            // A block's own sectors are counted with it; the window behind
            // them with the next block, or here when no block follows.
            const uint64_t at = pos / kSector, sectors = n / kSector;
            const uint64_t own = std::min(sectors, chunkSectors);
            SectorScanResult counted, spare;
            readSpan(reader, at, buf, own, counted);
            if (sectors > own)
                readSpan(reader, at + own, buf + own * kSector, sectors - own, at + own > last ? counted : spare);
            return counted.unreadableSectors;
        },
        readLimit * kSector, static_cast<size_t>(chunkSectors * kSector), kProbeBytes, 3,
        // The sectors whose marks hold are flagged as they are read.
        [&filter = scan.filter](const uint8_t* buf, size_t n, uint8_t* flags) {
            const size_t reach = std::max<size_t>(filter.reach(), 1);
            for (size_t o = 0, i = 0; o < n; o += kSector, ++i) flags[i] = filter.rows(buf + o, reach) != 0;
        },
        std::min<size_t>(scan.filter.reach(), kProbeBytes));
    uint64_t x = first;
    if (scan.hooks && scan.hooks->resume) {
        // Blocks counted from the range's first sector, as before the stop.
        x = std::max(first, scan.hooks->resume->next);
        reads.grid(first * kSector);
    }
    while (x <= last) {
        if (p.stopping()) break;
        offerCheckpoint(scan, x, 0);
        size_t held = 0;
        const uint8_t* at = reads.get(x * kSector, held);
        const uint64_t blockFirst = reads.heldPosition() / kSector;
        const uint8_t* block = at - (x - blockFirst) * kSector;
        res.unreadableSectors += reads.heldTag();
        const uint64_t blockEnd = std::min(blockFirst + chunkSectors, readLimit);
        res.sectorsRead += blockEnd - blockFirst;
        if (blockEnd > last) res.sectorsRead += readLimit - blockEnd;
        const uint8_t* flags = reads.marks(blockFirst * kSector);
        while (x <= last && x < blockEnd) {
            if (p.stopping()) break;
            // Only the flagged sectors can hold a volume's first bytes.
            const uint64_t upTo = std::min(last + 1, blockEnd);
            const void* hit = std::memchr(flags + (x - blockFirst), 1, static_cast<size_t>(upTo - x));
            if (!hit) {
                x = upTo;
                break;
            }
            x = blockFirst + static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - flags);
            const size_t len = static_cast<size_t>(std::min<uint64_t>(kProbeBytes, (readLimit - x) * kSector));
            x = scan.examine(x, block + (x - blockFirst) * kSector, len);
            if (res.volumesFound >= kMaxScanVolumes) break;
        }
        if (res.volumesFound >= kMaxScanVolumes) {
            res.tooMany = true;
            break;
        }
        if (p.progress) {
            const uint64_t done = std::min(x, last + 1) - first;
            const int64_t pm = static_cast<int64_t>(static_cast<unsigned __int128>(done) * 1000 / range);
            if (pm != permille) p.progress->position(permille = pm);
        }
    }
    res.endedAt = std::min(x, last + 1);
}

}  // namespace

SectorScanResult ScanForFileSystems(readWriteInterface& reader, Partition& p, const ProbeTable& probes,
                                    size_t chunkBytes, SectorScanHooks* hooks) {
    Scan scan(reader, p, probes);
    scan.hooks = hooks;
    SectorScanResult& res = scan.res;
    if (hooks && hooks->resume && !restore(scan, *hooks->resume)) hooks->resume = nullptr;
    // stopRequested is left as it is: a stop that comes before the worker
    // has started still ends the scan.
    p.status("Scanning partition.....");
    if (p.progress) p.progress->range(1000);

    const uint64_t total = reader.sizeBytes() / kSector;
    const uint64_t first = p.scanStartSector > 0 ? static_cast<uint64_t>(p.scanStartSector) : 0;
    uint64_t last = total ? total - 1 : 0;
    if (p.scanEndSector > 0) last = std::min(last, static_cast<uint64_t>(p.scanEndSector));
    if (total == 0 || first > last) {
        if (p.progress) p.progress->position(1000);
        return res;
    }
    res.firstSector = first;
    res.lastSector = last;
    reader.adviseSequential();

    const uint64_t chunkSectors = std::max<uint64_t>(chunkBytes / kSector, kProbeSectors);
    // Sectors needed to look at the last sector of the range.
    const uint64_t readLimit = std::min(total, last + kProbeSectors);
    if (!p.skipFoundVolumes) {
        // Every sector in order: read ahead on a second thread, in blocks
        // of at most 1 MiB (three of them held).
        scanAllSectors(scan, first, last, readLimit, std::min(chunkSectors, std::max(kOneMiBSectors, kProbeSectors)));
        return finish(scan, p);
    }
    std::vector<uint8_t> buf(static_cast<size_t>((chunkSectors + kProbeSectors) * kSector));
    uint64_t winFirst = first;  // sector of buf[0]
    uint64_t winSectors = 0;    // sectors held
    uint64_t readNext = first;  // == winFirst + winSectors
    const uint64_t range = last - first + 1;
    int64_t permille = -1;

    uint64_t x = first;
    if (hooks && hooks->resume) x = std::max(first, hooks->resume->next);
    while (x <= last) {
        if (p.stopping()) break;
        offerCheckpoint(scan, x, readNext > x ? readNext - x : 0);
        // Keep what is held from x on; read what follows.
        if (x >= winFirst && x < winFirst + winSectors) {
            const uint64_t drop = x - winFirst;
            std::memmove(buf.data(), buf.data() + drop * kSector, static_cast<size_t>((winSectors - drop) * kSector));
            winSectors -= drop;
        } else {
            winSectors = 0;
            readNext = x;
        }
        winFirst = x;
        const uint64_t room = chunkSectors + kProbeSectors - winSectors;
        const uint64_t n = std::min(room, readLimit - std::min(readLimit, readNext));
        if (n > 0) {
            if (p.pause) p.pause->wait();
            readSpan(reader, readNext, buf.data() + winSectors * kSector, n, res);
            winSectors += n;
            readNext += n;
        }
        // Every sector whose probe window is held (or runs into the end).
        const bool atEnd = readNext >= readLimit;
        const uint64_t winEnd = winFirst + winSectors;
        while (x <= last && x < winEnd && (atEnd || x + kProbeSectors <= winEnd)) {
            if (p.stopping()) break;
            const size_t off = static_cast<size_t>((x - winFirst) * kSector);
            const size_t len = std::min<size_t>(kProbeBytes, static_cast<size_t>(winSectors * kSector) - off);
            x = scan.examine(x, buf.data() + off, len);
            if (res.volumesFound >= kMaxScanVolumes) break;
        }
        if (res.volumesFound >= kMaxScanVolumes) {
            res.tooMany = true;
            break;
        }
        if (p.progress) {
            const uint64_t done = std::min(x, last + 1) - first;
            const int64_t pm = static_cast<int64_t>(static_cast<unsigned __int128>(done) * 1000 / range);
            if (pm != permille) p.progress->position(permille = pm);
        }
    }
    res.endedAt = std::min(x, last + 1);
    return finish(scan, p);
}

namespace {

SectorScanResult finish(Scan& scan, Partition& p) {
    SectorScanResult& res = scan.res;
    if (p.stopping()) {
        res.stopped = true;
        p.status("Scanned Partitions");
    }
    if (res.tooMany)
        p.status(fmtU("The scan ended after %llu volumes.", static_cast<unsigned long long>(kMaxScanVolumes)));
    if (res.unreadableSectors)
        p.status(fmtU("%llu unreadable sectors were skipped.", static_cast<unsigned long long>(res.unreadableSectors)));
    return res;
}

}  // namespace

}  // namespace brantlow
