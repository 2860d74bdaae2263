// LZNT1 decoder: any input, any capacity, never a read or write outside the
// buffers.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fs/ntfs/ntfs_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // The first two bytes choose the capacity (up to 64 KiB + a bit).
    const size_t capacity = (static_cast<size_t>(data[0]) | (static_cast<size_t>(data[1]) << 8)) + 1;
    std::vector<uint8_t> in(data + 2, data + size);
    std::vector<uint8_t> out(capacity);
    size_t n = brantlow::decompressUnit(in.data(), in.size(), out.data(), out.size());
    if (n > capacity) __builtin_trap();
    return 0;
}
