// The device reader: every byte taken from a disk, partition or image goes
// through it. Opened read-only, always.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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
    // The source's logical sector size: what partition tables count in
    // (512, or 4096 on disks with 4096-byte logical sectors). Positions
    // elsewhere in the program stay in bytes or 512-byte units.
    uint32_t sectorSize() const { return sectorSize_; }
    // Powers of two from 512 to 4096; anything else is taken as 512.
    void setSectorSize(uint32_t bytes) {
        sectorSize_ = (bytes >= 512 && bytes <= 4096 && (bytes & (bytes - 1)) == 0) ? bytes : 512;
    }
    // errno value of the last failed Open (EISDIR: a folder; ENOTBLK:
    // neither a block device nor a regular file).
    int openError() const { return openError_; }
    // Hint that the source will be read from start to end in large pieces.
    virtual void adviseSequential() {}
    // Where the count bytes at offset lie, as they are, in a regular file
    // this reader holds open: its descriptor and the offset in it, for a
    // copy that does not pass through memory. False where they do not (an
    // image format, a layer, a device, past the end): read them instead.
    virtual bool plainExtent(uint64_t offset, uint64_t count, int& fd, uint64_t& fileOffset) const {
        (void)offset, (void)count, (void)fd, (void)fileOffset;
        return false;
    }

    // Where a reader reports damage it meets inside an image file (a chunk
    // that fails its checksum, a table entry that points outside the file):
    // one line each, naming the offset. Called from whichever thread reads,
    // with none of the reader's locks held. Set it before reading.
    using DamageReporter = std::function<void(const std::string&)>;
    void setDamageReporter(DamageReporter r) { damageReporter_ = std::move(r); }
    bool hasDamageReporter() const { return static_cast<bool>(damageReporter_); }

protected:
    void reportDamage(const std::string& text) const {
        if (damageReporter_) damageReporter_(text);
    }
    int openError_ = 0;
    uint32_t sectorSize_ = 512;

private:
    DamageReporter damageReporter_;
};

class FileReadSeek : public readWriteInterface {
public:
    FileReadSeek() = default;
    ~FileReadSeek() override;
    bool Open(const std::string& path) override;
    long long readAbsolute(uint64_t offset, void* buffer, size_t count) override;
    uint64_t sizeBytes() const override { return static_cast<uint64_t>(length); }
    bool plainExtent(uint64_t offset, uint64_t count, int& fd, uint64_t& fileOffset) const override;
    void close();
    bool isOpen() const { return handle >= 0; }
    void adviseSequential() override;

    int64_t length = 0;
    int handle = -1;
    std::string path;

private:
    bool regular_ = false;  // a regular file (not a device)
};

// Reads count bytes at absolute offset into buffer, zeros where nothing was read;
// returns the number of bytes actually read. Every parser and writer reads
// through this, so no buffer ever holds stale bytes after a failed read.
size_t readZeroFill(readWriteInterface& reader, uint64_t offset, void* buffer, size_t count);

}  // namespace brantlow
