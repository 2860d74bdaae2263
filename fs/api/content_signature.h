// Whether a file's first bytes open the way its name's extension promises
// (a JPEG with FF D8 FF, a text file with text, ...).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/texts.h"

namespace brantlow {

namespace signature_detail {

inline std::string extensionOf(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 >= name.size()) return {};
    return asciiLower(name.substr(dot + 1));
}

inline bool startsWith(const uint8_t* p, size_t n, const char* sig, size_t len, size_t at = 0) {
    return n >= at + len && std::memcmp(p + at, sig, len) == 0;
}

// Text: no control bytes but tab, line feed, carriage return and form feed
// in what was read (NUL ends it only after some text).
inline bool looksLikeText(const uint8_t* p, size_t n) {
    size_t seen = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = p[i];
        if (b == 0) return seen >= 16 && std::all_of(p + i, p + n, [](uint8_t z) { return z == 0; });
        if (b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f') return false;
        if (b == 0x7F) return false;
        if (b >= 0x80) {
            // UTF-8: a lead byte and its continuation bytes (a sequence cut
            // by the end of what was read counts).
            const size_t more = b >= 0xC2 && b <= 0xDF ? 1 : b >= 0xE0 && b <= 0xEF ? 2 : b >= 0xF0 && b <= 0xF4 ? 3 : 9;
            if (more == 9) return false;
            for (size_t k = 1; k <= more && i + k < n; ++k)
                if ((p[i + k] & 0xC0) != 0x80) return false;
            i += more;
        }
        ++seen;
    }
    return seen > 0;
}

}  // namespace signature_detail

// 1: the first n bytes at p open as the name promises; 0: they do not; -1:
// the name promises nothing known.
inline int contentMatchesName(const std::string& name, const uint8_t* p, size_t n) {
    const std::string e = signature_detail::extensionOf(name);
    if (e.empty()) return -1;
    static const char* kText[] = {"txt", "c", "h", "cpp", "hpp", "log", "csv", "md", "ini", "json", "py", "sh",
                                  "cfg", "conf", "xml", "html", "htm", "css", "js", "tex", "srt", "yml", "yaml"};
    for (const char* t : kText)
        if (e == t) return signature_detail::looksLikeText(p, n) ? 1 : 0;
    struct Sig {
        const char* ext;
        const char* bytes;
        size_t len;
        size_t at;
    };
    static const Sig kSigs[] = {
        {"jpg", "\xFF\xD8\xFF", 3, 0},   {"jpeg", "\xFF\xD8\xFF", 3, 0}, {"png", "\x89PNG", 4, 0},
        {"gif", "GIF8", 4, 0},           {"pdf", "%PDF", 4, 0},          {"zip", "PK\x03\x04", 4, 0},
        {"docx", "PK\x03\x04", 4, 0},    {"xlsx", "PK\x03\x04", 4, 0},   {"pptx", "PK\x03\x04", 4, 0},
        {"odt", "PK\x03\x04", 4, 0},     {"ods", "PK\x03\x04", 4, 0},    {"jar", "PK\x03\x04", 4, 0},
        {"epub", "PK\x03\x04", 4, 0},    {"bmp", "BM", 2, 0},            {"wav", "RIFF", 4, 0},
        {"avi", "RIFF", 4, 0},           {"gz", "\x1F\x8B", 2, 0},       {"7z", "7z\xBC\xAF", 4, 0},
        {"rar", "Rar!", 4, 0},           {"exe", "MZ", 2, 0},            {"dll", "MZ", 2, 0},
        {"mp4", "ftyp", 4, 4},           {"mov", "ftyp", 4, 4},          {"m4a", "ftyp", 4, 4},
        {"sqlite", "SQLite format 3", 15, 0}, {"doc", "\xD0\xCF\x11\xE0", 4, 0}, {"xls", "\xD0\xCF\x11\xE0", 4, 0},
        {"tif", "II*", 3, 0},            {"ogg", "OggS", 4, 0},          {"flac", "fLaC", 4, 0},
    };
    for (const Sig& s : kSigs)
        if (e == s.ext) return signature_detail::startsWith(p, n, s.bytes, s.len, s.at) ? 1 : 0;
    if (e == "mp3") return signature_detail::startsWith(p, n, "ID3", 3) || (n >= 2 && p[0] == 0xFF && (p[1] & 0xE0) == 0xE0) ? 1 : 0;
    return -1;
}

// Whether the name promises anything contentMatchesName knows.
inline bool namePromisesContent(const std::string& name) {
    static const uint8_t zero[1] = {0};
    return contentMatchesName(name, zero, 0) >= 0;
}

}  // namespace brantlow
