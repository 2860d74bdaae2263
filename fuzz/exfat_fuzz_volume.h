// A small exFAT volume for the fuzz targets: a valid boot sector, and the
// FAT and the heap taken from the input; everything else reads as zeros.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "disk/reader.h"
#include "fs/exfat/exfat_parser.h"
#include "fuzz/walk_and_write.h"

namespace brantlow::fuzz {

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

constexpr uint32_t kClusters = 128;
constexpr uint64_t kFatOffset = 24 * 512;
constexpr uint64_t kHeapOffset = 64 * 512;

inline void put32(std::vector<uint8_t>& b, size_t o, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[o + i] = static_cast<uint8_t>(v >> (8 * i));
}

// spcShift 0..3 (512 B to 4 KiB clusters).
inline std::shared_ptr<SparseReader> makeVolume(unsigned spcShift, const std::vector<uint8_t>& fat,
                                                const std::vector<uint8_t>& heap) {
    auto r = std::make_shared<SparseReader>();
    std::vector<uint8_t> bs(512, 0);
    bs[0] = 0xEB, bs[1] = 0x76, bs[2] = 0x90;
    std::memcpy(&bs[3], "EXFAT   ", 8);
    const uint64_t cs = 512ull << spcShift;
    r->size = kHeapOffset + kClusters * cs;
    put32(bs, 72, static_cast<uint32_t>(r->size / 512));
    put32(bs, 80, 24);
    put32(bs, 84, 2);
    put32(bs, 88, 64);
    put32(bs, 92, kClusters);
    put32(bs, 96, 2);
    bs[108] = 9;
    bs[109] = static_cast<uint8_t>(spcShift);
    bs[110] = 1;
    bs[510] = 0x55, bs[511] = 0xAA;
    r->pieces.emplace_back(0, bs);
    r->pieces.emplace_back(kFatOffset, fat);
    r->pieces.emplace_back(kHeapOffset, heap);
    return r;
}

// Scans (standard or advanced), lists every entry, writes a few files and
// checks no output exceeds the listed size.
inline void scanAndWrite(const std::shared_ptr<SparseReader>& r, bool advanced, bool formatted) {
    Fat64Class p;
    ScanContext ctx;
    ctx.volume = VolumeView(r, 0, r->size);
    ctx.mode = advanced ? ScanMode::Advanced : ScanMode::Standard;
    ctx.options.driveFormatted = formatted;
    if (p.scan(ctx) != ScanOutcome::Done) return;
    walkAndWrite(p);
}

}  // namespace brantlow::fuzz
