#include "raw/carve.h"

#include "raw/jpeg_fragments.h"
#include "disk/read_ahead.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "base/bytes.h"
#include "base/names.h"
#include "base/texts.h"
#include "platform/files.h"
#include "platform/output_file.h"

namespace brantlow::raw {

namespace {

constexpr uint64_t kNone = UINT64_MAX;
constexpr size_t kLookahead = 512;  // held beyond each read: size fields and signature windows
constexpr uint64_t kPage = 4096;    // reads start at page boundaries
// Reads overlap by this much: a view of a finder (at most 4096 bytes) from
// a page in a block's last bytes is held whole.
constexpr size_t kReadOverlap = Source::kMaxView + kPage + kLookahead;
constexpr size_t kLookBackBytes = 64 * 1024;
constexpr uint8_t kWildcard = 0x2A;
// A run of zeros this long that reaches a sector boundary ends a cut-off
// file: what follows a file that was cut short is zeroed slack or free space.
constexpr uint64_t kZeroRun = 32;

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

// Pending starts are sector positions: the low bits carry their status.
uint64_t packStart(uint64_t pos, FindStatus s) { return pos | static_cast<uint64_t>(s); }
uint64_t startPos(uint64_t packed) { return packed & ~(myJpg::step - 1); }
FindStatus startStatus(uint64_t packed) { return static_cast<FindStatus>(packed & 3); }

}  // namespace

void CarveArea::assign(std::vector<ByteRange> ranges, uint64_t volumeBytes) {
    ranges_.clear();
    virt_.clear();
    std::sort(ranges.begin(), ranges.end(), [](const ByteRange& a, const ByteRange& b) { return a.start < b.start; });
    for (const ByteRange& r : ranges) {
        uint64_t a = alignUp(r.start), b = satAdd(r.start, r.length);
        b = std::min(b, volumeBytes) & ~(myJpg::step - 1);
        if (a >= b) continue;
        if (!ranges_.empty() && a <= ranges_.back().start + ranges_.back().length) {
            ByteRange& last = ranges_.back();
            last.length = std::max(last.start + last.length, b) - last.start;
        } else {
            ranges_.push_back({a, b - a});
        }
    }
    uint64_t at = 0;
    for (const ByteRange& r : ranges_) virt_.push_back(at += r.length);
}

uint64_t CarveArea::toVolume(uint64_t pos) const {
    if (ranges_.empty()) return pos;
    const size_t i = static_cast<size_t>(std::upper_bound(virt_.begin(), virt_.end(), pos) - virt_.begin());
    if (i >= ranges_.size()) return ranges_.back().start + ranges_.back().length + (pos - virt_.back());
    return ranges_[i].start + (pos - (virt_[i] - ranges_[i].length));
}

uint64_t CarveArea::toArea(uint64_t volumePos) const {
    if (ranges_.empty()) return volumePos;
    auto it = std::upper_bound(ranges_.begin(), ranges_.end(), volumePos,
                               [](uint64_t p, const ByteRange& r) { return p < r.start; });
    if (it == ranges_.begin()) return 0;
    const size_t i = static_cast<size_t>(it - ranges_.begin()) - 1;
    const uint64_t begin = virt_[i] - ranges_[i].length;
    return begin + std::min(volumePos - ranges_[i].start, ranges_[i].length);
}

void CarveArea::read(const VolumeView& v, uint64_t pos, uint8_t* buf, size_t n) const {
    if (ranges_.empty()) {
        v.read(pos, buf, n);
        return;
    }
    size_t i = static_cast<size_t>(std::upper_bound(virt_.begin(), virt_.end(), pos) - virt_.begin());
    while (n > 0) {
        if (i >= ranges_.size()) {
            std::memset(buf, 0, n);
            return;
        }
        const uint64_t begin = virt_[i] - ranges_[i].length;
        const size_t k = static_cast<size_t>(std::min<uint64_t>(n, virt_[i] - pos));
        v.read(ranges_[i].start + (pos - begin), buf, k);
        buf += k;
        pos += k;
        n -= k;
        ++i;
    }
}

CarveType typeFromRecord(const SettingsRecord& r, uint16_t identifier) {
    CarveType t;
    static_cast<SettingsRecord&>(t) = r;
    t.startLength = std::min<uint8_t>(r.startLength, kSignatureMax);
    t.endLength = std::min<uint8_t>(r.endLength, kSignatureMax);
    t.sizeOffset = r.sizeOffset > 0 ? r.sizeOffset : -1;
    t.identifier = identifier;
    t.extensionText = utf16ToUtf8(r.extension);
    t.categoryText = utf16ToUtf8(r.category);
    t.finder = endFinderFor(t.extensionText);
    return t;
}

void myJpg::addRecords(const std::vector<SettingsRecord>& records) {
    for (const auto& r : records) {
        if (types_.size() >= maxTypes) break;
        types_.push_back(typeFromRecord(r, static_cast<uint16_t>(types_.size())));
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
    for (auto& b : startByFirstByte_) b.clear();
    anchored_.clear();
    startInside_.clear();
    byContent_.clear();
    for (size_t j = 0; j < n; ++j) {
        const CarveType& t = types_[j];
        if (t.byContent()) {
            // Only its finder can tell where such a file ends.
            if (t.finder && useEndFinders) byContent_.push_back(static_cast<uint32_t>(j));
            continue;
        }
        // A signature shorter than 2 bytes never matches.
        if (t.startLength < 2) continue;
        StartMatcher m;
        m.type = static_cast<uint32_t>(j);
        uint8_t pat[16]{}, mask[16]{};
        for (size_t i = 0; i < t.startLength; ++i) {
            if (t.startSignature[i] == kWildcard) continue;
            pat[i] = t.startSignature[i];
            mask[i] = 0xFF;
        }
        std::memcpy(m.pat, pat, 16);
        std::memcpy(m.mask, mask, 16);
        const uint32_t at = t.signatureAt();
        if (at % step) {
            // Only an end finder can tell where such a file starts.
            if (useEndFinders && at + 16 <= kLookahead) startInside_.push_back({at, m});
            continue;
        }
        if (at && !useEndFinders) continue;
        if (t.startSignature[0] == kWildcard) {
            size_t k = 0;
            while (k < t.startLength && t.startSignature[k] == kWildcard) ++k;
            if (k == t.startLength) {  // all wildcards: every sector
                for (auto& b : startByFirstByte_) b.push_back(m);
                continue;
            }
            auto g = std::find_if(anchored_.begin(), anchored_.end(), [&](const auto& a) { return a.first == k; });
            if (g == anchored_.end()) {
                anchored_.emplace_back();
                g = anchored_.end() - 1;
                g->first = static_cast<uint32_t>(k);
            }
            g->second[t.startSignature[k]].push_back(m);
        } else {
            startByFirstByte_[t.startSignature[0]].push_back(m);
        }
    }
    pendingStarts_.assign(n, Pending{});
    findsPerType_.assign(n, 0);
    initialized_ = true;
    return true;
}

std::string myJpg::itemText(const CarvedItem& item) const {
    std::string ext = item.type < types_.size() ? types_[item.type].extensionText : std::string();
    return std::to_string(item.start) + " ." + ext;
}

std::string myJpg::extensionOf(const CarvedItem& item) const {
    if (item.detected) return item.detected;
    return item.type < types_.size() ? types_[item.type].extensionText : std::string();
}

// p has at least 16 readable bytes.
bool myJpg::startAt(const uint8_t* p, uint32_t& type) const {
    uint64_t w[2];
    std::memcpy(w, p, 16);
    uint32_t best = UINT32_MAX;
    auto first = [&](const std::vector<StartMatcher>& bucket) {
        for (const StartMatcher& m : bucket) {
            if (m.type >= best) return;
            if ((w[0] & m.mask[0]) == m.pat[0] && (w[1] & m.mask[1]) == m.pat[1]) {
                best = m.type;
                return;
            }
        }
    };
    first(startByFirstByte_[p[0]]);
    for (const auto& [k, table] : anchored_) first(table[p[k]]);
    if (best == UINT32_MAX) return false;
    type = best;
    return true;
}

// p has at least 512 readable bytes.
bool myJpg::startInside(const uint8_t* p, uint32_t& type) const {
    for (const auto& [off, m] : startInside_) {
        uint64_t w[2];
        std::memcpy(w, p + off, 16);
        if ((w[0] & m.mask[0]) == m.pat[0] && (w[1] & m.mask[1]) == m.pat[1]) {
            type = m.type;
            return true;
        }
    }
    return false;
}

// p has at least 512 readable bytes; tested where no signature matched.
bool myJpg::startByContent(const uint8_t* p, uint32_t& type) const {
    if (byContent_.empty() || !opensWithText(p)) return false;
    type = byContent_.front();
    return true;
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

const std::string& myJpg::labelOf(const CarvedItem& item) const {
    static const std::string none;
    return item.label && item.label <= labels_.size() ? labels_[item.label - 1] : none;
}

const std::string& myJpg::categoryOf(const CarvedItem& item) const {
    static const std::string twoPieces = kTwoPiecesCategory, none;
    if (item.gapSectors) return twoPieces;
    return item.type < types_.size() ? types_[item.type].categoryText : none;
}

std::string myJpg::outputName(const CarvedItem& item) const {
    const std::string ext = extensionOf(item);
    const std::string& label = labelOf(item);
    return (label.empty() ? "" : label + " ") + std::to_string(item.start) + (ext.empty() ? "" : "." + ext);
}

void myJpg::record(uint32_t type, uint64_t start, uint64_t size, FindStatus status, const char* detected,
                   const std::string& label, uint64_t firstLength, uint64_t gap) {
    if (type >= types_.size() || start >= scanBytes_) return;
    if (findsPerType_[type] >= maxFindsPerType) return;
    ++findsPerType_[type];
    if (gap && (firstLength % step || gap % step || start + firstLength + gap >= scanBytes_ ||
                firstLength / step > UINT32_MAX || gap / step > UINT32_MAX))
        return;
    size = std::min<uint64_t>(size, scanBytes_ - start - gap);
    CarvedItem item{area_.toVolume(start), size, type, status, detected};
    item.firstSectors = static_cast<uint32_t>(firstLength / step);
    item.gapSectors = static_cast<uint32_t>(gap / step);
    if (!label.empty()) {
        labels_.push_back(label);
        item.label = static_cast<uint32_t>(labels_.size());
    }
    found_.push_back(item);
    const CarveType& t = types_[type];
    const std::string& category = categoryOf(item);
    uint64_t count = ++categoryCounts_[category];
    if (sink) sink->itemFound(found_.size() - 1, item, itemText(item), category, count);
}

// Reads count bytes at pos into buf (zeros where nothing could be read). A
// failed or short read is retried sector by sector, so that only the
// unreadable sectors are zeros.
void myJpg::fillChunk(uint8_t* buf, uint64_t pos, size_t count) const {
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

// The same for positions in the carve area.
void myJpg::fillArea(uint8_t* buf, uint64_t pos, size_t count) const {
    if (area_.whole()) {
        fillChunk(buf, pos, count);
        return;
    }
    const auto& r = area_.ranges();
    while (count > 0) {
        const uint64_t at = area_.toVolume(pos);
        // The bytes left in the range holding at.
        auto it = std::upper_bound(r.begin(), r.end(), at, [](uint64_t p, const ByteRange& x) { return p < x.start; });
        if (it == r.begin() || at >= (it - 1)->start + (it - 1)->length) {
            std::memset(buf, 0, count);
            return;
        }
        --it;
        const size_t k = static_cast<size_t>(std::min<uint64_t>(count, it->start + it->length - at));
        fillChunk(buf, at, k);
        buf += k;
        pos += k;
        count -= k;
    }
}

void myJpg::readFind(const CarvedItem& item, uint64_t off, uint8_t* buf, size_t n) const {
    const uint64_t at = area_.toArea(item.start);
    const uint64_t first = uint64_t{item.firstSectors} * step, gap = uint64_t{item.gapSectors} * step;
    if (gap && off < first && off + n > first) {  // across the gap
        const size_t k = static_cast<size_t>(first - off);
        area_.read(volume, at + off, buf, k);
        area_.read(volume, at + first + gap, buf + k, n - k);
        return;
    }
    area_.read(volume, at + off + (gap && off >= first ? gap : 0), buf, n);
}

std::vector<std::pair<uint64_t, uint64_t>> myJpg::pieces(const CarvedItem& item) const {
    const uint64_t at = area_.toArea(item.start);
    const uint64_t first = uint64_t{item.firstSectors} * step, gap = uint64_t{item.gapSectors} * step;
    // The stretches of the area the find covers, each mapped to the volume
    // (the area's ranges split them further), adjacent ones merged.
    std::vector<std::pair<uint64_t, uint64_t>> out;
    auto add = [&](uint64_t from, uint64_t len) {
        while (len > 0) {
            const uint64_t v = area_.toVolume(from);
            uint64_t run = len;
            if (!area_.whole()) {
                const auto& r = area_.ranges();
                auto it = std::upper_bound(r.begin(), r.end(), v, [](uint64_t p, const ByteRange& x) { return p < x.start; });
                if (it != r.begin()) run = std::min(run, (it - 1)->start + (it - 1)->length - v);
                if (run == 0) run = len;
            }
            if (!out.empty() && out.back().first + out.back().second == v) out.back().second += run;
            else out.push_back({v, run});
            from += run;
            len -= run;
        }
    };
    if (!gap) {
        add(at, item.size);
    } else {
        add(at, first);
        add(at + first + gap, item.size - first);
    }
    return out;
}

// Categories: one item per distinct category, counts start at 0. The finds
// of earlier scans stay in foundItems.
void myJpg::setUpCategories() {
    for (const auto& t : types_) {
        bool fresh = categoryCounts_.find(t.categoryText) == categoryCounts_.end();
        categoryCounts_[t.categoryText] = 0;
        if (fresh && sink) sink->categoryAdded(t.categoryText);
    }
    for (auto& [k, v] : categoryCounts_) v = 0;
    std::fill(findsPerType_.begin(), findsPerType_.end(), 0);
}

// Starts still waiting at the end of the scan get the type's approximate
// size (and are dropped without one).
void myJpg::drain() {
    for (uint32_t t = 0; t < types_.size(); ++t) {
        auto& starts = pendingStarts_[t].starts;
        while (!starts.empty()) {
            uint64_t s = starts.back();
            starts.pop_back();
            if (types_[t].approximateSize > 0)
                record(t, startPos(s), static_cast<uint64_t>(types_[t].approximateSize), startStatus(s), nullptr);
        }
        pendingStarts_[t] = Pending{};
    }
}

// ---------------------------------------------------------------------------
// One scan: the read buffer and the scan position.

struct myJpg::Scan {
    myJpg& e;
    ReadAhead& reads;
    const uint8_t* buf = nullptr;
    const uint8_t* marks = nullptr;  // per sector of buf: a start signature may match there
    const uint64_t V;
    uint64_t base = 0;  // the buffer holds [base, base + held), zeros after
    uint64_t held = 0;
    uint64_t hi = 0;    // start tests and end searches of this buffer stop here
    bool loaded = false;
    uint64_t cur = 0;   // next sector start to test
    bool stopped = false;
    std::vector<uint32_t> active;  // types with pending starts, in type order
    std::vector<uint8_t> back;     // bytes behind the buffer that a finder asked for
    uint64_t backBase = kNone, backHeld = 0;

    Scan(myJpg& engine, ReadAhead& r) : e(engine), reads(r), V(engine.scanBytes_) { active.reserve(e.types_.size()); }

    void run();
    CarveProgress progressAt(uint64_t next) const;
    void load(uint64_t at);
    void scanBuffer();
    uint64_t earliestEnd(uint32_t& type);
    void onStart(uint64_t P, uint32_t type);
    void onEnd(uint64_t E, uint32_t type);
    bool delimitByStructure(uint64_t P, uint32_t type, FindStatus& mark);
    uint64_t cutTruncated(uint64_t P, const EndResult& r);
    void ensureHeld(uint64_t pos);
    const uint8_t* lookBack(uint64_t pos, size_t want, size_t& len);
    uint64_t activeLimit(uint32_t t, uint64_t upTo) const {
        const Pending& pd = e.pendingStarts_[t];
        const CarveType& ty = e.types_[t];
        if (pd.starts.empty()) return 0;
        if (ty.approximateSize > 0)
            return std::min(upTo, satAdd(startPos(pd.starts.back()), static_cast<uint64_t>(ty.approximateSize) + 1));
        return upTo;
    }
};

// An end finder's view of the volume: bytes from the candidate's start,
// served from the scan's buffer, which moves forward as the finder walks;
// bytes behind the buffer come from a small separate read.
class myJpg::Window : public Source {
public:
    Window(Scan& scan, uint64_t start, uint64_t limit) : Source(limit), scan_(scan), start_(start) {}

protected:
    const uint8_t* fetch(uint64_t off, size_t want, size_t& len) override {
        if (scan_.e.stopRequested.load(std::memory_order_relaxed)) {
            stopped_ = true;
            return nullptr;
        }
        const uint64_t pos = start_ + off;  // below the volume's end: limit() keeps it there
        Scan& s = scan_;
        if (pos >= s.base && pos + want <= s.base + s.held) {
            len = static_cast<size_t>(s.base + s.held - pos);
            return s.buf + (pos - s.base);
        }
        if (pos >= s.base) {  // ahead: the buffer moves there
            s.load(pos & ~(kPage - 1));
            len = static_cast<size_t>(s.base + s.held - pos);
            return s.buf + (pos - s.base);
        }
        return s.lookBack(pos, want, len);
    }

private:
    Scan& scan_;
    uint64_t start_;
};

// The buffer from at (a page boundary below the volume's end): the chunk
// and the lookahead, read ahead on the second thread; zeros beyond the volume.
void myJpg::Scan::load(uint64_t at) {
    size_t avail = 0;
    buf = reads.get(at, avail);
    marks = reads.marks(at);
    base = at;
    // Start tests stop where the block's own bytes end; the bytes after
    // them (a read's overlap) serve signature windows and finders' views.
    hi = std::min<uint64_t>({at + ioChunk, at + avail - kReadOverlap, V});
    held = std::min<uint64_t>(avail, V - at);
    loaded = true;
    if (e.progress) e.progress->position(static_cast<int64_t>(at / chunkSize));
}

const uint8_t* myJpg::Scan::lookBack(uint64_t pos, size_t want, size_t& len) {
    if (!(pos >= backBase && pos + want <= backBase + backHeld)) {
        back.resize(kLookBackBytes);
        backBase = pos & ~(step - 1);
        backHeld = std::min<uint64_t>(kLookBackBytes, V - backBase);
        e.fillArea(back.data(), backBase, static_cast<size_t>(backHeld));  // zeros where unreadable
    }
    len = static_cast<size_t>(backBase + backHeld - pos);
    return back.data() + (pos - backBase);
}

// After a finder moved the buffer: the sector at pos must be held again.
void myJpg::Scan::ensureHeld(uint64_t pos) {
    if (pos >= base && pos < hi) return;
    if (pos >= V) return;
    load(pos & ~(kPage - 1));
}

void myJpg::Scan::run() {
    uint64_t next = 0;
    if (e.resume_) {
        next = e.resume_->next;
        cur = e.resume_->cur;
        for (uint32_t t = 0; t < e.types_.size(); ++t)
            if (!e.pendingStarts_[t].starts.empty()) active.push_back(t);
    }
    while (!stopped) {
        if (!loaded && e.checkpoint && e.checkpointDue && e.checkpointDue()) e.checkpoint(progressAt(next));
        if (!loaded || cur >= hi) {
            // The next buffer: where the last one ended, or where the scan
            // position jumped to when nothing waits for an end.
            if (loaded) next = hi;
            if (active.empty() && cur >= V) break;
            if (active.empty() && cur > next) next = std::max(next, cur & ~(kPage - 1));
            if (next >= V) break;
            if (e.progress) e.progress->position(static_cast<int64_t>(next / chunkSize));
            if (e.stopRequested.load(std::memory_order_relaxed)) {
                stopped = true;
                break;
            }
            load(next);
        }
        scanBuffer();
        if (!stopped) {
            if (loaded) next = hi;
            loaded = false;
        }
    }
    if (e.progress) e.progress->position(static_cast<int64_t>(V / chunkSize + (V % chunkSize ? 1 : 0)));
}

CarveProgress myJpg::Scan::progressAt(uint64_t next) const {
    CarveProgress p;
    p.next = next;
    p.cur = cur;
    p.grid = reads.origin();
    p.waiting.reserve(e.pendingStarts_.size());
    for (const Pending& pd : e.pendingStarts_)
        p.waiting.push_back({{pd.starts.begin(), pd.starts.end()}, pd.searchFrom, pd.nextEnd, pd.searchedTo});
    p.findsPerType = e.findsPerType_;
    p.categoryCounts.assign(e.categoryCounts_.begin(), e.categoryCounts_.end());
    p.droppedStarts = e.droppedStarts_;
    return p;
}

// The earliest end among the types waiting for one, within this buffer.
uint64_t myJpg::Scan::earliestEnd(uint32_t& bestType) {
    uint64_t bestEnd = kNone;
    for (uint32_t t : active) {
        Pending& pd = e.pendingStarts_[t];
        const uint64_t limit = activeLimit(t, hi);
        uint64_t end = kNone;
        if (pd.nextEnd != kNone && pd.nextEnd < base) {
            // Found beyond the type's reach in an earlier buffer; the reach
            // only grows with a new start, which searches anew.
            pd.nextEnd = kNone;
            pd.searchedTo = std::max(pd.searchedTo, base);
        }
        if (pd.nextEnd != kNone) {
            end = pd.nextEnd;
        } else if (pd.searchedTo < limit) {
            const uint64_t from = std::max(pd.searchFrom, std::max(pd.searchedTo, base));
            pd.nextEnd = e.findEnd(t, from, limit, buf, base);
            pd.searchedTo = limit;
            end = pd.nextEnd;
        }
        if (end != kNone && end < limit && end < bestEnd) {
            bestEnd = end;
            bestType = t;
        }
    }
    return bestEnd;
}

// Sector starts and pending ends of the held buffer, in position order.
void myJpg::Scan::scanBuffer() {
    while (true) {
        if (e.stopRequested.load(std::memory_order_relaxed)) {
            stopped = true;
            return;
        }
        uint32_t endType = 0;
        const uint64_t bestEnd = earliestEnd(endType);
        // Sector starts up to and including the end's position come first.
        const uint64_t sectorLimit = bestEnd == kNone ? hi : std::min(hi, bestEnd + 1);
        uint32_t type = 0;
        bool matched = false;
        // The reading thread marked the sectors at which a start matches.
        while (cur < sectorLimit) {
            const uint8_t* m = marks + (cur - base) / step;
            const size_t left = static_cast<size_t>((sectorLimit - cur + step - 1) / step);
            const void* hit = std::memchr(m, 1, left);
            if (!hit) {
                cur += left * step;
                break;
            }
            cur += static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - m) * step;
            const uint8_t* p = buf + (cur - base);
            if (e.startAt(p, type) || e.startInside(p, type) || e.startByContent(p, type)) {
                matched = true;
                break;
            }
            cur += step;
        }
        if (matched) {
            onStart(cur, type);
            // A finder may have moved the buffer; the next sector to test
            // must be in it.
            if (cur < base || cur >= hi) {
                if (cur >= V || (active.empty() && cur >= base + held)) return;
                ensureHeld(cur);
            }
            continue;
        }
        if (bestEnd == kNone) return;  // this buffer is done
        onEnd(bestEnd, endType);
    }
}

// Rules at a start of type st at sector position P.
void myJpg::Scan::onStart(uint64_t P, uint32_t st) {
    const CarveType& T = e.types_[st];
    // A start beats any end at the same position (text is only a guess).
    for (uint32_t t : active) {
        Pending& pd = e.pendingStarts_[t];
        if (pd.nextEnd == P && !T.byContent()) {
            pd.searchFrom = P + 1;
            pd.nextEnd = kNone;
            pd.searchedTo = P + 1;
        }
    }
    if (T.byContent() && !(T.finder && e.useEndFinders)) {
        cur = P + step;
        return;
    }
    FindStatus mark = FindStatus::Unchecked;
    if (T.finder && e.useEndFinders) {
        // The file starts where its signature says: at the sector that
        // matched, or that far before it.
        const uint32_t at = T.signatureAt();
        uint64_t S = P;
        if (at && at % step == 0) {
            if (P < at) {
                cur = P + step;
                return;
            }
            S = P - at;
        }
        if (delimitByStructure(S, st, mark)) {
            cur = std::max(cur, P + step);
            return;
        }
        // Such a file is no find without its finder; nor is a weak
        // signature's start that fails its check.
        if (at || T.byContent() || (T.dropInvalid() && mark == FindStatus::Invalid)) {
            cur = P + step;
            return;
        }
        ensureHeld(P);  // the rules below read the sector at P
    }
    const uint8_t* p = buf + (P - base);
    if (T.endLength > 0) {
        Pending& pd = e.pendingStarts_[st];
        if (T.startRepeats() && !pd.starts.empty() &&
            (T.approximateSize <= 0 || P - startPos(pd.starts.back()) <= static_cast<uint64_t>(T.approximateSize))) {
            // Part of the file that is waiting for its end (a ZIP's next
            // local header).
            cur = P + step;
            return;
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
            ++e.droppedStarts_;
        }
        pd.starts.push_back(packStart(P, mark));
        cur = P + step;
    } else if (T.sizeLength <= 0) {
        e.record(st, P, static_cast<uint64_t>(std::max<int64_t>(T.approximateSize, 0)), mark, nullptr);
        uint64_t move = T.skipSize > static_cast<int64_t>(step) ? static_cast<uint64_t>(T.skipSize) & ~(step - 1)
                                                                : step;
        uint64_t chunkEnd = (P / chunkSize + 1) * chunkSize;
        cur = std::min(satAdd(P, move), chunkEnd);
    } else {
        // The size field lies in the sector at P (held in the buffer).
        int64_t size = 0;
        if (T.sizeOffset >= 0 && T.sizeOffset <= 508)
            size = static_cast<int32_t>(le32(p, 512, static_cast<size_t>(T.sizeOffset)));
        if (size > T.approximateSize) size = 0;
        cur = P + step;
        if (T.sizeLength == 4 && size > 0) {
            int64_t total = size + (T.sizeIncludesHeader ? 0 : static_cast<int64_t>(T.headerSize));
            if (total > T.approximateSize) total = T.approximateSize;
            if (total > 0) {
                e.record(st, P, static_cast<uint64_t>(total), mark, nullptr);
                cur = std::max(P + step, alignUp(satAdd(P, static_cast<uint64_t>(total))));
            }
        }
    }
}

// An end signature at E pairs with the type's latest start.
void myJpg::Scan::onEnd(uint64_t E, uint32_t bestType) {
    const CarveType& T = e.types_[bestType];
    Pending& pd = e.pendingStarts_[bestType];
    const uint64_t S = pd.starts.back();
    pd.starts.pop_back();
    uint64_t size = (E - startPos(S)) + T.endLength + T.bytesAfterEnd;
    if (T.approximateSize > 0 && size > static_cast<uint64_t>(T.approximateSize))
        size = static_cast<uint64_t>(T.approximateSize);
    e.record(bestType, startPos(S), size, startStatus(S), nullptr);
    pd.searchFrom = E + T.endLength;
    pd.nextEnd = kNone;
    pd.searchedTo = pd.searchFrom;
    for (uint32_t t : active) {
        Pending& o = e.pendingStarts_[t];
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

// The type's end finder walks the file from P. True when that delimited the
// find (recorded, scan position past it); false when the start is to be
// delimited by the signature and size rules, with mark set to what the
// finder said (Invalid: the format's check failed; Unchecked: it could not
// tell, or the scan was stopped).
bool myJpg::Scan::delimitByStructure(uint64_t P, uint32_t st, FindStatus& mark) {
    const CarveType& T = e.types_[st];
    uint64_t limit = V - P;
    if (T.approximateSize > 0) limit = std::min(limit, static_cast<uint64_t>(T.approximateSize));
    Window w(*this, P, limit);
    EndResult r = T.finder->find(w);
    if (w.stopped() || e.stopRequested.load(std::memory_order_relaxed)) {
        mark = FindStatus::Unchecked;
        return false;
    }
    if (r.status != FindStatus::Complete && r.status != FindStatus::Truncated) {
        mark = r.status;
        return false;
    }
    if (r.status == FindStatus::Complete && r.doubtful && T.finder->find == findJpegEnd) {
        // Decoded to be sure: data between the pieces of a photo can pass
        // for its scan data up to the EOI of the second piece.
        Window check(*this, P, limit);
        uint64_t failAt = 0;
        if (!jpegDecodes(check, failAt) && !check.stopped()) {
            r.status = FindStatus::Truncated;
            r.size = std::min(failAt, limit);
            r.weakFrom = 0;
        }
    }
    uint64_t size = std::min(r.size, limit);
    if (r.status == FindStatus::Truncated && T.finder->find == findJpegEnd && e.maxFragmentGap) {
        // A photo in two pieces: listed whole, beside its first piece.
        Window all(*this, P, V - P);
        JpegSplice sp;
        if (findJpegSecondFragment(all, e.maxFragmentGap, sp) && !all.stopped() && sp.size <= limit)
            e.record(st, P, sp.size, FindStatus::Complete, r.type, r.label, sp.firstLength, sp.gap);
    }
    if (r.status == FindStatus::Truncated) size = cutTruncated(P, r);
    if (size == 0) {
        mark = FindStatus::Invalid;
        return false;
    }
    e.record(st, P, size, r.status, r.type, r.label);
    cur = std::max(P + step, alignUp(P + size));
    return true;
}

// A cut-off file ends where its unchecked part reaches the next sector at
// which another file starts, or a run of zeros that reaches a sector
// boundary, whichever comes first.
uint64_t myJpg::Scan::cutTruncated(uint64_t P, const EndResult& r) {
    const uint64_t size = std::min(r.size, V - P);
    // Reads may pass the find's end: a start signature's bytes lie there.
    Window w(*this, P, V - P);
    uint64_t zeros = kNone;  // start of the current run of zeros
    auto track = [&](uint64_t from, uint64_t to) -> bool {
        while (from < to) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(to - from, step));
            const uint8_t* q = w.view(from, n);
            if (!q) return false;
            for (size_t i = 0; i < n; ++i) {
                if (q[i] != 0) zeros = kNone;
                else if (zeros == kNone) zeros = from + i;
            }
            from += n;
        }
        return true;
    };
    const uint64_t weak = std::min(r.weakFrom, size);
    const uint64_t first = std::min(alignUp(P + weak) - P, size);
    if (!track(weak, first)) return size;
    for (uint64_t o = first; o < size; o += step) {
        if (o > 0) {
            if (zeros != kNone && o - zeros >= kZeroRun) return zeros;
            const size_t n = static_cast<size_t>(std::min<uint64_t>(16, V - P - o));
            uint8_t win[16]{};
            if (const uint8_t* q = w.view(o, n)) std::memcpy(win, q, n);
            uint32_t t;
            if (e.startAt(win, t)) return o;
        }
        if (!track(o, std::min(o + step, size))) return size;
    }
    // Zeros up to the find's end: they count when they go on to the next
    // sector boundary.
    if (zeros != kNone) {
        const uint64_t boundary = std::min(alignUp(P + size) - P, V - P);
        if (track(size, boundary) && zeros != kNone && boundary - zeros >= kZeroRun) return zeros;
    }
    return size;
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
    // Leftovers of an earlier scan are gone.
    for (auto& p : pendingStarts_) p = Pending{};
    setUpCategories();
    if (resume_) {
        // Where the checkpoint left the scan.
        for (size_t t = 0; t < pendingStarts_.size(); ++t) {
            const CarveProgress::Waiting& w = resume_->waiting[t];
            pendingStarts_[t].starts.assign(w.starts.begin(), w.starts.end());
            pendingStarts_[t].searchFrom = w.searchFrom;
            pendingStarts_[t].nextEnd = w.nextEnd;
            pendingStarts_[t].searchedTo = w.searchedTo;
        }
        findsPerType_ = resume_->findsPerType;
        for (const auto& [category, n] : resume_->categoryCounts) categoryCounts_[category] = n;
        droppedStarts_ = resume_->droppedStarts;
    }

    scanBytes_ = area_.whole() ? volumeBytes : area_.size();
    const uint64_t chunks = scanBytes_ / chunkSize + (scanBytes_ % chunkSize ? 1 : 0);
    if (progress) {
        progress->range(1000);
        progress->range(static_cast<int64_t>(chunks));
    }
    std::unique_ptr<ReadAhead> reads;
    try {
        reads = std::make_unique<ReadAhead>(
            [this](uint8_t* b, uint64_t pos, size_t n) {
                fillArea(b, pos, n);
                return uint64_t{0};
            }, scanBytes_, readBlock,
            kReadOverlap, readSlots, [this](const uint8_t* b, size_t n, uint8_t* flags) {
                uint32_t t;
                for (size_t o = 0, i = 0; o < n; o += step, ++i)
                    flags[i] = startAt(b + o, t) || (!startInside_.empty() && startInside(b + o, t)) ||
                               (!byContent_.empty() && opensWithText(b + o));
            });
    } catch (const std::exception&) {
        messageSink().info("not properly initialized");
        return false;
    }
    if (resume_) reads->grid(resume_->grid);
    Scan scan(*this, *reads);
    scan.run();
    drain();
    return true;
}

CarveProgress myJpg::endState() const {
    CarveProgress p;
    p.next = p.cur = scanBytes_;
    p.waiting.resize(types_.size());
    p.findsPerType = findsPerType_;
    p.categoryCounts.assign(categoryCounts_.begin(), categoryCounts_.end());
    p.droppedStarts = droppedStarts_;
    return p;
}

bool myJpg::resumeFrom(CarveProgress p, std::vector<CarvedItem> found, const std::vector<std::string>& detected,
                       std::vector<std::string> labels) {
    if (!initialized_ && !initialize()) return false;
    const uint64_t scanned = area_.whole() ? volumeBytes : area_.size();
    if (p.waiting.size() != types_.size() || p.findsPerType.size() != types_.size() || detected.size() != found.size() ||
        p.next > scanned || p.cur > scanned + step || (p.next % step && p.next != scanned) || p.grid > p.next)
        return false;
    for (const auto& w : p.waiting)
        if (w.starts.size() > maxPendingPerType) return false;
    for (const CarvedItem& it : found)
        if (it.type >= types_.size() || it.label > labels.size()) return false;
    found_ = std::move(found);
    for (size_t i = 0; i < found_.size(); ++i) {
        found_[i].detected = nullptr;
        if (detected[i].empty()) continue;
        if (detectedTexts_.empty() || detectedTexts_.back() != detected[i]) detectedTexts_.push_back(detected[i]);
        found_[i].detected = detectedTexts_.back().c_str();
    }
    labels_ = std::move(labels);
    resume_ = std::make_unique<CarveProgress>(std::move(p));
    return true;
}

namespace {

// One find to write: where and under which name, and how it went.
struct SaveJob {
    size_t index = 0;        // in foundItems
    const CarvedItem* item = nullptr;
    size_t folder = 0;       // index in the save's folders
    std::string wanted;      // the name before sanitising
    std::string name;        // the name claimed for it
    uint64_t size = 0;       // bytes written: never beyond the volume (or the carved area)
    bool written = false;
    std::string what;        // what failed (a path or a category), when it did
    int err = 0;
};

struct SaveFolder {
    std::string path;
    platform::OutputFolder held;
    int err = 0;  // the folder could not be made
};

}  // namespace

SaveResult saveFinds(const myJpg& engine, const std::vector<size_t>& indexes, const std::string& outDir,
                     ProgressSink* progress, const std::atomic<bool>* stop, EarlyFinds* early) {
    SaveResult res;
    const auto& items = engine.foundItems();
    const auto& types = engine.types();
    NameBook names;  // names handed out by this save
    std::mutex namesLock;
    // The folders and names, in the order given (the names do not depend
    // on which writer gets to a find first).
    std::deque<SaveFolder> folders;
    std::map<std::string, size_t> folderOf;  // category → index in folders
    std::vector<SaveJob> jobs;
    jobs.reserve(indexes.size());
    const uint64_t vol = engine.area().whole() ? engine.volumeBytes : engine.area().size();
    for (size_t idx : indexes) {
        if (idx >= items.size()) continue;
        SaveJob job;
        job.index = idx;
        job.item = &items[idx];
        const std::string& category = !engine.categoryOf(*job.item).empty() ? engine.categoryOf(*job.item)
                                                                            : std::string("Uncategorised");
        auto f = folderOf.find(category);
        if (f == folderOf.end() || folders[f->second].err) {
            // A folder that could not be made is tried again for each find.
            SaveFolder& folder = folders.emplace_back();
            folder.path = joinPath(outDir, names.claim(outDir, category));
            folder.err = platform::makeDir(folder.path);
            if (!folder.err) folder.held.hold(folder.path);
            folderOf[category] = folders.size() - 1;
            f = folderOf.find(category);
        }
        job.folder = f->second;
        if (folders[job.folder].err) {
            job.what = category;
            job.err = folders[job.folder].err;
        } else {
            job.wanted = engine.outputName(*job.item);
            job.name = names.claim(folders[job.folder].path, job.wanted);
        }
        const uint64_t at = engine.area().toArea(job.item->start);
        job.size = at >= vol ? 0 : std::min(job.item->size, vol - at);
        jobs.push_back(std::move(job));
    }

    // Two writers where there are two cores: the finds are taken in turn.
    std::atomic<size_t> next{0};
    std::atomic<int64_t> done{0};
    // Files already in the folder are left alone: the find takes the next
    // free name.
    auto giveName = [&](platform::OutputFile& out, SaveJob& job, SaveFolder& folder) {
        for (int k = 0; k < 10000; ++k) {
            if (!out.unnamed()) {
                std::lock_guard<std::mutex> lk(namesLock);
                for (int j = 0; j < 10000 && platform::pathExists(joinPath(folder.path, job.name)); ++j)
                    job.name = names.claim(folder.path, job.wanted);
            }
            if (out.commit(job.name, std::nullopt, std::nullopt, false, &folder.held)) return true;
            if (!out.unnamed() || out.error() != EEXIST) return false;
            std::lock_guard<std::mutex> lk(namesLock);
            job.name = names.claim(folder.path, job.wanted);
        }
        return false;
    };
    auto writeOne = [&](SaveJob& job, std::vector<uint8_t>& buf) {
        if (job.err) return;
        SaveFolder& folder = folders[job.folder];
        // Written while the scan went on: only its name is given here (when
        // it cannot be linked in there, it is written again).
        if (std::unique_ptr<platform::OutputFile> pre = early ? early->take(job.index) : nullptr) {
            if (pre->size() == job.size && giveName(*pre, job, folder)) {
                job.written = true;
                return;
            }
        }
        platform::OutputFile out;
        if (!out.create(folder.path, &folder.held)) {
            job.what = joinPath(folder.path, job.name);
            job.err = out.error();
            return;
        }
        bool ok = true;
        for (uint64_t off = 0; off < job.size && ok;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), job.size - off));
            engine.readFind(*job.item, off, buf.data(), n);  // zeros where unreadable
            ok = out.write(buf.data(), n);
            off += n;
        }
        bool named = ok && giveName(out, job, folder);
        if (!named) {
            job.what = joinPath(folder.path, job.name);
            job.err = out.error() ? out.error() : EEXIST;
            return;
        }
        job.written = true;
    };
    auto writer = [&](bool reports) {
        std::vector<uint8_t> buf(1 << 20);
        while (true) {
            if (stop && stop->load()) break;
            const size_t i = next.fetch_add(1);
            if (i >= jobs.size()) break;
            writeOne(jobs[i], buf);
            const int64_t d = done.fetch_add(1) + 1;
            if (reports && progress) progress->position(d);
        }
    };
    if (progress) progress->range(static_cast<int64_t>(indexes.size()));
    {
        std::thread second;
        if (jobs.size() > 1 && std::thread::hardware_concurrency() > 1) {
            try {
                second = std::thread(writer, false);
            } catch (const std::exception&) {
                // One writer, then.
            }
        }
        writer(true);
        if (second.joinable()) second.join();
    }
    if (progress) progress->position(done.load());

