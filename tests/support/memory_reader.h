// In-memory readers for byte-level tests: a disk image held in a vector,
// with optional failing ranges and a read counter.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

#include "disk/reader.h"

namespace brantlow::test {

class MemoryReader : public readWriteInterface {
public:
    explicit MemoryReader(std::vector<uint8_t> bytes) : data(std::move(bytes)) {}
    bool Open(const std::string&) override { return true; }
    long long readAbsolute(uint64_t offset, void* buffer, size_t count) override;
    uint64_t sizeBytes() const override { return data.size(); }

    // Reads touching [first, last) fail.
    void failRange(uint64_t first, uint64_t last) { failing.emplace_back(first, last); }
    // Reads touching [first, last) take ms milliseconds longer.
    void slowRange(uint64_t first, uint64_t last, int ms) { slow.push_back({first, last, ms}); }

    struct Slow {
        uint64_t first, last;
        int ms;
    };
    std::vector<uint8_t> data;
    std::vector<std::pair<uint64_t, uint64_t>> failing;
    std::vector<Slow> slow;
    std::atomic<uint64_t> reads{0};
    std::atomic<uint64_t> bytesAsked{0};
    // After this many reads every read fails with ENODEV (the disk was
    // unplugged); 0: never.
    std::atomic<uint64_t> vanishAfter{0};
};

}  // namespace brantlow::test
