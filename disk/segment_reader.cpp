#include "disk/segment_reader.h"

#include <algorithm>
#include <cstring>

namespace brantlow {

SegmentReader::SegmentReader(std::vector<Segment> segments, Transform transform)
    : segments_(std::move(segments)), transform_(std::move(transform)) {
    for (const Segment& s : segments_) {
        starts_.push_back(size_);
        if (__builtin_add_overflow(size_, s.length, &size_)) size_ = UINT64_MAX;
    }
}

long long SegmentReader::readAbsolute(uint64_t offset, void* buffer, size_t count) {
    if (count > kMaxReadBytes) return -1;
    if (offset >= size_ || count == 0) return 0;
    const uint64_t want = std::min<uint64_t>(count, size_ - offset);
    auto* out = static_cast<uint8_t*>(buffer);
    // The segment holding `offset`.
    size_t i = static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end(), offset) - starts_.begin()) - 1;
    uint64_t done = 0;
    while (done < want && i < segments_.size()) {
        const Segment& s = segments_[i];
        const uint64_t inSeg = offset + done - starts_[i];
        const uint64_t n = std::min<uint64_t>(want - done, s.length - inSeg);
        if (!s.reader) {
            std::memset(out + done, 0, static_cast<size_t>(n));
        } else {
            uint64_t at = 0;
            if (__builtin_add_overflow(s.offset, inSeg, &at)) break;
            const long long got = s.reader->readAbsolute(at, out + done, static_cast<size_t>(n));
            if (got <= 0) break;
            if (static_cast<uint64_t>(got) < n) {
                done += static_cast<uint64_t>(got);
                break;
            }
        }
        done += n;
        ++i;
    }
    if (done == 0) return -1;
    if (transform_) transform_(offset, out, static_cast<size_t>(done));
    return static_cast<long long>(done);
}

void SegmentReader::adviseSequential() {
    for (const Segment& s : segments_)
        if (s.reader) s.reader->adviseSequential();
}

}  // namespace brantlow
