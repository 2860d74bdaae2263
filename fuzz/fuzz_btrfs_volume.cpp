// The whole Btrfs scan over a small volume: a sound superblock (4 KiB
// nodes, one chunk mapping the volume onto itself, the chunk tree at
// 128 KiB, the root tree at 132 KiB) and the input as the tree nodes
// from 128 KiB on, each given this volume's id, its own address and a
// checksum that matches, so that the walk, the items, the older-leaf
// search, Advanced mode's device search and every entry's writer all run
// on the input's structure.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "base/content_sink.h"
#include "disk/reader.h"
#include "fs/btrfs/btrfs_format.h"
#include "fs/btrfs/btrfs_parser.h"

using namespace brantlow;

namespace {

constexpr size_t kVolume = 1u << 20, kNode = 4096, kFirstNode = 0x20000;

class BytesReader : public readWriteInterface {
public:
    explicit BytesReader(std::vector<uint8_t> b) : data_(std::move(b)) {}
    bool Open(const std::string&) override { return true; }
    long long readAbsolute(uint64_t off, void* buf, size_t n) override {
        if (off >= data_.size()) return 0;
        const size_t k = std::min<size_t>(n, data_.size() - off);
        std::memcpy(buf, data_.data() + off, k);
        return static_cast<long long>(k);
    }
    uint64_t sizeBytes() const override { return data_.size(); }

private:
    std::vector<uint8_t> data_;
};

void put64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }
void put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
void put16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
void seal(uint8_t* p, size_t n) { put32(p, btrfs::crc32c(0, p + 0x20, n - 0x20)); }

class CountSink : public ContentSink {
public:
    bool write(const void*, size_t n) override { return (total_ += n) < (64u << 20); }
    bool writeZeros(uint64_t n) override { return (total_ += n) < (64u << 20); }
    uint64_t size() const override { return total_; }

private:
    uint64_t total_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> img(kVolume, 0);
    uint8_t* sb = img.data() + btrfs::kSuperOffset;
    static const uint8_t fsid[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    std::memcpy(sb + 0x20, fsid, 16);
    put64(sb + 0x30, btrfs::kSuperOffset);
    std::memcpy(sb + 0x40, "_BHRfS_M", 8);
    put64(sb + 0x48, 10);                    // generation
    put64(sb + 0x50, kFirstNode + kNode);    // root tree
    put64(sb + 0x58, kFirstNode);            // chunk tree
    put64(sb + 0x70, kVolume);
    put64(sb + 0x88, 1);
    put32(sb + 0x90, 4096);
    put32(sb + 0x94, kNode);
    put32(sb + 0x98, kNode);
    put64(sb + 0xc9, 1);                     // devid
    // The system chunk array: one chunk, logical 0 = device byte 0.
    uint8_t* a = sb + 0x32b;
    put64(a, 256);
    a[8] = btrfs::kChunkItem;
    put64(a + 9, 0);
    uint8_t* c = a + 17;
    put64(c, kVolume);
    put64(c + 8, 2);
    put64(c + 16, 65536);
    put64(c + 24, btrfs::kBgSystem | btrfs::kBgMetadata | btrfs::kBgData);
    put16(c + 44, 1);
    put64(c + 48, 1);
    put64(c + 56, 0);
    put32(sb + 0xa0, 17 + 48 + 32);
    // A backup root naming the third node as an older root tree.
    put64(sb + 0xb2b, kFirstNode + 2 * kNode);
    put64(sb + 0xb2b + 8, 9);
    seal(sb, btrfs::kSuperSize);
    for (size_t i = 0; i * kNode < size && kFirstNode + (i + 1) * kNode <= kVolume; ++i) {
        uint8_t* node = img.data() + kFirstNode + i * kNode;
        std::memcpy(node, data + i * kNode, std::min(kNode, size - i * kNode));
        std::memcpy(node + 0x20, fsid, 16);
        put64(node + 0x30, kFirstNode + i * kNode);
        seal(node, kNode);
    }
    auto reader = std::make_shared<BytesReader>(std::move(img));
    for (ScanMode mode : {ScanMode::Standard, ScanMode::Advanced}) {
        BtrfsParser p;
        ScanContext ctx;
        ctx.volume = VolumeView(reader, 0, kVolume);
        ctx.mode = mode;
        if (p.scan(ctx) != ScanOutcome::Done) __builtin_trap();
        for (EntryId id = 0; id < p.entries().size(); ++id) {
            EntryInfo info;
            p.entryInfo(id, info);
            (void)p.children(id);
            (void)p.recoverability(id);
            (void)p.contentRanges(id);
            CountSink sink;
            p.writeContent(id, sink);
        }
        (void)p.children(kRootId);
    }
    return 0;
}
