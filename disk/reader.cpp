#include "disk/reader.h"

#include <cstring>
#include <unordered_map>

#include "fs/common/sinks.h"
#include "platform/posix_file.h"

namespace brantlow {

std::shared_ptr<readWriteInterface> g_deviceReader;
std::atomic<uint64_t> g_totalSectors{0};

namespace {
std::atomic<uint64_t> g_nextSerial{1};
}

readWriteInterface::readWriteInterface() : serial_(g_nextSerial.fetch_add(1)) {}
readWriteInterface::~readWriteInterface() = default;

int64_t& readWriteInterface::threadPosition() {
    // Each thread keeps its own position per reader, so a worker and the GUI
    // thread never move each other's reads.
    thread_local std::unordered_map<uint64_t, int64_t> positions;
    return positions[serial_];
}

bool readWriteInterface::Seek(int64_t offset, MoveMethod method) {
    (void)method;  // every caller positions from the start; the base is always added
    int64_t target = 0;
    if (__builtin_add_overflow(offset, baseOffset.load(std::memory_order_relaxed), &target)) return false;
    if (target < 0) return false;
    threadPosition() = target;
    return true;
}

bool readWriteInterface::Read(void* buffer, uint64_t count) {
    if (count == 0) return true;
    if (count > kMaxReadBytes || buffer == nullptr) return false;
    int64_t& pos = threadPosition();
    long long n = readAbsolute(static_cast<uint64_t>(pos), buffer, static_cast<size_t>(count));
    if (n <= 0) return false;
    if (static_cast<uint64_t>(n) < count)
        std::memset(static_cast<char*>(buffer) + n, 0, static_cast<size_t>(count - static_cast<uint64_t>(n)));
    int64_t next = 0;
    if (!__builtin_add_overflow(pos, static_cast<int64_t>(n), &next)) pos = next;
    return static_cast<uint64_t>(n) >= count;
}

long long readWriteInterface::readAbsolute(uint64_t, void*, size_t) { return -1; }

FileReadSeek::~FileReadSeek() { close(); }

void FileReadSeek::close() {
    if (handle >= 0) platform::closeFd(handle);
    handle = -1;
}

bool FileReadSeek::Open(const std::string& p) {
    close();
    int fd = platform::openReadOnly(p);
    if (fd < 0) {
        messageSink().info("invalid handle ...");
        return false;
    }
    handle = fd;
    path = p;
    uint64_t bytes = 0;
    if (!platform::objectSize(fd, &bytes)) bytes = 0;
    if (bytes > static_cast<uint64_t>(INT64_MAX)) bytes = static_cast<uint64_t>(INT64_MAX);
    length = static_cast<int64_t>(bytes);
    g_totalSectors.store(bytes / 512);
    return true;
}

long long FileReadSeek::readAbsolute(uint64_t offset, void* buffer, size_t count) {
    if (handle < 0 || count > kMaxReadBytes) return -1;
    return platform::preadFull(handle, buffer, count, offset);
}

void FileReadSeek::adviseSequential() {
    if (handle >= 0) platform::adviseSequential(handle);
}

size_t readZeroFill(readWriteInterface& reader, uint64_t offset, void* buffer, size_t count) {
    if (count == 0) return 0;
    std::memset(buffer, 0, count);
    if (count > kMaxReadBytes) return 0;
    uint64_t abs = 0;
    int64_t base = reader.baseOffset.load(std::memory_order_relaxed);
    if (base < 0 || __builtin_add_overflow(offset, static_cast<uint64_t>(base), &abs)) return 0;
    long long n = reader.readAbsolute(abs, buffer, count);
    if (n <= 0) {
        std::memset(buffer, 0, count);
        return 0;
    }
    return static_cast<size_t>(n);
}

}  // namespace brantlow
