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

#include "base/times.h"
#include "fs/api/parser.h"
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
    std::string& data() { return out_; }
    void clear() { out_.clear(); }

private:
    std::string out_;
};

class BlobReader {
public:
    BlobReader(const uint8_t* p, size_t n) : p_(p), end_(p ? p + n : p) {}
    // 0 once anything failed (ok() tells).
    uint64_t num() {
        if (p_ != end_ && *p_ < 0x80 && ok_) return *p_++;
        return longNum();
    }
    // A count of items each at least minBytes long: no more than what is
    // left could hold, nor than max.
    uint64_t count(uint64_t max, size_t minBytes = 1);
    // At most max bytes.
    std::string bytes(size_t max);
    // The same, not copied: a view into the blob.
    std::string_view view(size_t max);
    bool ok() const { return ok_; }
    bool atEnd() const { return p_ == end_; }
    size_t left() const { return static_cast<size_t>(end_ - p_); }
    void fail() { ok_ = false; }

private:
    uint64_t longNum();
    const uint8_t* p_;
    const uint8_t* end_;
    bool ok_ = true;
};

// One entry of a listing, packed: a number of bits telling its kind,
// state, flags, how its content is written and which of the optional
// fields follow, then those fields. The texts are views into the blob the
// entry was read from. A packed entry stands alone (no field is relative
// to another entry), so that a listing reads any entry where it lies.
struct PackedEntry {
    uint64_t parentGap = 0;  // its number less its parent's (ROOT: 0)
    EntryKind kind = EntryKind::File;
    EntryState state = EntryState::Live;
    uint8_t content = 0;  // 0 none, 1 extents cut at length, 2 kept bytes, 3 by the parser
    bool orphan = false, hasChildren = false, skipOnSave = false, firstLetterLost = false, stream = false;
    std::string_view name, attributes, originalPath;
    uint64_t size = 0;
    OptTime created, modified, accessed, deletedAt;
    // The times an output file gets, when they differ from accessed and
    // modified.
    bool outTimes = false;
    OptTime outAccessed, outModified;
    bool hasEstimate = false;
    RecoveryEstimate estimate;
    uint64_t length = 0;  // content 1: the bytes the extents give
    // content 2: where its bytes lie in the listing's kept bytes, and the
    // writer's word on them.
    uint64_t keptAt = 0, keptBytes = 0;
    uint8_t status = 0;
    std::string_view reason;
    std::string_view extents;  // packed ranges (encodeRanges)
    uint64_t sourceId = 0;     // the parser's own number of the entry
};

// Bounds on a packed entry: no name, path or text of a file system is
// longer; a file of a million fragments fits the extents.
constexpr size_t kMaxPackedName = 64 * 1024;
constexpr size_t kMaxPackedExtents = 32u << 20;
constexpr uint64_t kMaxKeptBytes = 4096;

void encodeEntry(BlobWriter& w, const PackedEntry& e);
// False when the bytes at the reader are not a packed entry within the
// bounds above (the extents are checked as ranges too).
bool decodeEntry(BlobReader& r, PackedEntry& e);

// A file's volume ranges as offset deltas and lengths.
std::string encodeRanges(const std::vector<VolumeRange>& ranges);
// False when the bytes are not such a list (or hold more than maxRanges).
bool decodeRanges(const uint8_t* p, size_t n, std::vector<VolumeRange>& out, size_t maxRanges = 1u << 24);
// The same check, nothing stored.
bool validRanges(const uint8_t* p, size_t n, size_t maxRanges = 1u << 24);

}  // namespace brantlow::session
