#include "disk/reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/posix_file.h"

namespace brantlow {

FileReadSeek::~FileReadSeek() { close(); }

void FileReadSeek::close() {
    if (handle >= 0) platform::closeFd(handle);
    handle = -1;
    length = 0;
    regular_ = false;
    sectorSize_ = 512;
}

bool FileReadSeek::Open(const std::string& p) {
    close();
    int err = 0;
    int fd = platform::openSource(p, &err);
    if (fd < 0) {
        openError_ = err;
        return false;
    }
    openError_ = 0;
    handle = fd;
    path = p;
    uint64_t bytes = 0;
    if (!platform::objectSize(fd, &bytes)) bytes = 0;
    if (bytes > static_cast<uint64_t>(INT64_MAX)) bytes = static_cast<uint64_t>(INT64_MAX);
    length = static_cast<int64_t>(bytes);
    uint32_t ss = 512;
    if (!platform::logicalSectorSize(fd, &ss)) ss = 512;
    setSectorSize(ss);
    regular_ = platform::isRegularFile(fd);
    return true;
}

bool FileReadSeek::plainExtent(uint64_t offset, uint64_t count, int& fd, uint64_t& fileOffset) const {
    if (handle < 0 || !regular_ || count > kMaxReadBytes || offset > static_cast<uint64_t>(length) ||
        count > static_cast<uint64_t>(length) - offset)
        return false;
    fd = handle;
    fileOffset = offset;
    return true;
}

long long FileReadSeek::readAbsolute(uint64_t offset, void* buffer, size_t count) {
    if (handle < 0 || count > kMaxReadBytes) return -1;
    return platform::preadFull(handle, buffer, count, offset);
}

void FileReadSeek::adviseSequential() {
    if (handle >= 0) platform::adviseSequential(handle);
}

size_t readZeroFill(readWriteInterface& reader, uint64_t offset, void* buffer, size_t count) {
    if (count == 0) return 0;
    long long n = count > kMaxReadBytes ? -1 : reader.readAbsolute(offset, buffer, count);
    if (n <= 0) {
        std::memset(buffer, 0, count);
        return 0;
    }
    // Only what the read did not fill is zeroed (a reader may have written
    // past what it reports).
    const size_t got = std::min(static_cast<size_t>(n), count);
    if (got < count) std::memset(static_cast<uint8_t*>(buffer) + got, 0, count - got);
    return got;
}

}  // namespace brantlow
