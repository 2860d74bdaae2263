// Byte-level cases mkfs.xfs cannot make without a mount: an unwritten
// extent with a start block above 32 bits, and big and classic timestamps
// before 1970 and past 2038.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fs/xfs/xfs_format.h"

using namespace brantlow::xfs;

namespace {

void put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
}

Superblock geometry() {
    Superblock sb;
    sb.blockSize = 4096;
    sb.blockLog = 12;
    sb.versionNum = 0xB4B5;
    sb.inodeSize = 512;
    sb.inodeLog = 9;
    sb.inoPerBlockLog = 3;
    sb.inodesPerBlock = 8;
    sb.agBlocks = 1u << 20;
    sb.agBlockLog = 20;
    sb.agCount = 4096;  // 16 TiB: block numbers above 32 bits
    sb.dblocks = static_cast<uint64_t>(sb.agCount) * sb.agBlocks;
    return sb;
}

TEST(XfsDecode, ExtentRecordFields) {
    const Superblock sb = geometry();
    // Unwritten, file block 5, start block AG 4095 block 7, 300 blocks.
    const uint64_t startBlock = (4095ull << 20) | 7;
    const uint64_t l0 = (1ull << 63) | (5ull << 9) | (startBlock >> 43);
    const uint64_t l1 = (startBlock << 21) | 300;
    uint8_t rec[16];
    put64(rec, l0);
    put64(rec + 8, l1);
    const Extent e = decodeExtent(rec);
    EXPECT_TRUE(e.unwritten);
    EXPECT_EQ(e.startOff, 5u);
    EXPECT_EQ(e.startBlock, startBlock);
    EXPECT_EQ(e.count, 300u);
    uint64_t linear = 0;
    ASSERT_TRUE(sb.linearRun(e.startBlock, e.count, linear));
    EXPECT_EQ(linear, 4095ull * sb.agBlocks + 7);
    // The same run across the end of its AG is refused.
    const uint64_t late = (4095ull << 20) | (sb.agBlocks - 10);
    put64(rec, (late >> 43));
    put64(rec + 8, (late << 21) | 300);
    EXPECT_FALSE(extentValid(decodeExtent(rec), sb));
}

TEST(XfsDecode, ClassicAndBigTimestamps) {
    const Superblock sb = geometry();
    std::vector<uint8_t> raw(512, 0);
    raw[0] = 0x49;
    raw[1] = 0x4e;
    raw[2] = 0x81;  // regular file
    raw[4] = 3;
    raw[5] = kFormatExtents;
    // Classic: -1 s and 999999999 ns (1969-12-31T23:59:59.999999999Z).
    put64(raw.data() + 32, (0xFFFFFFFFull << 32) | 999999999u);
    auto classic = decodeInode(raw.data(), raw.size(), sb);
    ASSERT_TRUE(classic);
    EXPECT_EQ(classic->atime.sec, -1);
    EXPECT_EQ(classic->atime.nsec, 999999999);
    // Big timestamps count nanoseconds from 1901-12-13T20:45:52Z.
    put64(raw.data() + 120, kFlag2BigTime);
    put64(raw.data() + 32, 0);
    put64(raw.data() + 40, (2147483648ull + 4102444800ull) * 1000000000ull + 5);  // 2100-01-01
    auto big = decodeInode(raw.data(), raw.size(), sb);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->atime.sec, -2147483648ll);
    EXPECT_EQ(big->mtime.sec, 4102444800ll);
    EXPECT_EQ(big->mtime.nsec, 5);
}

}  // namespace
