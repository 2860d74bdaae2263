// MFT record parsing and content extraction: the input is MFT records 1-15
// of a small volume whose record 0 describes a 16-record MFT. The volume is
// scanned, its tree walked and every small file's content extracted. The
// structure decoders also get the input on their own.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "disk/reader.h"
#include "fs/ntfs/ntfs.h"
#include "fs/ntfs/ntfs_record.h"
#include "scan/tree_walk.h"

using namespace brantlow;

namespace {

class BufferReader : public readWriteInterface {
public:
    explicit BufferReader(std::vector<uint8_t> b) : data_(std::move(b)) {}
    bool Open(const std::string&) override { return true; }
    long long readAbsolute(uint64_t off, void* buf, size_t n) override {
        if (off >= data_.size()) return 0;
        size_t k = std::min<uint64_t>(n, data_.size() - off);
        std::memcpy(buf, data_.data() + off, k);
        return static_cast<long long>(k);
    }
    uint64_t sizeBytes() const override { return data_.size(); }

private:
    std::vector<uint8_t> data_;
};

constexpr size_t kCluster = 4096;
constexpr size_t kClusters = 24;

void put16(uint8_t* p, uint16_t v) { p[0] = v & 0xFF; p[1] = v >> 8; }
void put32(uint8_t* p, uint32_t v) { for (int i = 0; i < 4; ++i) p[i] = (v >> (8 * i)) & 0xFF; }
void put64(uint8_t* p, uint64_t v) { for (int i = 0; i < 8; ++i) p[i] = (v >> (8 * i)) & 0xFF; }

// Record 0: $MFT in the root, data = 4 clusters at LCN 1 (16 records).
void mftRecord(uint8_t* r) {
    std::memset(r, 0, 1024);
    std::memcpy(r, "FILE", 4);
    put16(r + 4, 48);
    put16(r + 6, 3);
    put16(r + 16, 1);
    put16(r + 20, 56);
    put16(r + 22, 1);
    uint8_t* a = r + 56;
    // $FILE_NAME "$MFT", parent 5.
    put32(a, 0x30);
    put32(a + 4, 104);
    put32(a + 16, 74);
    put16(a + 20, 24);
    uint8_t* v = a + 24;
    put64(v, 5 | (1ull << 48));
    v[64] = 4;
    v[65] = 3;
    const char* n = "$MFT";
    for (int i = 0; i < 4; ++i) put16(v + 66 + 2 * i, static_cast<uint16_t>(n[i]));
    a += 104;
    // $DATA: 4 clusters at LCN 1.
    put32(a, 0x80);
    put32(a + 4, 72);
    a[8] = 1;
    put64(a + 24, 3);
    put16(a + 32, 64);
    put64(a + 40, 4 * kCluster);
    put64(a + 48, 4 * kCluster);
    put64(a + 56, 4 * kCluster);
    a[64] = 0x11;
    a[65] = 0x04;
    a[66] = 0x01;
    a += 72;
    put32(a, 0xFFFFFFFF);
}

// The decoders on their own: the input's first 1024 bytes as a record (its
// attributes and their values) and its first 512 as a boot sector. Every
// refusal and every cut is said in words that name what they are about.
void decodeAlone(const uint8_t* data, size_t size) {
    std::vector<uint8_t> rec(1024, 0), fixed(1024);
    std::memcpy(rec.data(), data, std::min<size_t>(size, rec.size()));
    Decoded<NtfsRecordHeader> h = applyFixups(rec.data(), fixed.data(), fixed.size());
    if (!h && h.reason().empty()) __builtin_trap();
    std::vector<RecordNote> notes;
    forEachAttribute(
        fixed.data(), fixed.size(),
        [&](const NtfsAttribute& a) {
            if (static_cast<size_t>(a.offset) + a.length > fixed.size()) __builtin_trap();
            if (static_cast<size_t>(a.valueOffset) + a.valueLength > fixed.size()) __builtin_trap();
            noteDecoded(decodeStandardInfo(fixed.data(), fixed.size(), a), notes);
            Decoded<NtfsFileName> fn = decodeFileName(fixed.data(), fixed.size(), a);
            if (fn && static_cast<size_t>(fn->nameOffset) + 2u * fn->nameUnits > fixed.size()) __builtin_trap();
            (void)attributeName(fixed.data(), fixed.size(), a);
            if (!a.nonResident) {
                for (size_t off = 0; off < a.valueLength;) {
                    Decoded<NtfsListEntry> le = decodeListEntry(fixed.data() + a.valueOffset, a.valueLength, off);
                    if (!le) break;
                    off += le->length;
                }
            }
            return true;
        },
        &notes);
    for (const RecordNote& n : notes)
        if (n.what.empty()) __builtin_trap();
    Decoded<NtfsGeometry> g = decodeNtfsBootSector(rec.data(), 512);
    if (g && (g->clusterSize < 512 || g->recordSize < 1024)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    decodeAlone(data, size);
    std::vector<uint8_t> img(kClusters * kCluster, 0);
    // Boot sector: 512-byte sectors, 8 per cluster, MFT at cluster 1.
    std::memcpy(img.data() + 3, "NTFS    ", 8);
    put16(img.data() + 11, 512);
    img[13] = 8;
    put64(img.data() + 40, img.size() / 512);
    put64(img.data() + 48, 1);
    img[64] = 0xF6;
    mftRecord(img.data() + kCluster);
    const size_t mftRest = 15 * 1024;
    std::memcpy(img.data() + kCluster + 1024, data, std::min(size, mftRest));
    // Data clusters: the rest of the input.
    if (size > mftRest) {
        size_t k = std::min(size - mftRest, img.size() - 5 * kCluster);
        std::memcpy(img.data() + 5 * kCluster, data + mftRest, k);
    }
    auto reader = std::make_shared<BufferReader>(std::move(img));
    ntfs parser;
    ScanContext ctx;
    ctx.volume = VolumeView(reader, 0, reader->sizeBytes());
    parser.scan(ctx);
    walkTree(parser, kRootId, [&](const std::string&, EntryId id, const EntryInfo& info) {
        (void)parser.listTexts(id);
        std::vector<EntryId> ids = {id};
        for (EntryId s : parser.streams(id)) ids.push_back(s);
        for (EntryId x : ids) {
            EntryInfo i2;
            if (!parser.entryInfo(x, i2) || i2.kind != EntryKind::File) continue;
            MemorySink out(0);
            parser.writeContent(x, out);
        }
        (void)info;
        return true;
    });
    return 0;
}
