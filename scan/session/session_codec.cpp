#include "scan/session/session_codec.h"

namespace brantlow::session {

uint64_t BlobReader::longNum() {
    uint64_t v = 0;
    for (unsigned shift = 0; ok_; shift += 7) {
        if (p_ == end_ || shift > 63) break;
        const uint8_t b = *p_++;
        if (shift == 63 && (b & 0x7e)) break;  // past 64 bits
        v |= static_cast<uint64_t>(b & 0x7f) << shift;
        if (!(b & 0x80)) return v;
    }
    ok_ = false;
    return 0;
}

uint64_t BlobReader::count(uint64_t max, size_t minBytes) {
    const uint64_t n = num();
    const uint64_t left = static_cast<uint64_t>(end_ - p_);
    if (!ok_ || n > max || (minBytes && n > left / minBytes)) {
        ok_ = false;
        return 0;
    }
    return n;
}

std::string BlobReader::bytes(size_t max) {
    const uint64_t n = num();
    if (!ok_ || n > max || n > static_cast<uint64_t>(end_ - p_)) {
        ok_ = false;
        return {};
    }
    std::string s(reinterpret_cast<const char*>(p_), static_cast<size_t>(n));
    p_ += n;
    return s;
}

std::string_view BlobReader::view(size_t max) {
    const uint64_t n = num();
    if (!ok_ || n > max || n > static_cast<uint64_t>(end_ - p_)) {
        ok_ = false;
        return {};
    }
    std::string_view s(reinterpret_cast<const char*>(p_), static_cast<size_t>(n));
    p_ += n;
    return s;
}

namespace {

// The bits of a packed entry's first number.
constexpr uint64_t kKindMask = 3;
constexpr uint64_t kDeleted = uint64_t{1} << 2;
constexpr uint64_t kContentShift = 3; // two bits
constexpr uint64_t kOrphan = uint64_t{1} << 5;
constexpr uint64_t kHasChildren = uint64_t{1} << 6;
constexpr uint64_t kSkipOnSave = uint64_t{1} << 7;
constexpr uint64_t kFirstLetterLost = uint64_t{1} << 8;
constexpr uint64_t kStream = uint64_t{1} << 9;
constexpr uint64_t kEstimate = uint64_t{1} << 10;
constexpr uint64_t kCreated = uint64_t{1} << 11;
constexpr uint64_t kModified = uint64_t{1} << 12;
constexpr uint64_t kAccessed = uint64_t{1} << 13;
constexpr uint64_t kDeletedAt = uint64_t{1} << 14;
constexpr uint64_t kOutTimes = uint64_t{1} << 15;
constexpr uint64_t kOutAccessed = uint64_t{1} << 16;
constexpr uint64_t kOutModified = uint64_t{1} << 17;
constexpr uint64_t kAttributes = uint64_t{1} << 18;
constexpr uint64_t kOriginalPath = uint64_t{1} << 19;
constexpr uint64_t kExtents = uint64_t{1} << 20;
constexpr uint64_t kSourceId = uint64_t{1} << 21;
constexpr uint64_t kReason = uint64_t{1} << 22;
constexpr uint64_t kAllBits = (uint64_t{1} << 23) - 1;

uint64_t zigzag(int64_t v) { return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63); }
int64_t unzigzag(uint64_t z) { return static_cast<int64_t>((z >> 1) ^ (~(z & 1) + 1)); }

// A time as seconds from base (wrapping: any two int64 values round-trip)
// and nanoseconds.
void putTime(BlobWriter& w, const FileTime& t, int64_t base) {
    w.num(zigzag(static_cast<int64_t>(static_cast<uint64_t>(t.sec) - static_cast<uint64_t>(base))));
    w.num(static_cast<uint64_t>(t.nsec));
}
OptTime getTime(BlobReader& r, int64_t base) {
    const uint64_t d = static_cast<uint64_t>(unzigzag(r.num()));
    const uint64_t ns = r.num();
    if (ns > 999999999) r.fail();
    if (!r.ok()) return std::nullopt;
    return FileTime{static_cast<int64_t>(static_cast<uint64_t>(base) + d), static_cast<int32_t>(ns)};
}

}  // namespace

void encodeEntry(BlobWriter& w, const PackedEntry& e) {
    uint64_t bits = (static_cast<uint64_t>(e.kind) & kKindMask) | (e.state == EntryState::Deleted ? kDeleted : 0) |
                    (static_cast<uint64_t>(e.content & 3) << kContentShift) | (e.orphan ? kOrphan : 0) |
                    (e.hasChildren ? kHasChildren : 0) | (e.skipOnSave ? kSkipOnSave : 0) |
                    (e.firstLetterLost ? kFirstLetterLost : 0) | (e.stream ? kStream : 0) |
                    (e.hasEstimate ? kEstimate : 0) | (e.created ? kCreated : 0) | (e.modified ? kModified : 0) |
                    (e.accessed ? kAccessed : 0) | (e.deletedAt ? kDeletedAt : 0) | (e.outTimes ? kOutTimes : 0) |
                    (e.outTimes && e.outAccessed ? kOutAccessed : 0) | (e.outTimes && e.outModified ? kOutModified : 0) |
                    (e.attributes.empty() ? 0 : kAttributes) | (e.originalPath.empty() ? 0 : kOriginalPath) |
                    (e.extents.empty() ? 0 : kExtents) | (e.sourceId ? kSourceId : 0) |
                    (e.content == 2 && !e.reason.empty() ? kReason : 0);
    w.num(bits);
    w.num(e.parentGap);
    w.bytes(e.name);
    w.num(e.size);
    const int64_t base = e.created ? e.created->sec : 0;
    if (e.created) putTime(w, *e.created, 0);
    if (e.modified) putTime(w, *e.modified, base);
    if (e.accessed) putTime(w, *e.accessed, base);
    if (e.deletedAt) putTime(w, *e.deletedAt, base);
    if (e.outTimes && e.outAccessed) putTime(w, *e.outAccessed, base);
    if (e.outTimes && e.outModified) putTime(w, *e.outModified, base);
    if (!e.attributes.empty()) w.bytes(e.attributes);
    if (!e.originalPath.empty()) w.bytes(e.originalPath);
    if (e.hasEstimate) {
        w.num(static_cast<uint64_t>(e.estimate.state));
        w.num(e.estimate.units);
        w.num(e.estimate.overwritten);
        w.num(e.estimate.unreadableSectors);
    }
    if (e.content == 1) w.num(e.length);
    if (e.content == 2) {
        w.num(e.keptAt);
        w.num(e.keptBytes);
        w.num(e.status);
        if (!e.reason.empty()) w.bytes(e.reason);
    }
    if (!e.extents.empty()) w.bytes(e.extents);
    if (e.sourceId) w.num(e.sourceId);
}

