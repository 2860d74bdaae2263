#include "tests/support/memory_reader.h"

#include <cstring>

namespace brantlow::test {

long long MemoryReader::readAbsolute(uint64_t offset, void* buffer, size_t count) {
    reads.fetch_add(1);
    for (auto& [a, b] : failing)
        if (offset < b && offset + count > a) return -1;
    if (offset >= data.size()) return 0;
    size_t n = static_cast<size_t>(std::min<uint64_t>(count, data.size() - offset));
    std::memcpy(buffer, data.data() + offset, n);
    return static_cast<long long>(n);
}

}  // namespace brantlow::test
