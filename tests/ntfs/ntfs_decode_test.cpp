// Byte-level edge cases that real tools do not make: run lists, LZNT1
// chunks, boot-sector geometry and update sequences.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fs/ntfs/ntfs_record.h"

using namespace brantlow;

namespace {

std::vector<NtfsRun> runs(std::vector<uint8_t> bytes, uint64_t max = ~0ull) {
    return decodeRunList(bytes.data(), bytes.size(), max);
}

}  // namespace

TEST(NtfsRunList, DecodesLengthsOffsetsHolesAndBounds) {
    // One run of 0x18 clusters at 0x5634, then 16 clusters back.
    auto r = runs({0x21, 0x18, 0x34, 0x56, 0x21, 0x04, 0xF0, 0xFF, 0x00});
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].lcn, 0x5634);
    EXPECT_EQ(r[0].length, 0x18u);
    EXPECT_EQ(r[1].lcn, 0x5634 - 16);
    // A header without an offset field is a hole; the running LCN stays.
    r = runs({0x11, 0x02, 0x10, 0x01, 0x05, 0x11, 0x01, 0x01, 0x00});
    ASSERT_EQ(r.size(), 3u);
    EXPECT_TRUE(r[1].sparse);
    EXPECT_EQ(r[2].lcn, 0x11);
    // Five-byte offsets reach past 2^31 clusters (64-bit LCNs).
    r = runs({0x51, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].lcn, int64_t(1) << 32);
    // Eight-byte length.
    r = runs({0x18, 1, 0, 0, 0, 0, 0, 0, 0x01, 0x00});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].length, (1ull << 56) + 1);
    // Header 0xFF (nibbles above 8), a list cut at the end, an empty buffer.
    EXPECT_TRUE(runs({0xFF, 1, 2, 3, 4}).empty());
    EXPECT_TRUE(runs({0x44, 1, 2}).empty());
    EXPECT_TRUE(decodeRunList(nullptr, 0, 10).empty());
    // Runs beyond last VCN - first VCN + 1 clusters are not returned.
    r = runs({0x11, 0x04, 0x10, 0x11, 0x04, 0x10, 0x00}, 6);
    EXPECT_EQ(r.size(), 1u);
    // An LCN that would overflow ends the list.
    r = runs({0x81, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x81, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
              0xFF, 0x7F, 0});
    EXPECT_EQ(r.size(), 1u);
}

TEST(NtfsLznt1, ChunksLiteralsBackReferencesAndDamage) {
    std::vector<uint8_t> out(8192, 0xEE);
    // Compressed chunk: "abc" then a back reference of displacement 3,
    // length 6 -> "abcabcabc".
    // Token at position 3: 12 - 0 length bits... position 3 < 16 so 4
    // displacement bits, 12 length bits: disp-1 = 2, len-3 = 3.
    std::vector<uint8_t> in = {0, 0, 0x08, 'a', 'b', 'c', 0, 0};
    uint16_t token = static_cast<uint16_t>((2 << 12) | 3);
    in[6] = token & 0xFF;
    in[7] = token >> 8;
    const uint16_t h = static_cast<uint16_t>(0xB000 | (in.size() - 3));
    in[0] = h & 0xFF;
    in[1] = h >> 8;
    size_t n = decompressUnit(in.data(), in.size(), out.data(), out.size());
    EXPECT_EQ(n, 9u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()), 9), "abcabcabc");
    // The rest of the chunk is zeros, not stale bytes.
    EXPECT_EQ(out[100], 0);

    // A back reference before the start of the chunk ends decoding.
    std::vector<uint8_t> bad = {0, 0, 0x02, 'a', 0xFF, 0xF0};
    bad[0] = static_cast<uint8_t>(bad.size() - 3);
    bad[1] = 0xB0;
    std::fill(out.begin(), out.end(), 0xEE);
    n = decompressUnit(bad.data(), bad.size(), out.data(), out.size());
    EXPECT_EQ(n, 1u);

    // An uncompressed chunk is copied; a zero header ends the unit; a chunk
    // running past the input is not decoded.
    std::vector<uint8_t> raw(2 + 4096 + 2, 'x');
    raw[0] = 0xFF;
    raw[1] = 0x3F;  // size 4098, bit 15 clear
    raw[4098] = 0;
    raw[4099] = 0;
    n = decompressUnit(raw.data(), raw.size(), out.data(), out.size());
    EXPECT_EQ(n, 4096u);
    EXPECT_EQ(out[4095], 'x');
    std::vector<uint8_t> cut = {0x10, 0xB0, 0x00, 'a'};
    EXPECT_EQ(decompressUnit(cut.data(), cut.size(), out.data(), out.size()), 0u);
    // Output capacity is respected.
    std::vector<uint8_t> small(5);
    n = decompressUnit(in.data(), in.size(), small.data(), small.size());
    EXPECT_EQ(n, 5u);
}

