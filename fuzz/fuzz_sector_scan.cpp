// Fuzzes the sector scan over an arbitrary disk image held in memory: the
// first four bytes choose skipping, the read size (small, so that windows and
// probes cross read boundaries), the range and a run of unreadable sectors.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "disk/partition.h"
#include "disk/sector_scan.h"
#include "fs/filesystems.h"

namespace {

class BytesReader : public brantlow::readWriteInterface {
public:
    BytesReader(const uint8_t* d, size_t n) : data_(d), size_(n) {}
    bool Open(const std::string&) override { return true; }
    long long readAbsolute(uint64_t off, void* buf, size_t count) override {
        if (badCount && off < (badFirst + badCount) * 512 && off + count > badFirst * 512) return -1;
        if (off >= size_) return 0;
        size_t n = count < size_ - off ? count : static_cast<size_t>(size_ - off);
        std::memcpy(buf, data_ + off, n);
        return static_cast<long long>(n);
    }
    uint64_t sizeBytes() const override { return size_; }
    uint64_t badFirst = 0, badCount = 0;

private:
    const uint8_t* data_;
    size_t size_;
};

class Sink : public brantlow::PartitionOwner {
public:
    void addEntry(const brantlow::VolumeEntry& e) override {
        volatile size_t s = e.fileSystem.size() + e.sizeText.size() + e.startSector;
        (void)s;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint8_t flags = data[0];
    BytesReader r(data + 4, size - 4);
    if (flags & 2) {
        r.badFirst = data[2];
        r.badCount = (data[3] & 15) + 1;
    }
    Sink s;
    brantlow::Partition p;
    p.owner = &s;
    p.skipFoundVolumes = flags & 1;
    if (flags & 4) p.scanStartSector = data[2];
    if (flags & 8) p.scanEndSector = data[3];
    const size_t chunk = 512 * (1 + (data[1] & 31));
    brantlow::ScanForFileSystems(r, p, brantlow::probeTable(), chunk);
    return 0;
}
