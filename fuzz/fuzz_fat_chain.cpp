// FAT chain walks: a small FAT16 or FAT32 volume whose FAT and first data
// clusters come from the input. The directory walk and every file write
// must end, stay in bounds and never write more than a file's size.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fs/fat/fat_parser.h"
#include "fuzz/walk_and_write.h"

using namespace brantlow;

namespace {

// A volume that is zeros except for a boot sector, the FAT and the first
// data clusters, which come from the input.
class SparseReader : public readWriteInterface {
public:
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> pieces;
    uint64_t size = 0;
    bool Open(const std::string&) override { return true; }
    uint64_t sizeBytes() const override { return size; }
    long long readAbsolute(uint64_t off, void* buf, size_t count) override {
        if (off >= size) return 0;
        count = static_cast<size_t>(std::min<uint64_t>(count, size - off));
        std::memset(buf, 0, count);
        for (auto& [at, bytes] : pieces) {
            uint64_t lo = std::max(at, off), hi = std::min(at + bytes.size(), off + count);
            if (lo < hi) std::memcpy(static_cast<uint8_t*>(buf) + (lo - off), bytes.data() + (lo - at), hi - lo);
        }
        return static_cast<long long>(count);
    }
};

void put16(std::vector<uint8_t>& b, size_t o, uint16_t v) { b[o] = v & 0xFF; b[o + 1] = v >> 8; }
void put32(std::vector<uint8_t>& b, size_t o, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[o + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const bool fat32 = data[0] & 1;
    const bool formatted = data[0] & 2;
    const bool fat12 = !fat32 && (data[0] & 4);  // 12-bit entries, two in three bytes
    const uint8_t spc = fat32 ? 1 : static_cast<uint8_t>(1u << (data[1] % 3));
    data += 2;
    size -= 2;
    auto r = std::make_shared<SparseReader>();
    std::vector<uint8_t> bs(512, 0);
    bs[0] = 0xEB; bs[1] = 0x58; bs[2] = 0x90;
    std::memcpy(&bs[3], "mkfs.fat", 8);
    put16(bs, 11, 512);
    bs[13] = spc;
    bs[16] = 1;
    bs[510] = 0x55; bs[511] = 0xAA;
    uint64_t fatOff, fatBytes, dataOff;
    if (fat32) {
        const uint32_t clusters = 70000, spf = (clusters + 2) * 4 / 512 + 1;
        put16(bs, 14, 32);
        put32(bs, 32, 32 + spf + clusters);
        put32(bs, 36, spf);
        put32(bs, 44, 2);
        fatOff = 32 * 512;
        fatBytes = spf * 512ull;
        dataOff = fatOff + fatBytes;
    } else {
        const uint32_t clusters = fat12 ? 2000 : 5000;
        const uint32_t spf = (fat12 ? (clusters + 2) * 3 / 2 : (clusters + 2) * 2) / 512 + 1;
        put16(bs, 14, 1);
        put16(bs, 17, 64);  // 4 sectors of root
        put16(bs, 19, static_cast<uint16_t>(1 + spf + 4 + clusters * spc));
        put16(bs, 22, static_cast<uint16_t>(spf));
        fatOff = 512;
        fatBytes = spf * 512ull;
        dataOff = fatOff + fatBytes;  // the root region, then cluster 2
    }
    r->size = dataOff + (fat32 ? 70000ull : (fat12 ? 2000ull : 5000ull) * spc + 4) * 512 * spc;
    r->pieces.emplace_back(0, bs);
    // The input: half to the FAT, half to the root and first clusters.
    size_t half = size / 2;
    r->pieces.emplace_back(fatOff, std::vector<uint8_t>(data, data + std::min<size_t>(half, fatBytes)));
    r->pieces.emplace_back(dataOff, std::vector<uint8_t>(data + half, data + size));

    std::unique_ptr<FatParser> p;
    if (fat32)
        p = std::make_unique<Fat32Class>();
    else if (fat12)
        p = std::make_unique<Fat12Class>();
    else
        p = std::make_unique<Fat16Class>();
    ScanContext ctx;
    ctx.options.driveFormatted = formatted;
    ctx.volume = VolumeView(r, 0, r->size);
    if (p->scan(ctx) != ScanOutcome::Done) return 0;
    walkAndWrite(*p);
    return 0;
}
