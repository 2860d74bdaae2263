// The device reader: every byte taken from a disk, partition or image goes
// through it. Opened read-only, always.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace brantlow {

enum class MoveMethod { Begin, Current, End };

// Largest single read the reader accepts; larger requests fail.
constexpr uint64_t kMaxReadBytes = 1ull << 30;

class readWriteInterface {
public:
    readWriteInterface();
    virtual ~readWriteInterface();
    readWriteInterface(const readWriteInterface&) = delete;
    readWriteInterface& operator=(const readWriteInterface&) = delete;

    virtual bool Open(const std::string& path) = 0;
    // Reads count bytes at the position the calling thread's last Seek set.
    // A short read delivers the bytes read followed by zeros and returns
    // false; when nothing was read the buffer is left as it was.
    virtual bool Read(void* buffer, uint64_t count);
    // Positions the calling thread at baseOffset + offset. False on a
    // negative or overflowing target.
    virtual bool Seek(int64_t offset, MoveMethod method = MoveMethod::Begin);

    // Positional read at an absolute device offset (baseOffset not added).
    // Returns the bytes read (short at the end of the object), or -1.
    // Safe to call from several threads at once.
    virtual long long readAbsolute(uint64_t offset, void* buffer, size_t count);

    // Size of the opened object in bytes (0 when unknown).
    virtual uint64_t sizeBytes() const { return 0; }

    std::atomic<int64_t> baseOffset{0};

protected:
    int64_t& threadPosition();

private:
    uint64_t serial_;
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

// The one shared reader and its sector count (512-byte sectors).
extern std::shared_ptr<readWriteInterface> g_deviceReader;
extern std::atomic<uint64_t> g_totalSectors;

// Reads count bytes at offset (relative to the reader's base offset) into
// buffer, zero-filling first; returns the number of bytes actually read.
// The helper every writer and parser uses, so that no buffer is ever left
// holding stale bytes after a failed read.
size_t readZeroFill(readWriteInterface& reader, uint64_t offset, void* buffer, size_t count);

}  // namespace brantlow
