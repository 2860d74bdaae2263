#include "platform/output_file.h"

#include <algorithm>
#include <atomic>
#include <vector>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brantlow::platform {

namespace {

std::atomic<uint64_t> g_tempSerial{0};

std::string join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

long processId() {
    static const long pid = static_cast<long>(::getpid());
    return pid;
}

// A fresh temporary name in a folder.
std::string tempName() {
    char name[64];
    std::snprintf(name, sizeof name, ".brantlow-%ld-%llu.part", processId(),
                  static_cast<unsigned long long>(g_tempSerial.fetch_add(1)));
    return name;
}

}  // namespace

OutputFolder::~OutputFolder() {
    if (fd_ >= 0) ::close(fd_);
}

bool OutputFolder::hold(const std::string& dir) {
    if (fd_ >= 0) ::close(fd_);
    path_ = dir;
    do {
        fd_ = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    return fd_ >= 0;
}

OutputFile::~OutputFile() { discard(); }

bool OutputFile::create(const std::string& dir) { return create(dir, nullptr); }

bool OutputFile::create(const std::string& dir, const OutputFolder* held) {
    discard();
    err_ = 0;
    size_ = stored_ = pendingHole_ = 0;
    closed_ = false;
    noKernelCopy_ = shortCopy_ = false;
    anonymous_ = false;
    dir_ = dir;
    final_.clear();
    dirFd_ = held && held->descriptor() >= 0 && held->path() == dir ? held->descriptor() : -1;
    if (dirFd_ >= 0) {
        // A file without a name; media that have none take a temporary name.
        do {
            fd_ = ::openat(dirFd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        } while (fd_ < 0 && errno == EINTR);
        if (fd_ >= 0) {
            anonymous_ = true;
            return true;
        }
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempName_ = tempName();
        temp_ = join(dir, tempName_);
        const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
        do {
            fd_ = dirFd_ >= 0 ? ::openat(dirFd_, tempName_.c_str(), flags, 0666) : ::open(temp_.c_str(), flags, 0666);
        } while (fd_ < 0 && errno == EINTR);
        if (fd_ >= 0) return true;
        if (errno != EEXIST) break;
    }
    err_ = errno;
    temp_.clear();
    return false;
}

bool OutputFile::flushHole() {
    if (pendingHole_ == 0) return true;
    if (::lseek(fd_, static_cast<off_t>(pendingHole_), SEEK_CUR) < 0) {
        err_ = errno;
        return false;
    }
    pendingHole_ = 0;
    return true;
}

bool OutputFile::write(const void* data, size_t n) {
    if (fd_ < 0 || err_) return false;
    if (!flushHole()) return false;
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
        size_ += static_cast<uint64_t>(w);
        stored_ += static_cast<uint64_t>(w);
    }
    return true;
}

bool OutputFile::copyFrom(int src, uint64_t at, uint64_t n) {
    if (fd_ < 0 || err_) return false;
    if (!flushHole()) return false;
    if (at > static_cast<uint64_t>(INT64_MAX) || n > static_cast<uint64_t>(INT64_MAX) - at) {
        err_ = EINVAL;
        return false;
    }
    while (n > 0 && !noKernelCopy_) {
        off_t off = static_cast<off_t>(at);
        const ssize_t w = ::sendfile(fd_, src, &off, static_cast<size_t>(std::min<uint64_t>(n, 1u << 30)));
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG || errno == EROFS) {
                err_ = errno;
                return false;
            }
            // Not between these two files (or a read error): through memory.
            noKernelCopy_ = true;
            break;
        }
        if (w == 0) break;  // the source ends here
        at += static_cast<uint64_t>(w);
        n -= static_cast<uint64_t>(w);
        size_ += static_cast<uint64_t>(w);
        stored_ += static_cast<uint64_t>(w);
    }
    std::vector<uint8_t> buf;
    while (n > 0) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(n, 1u << 20));
        buf.resize(piece);
        ssize_t got = 0;
        do {
            got = ::pread(src, buf.data(), piece, static_cast<off_t>(at));
        } while (got < 0 && errno == EINTR);
        if (got <= 0) {
            // Nothing more to read: the rest stays zeros.
            shortCopy_ = true;
            return skip(n);
        }
        if (!write(buf.data(), static_cast<size_t>(got))) return false;
        at += static_cast<uint64_t>(got);
        n -= static_cast<uint64_t>(got);
    }
    return true;
}

