// The device reader: every byte taken from a disk, partition or image goes
// through it. Opened read-only, always.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace brantlow {

// Largest single read the reader accepts; larger requests fail.
constexpr uint64_t kMaxReadBytes = 1ull << 30;

class readWriteInterface {
public:
    readWriteInterface() = default;
    virtual ~readWriteInterface() = default;
    readWriteInterface(const readWriteInterface&) = delete;
    readWriteInterface& operator=(const readWriteInterface&) = delete;

    // Opens a source for reading. False with openError() set.
    virtual bool Open(const std::string& path) = 0;

    // Positional read at an absolute offset of the source. Returns the bytes
    // read (short at the end of the source), or -1. Safe to call from
    // several threads at once.
    virtual long long readAbsolute(uint64_t offset, void* buffer, size_t count) = 0;

    // Size of the opened source in bytes (0 when unknown).
    virtual uint64_t sizeBytes() const { return 0; }
    // The source's logical sector size: what partition tables count in.
    virtual uint32_t sectorSize() const { return 512; }
    // errno value of the last failed Open (EISDIR: a folder; ENOTBLK:
    // neither a block device nor a regular file).
    int openError() const { return openError_; }

protected:
    int openError_ = 0;
};

class FileReadSeek : public readWriteInterface {
public:
    FileReadSeek() = default;
    ~FileReadSeek() override;
    bool Open(const std::string& path) override;
    long long readAbsolute(uint64_t offset, void* buffer, size_t count) override;
    uint64_t sizeBytes() const override { return static_cast<uint64_t>(length); }
    void close();
    bool isOpen() const { return handle >= 0; }
    void adviseSequential();

    int64_t length = 0;
    int handle = -1;
    std::string path;
};

// Reads count bytes at absolute offset into buffer, zero-filling first;
// returns the number of bytes actually read. Every parser and writer reads
// through this, so no buffer ever holds stale bytes after a failed read.
size_t readZeroFill(readWriteInterface& reader, uint64_t offset, void* buffer, size_t count);

}  // namespace brantlow
