// A source held in memory, for the fuzz targets that lay their input out as
// a volume.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "disk/reader.h"

namespace brantlow {

class PieceReader : public readWriteInterface {
public:
    std::vector<uint8_t> bytes;
    bool Open(const std::string&) override { return true; }
    uint64_t sizeBytes() const override { return bytes.size(); }
    long long readAbsolute(uint64_t off, void* buf, size_t count) override {
        if (off >= bytes.size()) return 0;
        count = static_cast<size_t>(std::min<uint64_t>(count, bytes.size() - off));
        std::memcpy(buf, bytes.data() + off, count);
        return static_cast<long long>(count);
    }
};

}  // namespace brantlow