TEST(NtfsGeometry, BootSectorFields) {
    uint8_t boot[512] = {};
    std::memcpy(boot + 3, "NTFS    ", 8);
    boot[11] = 0x00;
    boot[12] = 0x02;  // 512 bytes per sector
    boot[13] = 8;
    boot[40] = 0x00;
    boot[41] = 0x00;
    boot[42] = 0x20;  // 0x200000 sectors
    boot[48] = 0x00;
    boot[49] = 0x00;
    boot[50] = 0x0C;  // MFT cluster 786,432
    boot[64] = 0xF6;  // 2^10 = 1024-byte records
    NtfsGeometry g = decodeBootSector(boot, sizeof boot);
    EXPECT_TRUE(g.intact);
    EXPECT_EQ(g.clusterSize, 4096u);
    EXPECT_EQ(g.mftCluster * g.clusterSize, 3221225472ull);
    EXPECT_EQ(g.recordSize, 1024u);
    EXPECT_EQ(g.volumeSize, 0x200000ull * 512);
    // 128 KiB clusters are written as 0xF8 (2^8 sectors); 4096-byte records
    // as 1 cluster of 4096 or 2^-12.
    boot[13] = 0xF8;
    boot[64] = 0xF4;
    g = decodeBootSector(boot, sizeof boot);
    EXPECT_EQ(g.clusterSize, 131072u);
    EXPECT_EQ(g.recordSize, 4096u);
    // 4096-byte sectors count in the volume size.
    boot[11] = 0;
    boot[12] = 0x10;
    boot[13] = 1;
    boot[64] = 1;
    g = decodeBootSector(boot, sizeof boot);
    EXPECT_EQ(g.clusterSize, 4096u);
    EXPECT_EQ(g.recordSize, 4096u);
    EXPECT_EQ(g.volumeSize, 0x200000ull * 4096);
    // Nonsense falls back.
    boot[11] = 0x33;
    boot[64] = 0x7F;
    g = decodeBootSector(boot, sizeof boot);
    EXPECT_EQ(g.clusterSize, 4096u);
    EXPECT_EQ(g.recordSize, 1024u);
    boot[3] = 'X';
    EXPECT_FALSE(decodeBootSector(boot, sizeof boot).intact);
}

