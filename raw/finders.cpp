#include "raw/finders.h"

#include <algorithm>
#include <cstring>

namespace brantlow::raw {

const char* statusText(FindStatus s) {
    switch (s) {
    case FindStatus::Complete:
        return "complete";
    case FindStatus::Truncated:
        return "truncated";
    case FindStatus::Invalid:
        return "invalid";
    case FindStatus::Unchecked:
        break;
    }
    return "unchecked";
}

const uint8_t* Source::view(uint64_t off, size_t n) {
    if (stopped_ || n == 0 || n > kMaxView || off >= limit_ || n > limit_ - off) return nullptr;
    size_t len = 0;
    const uint8_t* p = fetch(off, n, len);
    return p && len >= n ? p : nullptr;
}

const uint8_t* Source::span(uint64_t off, size_t& len) {
    len = 0;
    if (stopped_ || off >= limit_) return nullptr;
    const uint8_t* p = fetch(off, 1, len);
    if (!p || len == 0) {
        len = 0;
        return nullptr;
    }
    len = static_cast<size_t>(std::min<uint64_t>(len, limit_ - off));
    return p;
}

bool Source::byteAt(uint64_t off, uint8_t& b) {
    const uint8_t* p = view(off, 1);
    if (!p) return false;
    b = *p;
    return true;
}

uint64_t Source::findByte(uint64_t from, uint64_t to, uint8_t b) {
    to = std::min(to, limit_);
    while (from < to) {
        size_t len = 0;
        const uint8_t* p = span(from, len);
        if (!p) return kNotFound;
        size_t n = static_cast<size_t>(std::min<uint64_t>(len, to - from));
        if (const void* hit = std::memchr(p, b, n)) return from + static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - p);
        from += n;
    }
    return kNotFound;
}

uint64_t Source::find(uint64_t from, uint64_t to, const void* pattern, size_t n) {
    if (n == 0 || n > 64) return kNotFound;
    const uint8_t* pat = static_cast<const uint8_t*>(pattern);
    to = std::min(to, limit_);
    while (from < to) {
        uint64_t at = findByte(from, to, pat[0]);
        if (at == kNotFound) return kNotFound;
        const uint8_t* p = view(at, n);
        if (!p) return kNotFound;  // the pattern would pass the limit
        if (std::memcmp(p, pat, n) == 0) return at;
        from = at + 1;
    }
    return kNotFound;
}

namespace {
const EndFinder kJpeg{"JPEG", findJpegEnd};
const EndFinder kPng{"PNG", findPngEnd};
const EndFinder kGif{"GIF", findGifEnd};
const EndFinder kBmp{"BMP", findBmpEnd};
const EndFinder kTiff{"TIFF and camera raw", findTiffEnd};
const EndFinder kRiff{"RIFF (WAV, AVI, WebP)", findRiffEnd};
const EndFinder kMp3{"MP3", findMp3End};
const EndFinder kIso{"ISO media (MP4, MOV, 3GP, M4A, HEIC)", findIsoMediaEnd};
const EndFinder kZip{"ZIP family", findZipEnd};
const EndFinder kPdf{"PDF", findPdfEnd};
const EndFinder kSqlite{"SQLite", findSqliteEnd};
const EndFinder kElf{"ELF", findElfEnd};
const EndFinder kPe{"PE (EXE, DLL)", findPeEnd};
}  // namespace

const std::vector<std::pair<const char*, const EndFinder*>>& endFinderTable() {
    static const std::vector<std::pair<const char*, const EndFinder*>> table = {
        {"jpg", &kJpeg},  {"jpeg", &kJpeg}, {"jpe", &kJpeg},  {"jfif", &kJpeg}, {"png", &kPng},
        {"gif", &kGif},   {"bmp", &kBmp},   {"dib", &kBmp},   {"tif", &kTiff},  {"tiff", &kTiff},
        {"cr2", &kTiff},  {"nef", &kTiff},  {"dng", &kTiff},  {"arw", &kTiff},  {"pef", &kTiff},
        {"orf", &kTiff},  {"wav", &kRiff},  {"avi", &kRiff},  {"webp", &kRiff}, {"riff", &kRiff},
        {"mp3", &kMp3},   {"mp4", &kIso},   {"m4v", &kIso},   {"mov", &kIso},   {"3gp", &kIso},
        {"3g2", &kIso},   {"m4a", &kIso},   {"m4b", &kIso},   {"heic", &kIso},  {"heif", &kIso},
        {"avif", &kIso},  {"cr3", &kIso},   {"zip", &kZip},   {"docx", &kZip},  {"xlsx", &kZip},
        {"pptx", &kZip},  {"odt", &kZip},   {"ods", &kZip},   {"odp", &kZip},   {"epub", &kZip},
        {"jar", &kZip},   {"apk", &kZip},   {"pdf", &kPdf},   {"db", &kSqlite}, {"sqli", &kSqlite},
        {"elf", &kElf},   {"so", &kElf},    {"exe", &kPe},    {"dll", &kPe},
    };
    return table;
}

const EndFinder* endFinderFor(const std::string& extension) {
    std::string e = extension;
    for (char& c : e)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (const auto& [ext, f] : endFinderTable())
        if (e == ext) return f;
    return nullptr;
}

}  // namespace brantlow::raw