bool OutputFile::skip(uint64_t n) {
    if (fd_ < 0 || err_) return false;
    if (n > static_cast<uint64_t>(INT64_MAX) - size_) {
        err_ = EFBIG;
        return false;
    }
    size_ += n;
    pendingHole_ += n;
    return true;
}

bool OutputFile::commit(const std::string& name, const std::optional<Stamp>& accessed,
                        const std::optional<Stamp>& modified, bool replace, const OutputFolder* into) {
    if (temp_.empty() && !anonymous_) return false;
    if (!closed_) {
        if (fd_ < 0) return false;
        if (!err_ && pendingHole_ && ::ftruncate(fd_, static_cast<off_t>(size_)) != 0) err_ = errno;
        pendingHole_ = 0;
        struct timespec ts[2];
        ts[0].tv_sec = accessed ? static_cast<time_t>(accessed->sec) : 0;
        ts[0].tv_nsec = accessed ? accessed->nsec : UTIME_OMIT;
        ts[1].tv_sec = modified ? static_cast<time_t>(modified->sec) : 0;
        ts[1].tv_nsec = modified ? modified->nsec : UTIME_OMIT;
        if (!err_ && (accessed || modified)) ::futimens(fd_, ts);
        closed_ = true;
        if (!anonymous_) {
            if (::close(fd_) != 0 && !err_) err_ = errno;
            fd_ = -1;
        }
        if (err_) return false;
    }
    if (anonymous_) {
        if (into && into->descriptor() >= 0) return linkAnonymous(name, replace, into->descriptor(), into->path());
        return linkAnonymous(name, replace, dirFd_, dir_);
    }
    std::string target = join(dir_, name);
    const int r = dirFd_ >= 0 ? ::renameat(dirFd_, tempName_.c_str(), dirFd_, name.c_str())
                              : ::rename(temp_.c_str(), target.c_str());
    if (r != 0) {
        err_ = errno;
        return false;
    }
    err_ = 0;
    final_ = target;
    temp_.clear();
    return true;
}

// Gives the unnamed file its name in the held folder (a file of that name
// replaced), then closes it. On failure the file stays open and unnamed.
bool OutputFile::linkAnonymous(const std::string& name, bool replace, int toFd, const std::string& toDir) {
    auto linkAs = [&](const std::string& as) {
        if (::linkat(fd_, "", toFd, as.c_str(), AT_EMPTY_PATH) == 0) return true;
        if (errno != ENOENT && errno != EPERM) return false;
        // Without the right to link a descriptor: through its /proc name.
        char proc[64];
        std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd_);
        return ::linkat(AT_FDCWD, proc, toFd, as.c_str(), AT_SYMLINK_FOLLOW) == 0;
    };
    if (!linkAs(name)) {
        if (errno != EEXIST || !replace) {
            err_ = errno;
            return false;
        }
        // A file of that name is replaced: linked under a temporary name,
        // then renamed over it.
        std::string temp;
        bool linked = false;
        for (int attempt = 0; attempt < 100 && !linked; ++attempt) {
            temp = tempName();
            linked = linkAs(temp);
            if (!linked && errno != EEXIST) break;
        }
        if (!linked) {
            err_ = errno;
            return false;
        }
        if (::renameat(toFd, temp.c_str(), toFd, name.c_str()) != 0) {
            err_ = errno;
            ::unlinkat(toFd, temp.c_str(), 0);
            return false;
        }
    }
    const int closed = ::close(fd_);
    fd_ = -1;
    anonymous_ = false;
    if (closed != 0) {
        err_ = errno;
        ::unlinkat(toFd, name.c_str(), 0);  // its content may not all have been stored
        return false;
    }
    err_ = 0;
    final_ = join(toDir, name);
    return true;
}

void OutputFile::discard() {
    if (fd_ >= 0) ::close(fd_);  // an unnamed file goes with its descriptor
    fd_ = -1;
    anonymous_ = false;
    if (!temp_.empty()) {
        if (dirFd_ >= 0)
            ::unlinkat(dirFd_, tempName_.c_str(), 0);
        else
            ::unlink(temp_.c_str());
    }
    temp_.clear();
}

int writeWholeFile(const std::string& path, const void* data, size_t n) {
    std::string dir = ".", name = path;
    size_t slash = path.rfind('/');
    if (slash != std::string::npos) {
        dir = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
    OutputFile f;
    if (!f.create(dir)) return f.error();
    if (!f.write(data, n)) return f.error();
    if (!f.commit(name, std::nullopt, std::nullopt)) return f.error();
    return 0;
}

}  // namespace brantlow::platform
