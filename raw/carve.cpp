#include "raw/carve.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "base/bytes.h"
#include "base/names.h"
#include "base/texts.h"
#include "platform/files.h"
#include "platform/output_file.h"

namespace brantlow::raw {

namespace {

constexpr uint64_t kNone = UINT64_MAX;
constexpr size_t kLookahead = 512;  // held beyond each read: size fields and signature windows
constexpr uint8_t kWildcard = 0x2A;

uint64_t alignUp(uint64_t v) {
    uint64_t r = v + (myJpg::step - 1);
    if (r < v) return kNone & ~(myJpg::step - 1);
    return r & ~(myJpg::step - 1);
}

uint64_t satAdd(uint64_t a, uint64_t b) {
    uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? kNone : r;
}

bool patternAt(const uint8_t* p, const uint8_t* pat, size_t len) {
    for (size_t i = 0; i < len; ++i)
        if (pat[i] != kWildcard && pat[i] != p[i]) return false;
    return true;
}

}  // namespace

CarveType typeFromRecord(const SettingsRecord& r, uint8_t identifier) {
    CarveType t;
    t.extension = utf16ToUtf8(r.extension);
    t.extensionLength = r.extensionLength;
    t.startSignature = r.startSignature;
    t.endSignature = r.endSignature;
    t.startLength = std::min<uint8_t>(r.startLength, kSignatureMax);
    t.endLength = std::min<uint8_t>(r.endLength, kSignatureMax);
    t.identifier = identifier;
    t.sizeOffset = r.sizeOffset > 0 ? r.sizeOffset : -1;
    t.sizeLength = r.sizeLength;
    t.headerSize = r.headerSize;
    t.sizeIncludesHeader = r.sizeIncludesHeader;
    t.bytesAfterEnd = r.bytesAfterEnd;
    t.approximateSize = r.approximateSize;
    t.skipSize = r.skipSize;
    t.category = utf16ToUtf8(r.category);
    t.startRepeats = (r.flags & kFlagStartRepeats) != 0;
    return t;
}

void myJpg::addRecords(const std::vector<SettingsRecord>& records) {
    for (const auto& r : records) {
        if (types_.size() >= maxTypes) break;
        types_.push_back(typeFromRecord(r, static_cast<uint8_t>(types_.size())));
    }
    initialized_ = false;
}

bool myJpg::loadDefaultTypes(const std::string& path) {
    std::vector<SettingsRecord> recs;
    std::string msg;
    if (!readSettingsFile(path, false, recs, msg, true)) {
        if (!msg.empty()) messageSink().info(msg);
        return false;
    }
    addRecords(recs);
    return !recs.empty();
}

bool myJpg::loadTypeFile(const std::string& path) {
    std::vector<SettingsRecord> recs;
    std::string msg;
    if (!readSettingsFile(path, true, recs, msg, false)) {
        if (!msg.empty()) messageSink().info(msg);
        return false;
    }
    addRecords(recs);
    return !recs.empty();
}

bool myJpg::initialize() {
    if (running_.load()) return false;
    const size_t n = types_.size();
    matchTable_.assign(2 * n, MatchEntry{});
    matchTableBytes_ = 2 * n * sizeof(MatchEntry);
    for (auto& b : startByFirstByte_) b.clear();
    for (size_t j = 0; j < n; ++j) {
        const CarveType& t = types_[j];
        MatchEntry& s = matchTable_[j];
        s.length = t.startLength;
        s.identifier = t.identifier;
        std::memcpy(s.pattern, t.startSignature.data(), kSignatureMax);
        MatchEntry& e = matchTable_[n + j];
        e.length = t.endLength;
        e.identifier = t.identifier;
        std::memcpy(e.pattern, t.endSignature.data(), kSignatureMax);
        // A signature shorter than 2 bytes never matches.
        if (s.length < 2) continue;
        StartMatcher m;
        m.type = static_cast<uint32_t>(j);
        uint8_t pat[16]{}, mask[16]{};
        for (size_t i = 0; i < s.length; ++i) {
            if (s.pattern[i] == kWildcard) continue;
            pat[i] = s.pattern[i];
            mask[i] = 0xFF;
        }
        std::memcpy(m.pat, pat, 16);
        std::memcpy(m.mask, mask, 16);
        if (s.pattern[0] == kWildcard) {
            for (auto& b : startByFirstByte_) b.push_back(m);
        } else {
            startByFirstByte_[s.pattern[0]].push_back(m);
        }
    }
    pendingStarts_.assign(n, Pending{});
    findsPerType_.assign(n, 0);
    initialized_ = true;
    return true;
}

std::string myJpg::itemText(const CarvedItem& item) const {
    std::string ext = item.type < types_.size() ? types_[item.type].extension : std::string();
    return std::to_string(item.start) + " ." + ext;
}

// p has at least 16 readable bytes.
bool myJpg::startAt(const uint8_t* p, uint32_t& type) const {
    uint64_t w[2];
    std::memcpy(w, p, 16);
    for (const StartMatcher& m : startByFirstByte_[p[0]]) {
        if ((w[0] & m.mask[0]) == m.pat[0] && (w[1] & m.mask[1]) == m.pat[1]) {
            type = m.type;
            return true;
        }
    }
    return false;
}

// First position q in [from, to) where the type's end signature matches;
// the buffer holds at least 10 bytes beyond `to`.
uint64_t myJpg::findEnd(uint32_t type, uint64_t from, uint64_t to, const uint8_t* buf, uint64_t bufBase) const {
    if (from >= to) return kNone;
    const CarveType& t = types_[type];
    const uint8_t* pat = t.endSignature.data();
    size_t len = t.endLength;
    if (len < 2) return kNone;  // a one-byte signature never matches
    // memchr for the pattern byte least likely to be common in file data:
    // not a wildcard, preferably not 00/FF, blank or a letter or digit.
    size_t k = len;
    int bestScore = -1;
    for (size_t i = 0; i < len; ++i) {
        uint8_t b = pat[i];
        if (b == kWildcard) continue;
        int score = (b == 0x00 || b == 0xFF) ? 0 : (b == ' ' || std::isalnum(b)) ? 1 : 2;
        if (score >= bestScore) {
            bestScore = score;
            k = i;
        }
    }
    if (k == len) return from;  // all wildcards: matches anywhere
    const uint8_t* base = buf + (from - bufBase);
    const uint8_t* p = base + k;
    const uint8_t* stop = base + (to - from) + k;
    while (p < stop) {
        const void* hit = std::memchr(p, pat[k], static_cast<size_t>(stop - p));
        if (!hit) return kNone;
        const uint8_t* h = static_cast<const uint8_t*>(hit);
        const uint8_t* q = h - k;
        if (patternAt(q, pat, len)) return from + static_cast<uint64_t>(q - base);
        p = h + 1;
    }
    return kNone;
}

void myJpg::record(uint32_t type, uint64_t start, uint64_t size) {
    if (type >= types_.size() || start >= volumeBytes) return;
    if (findsPerType_[type] >= maxFindsPerType) return;
    ++findsPerType_[type];
    size = std::min<uint64_t>(size, volumeBytes - start);
    CarvedItem item{start, size, type};
    found_.push_back(item);
    const CarveType& t = types_[type];
    uint64_t count = ++categoryCounts_[t.category];
    if (sink) sink->itemFound(found_.size() - 1, item, itemText(item), t.category, count);
}

// Reads count bytes at pos into buf (zeros where nothing could be read). A
// failed or short read is retried sector by sector, so that only the
// unreadable sectors are zeros.
void myJpg::fillChunk(uint8_t* buf, uint64_t pos, size_t count) {
    readWriteInterface* r = volume.reader();
    if (pauseGate) pauseGate->wait();
    long long got = -1;
    uint64_t abs = 0;
    if (r && !__builtin_add_overflow(volume.startByte(), pos, &abs)) got = r->readAbsolute(abs, buf, count);
    if (got == static_cast<long long>(count)) return;
    size_t have = got > 0 ? static_cast<size_t>(got) : 0;
    have = std::min(have - have % step, count);
    std::memset(buf + have, 0, count - have);
    uint64_t dev = r ? r->sizeBytes() : 0;
    for (size_t off = have; off < count; off += step) {
        if (dev && volume.startByte() + pos + off >= dev) break;  // beyond the device: zeros
        volume.read(pos + off, buf + off, std::min<size_t>(step, count - off));
    }
}

bool myJpg::scanVolume() {
    if (running_.exchange(true)) return false;
    struct Done {
        std::atomic<bool>& r;
        ~Done() { r.store(false); }
    } done{running_};
    if (!initialized_ && !initialize()) {
        messageSink().info("not properly initialized");
        return false;
    }
    const uint32_t n = static_cast<uint32_t>(types_.size());
    // Leftovers of an earlier scan are gone.
    for (auto& p : pendingStarts_) p = Pending{};

    // Categories: one item per distinct category, counts start at 0.
    for (const auto& t : types_) {
        bool fresh = categoryCounts_.find(t.category) == categoryCounts_.end();
        categoryCounts_[t.category] = 0;
        if (fresh && sink) sink->categoryAdded(t.category);
    }
    // Counts restart with each scan; the earlier finds stay in foundItems.
    for (auto& [k, v] : categoryCounts_) v = 0;
    std::fill(findsPerType_.begin(), findsPerType_.end(), 0);

    const uint64_t chunks = volumeBytes / chunkSize + (volumeBytes % chunkSize ? 1 : 0);
    if (progress) {
        progress->range(1000);
        progress->range(static_cast<int64_t>(chunks));
    }

    struct FreeBuf {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    std::unique_ptr<uint8_t, FreeBuf> bufStore(
        static_cast<uint8_t*>(std::aligned_alloc(4096, ioChunk + 4096)));
    if (!bufStore) {
        messageSink().info("not properly initialized");
        return false;
    }
    uint8_t* buf = bufStore.get();
    std::vector<uint32_t> active;  // types with pending starts
    active.reserve(n);
    uint64_t cur = 0;  // next sector start to test
    bool stopped = false;

    auto activeLimit = [&](uint32_t t, uint64_t hi) -> uint64_t {
        const Pending& pd = pendingStarts_[t];
        const CarveType& ty = types_[t];
        if (pd.starts.empty()) return 0;
        if (ty.approximateSize > 0)
            return std::min(hi, satAdd(pd.starts.back(), static_cast<uint64_t>(ty.approximateSize) + 1));
        return hi;
    };

    for (uint64_t base = 0; base < volumeBytes && !stopped; base += ioChunk) {
        const uint64_t hi = std::min<uint64_t>(base + ioChunk, volumeBytes);
        if (progress) progress->position(static_cast<int64_t>(base / chunkSize));
        if (stopRequested.load(std::memory_order_relaxed)) {
            stopped = true;
            break;
        }
        // Nothing to test here: neither a sector start nor a pending end.
        if (cur >= hi && active.empty()) continue;

        // Fill [base, base + ioChunk + lookahead), zeros beyond the volume:
        // the chunk with one page-aligned read, then the lookahead.
        const uint64_t want = std::min<uint64_t>(ioChunk + kLookahead, volumeBytes - base);
        const size_t main = static_cast<size_t>(std::min<uint64_t>(ioChunk, want));
        fillChunk(buf, base, main);
        if (want > main) fillChunk(buf + main, base + main, static_cast<size_t>(want - main));
        if (want < ioChunk + kLookahead) std::memset(buf + want, 0, ioChunk + kLookahead - want);

        while (true) {
            if (stopRequested.load(std::memory_order_relaxed)) {
                stopped = true;
                break;
            }
            // The earliest end among the types waiting for one.
            uint64_t bestEnd = kNone;
            uint32_t bestType = 0;
            for (uint32_t t : active) {
                Pending& pd = pendingStarts_[t];
                uint64_t limit = activeLimit(t, hi);
                uint64_t e = kNone;
                if (pd.nextEnd != kNone && pd.nextEnd < base) {
                    // Found beyond the type's reach in an earlier buffer; the
                    // reach only grows with a new start, which searches anew.
                    pd.nextEnd = kNone;
                    pd.searchedTo = std::max(pd.searchedTo, base);
                }
                if (pd.nextEnd != kNone) {
                    e = pd.nextEnd;
                } else if (pd.searchedTo < limit) {
                    uint64_t from = std::max(pd.searchFrom, std::max(pd.searchedTo, base));
                    pd.nextEnd = findEnd(t, from, limit, buf, base);
                    pd.searchedTo = limit;
                    e = pd.nextEnd;
                }
                if (e != kNone && e < limit && e < bestEnd) {
                    bestEnd = e;
                    bestType = t;
                }
            }
            // Sector starts up to and including the end's position come first.
            const uint64_t sectorLimit = bestEnd == kNone ? hi : std::min(hi, bestEnd + 1);
            uint32_t st = 0;
            bool matched = false;
            while (cur < sectorLimit) {
                const uint8_t* p = buf + (cur - base);
                if (!startByFirstByte_[p[0]].empty() && startAt(p, st)) {
                    matched = true;
                    break;
                }
                cur += step;
            }
            if (matched) {
                const uint64_t P = cur;
                const CarveType& T = types_[st];
                const uint8_t* p = buf + (P - base);
                // A start beats any end at the same position.
                for (uint32_t t : active) {
                    Pending& pd = pendingStarts_[t];
                    if (pd.nextEnd == P) {
                        pd.searchFrom = P + 1;
                        pd.nextEnd = kNone;
                        pd.searchedTo = P + 1;
                    }
                }
                if (T.endLength > 0) {
                    Pending& pd = pendingStarts_[st];
                    if (T.startRepeats && !pd.starts.empty() &&
                        (T.approximateSize <= 0 || P - pd.starts.back() <= static_cast<uint64_t>(T.approximateSize))) {
                        // Part of the file that is waiting for its end (a ZIP's
                        // next local header).
                        cur = P + step;
                        continue;
                    }
                    if (pd.starts.empty()) {
                        active.insert(std::lower_bound(active.begin(), active.end(), st), st);
                        pd.searchFrom = P + T.startLength;
                        pd.nextEnd = kNone;
                        pd.searchedTo = pd.searchFrom;
                    } else {
                        pd.searchFrom = std::max(pd.searchFrom, P + T.startLength);
                        if (pd.nextEnd != kNone && pd.nextEnd < pd.searchFrom) pd.nextEnd = kNone;
                        if (pd.searchedTo < pd.searchFrom) {
                            pd.searchedTo = pd.searchFrom;
                            pd.nextEnd = kNone;
                        }
                    }
                    if (pd.starts.size() >= maxPendingPerType) {
                        pd.starts.pop_front();
                        ++droppedStarts_;
                    }
                    pd.starts.push_back(P);
                    cur = P + step;
                } else if (T.sizeLength <= 0) {
                    record(st, P, static_cast<uint64_t>(std::max<int64_t>(T.approximateSize, 0)));
                    uint64_t move = T.skipSize > static_cast<int64_t>(step)
                                        ? static_cast<uint64_t>(T.skipSize) & ~(step - 1)
                                        : step;
                    uint64_t chunkEnd = (P / chunkSize + 1) * chunkSize;
                    cur = std::min(satAdd(P, move), chunkEnd);
                } else {
                    // The size field lies in the sector at P (held in the buffer).
                    int64_t size = 0;
                    if (T.sizeOffset >= 0 && T.sizeOffset <= 508)
                        size = static_cast<int32_t>(le32(p, 512, static_cast<size_t>(T.sizeOffset)));
                    if (size > T.approximateSize) size = 0;
                    if (T.sizeLength == 4 && size > 0) {
                        int64_t total = size + (T.sizeIncludesHeader ? 0 : static_cast<int64_t>(T.headerSize));
                        if (total > T.approximateSize) total = T.approximateSize;
                        if (total > 0) {
                            record(st, P, static_cast<uint64_t>(total));
                            cur = std::max(P + step, alignUp(satAdd(P, static_cast<uint64_t>(total))));
                        } else {
                            cur = P + step;
                        }
                    } else {
                        cur = P + step;
                    }
                }
                continue;
            }
            if (bestEnd == kNone) break;  // this buffer is done
            // An end signature at bestEnd pairs with the type's latest start.
            const uint64_t E = bestEnd;
            const CarveType& T = types_[bestType];
            Pending& pd = pendingStarts_[bestType];
            const uint64_t S = pd.starts.back();
            pd.starts.pop_back();
            uint64_t size = (E - S) + T.endLength + T.bytesAfterEnd;
            if (T.approximateSize > 0 && size > static_cast<uint64_t>(T.approximateSize))
                size = static_cast<uint64_t>(T.approximateSize);
            record(bestType, S, size);
            pd.searchFrom = E + T.endLength;
            pd.nextEnd = kNone;
            pd.searchedTo = pd.searchFrom;
            for (uint32_t t : active) {
                Pending& o = pendingStarts_[t];
                if (t != bestType && o.nextEnd == E) {
                    o.searchFrom = E + 1;
                    o.nextEnd = kNone;
                    o.searchedTo = E + 1;
                }
            }
            if (pd.starts.empty()) active.erase(std::find(active.begin(), active.end(), bestType));
            // Start tests resume after the file's last byte, plus the skip.
            uint64_t resume = alignUp(satAdd(E, static_cast<uint64_t>(T.endLength) + T.bytesAfterEnd));
            if (T.skipSize > static_cast<int64_t>(step)) {
                uint64_t chunkEnd = (resume / chunkSize + 1) * chunkSize;
                resume = std::min(satAdd(resume, static_cast<uint64_t>(T.skipSize) & ~(step - 1)), chunkEnd);
            }
            cur = std::max(cur, resume);
        }
    }
    if (progress) progress->position(static_cast<int64_t>(chunks));

    // Drain: starts still waiting get the type's approximate size.
    for (uint32_t t = 0; t < n; ++t) {
        auto& starts = pendingStarts_[t].starts;
        while (!starts.empty()) {
            uint64_t s = starts.back();
            starts.pop_back();
            if (types_[t].approximateSize > 0) record(t, s, static_cast<uint64_t>(types_[t].approximateSize));
        }
        pendingStarts_[t] = Pending{};
    }
    return true;
}

SaveResult saveFinds(const myJpg& engine, const std::vector<size_t>& indexes, const std::string& outDir,
                     ProgressSink* progress, const std::atomic<bool>* stop) {
    SaveResult res;
    const auto& items = engine.foundItems();
    const auto& types = engine.types();
    std::map<std::string, std::string> folders;   // category → folder path
    NameBook names;                               // names handed out by this save
    std::vector<uint8_t> buf(1 << 20);
    std::string summary = "start\tsize\textension\tcategory\tfile\n";
    if (progress) progress->range(static_cast<int64_t>(indexes.size()));
    int64_t done = 0;
    for (size_t idx : indexes) {
        if (stop && stop->load()) break;
        if (progress) progress->position(done++);
        if (idx >= items.size()) continue;
        const CarvedItem& it = items[idx];
        const CarveType* t = it.type < types.size() ? &types[it.type] : nullptr;
        std::string category = t && !t->category.empty() ? t->category : "Uncategorised";
        std::string ext = t ? t->extension : std::string();
        auto f = folders.find(category);
        if (f == folders.end()) {
            std::string dir = joinPath(outDir, names.claim(outDir, category));
            int err = platform::makeDir(dir);
            if (err) {
                ++res.failed;
                if (res.error.empty()) res.error = category + ": " + std::strerror(err);
                continue;
            }
            f = folders.emplace(category, dir).first;
        }
        // Files already in the folder are left alone.
        const std::string& dir = f->second;
        std::string name = names.claim(dir, std::to_string(it.start) + (ext.empty() ? "" : "." + ext));
        for (int k = 0; k < 10000 && platform::pathExists(joinPath(dir, name)); ++k)
            name = names.claim(dir, std::to_string(it.start) + (ext.empty() ? "" : "." + ext));
        std::string path = joinPath(dir, name);
        platform::OutputFile out;
        if (!out.create(dir)) {
            ++res.failed;
            if (res.error.empty()) res.error = path + ": " + std::strerror(out.error());
            continue;
        }
        uint64_t vol = engine.volumeBytes;
        uint64_t start = it.start, size = it.size;
        if (start >= vol) size = 0;
        else size = std::min(size, vol - start);
        bool ok = true;
        for (uint64_t off = 0; off < size && ok;) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - off));
            engine.volume.read(start + off, buf.data(), n);  // zeros where unreadable
            ok = out.write(buf.data(), n);
            off += n;
        }
        ok = ok && out.commit(name, std::nullopt, std::nullopt);
        if (!ok) {
            ++res.failed;
            if (res.error.empty()) res.error = path + ": " + std::strerror(out.error());
            continue;
        }
        ++res.written;
        res.paths.push_back(path);
        summary += std::to_string(start) + "\t" + std::to_string(size) + "\t" + ext + "\t" + category + "\t" +
                   path + "\n";
    }
    if (progress) progress->position(done);
    platform::writeWholeFile(joinPath(outDir, "carve-summary.txt"), summary.data(), summary.size());
    return res;
}

}  // namespace brantlow::raw
