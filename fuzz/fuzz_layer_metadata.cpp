// Fuzzes the readers of volume-group and RAID metadata behind their
// checksums: the first byte picks what the rest becomes.
//   0: an LVM2 metadata text, in a physical volume whose label and
//      metadata area header check out; the volume list opens it and reads
//      from every logical volume.
//   1: an md version 1 superblock (magic and checksum put right) on each
//      of three members, which are then put together and read.
//   2: the same for version 0.90.
//   3: parameters of a set without metadata over three members.
//   4: the bytes as a disk.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "scan/volumes.h"

namespace {

using Bytes = std::vector<uint8_t>;

class BytesReader : public brantlow::readWriteInterface {
public:
    explicit BytesReader(Bytes d) : data_(std::move(d)) {}
    bool Open(const std::string&) override { return true; }
    long long readAbsolute(uint64_t off, void* buf, size_t count) override {
        if (off >= data_.size()) return 0;
        const size_t n = count < data_.size() - off ? count : static_cast<size_t>(data_.size() - off);
        std::memcpy(buf, data_.data() + off, n);
        return static_cast<long long>(n);
    }
    uint64_t sizeBytes() const override { return data_.size(); }

private:
    Bytes data_;
};

void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void put64(Bytes& b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t lvmCrc(const uint8_t* p, size_t n) { return static_cast<uint32_t>(~crc32(~0xf597a6cfu & 0xffffffffu, p, static_cast<uInt>(n))); }

// Reads a little from the start, the middle and the end of each reader.
void touch(const std::shared_ptr<brantlow::readWriteInterface>& r) {
    if (!r) return;
    uint8_t buf[8192];
    const uint64_t size = r->sizeBytes();
    for (uint64_t at : {uint64_t{0}, size / 2, size > sizeof buf ? size - sizeof buf : 0})
        brantlow::readZeroFill(*r, at, buf, sizeof buf);
}

void volumeList(const std::shared_ptr<brantlow::readWriteInterface>& disk) {
    for (const brantlow::VolumeEntry& v : brantlow::listVolumes(disk, false)) touch(v.reader);
}

void assemble(const std::vector<Bytes>& members) {
    std::vector<std::shared_ptr<brantlow::readWriteInterface>> readers;
    for (const Bytes& m : members) readers.push_back(std::make_shared<BytesReader>(m));
    for (const brantlow::AssembledDisk& d : brantlow::assembleSources(readers, {"a", "b", "c"}).disks) touch(d.reader);
}

void lvm(const uint8_t* text, size_t n) {
    Bytes pv(2 << 20, 0);
    uint8_t* l = pv.data() + 512;
    std::memcpy(l, "LABELONE", 8);
    put64(pv, 512 + 8, 1);
    put32(pv, 512 + 20, 32);
    std::memcpy(l + 24, "LVM2 001", 8);
    std::memcpy(l + 32, "FUZZPV0000000000000000000000000A", 32);
    put64(pv, 512 + 64, pv.size());
    put64(pv, 512 + 72, 1 << 20);
    put64(pv, 512 + 104, 4096);
    put64(pv, 512 + 112, 256 << 10);
    put32(pv, 512 + 16, lvmCrc(l + 20, 492));
    n = n < (200u << 10) ? n : 200u << 10;
    std::memcpy(pv.data() + 4096 + 512, text, n);
    Bytes& h = pv;
    std::memcpy(h.data() + 4096 + 4, " LVM2 x[5A%r0N*>", 16);
    put32(h, 4096 + 20, 1);
    put64(h, 4096 + 24, 4096);
    put64(h, 4096 + 32, 256 << 10);
    put64(h, 4096 + 40, 512);
    put64(h, 4096 + 48, n);
    put32(h, 4096 + 56, lvmCrc(pv.data() + 4096 + 512, n));
    put32(h, 4096, lvmCrc(pv.data() + 4096 + 4, 508));
    volumeList(std::make_shared<BytesReader>(std::move(pv)));
}

void mdV1(const uint8_t* sb, size_t n) {
    std::vector<Bytes> members;
    for (int m = 0; m < 3; ++m) {
        Bytes b(1 << 20, static_cast<uint8_t>(0x11 * m));
        const size_t bytes = n < 1024 ? n : 1024;
        std::memcpy(b.data() + 4096, sb, bytes);
        put32(b, 4096, 0xa92b4efc);
        put32(b, 4096 + 4, 1);
        put64(b, 4096 + 144, 8);
        put32(b, 4096 + 160, static_cast<uint32_t>(m));  // a different member each
        uint32_t maxDev = 0;
        std::memcpy(&maxDev, b.data() + 4096 + 220, 4);
        maxDev %= 385;
        put32(b, 4096 + 220, maxDev);
        const size_t total = 256 + 2 * maxDev;
        uint64_t sum = 0;
        for (size_t i = 0; i + 4 <= total; i += 4)
            if (i != 216) sum += static_cast<uint32_t>(b[4096 + i] | b[4096 + i + 1] << 8 | b[4096 + i + 2] << 16 | static_cast<uint32_t>(b[4096 + i + 3]) << 24);
        if (total % 4) sum += static_cast<uint32_t>(b[4096 + total - 2] | b[4096 + total - 1] << 8);
        put32(b, 4096 + 216, static_cast<uint32_t>((sum & 0xffffffff) + (sum >> 32)));
        members.push_back(std::move(b));
    }
    assemble(members);
}

void md090(const uint8_t* sb, size_t n) {
    std::vector<Bytes> members;
    for (int m = 0; m < 3; ++m) {
        Bytes b(1 << 20, static_cast<uint8_t>(0x22 * m));
        const size_t at = (b.size() & ~size_t{65535}) - 65536;
        std::memcpy(b.data() + at, sb, n < 4096 ? n : 4096);
        put32(b, at, 0xa92b4efc);
        put32(b, at + 4, 0);
        put32(b, at + 8, 90);
        put32(b, at + (992 + 3) * 4, static_cast<uint32_t>(m));
        uint64_t sum = 0;
        for (size_t i = 0; i < 1024; ++i)
            if (i != 38) sum += static_cast<uint32_t>(b[at + 4 * i] | b[at + 4 * i + 1] << 8 | b[at + 4 * i + 2] << 16 | static_cast<uint32_t>(b[at + 4 * i + 3]) << 24);
        put32(b, at + 38 * 4, static_cast<uint32_t>((sum & 0xffffffff) + (sum >> 32)));
        members.push_back(std::move(b));
    }
    assemble(members);
}

void parameters(const uint8_t* text, size_t n) {
    std::vector<std::shared_ptr<brantlow::readWriteInterface>> readers;
    for (int m = 0; m < 3; ++m) readers.push_back(std::make_shared<BytesReader>(Bytes(256 << 10, static_cast<uint8_t>(m))));
    std::string error;
    const brantlow::AssembledDisk d = brantlow::assembleWithParameters(
        readers, {"a", "b", "c"}, std::string(reinterpret_cast<const char*>(text), n), error);
    touch(d.reader);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 20)) return 0;
    const uint8_t* rest = data + 1;
    const size_t n = size - 1;
    switch (data[0] % 5) {
        case 0: lvm(rest, n); break;
        case 1: mdV1(rest, n); break;
        case 2: md090(rest, n); break;
        case 3: parameters(rest, n); break;
        default: volumeList(std::make_shared<BytesReader>(Bytes(rest, rest + n))); break;
    }
    return 0;
}
