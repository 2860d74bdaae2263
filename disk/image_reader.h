// Image containers read through their libraries (used by disk/source.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "disk/reader.h"

namespace brantlow {

// A disk image behind a container library. Reads are serialised (a library
// handle is not shared between threads); a read that fails is narrowed to
// the bytes before the damaged spot, which it returns as a short read, and
// each damaged spot is reported once through the damage reporter.
class ContainerReader : public readWriteInterface {
public:
    bool Open(const std::string&) override { return false; }  // made by openSourceReader
    long long readAbsolute(uint64_t offset, void* buffer, size_t count) override;
    uint64_t sizeBytes() const override { return mediaSize_; }

    // The image's own sector size (0 when it does not say).
    uint32_t declaredSectorSize() const { return declaredSectorSize_; }

protected:
    // Reads count bytes of the disk at offset (within the media size):
    // count, or -1 with *why set.
    virtual long long readMedia(uint64_t offset, void* buffer, size_t count, std::string* why) = 0;
    // After a read that succeeded: how many leading bytes are sound (the
    // rest is known to be damaged, *why says how). Default: all.
    virtual size_t soundPrefix(uint64_t offset, size_t count, std::string* why) { return count; }

    uint64_t mediaSize_ = 0;
    uint32_t declaredSectorSize_ = 0;
    std::string fileName_;  // the image's file name, for damage reports

private:
    std::mutex mutex_;
    std::set<uint64_t> reported_;  // 64 KiB areas already reported
};

// The root cause in a library's error backtrace: its first line, without
// the function name in front.
std::string libraryReason(const char* backtrace);

// The last component of a path.
std::string baseName(const std::string& path);

// Openers, one per library; each is built only when its library is found.
// nullptr with *why set on failure.
std::shared_ptr<ContainerReader> openEwfImage(const std::string& path, std::string* why);
std::shared_ptr<ContainerReader> openVhdiImage(const std::string& path, bool vhdx, std::string* why);
std::shared_ptr<ContainerReader> openVmdkImage(const std::string& path, std::string* why);
std::shared_ptr<ContainerReader> openQcowImage(const std::string& path, std::string* why);

}  // namespace brantlow
