// Where a parser's writer puts a file's content: an output file, memory (a
// preview, a recycle-bin record), or a stream. Zeros are handed over as
// such, so that a file output can leave a hole for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>

namespace brantlow {

class ContentSink {
public:
    virtual ~ContentSink() = default;
    // Appends n bytes. False when the bytes could not be taken (a write
    // error; the writer stops).
    virtual bool write(const void* data, size_t n) = 0;
    // Appends n zero bytes (sparse runs, unwritten extents, unreadable
    // clusters).
    virtual bool writeZeros(uint64_t n) = 0;
    // Appends n bytes found at offset `at` of the open file fd, copied
    // without passing through the writer's memory; only where copies()
    // says so (the others are handed the bytes). The file stays open
    // while the sink lives.
    virtual bool copies() const { return false; }
    virtual bool copy(int fd, uint64_t at, uint64_t n) {
        (void)fd, (void)at, (void)n;
        return false;
    }
    // Bytes taken so far, zeros included.
    virtual uint64_t size() const = 0;
    // True once the sink wants no more (a preview's cap): writers may stop
    // early and report the file complete.
    virtual bool full() const { return false; }
};

// Keeps at most `cap` bytes in memory; what comes after is counted, not kept.
class MemorySink : public ContentSink {
public:
    explicit MemorySink(size_t cap) : cap_(cap) {}
    bool write(const void* data, size_t n) override {
        size_t keep = bytes.size() < cap_ ? std::min(n, cap_ - bytes.size()) : 0;
        const auto* p = static_cast<const uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + keep);
        total_ += n;
        return true;
    }
    bool writeZeros(uint64_t n) override {
        size_t keep = bytes.size() < cap_ ? static_cast<size_t>(std::min<uint64_t>(n, cap_ - bytes.size())) : 0;
        bytes.insert(bytes.end(), keep, 0);
        total_ += n;
        return true;
    }
    uint64_t size() const override { return total_; }
    bool full() const override { return bytes.size() >= cap_; }

    std::vector<uint8_t> bytes;

private:
    size_t cap_;
    uint64_t total_ = 0;
};

}  // namespace brantlow
