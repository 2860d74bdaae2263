#include "platform/image_io.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/posix_file.h"

namespace brantlow::platform {

namespace {

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The whole disk a block device number belongs to (itself when it is one).
dev_t wholeDiskOf(dev_t dev) {
    char link[64];
    std::snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(dev), minor(dev));
    struct stat st {};
    if (::stat((std::string(link) + "/partition").c_str(), &st) != 0) return dev;
    char buf[64] = {};
    const int fd = ::open((std::string(link) + "/../dev").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return dev;
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    unsigned ma = 0, mi = 0;
    if (n <= 0 || std::sscanf(buf, "%u:%u", &ma, &mi) != 2) return dev;
    return makedev(ma, mi);
}

}  // namespace

int openSourceForImaging(const std::string& path, int* directFd, int* err) {
    *directFd = -1;
    const int fd = openSource(path, err);
    if (fd < 0) return -1;
    if (isBlockDevice(fd)) {
        int d;
        do {
            d = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_DIRECT);
        } while (d < 0 && errno == EINTR);
        *directFd = d;
    }
    return fd;
}

bool blockDevicePresent(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    if (!S_ISBLK(st.st_mode)) return true;
    char link[64];
    std::snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(st.st_rdev), minor(st.st_rdev));
    struct stat ls {};
    return ::stat(link, &ls) == 0;
}

int openImageFile(const std::string& path, int* err) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    *err = 0;
    return fd;
}

int pwriteFull(int fd, const void* data, size_t n, uint64_t offset) {
    const auto* p = static_cast<const unsigned char*>(data);
    size_t done = 0;
    while (done < n) {
        if (offset + done > static_cast<uint64_t>(LLONG_MAX)) return EFBIG;
        const ssize_t w = ::pwrite(fd, p + done, n - done, static_cast<off_t>(offset + done));
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (w == 0) return ENOSPC;
        done += static_cast<size_t>(w);
    }
    return 0;
}

int syncData(int fd) { return ::fdatasync(fd) == 0 ? 0 : errno; }

int growFile(int fd, uint64_t size) {
    if (sizeOfFd(fd) >= size) return 0;
    if (size > static_cast<uint64_t>(LLONG_MAX)) return EFBIG;
    return ::ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
}

uint64_t sizeOfFd(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

int writeFileDurably(const std::string& path, const void* data, size_t n) {
    const std::string dir = folderOf(path);
    std::string temp = path + ".tmp-XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return errno;
    ::fchmod(fd, 0644);
    int e = pwriteFull(fd, data, n, 0);
    if (!e && ::fsync(fd) != 0) e = errno;
    if (::close(fd) != 0 && !e) e = errno;
    if (!e && ::rename(temp.c_str(), path.c_str()) != 0) e = errno;
    if (e) {
        ::unlink(temp.c_str());
        return e;
    }
    const int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d >= 0) {
        ::fsync(d);
        ::close(d);
    }
    return 0;
}

int lockBeside(const std::string& path, int* err) {
    const std::string lock = path + ".lock";
    for (int attempt = 0; attempt < 16; ++attempt) {
        const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            *err = errno;
            return -2;
        }
        while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EINTR) continue;
            const int e = errno;
            ::close(fd);
            if (e == EWOULDBLOCK) return -1;
            *err = e;
            return -2;
        }
        // The holder before us may have removed the file as we opened it:
        // the lock counts only on the file that is there now.
        struct stat held {}, now {};
        if (::fstat(fd, &held) == 0 && ::stat(lock.c_str(), &now) == 0 && held.st_ino == now.st_ino &&
            held.st_dev == now.st_dev)
            return fd;
        ::close(fd);
    }
    *err = EAGAIN;
    return -2;
}

void releaseLockBeside(int fd, const std::string& path) {
    if (fd < 0) return;
    ::unlink((path + ".lock").c_str());
    ::close(fd);
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    if (S_ISBLK(sa.st_mode) && S_ISBLK(sb.st_mode)) return sa.st_rdev == sb.st_rdev;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool writesOntoDevice(const std::string& path, const std::string& devicePath) {
    struct stat dev {}, target {};
    if (::stat(devicePath.c_str(), &dev) != 0 || !S_ISBLK(dev.st_mode)) return false;
    const dev_t disk = wholeDiskOf(dev.st_rdev);
    if (::stat(path.c_str(), &target) != 0 && ::stat(folderOf(path).c_str(), &target) != 0) return false;
    const dev_t on = S_ISBLK(target.st_mode) ? target.st_rdev : target.st_dev;
    return on == dev.st_rdev || wholeDiskOf(on) == disk;
}

}  // namespace brantlow::platform
