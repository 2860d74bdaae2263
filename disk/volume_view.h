// A volume as the parsers see it: the shared reader, the volume's first byte
// on the device and its exact size. Reads are positional (thread-safe), zero
// filled on failure, and wait at the pause gate so a paused worker halts
// within one read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "disk/reader.h"
#include "base/sinks.h"

namespace brantlow {

class VolumeView {
public:
    VolumeView() = default;
    VolumeView(std::shared_ptr<readWriteInterface> reader, uint64_t startByte, uint64_t sizeBytes)
        : reader_(std::move(reader)), start_(startByte), size_(sizeBytes) {}

    readWriteInterface* reader() const { return reader_.get(); }
    const std::shared_ptr<readWriteInterface>& readerPtr() const { return reader_; }
    uint64_t startByte() const { return start_; }
    uint64_t sizeBytes() const { return size_; }
    void setSizeBytes(uint64_t s) { size_ = s; }
    void setPauseGate(PauseGate* gate) { gate_ = gate; }

    // Reads count bytes at volume offset off; the buffer is zero-filled first.
    // Returns the number of bytes actually read (count on success).
    size_t read(uint64_t off, void* buf, size_t count) const {
        if (count == 0) return 0;
        uint64_t abs = 0;
        if (!reader_ || __builtin_add_overflow(start_, off, &abs)) {
            std::memset(buf, 0, count);
            return 0;
        }
        if (gate_) gate_->wait();
        return readZeroFill(*reader_, abs, buf, count);
    }
    // Where count bytes at volume offset off lie as they are in a regular
    // file (see readWriteInterface::plainExtent); waits at the pause gate
    // as a read does.
    bool plainExtent(uint64_t off, uint64_t count, int& fd, uint64_t& fileOffset) const {
        uint64_t abs = 0;
        if (!reader_ || __builtin_add_overflow(start_, off, &abs)) return false;
        if (!reader_->plainExtent(abs, count, fd, fileOffset)) return false;
        if (gate_) gate_->wait();
        return true;
    }
    // True when all count bytes were read.
    bool readExact(uint64_t off, void* buf, size_t count) const { return read(off, buf, count) == count; }

private:
    std::shared_ptr<readWriteInterface> reader_;
    uint64_t start_ = 0;
    uint64_t size_ = 0;
    PauseGate* gate_ = nullptr;
};

}  // namespace brantlow