    std::string summary = "start\tsize\textension\ttype\tstatus\tcategory\tfile\n";
    const size_t taken = std::min(next.load(), jobs.size());
    for (size_t i = 0; i < taken; ++i) {
        const SaveJob& job = jobs[i];
        if (!job.written) {
            if (!job.err) continue;  // stopped before it
            ++res.failed;
            if (res.error.empty()) res.error = job.what + ": " + std::strerror(job.err);
            continue;
        }
        const CarvedItem& it = *job.item;
        const CarveType* t = it.type < types.size() ? &types[it.type] : nullptr;
        const std::string path = joinPath(folders[job.folder].path, job.name);
        ++res.written;
        res.paths.push_back(path);
        const std::string& category = !engine.categoryOf(it).empty() ? engine.categoryOf(it)
                                                                     : std::string("Uncategorised");
        summary += std::to_string(it.start) + "\t" + std::to_string(job.size) + "\t" + (t ? t->extensionText : "") +
                   "\t" + engine.extensionOf(it) + "\t" + statusText(it.status) + "\t" + category + "\t" + path +
                   "\n";
    }
    platform::writeWholeFile(joinPath(outDir, "carve-summary.txt"), summary.data(), summary.size());
    return res;
}

EarlyFinds::EarlyFinds(const myJpg& engine, const std::string& outDir, size_t maxFiles)
    : engine_(engine), maxFiles_(maxFiles) {
    usable_ = folder_.hold(outDir) && maxFiles_ > 0;
    try {
        for (int i = 0; i < 2 && usable_; ++i) threads_.emplace_back([this] { run(); });
    } catch (const std::exception&) {
        // Fewer writers, or none: saveFinds writes the rest.
    }
}

