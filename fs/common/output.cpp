#include "fs/common/output.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

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

std::string makeFolder(const std::string& dir, const std::string& component, int* err) {
    std::string path = joinPath(dir, sanitizeComponent(component));
    auto tryMake = [&](const std::string& p) {
        if (::mkdir(p.c_str(), 0777) == 0) return 0;
        int e = errno;
        struct stat st {};
        if (e == EEXIST && ::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
        return e;
    };
    int e = tryMake(path);
    if (e == EINVAL) {
        path = joinPath(dir, sanitizeComponentStrict(component));
        e = tryMake(path);
    }
    if (err) *err = e;
    if (e != 0) {
        errno = e;
        return {};
    }
    return path;
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool OutputFile::openPath(const std::string& path) {
    if (fd_ >= 0) ::close(fd_);
    path_ = path;
    written_ = 0;
    do {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    } while (fd_ < 0 && errno == EINTR);
    err_ = fd_ < 0 ? errno : 0;
    return fd_ >= 0;
}

bool OutputFile::open(const std::string& dir, const std::string& component) {
    if (openPath(joinPath(dir, sanitizeComponent(component)))) return true;
    if (err_ == EINVAL) return openPath(joinPath(dir, sanitizeComponentStrict(component)));
    return false;
}

bool OutputFile::write(const void* data, size_t n) {
    if (fd_ < 0) return false;
    const auto* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t w = ::write(fd_, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            err_ = errno;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
        written_ += static_cast<uint64_t>(w);
    }
    return true;
}

bool OutputFile::writeZeros(uint64_t n) {
    static const std::vector<char> zeros(1 << 16, 0);
    while (n > 0) {
        size_t k = n < zeros.size() ? static_cast<size_t>(n) : zeros.size();
        if (!write(zeros.data(), k)) return false;
        n -= k;
    }
    return true;
}

bool OutputFile::finish(const OptTime& accessed, const OptTime& modified) {
    if (fd_ < 0) return false;
    struct timespec ts[2];
    ts[0].tv_sec = accessed ? static_cast<time_t>(accessed->sec) : 0;
    ts[0].tv_nsec = accessed ? accessed->nsec : UTIME_OMIT;
    ts[1].tv_sec = modified ? static_cast<time_t>(modified->sec) : 0;
    ts[1].tv_nsec = modified ? modified->nsec : UTIME_OMIT;
    ::futimens(fd_, ts);
    int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0 && err_ == 0) err_ = errno;
    return err_ == 0;
}

}  // namespace brantlow
