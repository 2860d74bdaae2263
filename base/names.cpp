#include "base/names.h"

#include <algorithm>

#include "base/texts.h"

namespace brantlow {

namespace {

// Length of the UTF-8 sequence starting with lead byte c (1 for stray bytes).
size_t seqLen(unsigned char c) {
    if (c >= 0xF0 && c < 0xF8) return 4;
    if (c >= 0xE0) return c < 0xF0 ? 3 : 1;
    if (c >= 0xC0) return 2;
    return 1;
}

// Cuts s to at most max bytes at a character boundary.
std::string cutUtf8(const std::string& s, size_t max) {
    if (s.size() <= max) return s;
    size_t i = 0;
    while (i < s.size()) {
        size_t l = seqLen(static_cast<unsigned char>(s[i]));
        if (i + l > max) break;
        i += l;
    }
    return s.substr(0, i);
}

// Cuts to 255 bytes keeping the extension (when it is short).
std::string cutKeepingExtension(const std::string& s) {
    constexpr size_t kMax = 255;
    if (s.size() <= kMax) return s;
    size_t dot = s.rfind('.');
    if (dot != std::string::npos && dot > 0 && s.size() - dot <= 32) {
        std::string ext = s.substr(dot);
        return cutUtf8(s.substr(0, dot), kMax - ext.size()) + ext;
    }
    return cutUtf8(s, kMax);
}

bool refusedOnFat(char c) {
    return c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|' || c == '\\';
}

}  // namespace

std::string sanitizeComponent(const std::string& name) {
    if (name.empty()) return "_";
    if (name == ".") return "_.";
    if (name == "..") return "_..";
    std::string out;
    out.reserve(name.size());
    for (char ch : name) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F)
            out += '_';
        else
            out += ch;
    }
    return cutKeepingExtension(out);
}

std::string sanitizeComponentStrict(const std::string& name) {
    std::string s = sanitizeComponent(name);
    for (char& c : s)
        if (refusedOnFat(c)) c = '_';
    return s;
}

std::string numberedName(const std::string& name, int n) {
    std::string suffix = " (" + std::to_string(n) + ")";
    size_t dot = name.rfind('.');
    std::string base = name, ext;
    if (dot != std::string::npos && dot > 0) {
        base = name.substr(0, dot);
        ext = name.substr(dot);
    }
    std::string r = base + suffix + ext;
    if (r.size() > 255) r = cutUtf8(base, 255 - suffix.size() - std::min<size_t>(ext.size(), 32)) + suffix + ext;
    return cutUtf8(r, 255);
}

std::string joinPath(const std::string& dir, const std::string& component) {
    if (dir.empty()) return component;
    if (dir.back() == '/') return dir + component;
    return dir + "/" + component;
}

std::string NameBook::claim(const std::string& dir, const std::string& name) {
    auto& used = used_[dir];
    std::string candidate = sanitizeComponent(name);
    if (used.insert(asciiLower(candidate)).second) return candidate;
    for (int n = 1; n < 100000; ++n) {
        std::string c = numberedName(candidate, n);
        if (used.insert(asciiLower(c)).second) return c;
    }
    return candidate;
}

}  // namespace brantlow
