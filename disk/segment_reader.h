// A reader whose bytes are pieces of other readers laid end to end: a
// volume inside a container (a payload after a header, a logical volume
// made of extents of a physical one). Read-only like every reader; the
// pieces' own readers do the reading.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "disk/reader.h"

namespace brantlow {

class SegmentReader : public readWriteInterface {
public:
    struct Segment {
        std::shared_ptr<readWriteInterface> reader;  // null: reads as zeros (a hole)
        uint64_t offset = 0;                         // where the piece starts in `reader`
        uint64_t length = 0;
    };
    // Transforms bytes in place after they were read (a decryption, a
    // mask); `position` is the bytes' position in this reader.
    using Transform = std::function<void(uint64_t position, uint8_t* bytes, size_t count)>;

    explicit SegmentReader(std::vector<Segment> segments, Transform transform = {});

    bool Open(const std::string&) override { return false; }
    long long readAbsolute(uint64_t offset, void* buffer, size_t count) override;
    uint64_t sizeBytes() const override { return size_; }
    void adviseSequential() override;

private:
    std::vector<Segment> segments_;
    std::vector<uint64_t> starts_;  // each segment's first byte in this reader
    uint64_t size_ = 0;
    Transform transform_;
};

}  // namespace brantlow
