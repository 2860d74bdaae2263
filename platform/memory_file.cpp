#include "platform/memory_file.h"

#include <cerrno>
#include <sys/mman.h>
#include <unistd.h>

namespace brantlow::platform {

MemoryFile::~MemoryFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool MemoryFile::create(const char* name, int* err) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = memfd_create(name, MFD_CLOEXEC);
    if (fd_ < 0 && err) *err = errno;
    return fd_ >= 0;
}

bool MemoryFile::writeAt(uint64_t offset, const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        const ssize_t w = ::pwrite(fd_, p, n, static_cast<off_t>(offset));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
        offset += static_cast<uint64_t>(w);
    }
    return true;
}

bool MemoryFile::resize(uint64_t length) {
    return fd_ >= 0 && length <= static_cast<uint64_t>(INT64_MAX) && ::ftruncate(fd_, static_cast<off_t>(length)) == 0;
}

std::string MemoryFile::path() const { return fd_ >= 0 ? "/proc/self/fd/" + std::to_string(fd_) : std::string(); }

uint64_t physicalMemoryBytes() {
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    return pages > 0 && page > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(page) : 0;
}

}  // namespace brantlow::platform
