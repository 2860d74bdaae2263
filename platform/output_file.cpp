#include "platform/output_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brantlow::platform {

namespace {

std::atomic<uint64_t> g_tempSerial{0};

std::string join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

}  // namespace

OutputFile::~OutputFile() { discard(); }

bool OutputFile::create(const std::string& dir) {
    discard();
    err_ = 0;
    size_ = stored_ = pendingHole_ = 0;
    closed_ = false;
    dir_ = dir;
    final_.clear();
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, ".brantlow-%ld-%llu.part", static_cast<long>(::getpid()),
                      static_cast<unsigned long long>(g_tempSerial.fetch_add(1)));
        temp_ = join(dir, name);
        do {
            fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
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
                        const std::optional<Stamp>& modified) {
    if (temp_.empty()) return false;
    if (!closed_) {
        if (fd_ < 0) return false;
        if (!err_ && pendingHole_ && ::ftruncate(fd_, static_cast<off_t>(size_)) != 0) err_ = errno;
        pendingHole_ = 0;
        struct timespec ts[2];
        ts[0].tv_sec = accessed ? static_cast<time_t>(accessed->sec) : 0;
        ts[0].tv_nsec = accessed ? accessed->nsec : UTIME_OMIT;
        ts[1].tv_sec = modified ? static_cast<time_t>(modified->sec) : 0;
        ts[1].tv_nsec = modified ? modified->nsec : UTIME_OMIT;
        if (!err_) ::futimens(fd_, ts);
        if (::close(fd_) != 0 && !err_) err_ = errno;
        fd_ = -1;
        closed_ = true;
        if (err_) return false;
    }
    std::string target = join(dir_, name);
    if (::rename(temp_.c_str(), target.c_str()) != 0) {
        err_ = errno;
        return false;
    }
    err_ = 0;
    final_ = target;
    temp_.clear();
    return true;
}

void OutputFile::discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
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
