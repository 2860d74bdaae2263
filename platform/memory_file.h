// A file that lives in memory only: for a library that reads its input
// through a path, fed with a copy of the few bytes it needs. Nothing of it
// ever reaches a disk; it is gone when dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace brantlow::platform {

class MemoryFile {
public:
    MemoryFile() = default;
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    // Makes an empty one; false with the errno value in *err.
    bool create(const char* name, int* err);
    // Writes n bytes at offset; false on a failure.
    bool writeAt(uint64_t offset, const void* data, size_t n);
    // Sets its length (the bytes beyond what was written read as zeros and
    // take no memory).
    bool resize(uint64_t length);
    // A path the process can open it by while it exists ("/proc/self/fd/N").
    std::string path() const;
    bool isOpen() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// The machine's memory in bytes (0 when unknown).
uint64_t physicalMemoryBytes();

}  // namespace brantlow::platform
