#include "platform/files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brantlow::platform {

int makeDir(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0) return 0;
    int e = errno;
    struct stat st {};
    if (e == EEXIST && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    return e;
}

int hardLink(const std::string& existing, const std::string& newPath) {
    return ::link(existing.c_str(), newPath.c_str()) == 0 ? 0 : errno;
}

int makeDirs(const std::string& path) {
    if (path.empty()) return ENOENT;
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        std::string part = path.substr(0, i);
        if (part.empty() || part.back() == '/') continue;
        struct stat st {};
        if (::stat(part.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) return ENOTDIR;
            continue;
        }
        if (int e = makeDir(part)) return e;
    }
    return 0;
}

bool removeEmptyDir(const std::string& path) { return ::rmdir(path.c_str()) == 0; }

bool pathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isReadable(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

bool folderOnDevice(const std::string& folder, const std::string& devicePath) {
    struct stat od {}, sd {};
    return ::stat(folder.c_str(), &od) == 0 && ::stat(devicePath.c_str(), &sd) == 0 && S_ISBLK(sd.st_mode) &&
           od.st_dev == sd.st_rdev;
}

int readWholeFile(const std::string& path, uint64_t maxBytes, std::vector<uint8_t>& out) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        return e;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    }
    if (static_cast<uint64_t>(st.st_size) > maxBytes) {
        ::close(fd);
        return EFBIG;
    }
    out.assign(static_cast<size_t>(st.st_size), 0);
    size_t got = 0;
    while (got < out.size()) {
        ssize_t n = ::pread(fd, out.data() + got, out.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    if (got != out.size()) {
        out.resize(got);
        return EIO;
    }
    return 0;
}

int createEmptyFile(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    return ::close(fd) == 0 ? 0 : errno;
}

std::string executableDir() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string exe(buf, static_cast<size_t>(n));
    size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

bool isTerminal(int fd) { return ::isatty(fd) == 1; }

void closeDescriptor(int fd) {
    if (fd >= 0) ::close(fd);
}

int fileHead(const std::string& path, size_t n, std::vector<uint8_t>& head, uint64_t& size) {
    head.clear();
    size = 0;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return errno;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return EINVAL;
    }
    size = static_cast<uint64_t>(st.st_size);
    head.resize(n);
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::pread(fd, head.data() + got, n - got, static_cast<off_t>(got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    head.resize(got);
    ::close(fd);
    return 0;
}

int removeFile(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

}  // namespace brantlow::platform
