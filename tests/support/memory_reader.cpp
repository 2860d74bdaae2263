#include "tests/support/memory_reader.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace brantlow::test {

long long MemoryReader::readAbsolute(uint64_t offset, void* buffer, size_t count) {
    const uint64_t n0 = reads.fetch_add(1) + 1;
    bytesAsked.fetch_add(count);
    if (vanishAfter && n0 > vanishAfter) {
        errno = ENODEV;
        return -1;
    }
    for (const Slow& s : slow)
        if (offset < s.last && offset + count > s.first) std::this_thread::sleep_for(std::chrono::milliseconds(s.ms));
    for (auto& [a, b] : failing)
        if (offset < b && offset + count > a) {
            errno = EIO;
            return -1;
        }
    if (offset >= data.size()) return 0;
    size_t n = static_cast<size_t>(std::min<uint64_t>(count, data.size() - offset));
    std::memcpy(buffer, data.data() + offset, n);
    return static_cast<long long>(n);
}

}  // namespace brantlow::test
