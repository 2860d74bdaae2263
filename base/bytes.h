// Bounded field readers for on-disk structures.
//
// Every field read from a disk goes through these: they copy with memcpy (no
// unaligned access, no struct overlays) and give 0 when the field does not lie
// wholly inside the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace brantlow {

inline bool fieldFits(size_t len, size_t off, size_t width) {
    return off <= len && width <= len - off;
}

inline uint8_t le8(const void* buf, size_t len, size_t off) {
    return fieldFits(len, off, 1) ? static_cast<const uint8_t*>(buf)[off] : 0;
}

inline uint16_t le16(const void* buf, size_t len, size_t off) {
    if (!fieldFits(len, off, 2)) return 0;
    const auto* p = static_cast<const uint8_t*>(buf) + off;
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t le32(const void* buf, size_t len, size_t off) {
    if (!fieldFits(len, off, 4)) return 0;
    const auto* p = static_cast<const uint8_t*>(buf) + off;
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t le64(const void* buf, size_t len, size_t off) {
    if (!fieldFits(len, off, 8)) return 0;
    return static_cast<uint64_t>(le32(buf, len, off)) |
           (static_cast<uint64_t>(le32(buf, len, off + 4)) << 32);
}

inline uint16_t be16(const void* buf, size_t len, size_t off) {
    if (!fieldFits(len, off, 2)) return 0;
    const auto* p = static_cast<const uint8_t*>(buf) + off;
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t be32(const void* buf, size_t len, size_t off) {
    if (!fieldFits(len, off, 4)) return 0;
    const auto* p = static_cast<const uint8_t*>(buf) + off;
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline uint64_t be64(const void* buf, size_t len, size_t off) {
    if (!fieldFits(len, off, 8)) return 0;
    return (static_cast<uint64_t>(be32(buf, len, off)) << 32) | be32(buf, len, off + 4);
}

// True when len bytes at off equal the given bytes.
inline bool bytesAt(const void* buf, size_t len, size_t off, const void* what, size_t n) {
    return fieldFits(len, off, n) && std::memcmp(static_cast<const uint8_t*>(buf) + off, what, n) == 0;
}

// Checked arithmetic for sizes and positions taken from disk fields.
inline bool mulOverflows(uint64_t a, uint64_t b, uint64_t* out) {
    return __builtin_mul_overflow(a, b, out);
}
inline bool addOverflows(uint64_t a, uint64_t b, uint64_t* out) {
    return __builtin_add_overflow(a, b, out);
}

}  // namespace brantlow
