#include "scan/session/session_codec.h"

namespace brantlow::session {

uint64_t BlobReader::num() {
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