bool decodeEntry(BlobReader& r, PackedEntry& e) {
    const uint64_t bits = r.num();
    if (!r.ok() || (bits & ~static_cast<uint64_t>(kAllBits)) || (bits & kKindMask) > 2) return false;
    e = PackedEntry{};
    e.kind = static_cast<EntryKind>(bits & kKindMask);
    e.state = bits & kDeleted ? EntryState::Deleted : EntryState::Live;
    e.content = static_cast<uint8_t>((bits >> kContentShift) & 3);
    e.orphan = bits & kOrphan;
    e.hasChildren = bits & kHasChildren;
    e.skipOnSave = bits & kSkipOnSave;
    e.firstLetterLost = bits & kFirstLetterLost;
    e.stream = bits & kStream;
    e.hasEstimate = bits & kEstimate;
    e.outTimes = bits & kOutTimes;
    e.parentGap = r.num();
    e.name = r.view(kMaxPackedName);
    e.size = r.num();
    if (bits & kCreated) e.created = getTime(r, 0);
    const int64_t base = e.created ? e.created->sec : 0;
    if (bits & kModified) e.modified = getTime(r, base);
    if (bits & kAccessed) e.accessed = getTime(r, base);
    if (bits & kDeletedAt) e.deletedAt = getTime(r, base);
    if ((bits & kOutAccessed) && e.outTimes) e.outAccessed = getTime(r, base);
    if ((bits & kOutModified) && e.outTimes) e.outModified = getTime(r, base);
    if (!e.outTimes && (bits & (kOutAccessed | kOutModified))) return false;
    if (bits & kAttributes) e.attributes = r.view(kMaxPackedName);
    if (bits & kOriginalPath) e.originalPath = r.view(kMaxPackedName);
    if (e.hasEstimate) {
        const uint64_t st = r.num();
        if (st > static_cast<uint64_t>(Recoverability::Uncertain)) return false;
        e.estimate.state = static_cast<Recoverability>(st);
        e.estimate.units = r.num();
        e.estimate.overwritten = r.num();
        e.estimate.unreadableSectors = r.num();
    }
    if (e.content == 1) e.length = r.num();
    if (e.content == 2) {
        e.keptAt = r.num();
        e.keptBytes = r.num();
        const uint64_t status = r.num();
        if (e.keptBytes > kMaxKeptBytes || status > 2) return false;
        e.status = static_cast<uint8_t>(status);
        if (bits & kReason) e.reason = r.view(4096);
    } else if (bits & kReason) {
        return false;
    }
    if (bits & kExtents) {
        e.extents = r.view(kMaxPackedExtents);
        if (!r.ok() || e.extents.empty() ||
            !validRanges(reinterpret_cast<const uint8_t*>(e.extents.data()), e.extents.size()))
            return false;
    }
    if (bits & kSourceId) e.sourceId = r.num();
    return r.ok();
}

std::string encodeRanges(const std::vector<VolumeRange>& ranges) {
    BlobWriter w;
    w.num(ranges.size());
    uint64_t prev = 0;
    for (const VolumeRange& r : ranges) {
        // Zigzag delta from the previous range's start: fragments go both ways.
        const int64_t d = static_cast<int64_t>(r.offset - prev);
        w.num((static_cast<uint64_t>(d) << 1) ^ static_cast<uint64_t>(d >> 63));
        w.num(r.length);
        prev = r.offset;
    }
    return w.data();
}

bool validRanges(const uint8_t* p, size_t n, size_t maxRanges) {
    if (n == 0) return true;
    BlobReader r(p, n);
    const uint64_t count = r.count(maxRanges, 2);
    for (uint64_t i = 0; i < count && r.ok(); ++i) {
        r.num();
        r.num();
    }
    return r.ok() && r.atEnd();
}

bool decodeRanges(const uint8_t* p, size_t n, std::vector<VolumeRange>& out, size_t maxRanges) {
    out.clear();
    if (n == 0) return true;
    BlobReader r(p, n);
    const uint64_t count = r.count(maxRanges, 2);
    out.reserve(static_cast<size_t>(count));
    uint64_t prev = 0;
    for (uint64_t i = 0; i < count && r.ok(); ++i) {
        const uint64_t z = r.num();
        const uint64_t d = (z >> 1) ^ (~(z & 1) + 1);
        const uint64_t len = r.num();
        prev += d;
        out.push_back({prev, len});
    }
    if (!r.ok() || !r.atEnd()) {
        out.clear();
        return false;
    }
    return true;
}

}  // namespace brantlow::session