TEST(NtfsRecord, FixupsAndAttributeWalkStayInsideTheRecord) {
    std::vector<uint8_t> rec(1024, 0), fixed(1024);
    std::memcpy(rec.data(), "FILE", 4);
    rec[4] = 48;
    rec[6] = 3;
    rec[48] = 0x11;
    rec[49] = 0x22;
    rec[50] = 'A';
    rec[51] = 'B';
    rec[52] = 'C';
    rec[53] = 'D';
    rec[510] = 0x11;
    rec[511] = 0x22;
    applyFixups(rec.data(), fixed.data(), fixed.size());
    EXPECT_EQ(fixed[510], 'A');
    EXPECT_EQ(fixed[1023], 'D');
    // An array at the very end with a huge count.
    rec[4] = 0xFE;
    rec[5] = 0x03;
    rec[6] = 0xFF;
    rec[7] = 0xFF;
    applyFixups(rec.data(), fixed.data(), fixed.size());
    // Attribute walk: a header at the record's last bytes, huge lengths.
    rec[20] = 0xF8;
    rec[21] = 0x03;
    int n = 0;
    forEachAttribute(rec.data(), rec.size(), [&](const NtfsAttribute&) { return ++n < 100; });
    EXPECT_LE(n, 1);
    rec[20] = 56;
    rec[21] = 0;
    rec[56] = 0x80;
    rec[60] = 0xF0;
    rec[61] = 0xFF;
    rec[62] = 0xFF;
    rec[63] = 0xFF;
    rec[64] = 1;       // non-resident
    rec[56 + 32] = 0xFF;  // run list offset past the attribute
    n = 0;
    forEachAttribute(rec.data(), rec.size(), [&](const NtfsAttribute& a) {
        ++n;
        EXPECT_LE(a.offset + a.length, 1024u);
        EXPECT_TRUE(attributeRuns(rec.data(), rec.size(), a).empty());
        return true;
    });
    EXPECT_EQ(n, 1);
}

// The update sequence number must end every 512-byte stride: a stride that
// ends otherwise was written at another time (a torn write). The record is
// kept, and the decoder says which sector disagrees; what it cannot use is
// refused with the reason.
TEST(NtfsRecord, UpdateSequenceIsCheckedAndDamageSaid) {
    std::vector<uint8_t> rec(1024, 0), fixed(1024);
    std::memcpy(rec.data(), "FILE", 4);
    rec[4] = 48;  // array at 48: the number 7, then the saved words
    rec[6] = 3;
    rec[20] = 56;
    rec[48] = 7;
    rec[510] = 7;
    rec[1022] = 7;
    std::memcpy(rec.data() + 56, "\xFF\xFF\xFF\xFF", 4);
    Decoded<NtfsRecordHeader> h = applyFixups(rec.data(), fixed.data(), fixed.size());
    ASSERT_TRUE(h.accepted());
    EXPECT_TRUE(h.replaced().empty());
    rec[1022] = 8;
    h = applyFixups(rec.data(), fixed.data(), fixed.size());
    ASSERT_TRUE(h.accepted());
    ASSERT_EQ(h.replaced().size(), 1u);
    EXPECT_NE(h.replaced()[0].find("update sequence mismatch in sector 2"), std::string::npos) << h.replaced()[0];
    // An array too short for the record: fixed up as far as it goes.
    rec[1022] = 7;
    rec[6] = 2;
    h = applyFixups(rec.data(), fixed.data(), fixed.size());
    ASSERT_TRUE(h.accepted());
    EXPECT_NE(h.replaced().at(0).find("covers 1 of 2 sectors"), std::string::npos) << h.replaced()[0];
    rec[20] = 0xFC;
    rec[21] = 0x03;
    EXPECT_FALSE(applyFixups(rec.data(), fixed.data(), fixed.size()).accepted());

    // The boot sector's fallbacks say which field they replaced.
    uint8_t boot[512] = {};
    std::memcpy(boot + 3, "NTFS    ", 8);
    boot[11] = 0x33;  // 51 bytes per sector
    boot[13] = 8;
    boot[40] = 1;
    boot[64] = 0x7F;
    Decoded<NtfsGeometry> g = decodeNtfsBootSector(boot, sizeof boot);
    ASSERT_TRUE(g.accepted());
    ASSERT_EQ(g.replaced().size(), 3u);
    EXPECT_EQ(g.replaced()[0], "bytes per sector 51: 512 taken");
    EXPECT_EQ(g.replaced()[2], "MFT record size byte 0x7F: 1024 bytes taken");
    boot[3] = 'X';
    EXPECT_EQ(decodeNtfsBootSector(boot, sizeof boot).reason(), "no \"NTFS\" at byte 3");
}
