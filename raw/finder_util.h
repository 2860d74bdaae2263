// Helpers shared by the end finders (not part of the engine's interface).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/bytes.h"
#include "raw/finders.h"

namespace brantlow::raw::finder {

inline EndResult complete(uint64_t size, const char* type = nullptr) {
    EndResult r;
    r.status = FindStatus::Complete;
    r.size = size;
    r.type = type;
    return r;
}

// Valid up to size; bytes from weakFrom on were taken without a structural
// check (the engine may cut there).
inline EndResult truncated(uint64_t size, uint64_t weakFrom, const char* type = nullptr) {
    EndResult r;
    r.status = FindStatus::Truncated;
    r.size = size;
    r.weakFrom = weakFrom < size ? weakFrom : size;
    r.type = type;
    return r;
}

inline EndResult invalid() { return EndResult{}; }

inline EndResult unchecked() {
    EndResult r;
    r.status = FindStatus::Unchecked;
    return r;
}

// a + b, or UINT64_MAX when it overflows (positions past every limit).
inline uint64_t sum(uint64_t a, uint64_t b) {
    uint64_t r;
    return addOverflows(a, b, &r) ? UINT64_MAX : r;
}
inline uint64_t product(uint64_t a, uint64_t b) {
    uint64_t r;
    return mulOverflows(a, b, &r) ? UINT64_MAX : r;
}

// The end of a whole structure at `end`: complete when it fits the limit,
// else truncated at the limit (weak from `weak` when that is given).
inline EndResult upTo(Source& s, uint64_t end, const char* type = nullptr, uint64_t weak = 0) {
    if (end == 0) return invalid();
    const uint64_t limit = s.limit();
    if (end > limit) return truncated(limit, weak && weak < limit ? weak : limit, type);
    return complete(end, type);
}

// Names from content (empty when there is none): "2023-05-06 07.08.09 Canon
// EOS 80D" from the EXIF data whose TIFF header is at base; "Artist - Title"
// from an ID3v2 tag at the start.
std::string exifLabel(Source& s, uint64_t base);
std::string id3Label(Source& s);

// CRC-32 as zlib computes it (crc32Update(0, p, n) == crc32(0, p, n)).
uint32_t crc32Update(uint32_t crc, const uint8_t* p, size_t n);

inline bool same(const uint8_t* p, const char* text, size_t n) { return std::memcmp(p, text, n) == 0; }

inline bool isDigit(uint8_t c) { return c >= '0' && c <= '9'; }
inline bool isAlpha(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
inline bool isPrintable(uint8_t c) { return c >= 0x20 && c < 0x7F; }

// Big- or little-endian fields of a structure in one view.
struct Endian {
    bool big = false;
    uint16_t u16(const uint8_t* p) const { return big ? be16(p, 2, 0) : le16(p, 2, 0); }
    uint32_t u32(const uint8_t* p) const { return big ? be32(p, 4, 0) : le32(p, 4, 0); }
    uint64_t u64(const uint8_t* p) const { return big ? be64(p, 8, 0) : le64(p, 8, 0); }
};

}  // namespace brantlow::raw::finder
