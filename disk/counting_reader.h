// A reader that counts the bytes read through it (for the operator's and
// the tests' view of what a run read from the source).
#pragma once

#include <atomic>
#include <memory>

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
        if (n > 0) bytes_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        return n;
    }
    uint64_t sizeBytes() const override { return inner_->sizeBytes(); }
    void adviseSequential() override { inner_->adviseSequential(); }
    uint64_t bytesRead() const { return bytes_.load(); }

private:
    std::shared_ptr<readWriteInterface> inner_;
    std::atomic<uint64_t> bytes_{0};
};

}  // namespace brantlow