EarlyFinds::~EarlyFinds() { finish(); }

void EarlyFinds::offer(size_t index, const CarvedItem& item) {
    if (!usable_ || offered_ >= maxFiles_) return;
    ++offered_;
    std::lock_guard<std::mutex> lk(m_);
    if (quit_) return;
    queue_.emplace_back(index, item);
    cv_.notify_one();
}

void EarlyFinds::finish() {
    {
        std::lock_guard<std::mutex> lk(m_);
        quit_ = true;
        queue_.clear();
    }
    cv_.notify_all();
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
}

std::unique_ptr<platform::OutputFile> EarlyFinds::take(size_t index) {
    std::lock_guard<std::mutex> lk(m_);
    auto it = files_.find(index);
    if (it == files_.end()) return nullptr;
    auto f = std::move(it->second);
    files_.erase(it);
    return f;
}

size_t EarlyFinds::written() const {
    std::lock_guard<std::mutex> lk(m_);
    return files_.size();
}

void EarlyFinds::run() {
    std::vector<uint8_t> buf(1 << 20);
    const uint64_t vol = engine_.area().whole() ? engine_.volumeBytes : engine_.area().size();
    std::unique_lock<std::mutex> lk(m_);
    while (true) {
        cv_.wait(lk, [&] { return quit_ || !queue_.empty(); });
        if (quit_) return;
        const auto [index, item] = queue_.front();
        queue_.pop_front();
        lk.unlock();
        auto out = std::make_unique<platform::OutputFile>();
        bool ok = out->create(folder_.path(), &folder_) && out->unnamed();
        const uint64_t at = engine_.area().toArea(item.start);
        const uint64_t size = at >= vol ? 0 : std::min(item.size, vol - at);
        for (uint64_t off = 0; off < size && ok;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - off));
            engine_.readFind(item, off, buf.data(), n);  // zeros where unreadable
            ok = out->write(buf.data(), n);
            off += n;
            if (off < size) {
                std::lock_guard<std::mutex> q(m_);
                if (quit_) ok = false;
            }
        }
        lk.lock();
        if (!ok) {
            // A medium without unnamed files, or a failed write: the save
            // writes it (and says what went wrong).
            if (!out->unnamed()) usable_ = false;
            if (!usable_) return;
            continue;
        }
        files_[index] = std::move(out);
    }
}

}  // namespace brantlow::raw
