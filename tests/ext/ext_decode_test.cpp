// What real tools do not make on demand: journal blocks with escaped
// magics, bad tag checksums, revokes and uncommitted transactions; extent
// nodes whose depth or counts lie.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fs/ext/ext_format.h"
#include "fs/ext/ext_journal.h"

using namespace brantlow::ext;

namespace {

constexpr uint32_t kBs = 1024;

void be32put(std::vector<uint8_t>& b, size_t o, uint32_t v) {
    b[o] = v >> 24;
    b[o + 1] = v >> 16;
    b[o + 2] = v >> 8;
    b[o + 3] = v;
}
void le16put(uint8_t* b, uint16_t v) {
    b[0] = v & 0xFF;
    b[1] = v >> 8;
}
void le32put(uint8_t* b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[i] = (v >> (8 * i)) & 0xFF;
}

struct Journal {
    std::vector<uint8_t> bytes;
    uint32_t incompat;
    explicit Journal(uint32_t blocks, uint32_t features, bool v2 = true) : bytes(blocks * kBs, 0), incompat(features) {
        be32put(bytes, 0, kJournalMagic);
        be32put(bytes, 4, v2 ? 4 : 3);
        be32put(bytes, 12, kBs);
        be32put(bytes, 16, blocks);
        be32put(bytes, 20, 1);
        be32put(bytes, 24, 10);
        if (v2) be32put(bytes, 40, features);
        for (int i = 0; i < 16; ++i) bytes[48 + i] = static_cast<uint8_t>(i + 1);
    }
    uint8_t* block(uint32_t n) { return bytes.data() + static_cast<size_t>(n) * kBs; }
    void header(uint32_t n, uint32_t type, uint32_t seq) {
        be32put(bytes, n * kBs, kJournalMagic);
        be32put(bytes, n * kBs + 4, type);
        be32put(bytes, n * kBs + 8, seq);
    }
    JournalRead reader() {
        return [this](uint32_t first, uint32_t count, uint8_t* buf) {
            if (static_cast<size_t>(first + count) * kBs > bytes.size()) return false;
            std::memcpy(buf, block(first), static_cast<size_t>(count) * kBs);
            return true;
        };
    }
    // The v3 tag checksum of a data block as logged.
    uint32_t tagChecksum(uint32_t seq, const uint8_t* data) {
        uint32_t seed = crc32c(0xFFFFFFFFu, bytes.data() + 48, 16);
        uint8_t s[4] = {uint8_t(seq >> 24), uint8_t(seq >> 16), uint8_t(seq >> 8), uint8_t(seq)};
        return crc32c(crc32c(seed, s, 4), data, kBs);
    }
};

TEST(ExtJournal, ChecksumV3TagsEscapesRevokesAndStaleData) {
    // Features: revoke, 64-bit, checksum v3.
    Journal j(16, 0x1 | 0x2 | 0x10);
    const uint32_t seq = 7;
    j.header(1, 1, seq);
    // Data: block 2 for fs block 500 (its magic escaped), block 3 for 501.
    std::memset(j.block(2), 0xAB, kBs);
    std::memset(j.block(3), 0xCD, kBs);
    uint8_t* tags = j.block(1) + 12;
    // tag3: blocknr, flags, blocknr_high, checksum (big-endian)
    auto tag = [&](uint8_t* t, uint32_t nr, uint32_t flags, uint32_t csum) {
        std::vector<uint8_t> v(16, 0);
        be32put(v, 0, nr);
        be32put(v, 4, flags);
        be32put(v, 12, csum);
        std::memcpy(t, v.data(), 16);
    };
    tag(tags, 500, 0x1, j.tagChecksum(seq, j.block(2)));                   // escaped, with UUID after it
    tag(tags + 16 + 16, 501, 0x2 | 0x8, j.tagChecksum(seq, j.block(3)) ^ 1);  // bad checksum, last
    j.header(4, 2, seq);  // commit
    j.header(5, 5, seq + 1);  // revoke of 501
    be32put(j.bytes, 5 * kBs + 12, 16 + 8);
    be32put(j.bytes, 5 * kBs + 16, 0);
    be32put(j.bytes, 5 * kBs + 20, 501);

    JournalIndex idx;
    ASSERT_TRUE(idx.build(j.reader(), kBs, 16, 1000));
    ASSERT_EQ(idx.copies().size(), 2u);
    std::vector<uint8_t> buf(kBs);
    auto c500 = idx.copiesOf(500);
    ASSERT_EQ(c500.size(), 1u);
    EXPECT_EQ(c500[0]->journalBlock, 2u);
    ASSERT_TRUE(idx.readCopy(*c500[0], buf.data(), j.reader()));
    EXPECT_EQ(buf[0], 0xC0);  // the escaped magic restored
    EXPECT_EQ(buf[3], 0x98);
    EXPECT_EQ(buf[4], 0xAB);
    auto c501 = idx.copiesOf(501);
    ASSERT_EQ(c501.size(), 1u);
    EXPECT_FALSE(idx.readCopy(*c501[0], buf.data(), j.reader()));  // checksum mismatch
    EXPECT_EQ(idx.lastRevoke(501), seq + 1);
    EXPECT_EQ(idx.lastRevoke(500), 0u);
}

TEST(ExtJournal, WithoutChecksumsOnlyCommittedCopiesCountAndTheLogWraps) {
    Journal j(8, 0, false);  // JBD v1: 8-byte tags
    // Transaction 3 at the end of the log wraps to block 1; transaction 4
    // has no commit block.
    j.header(6, 1, 3);
    std::vector<uint8_t> t(8, 0);
    be32put(t, 0, 42);
    std::memcpy(j.block(6) + 12, t.data(), 8);
    be32put(t, 0, 43);
    be32put(t, 4, 0x2 | 0x8);
    std::memcpy(j.block(6) + 12 + 8 + 16, t.data(), 8);
    j.header(2, 2, 3);  // commit of 3, after its data at 7 and 1
    j.header(3, 1, 4);
    be32put(t, 0, 44);
    be32put(t, 4, 0x8);
    std::memcpy(j.block(3) + 12, t.data(), 8);
    JournalIndex idx;
    ASSERT_TRUE(idx.build(j.reader(), kBs, 8, 1000));
    ASSERT_EQ(idx.copiesOf(42).size(), 1u);
    EXPECT_EQ(idx.copiesOf(42)[0]->journalBlock, 7u);
    ASSERT_EQ(idx.copiesOf(43).size(), 1u);
    EXPECT_EQ(idx.copiesOf(43)[0]->journalBlock, 1u);
    EXPECT_TRUE(idx.copiesOf(44).empty());
}

TEST(ExtJournal, RejectsABadSuperblock) {
    Journal j(8, 0);
    be32put(j.bytes, 12, 4096);  // not the file system's block size
    JournalIndex idx;
    EXPECT_FALSE(idx.build(j.reader(), kBs, 8, 1000));
    Journal k(8, 0);
    be32put(k.bytes, 20, 9);  // first log block past the end
    EXPECT_FALSE(idx.build(k.reader(), kBs, 8, 1000));
}

Inode extentInode(uint16_t entries, uint16_t depth) {
    Inode ino;
    ino.mode = 0x81A4;
    ino.flags = kFlagExtents;
    ino.size = 100 * kBs;
    le16put(ino.block, kExtentMagic);
    le16put(ino.block + 2, entries);
    le16put(ino.block + 4, 4);
    le16put(ino.block + 6, depth);
    return ino;
}

TEST(ExtExtents, UnwrittenLengthsAndLyingNodes) {
    // A leaf in the inode: 5 blocks at 10, then 32768 + 3 (unwritten) at 20.
    Inode ino = extentInode(2, 0);
    le32put(ino.block + 12, 0);
    le16put(ino.block + 16, 5);
    le32put(ino.block + 20, 10);
    le32put(ino.block + 24, 5);
    le16put(ino.block + 28, 32768 + 3);
    le32put(ino.block + 32, 20);
    MapResult m = mapBlocks(ino, kBs, 1000, 100, {});
    ASSERT_EQ(m.runs.size(), 2u);
    EXPECT_FALSE(m.runs[0].unwritten);
    EXPECT_TRUE(m.runs[1].unwritten);
    EXPECT_EQ(m.runs[1].count, 3u);
    EXPECT_FALSE(m.damaged);

    // An index node whose child claims the same depth: not followed.
    Inode idx = extentInode(1, 1);
    le32put(idx.block + 16, 50);  // child block 50
    std::vector<uint8_t> child(kBs, 0);
    le16put(child.data(), kExtentMagic);
    le16put(child.data() + 2, 1);
    le16put(child.data() + 4, 84);
    le16put(child.data() + 6, 1);  // should be 0
    BlockFetch fetch = [&](uint64_t b, uint8_t* buf) {
        if (b != 50) return false;
        std::memcpy(buf, child.data(), kBs);
        return true;
    };
    m = mapBlocks(idx, kBs, 1000, 100, fetch);
    EXPECT_TRUE(m.runs.empty());
    EXPECT_TRUE(m.damaged);

    // 65535 entries claimed in the inode: at most 4 are read.
    Inode many = extentInode(65535, 0);
    m = mapBlocks(many, kBs, 1000, 100, {});
    EXPECT_TRUE(m.damaged);
    EXPECT_LE(m.runs.size(), 4u);
}

TEST(ExtDirectory, SlackNamesAndHtreeRoots) {
    // A block: ".", "..", "kept" whose record hides "gone" in its slack.
    std::vector<uint8_t> b(kBs, 0);
    auto rec = [&](size_t off, uint32_t inode, uint16_t len, const char* name, uint8_t type) {
        le32put(&b[off], inode);
        le16put(&b[off + 4], len);
        b[off + 6] = static_cast<uint8_t>(std::strlen(name));
        b[off + 7] = type;
        std::memcpy(&b[off + 8], name, std::strlen(name));
    };
    rec(0, 2, 12, ".", 2);
    rec(12, 2, 12, "..", 2);
    rec(24, 20, kBs - 24, "kept", 1);
    rec(36, 21, kBs - 36, "gone", 1);
    DirParseOptions opt;
    opt.maxInode = 100;
    std::vector<DirRecord> out;
    ASSERT_TRUE(parseDirBlock(b.data(), b.size(), opt, out));
    ASSERT_EQ(out.size(), 4u);
    EXPECT_FALSE(out[2].hidden);
    EXPECT_TRUE(out[3].hidden);
    EXPECT_EQ(out[3].inode, 21u);
    opt.readSlack = false;
    out.clear();
    parseDirBlock(b.data(), b.size(), opt, out);
    EXPECT_EQ(out.size(), 3u);

    // An htree root: ".." spans the block, its slack is the index.
    std::vector<uint8_t> r(kBs, 0);
    b.swap(r);
    rec(0, 2, 12, ".", 2);
    rec(12, 2, kBs - 12, "..", 2);
    b[24 + 4] = 1;  // hash version
    b[24 + 5] = 8;  // info length
    le16put(&b[32], 100);
    le16put(&b[34], 2);
    le32put(&b[36], 1);
    const uint8_t fake[12] = {0x10, 0, 0, 0, 0x14, 0, 4, 2, 'a', 'b', 'c', 'd'};  // would read as a record
    std::memcpy(&b[40], fake, sizeof fake);
    opt.readSlack = true;
    out.clear();
    bool index = false;
    ASSERT_TRUE(parseDirBlock(b.data(), b.size(), opt, out, &index));
    EXPECT_TRUE(index);
    EXPECT_EQ(out.size(), 2u);
    uint32_t self = 0, parent = 0;
    EXPECT_TRUE(dotEntries(b.data(), b.size(), self, parent));
    EXPECT_EQ(self, 2u);
}

}  // namespace
