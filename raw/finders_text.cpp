// Plain text without a signature (notes, CSV, JSON, source files, logs): a
// sector that opens with text, walked to the first byte text does not hold
// (the NUL of the slack after the file, or binary data).
#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "raw/finder_util.h"

namespace brantlow::raw {

using namespace finder;

size_t textPrefix(const uint8_t* p, size_t n) {
    size_t i = 0;
    while (i < n) {
        const uint8_t c = p[i];
        if (c < 0x80) {
            if (c >= 0x20 ? c == 0x7F : !(c == '\n' || c == '\r' || c == '\t' || c == '\f')) return i;
            ++i;
            continue;
        }
        // A well-formed UTF-8 sequence (no overlong forms, no surrogates,
        // nothing past U+10FFFF); one cut off by n is not counted.
        size_t len;
        uint8_t lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return i;
        }
        if (n - i < len) return i;
        if (p[i + 1] < lo || p[i + 1] > hi) return i;
        for (size_t k = 2; k < len; ++k)
            if ((p[i + k] & 0xC0) != 0x80) return i;
        i += len;
    }
    return n;
}

namespace {
// Bytes that never occur in UTF-8 text: controls other than tab, line ends
// and form feed, DEL, C0, C1, F5–FF.
struct NotText {
    uint8_t t[256]{};
    constexpr NotText() {
        for (int c = 0; c < 0x20; ++c) t[c] = !(c == '\t' || c == '\n' || c == '\r' || c == '\f');
        t[0x7F] = t[0xC0] = t[0xC1] = 1;
        for (int c = 0xF5; c < 0x100; ++c) t[c] = 1;
    }
};
constexpr NotText kNotText;

// Whether one of the 16 bytes at p never occurs in text; without branches:
// it is asked of every sector, and most (data, zeros) hold such a byte.
bool notTextIn16(const uint8_t* p) {
#if defined(__SSE2__)
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    auto atMost = [](__m128i v, int k) { return _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(static_cast<char>(k))), v); };
    const __m128i control = atMost(x, 0x1F);
    const __m128i w = _mm_sub_epi8(x, _mm_set1_epi8(9));  // tab 9, LF 10, FF 12, CR 13 (not 11)
    const __m128i blank = _mm_andnot_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(11)), atMost(w, 4));
    const __m128i high = _mm_cmpeq_epi8(_mm_max_epu8(x, _mm_set1_epi8(static_cast<char>(0xF5))), x);
    const __m128i c0c1 = _mm_cmpeq_epi8(_mm_and_si128(x, _mm_set1_epi8(static_cast<char>(0xFE))),
                                        _mm_set1_epi8(static_cast<char>(0xC0)));
    const __m128i del = _mm_cmpeq_epi8(x, _mm_set1_epi8(0x7F));
    const __m128i bad = _mm_or_si128(_mm_or_si128(_mm_andnot_si128(blank, control), high), _mm_or_si128(c0c1, del));
    return _mm_movemask_epi8(bad) != 0;
#else
    uint8_t bad = 0;
    for (size_t i = 0; i < 16; ++i) bad |= kNotText.t[p[i]];
    return bad != 0;
#endif
}
}  // namespace

bool opensWithText(const uint8_t* p) { return !notTextIn16(p) && textPrefix(p, kTextProbe + 3) >= kTextProbe; }

namespace {

bool isBlank(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

bool startsNoCase(const uint8_t* p, size_t n, const char* text) {
    const size_t k = std::strlen(text);
    if (n < k) return false;
    for (size_t i = 0; i < k; ++i) {
        uint8_t c = p[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c - 'A' + 'a');
        if (c != static_cast<uint8_t>(text[i])) return false;
    }
    return true;
}

// Separators on a line (none when the line has quotes that span lines).
size_t countOn(const uint8_t* p, size_t n, uint8_t sep) { return static_cast<size_t>(std::count(p, p + n, sep)); }

// The type of size bytes of text: html, xml, json, csv or txt.
const char* textType(Source& s, uint64_t size) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size, Source::kMaxView));
    const uint8_t* v = s.view(0, n);
    if (!v) return "txt";
    std::vector<uint8_t> head(v, v + n);  // views hold until the next one
    size_t i = 0;
    if (n >= 3 && std::memcmp(head.data(), "\xEF\xBB\xBF", 3) == 0) i = 3;
    while (i < n && isBlank(head[i])) ++i;
    const uint8_t* p = head.data() + i;
    const size_t left = n - i;
    if (startsNoCase(p, left, "<?xml")) return "xml";
    if (startsNoCase(p, left, "<!doctype html") || startsNoCase(p, left, "<html")) return "html";
    if (left > 0 && (p[0] == '{' || p[0] == '[')) {
        // JSON ends with the bracket that closes its first one.
        const size_t tn = static_cast<size_t>(std::min<uint64_t>(size, 64));
        if (const uint8_t* t = s.view(size - tn, tn)) {
            size_t e = tn;
            while (e > 0 && isBlank(t[e - 1])) --e;
            if (e > 0 && t[e - 1] == (p[0] == '{' ? '}' : ']')) return "json";
        }
    }
    // CSV: the first lines (at least two whole ones) have the same number of
    // commas or semicolons, at least one.
    for (uint8_t sep : {uint8_t(','), uint8_t(';')}) {
        size_t lines = 0, count = 0, at = i;
        bool same = true;
        while (same && lines < 8) {
            const uint8_t* nl = static_cast<const uint8_t*>(std::memchr(head.data() + at, '\n', n - at));
            if (!nl) break;
            const size_t len = static_cast<size_t>(nl - (head.data() + at));
            const size_t c = countOn(head.data() + at, len, sep);
            if (lines == 0) count = c;
            same = c == count && c > 0;
            ++lines;
            at += len + 1;
        }
        if (same && lines >= 2) return "csv";
    }
    return "txt";
}

}  // namespace

EndResult findPlainTextEnd(Source& s) {
    uint64_t pos = 0;
    bool ended = false;
    while (!ended) {
        size_t n = 0;
        const uint8_t* p = s.span(pos, n);
        if (!p) break;  // the limit
        const size_t k = textPrefix(p, n);
        if (k == n) {
            pos += n;
            continue;
        }
        pos += k;
        // A character the span's end cut off: checked whole.
        if (n - k < 4) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(4, s.limit() - pos));
            if (const uint8_t* q = s.view(pos, want)) {
                const size_t m = textPrefix(q, want);
                if (m > 0) {
                    pos += m;
                    continue;
                }
            }
        }
        ended = true;
    }
    if (s.stopped() || pos < kTextProbe) return invalid();
    const char* type = textType(s, pos);
    if (!ended) return truncated(pos, pos, type);  // runs on past the type's size
    return complete(pos, type);
}

}  // namespace brantlow::raw
