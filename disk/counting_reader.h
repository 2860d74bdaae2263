// A reader that counts the bytes read through it (for the operator's and
// the tests' view of what a run read from the source), and may hold reads
// to a rate (a slow disk, for the tests of interrupted runs).
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "disk/reader.h"

namespace brantlow {

class CountingReader : public readWriteInterface {
public:
    explicit CountingReader(std::shared_ptr<readWriteInterface> inner) : inner_(std::move(inner)) {
        setSectorSize(inner_->sectorSize());
    }
    bool Open(const std::string&) override { return true; }
    long long readAbsolute(uint64_t offset, void* buffer, size_t count) override {
        const long long n = inner_->readAbsolute(offset, buffer, count);
        if (n > 0) {
            const uint64_t total = bytes_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed) + n;
            if (rate_) std::this_thread::sleep_until(start_ + std::chrono::microseconds(total * 1000000 / rate_));
        }
        return n;
    }
    // At most this many bytes a second from now on (0: no limit).
    void limitRate(uint64_t bytesPerSecond) {
        rate_ = bytesPerSecond;
        start_ = std::chrono::steady_clock::now();
    }
    uint64_t sizeBytes() const override { return inner_->sizeBytes(); }
    void adviseSequential() override { inner_->adviseSequential(); }
    uint64_t bytesRead() const { return bytes_.load(); }

private:
    std::shared_ptr<readWriteInterface> inner_;
    std::atomic<uint64_t> bytes_{0};
    uint64_t rate_ = 0;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace brantlow
