// Fuzzes the partition-table walk and volume identification over an
// arbitrary disk image held in memory.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "disk/partition.h"
#include "disk/source.h"
#include "fs/filesystems.h"

namespace {

class BytesReader : public brantlow::readWriteInterface {
public:
    BytesReader(const uint8_t* d, size_t n) : data_(d), size_(n) {}
    bool Open(const std::string&) override { return true; }
    long long readAbsolute(uint64_t off, void* buf, size_t count) override {
        if (off >= size_) return 0;
        size_t n = count < size_ - off ? count : static_cast<size_t>(size_ - off);
        std::memcpy(buf, data_ + off, n);
        return static_cast<long long>(n);
    }
    uint64_t sizeBytes() const override { return size_; }

private:
    const uint8_t* data_;
    size_t size_;
};

class Sink : public brantlow::PartitionOwner {
public:
    size_t count = 0;
    void addEntry(const brantlow::VolumeEntry& e) override {
        ++count;
        volatile size_t s = e.fileSystem.size() + e.sizeText.size();
        (void)s;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool gpt = data[0] & 1;
    BytesReader r(data + 1, size - 1);
    // Bit 1: tables counting in 4096-byte sectors; bit 2: as the content says.
    if (data[0] & 2) r.setSectorSize(4096);
    if (data[0] & 4) r.setSectorSize(brantlow::detectLogicalSectorSize(r, r.sectorSize()));
    Sink s;
    brantlow::Partition p;
    p.owner = &s;
    p.useGpt = gpt;
    brantlow::ReadPartitionTables(r, p, brantlow::probeTable());
    brantlow::identifyVolume(r, 0, brantlow::probeTable());
    return 0;
}
