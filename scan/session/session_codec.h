// The packed columns of a session file: unsigned LEB128 numbers and
// length-prefixed bytes. A session file is input like any other: every
// count and length read back is checked against what is left and against
// a bound before anything is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fs/api/recoverability.h"

namespace brantlow::session {

class BlobWriter {
public:
    void num(uint64_t v) {
        while (v >= 0x80) {
            out_ += static_cast<char>(0x80 | (v & 0x7f));
            v >>= 7;
        }
        out_ += static_cast<char>(v);
    }
    void bytes(std::string_view s) {
        num(s.size());
        out_.append(s);
    }
    const std::string& data() const { return out_; }

private:
    std::string out_;
};

class BlobReader {
public:
    BlobReader(const uint8_t* p, size_t n) : p_(p), end_(p ? p + n : p) {}
    // 0 once anything failed (ok() tells).
    uint64_t num();
    // A count of items each at least minBytes long: no more than what is
    // left could hold, nor than max.
    uint64_t count(uint64_t max, size_t minBytes = 1);
    // At most max bytes.
    std::string bytes(size_t max);
    bool ok() const { return ok_; }
    bool atEnd() const { return p_ == end_; }
    void fail() { ok_ = false; }

private:
    const uint8_t* p_;
    const uint8_t* end_;
    bool ok_ = true;
};

// A file's volume ranges as offset deltas and lengths.
std::string encodeRanges(const std::vector<VolumeRange>& ranges);
// False when the bytes are not such a list (or hold more than maxRanges).
bool decodeRanges(const uint8_t* p, size_t n, std::vector<VolumeRange>& out, size_t maxRanges = 1u << 24);

}  // namespace brantlow::session
