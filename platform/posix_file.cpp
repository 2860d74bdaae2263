#include "platform/posix_file.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brantlow::platform {

int openSource(const std::string& path, int* err) {
    // A socket cannot be opened at all (ENXIO, "No such device or
    // address"): say what it is instead, as for a FIFO.
    struct stat pre {};
    if (::stat(path.c_str(), &pre) == 0 && S_ISSOCK(pre.st_mode)) {
        if (err) *err = ENOTBLK;
        return -1;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (err) *err = errno;
        return -1;
    }
    struct stat st {};
    int e = 0;
    if (::fstat(fd, &st) != 0)
        e = errno;
    else if (S_ISDIR(st.st_mode))
        e = EISDIR;
    else if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
        e = ENOTBLK;
    if (e) {
        ::close(fd);
        if (err) *err = e;
        return -1;
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    if (err) *err = 0;
    return fd;
}

bool isBlockDevice(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode);
}

bool isRegularFile(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

bool logicalSectorSize(int fd, uint32_t* bytes) {
    if (!isBlockDevice(fd)) return false;
    int ss = 0;
    if (::ioctl(fd, BLKSSZGET, &ss) != 0 || ss <= 0) return false;
    *bytes = static_cast<uint32_t>(ss);
    return true;
}

bool objectSize(int fd, uint64_t* bytes) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    if (S_ISBLK(st.st_mode)) {
        uint64_t sz = 0;
        if (::ioctl(fd, BLKGETSIZE64, &sz) == 0) {
            *bytes = sz;
            return true;
        }
        off_t end = ::lseek(fd, 0, SEEK_END);
        if (end < 0) return false;
        *bytes = static_cast<uint64_t>(end);
        return true;
    }
    if (st.st_size < 0) return false;
    *bytes = static_cast<uint64_t>(st.st_size);
    return true;
}

long long preadFull(int fd, void* buf, size_t count, uint64_t offset) {
    if (offset > static_cast<uint64_t>(LLONG_MAX)) return -1;
    auto* p = static_cast<unsigned char*>(buf);
    size_t done = 0;
    while (done < count) {
        size_t want = count - done;
        if (want > 0x40000000u) want = 0x40000000u;
        uint64_t pos = offset + done;
        if (pos > static_cast<uint64_t>(LLONG_MAX)) break;
        ssize_t n = ::pread(fd, p + done, want, static_cast<off_t>(pos));
        if (n < 0) {
            if (errno == EINTR) continue;
            if (done == 0) return -1;
            break;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<long long>(done);
}

void closeFd(int fd) {
    if (fd >= 0) ::close(fd);
}

void adviseSequential(int fd) {
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#else
    (void)fd;
#endif
}

}  // namespace brantlow::platform
