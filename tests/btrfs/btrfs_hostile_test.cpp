// Hostile Btrfs volumes: the fixture with tree nodes and the superblock
// patched (checksums made to match, so only the structure is wrong): a
// child reached twice, a node naming itself as its child, an item whose
// data lies past the node's end, chunk maps that overlap, a primary
// superblock that fails its checksum. Each scan ends, notes the damage
// and lists what the rest of the volume holds.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>

#include "base/bytes.h"
#include "fs/btrfs/btrfs_format.h"
#include "fs/btrfs/btrfs_parser.h"
#include "scan/tree_walk.h"
#include "tests/support/fixtures.h"
#include "tests/support/memory_reader.h"
#include "tests/support/tool_images.h"

using namespace brantlow;
using namespace brantlow::test;

namespace {

constexpr uint64_t kFsTreeNode = 36061184;  // the fixture's file-system tree root (level 1)
constexpr uint64_t kFsLeaf = 36077568;      // its first leaf

using Scanned = ScannedTree<BtrfsParser>;

Scanned scanBytes(const std::vector<uint8_t>& bytes, ScanMode mode = ScanMode::Standard) {
    auto r = std::make_shared<MemoryReader>(bytes);
    const uint64_t size = r->sizeBytes();
    return scanTree<BtrfsParser>(std::move(r), size, mode);
}

std::vector<uint8_t> loadFixture(const std::string& img) { return readFile(img); }

void put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void reseal(std::vector<uint8_t>& b, size_t at, size_t n) { put32(b, at, btrfs::crc32c(0, b.data() + at + 0x20, n - 0x20)); }

// Changes every copy of a node (DUP metadata) and makes its checksum match.
template <class Fn>
void patchNode(std::vector<uint8_t>& img, const BtrfsParser& p, uint64_t logical, Fn&& fn) {
    const uint32_t ns = p.superblock().nodeSize;
    const auto copies = p.mapLogical(logical, ns);
    ASSERT_FALSE(copies.empty());
    for (uint64_t phys : copies) {
        std::vector<uint8_t> node(img.begin() + phys, img.begin() + phys + ns);
        fn(node);
        reseal(node, 0, ns);
        std::copy(node.begin(), node.end(), img.begin() + phys);
    }
}

class BtrfsHostile : public ::testing::Test {
protected:
    void SetUp() override {
        auto img = fixtureImage("btrfs");
        if (!img) GTEST_SKIP() << "btrfs fixture not found (set BRANTLOW_FIXTURES)";
        bytes_ = loadFixture(*img);
        clean_ = scanBytes(bytes_);
        ASSERT_EQ(clean_.outcome, ScanOutcome::Done);
        ASSERT_TRUE(clean_.damage.empty()) << clean_.damage;
    }
    std::vector<uint8_t> bytes_;
    Scanned clean_;
};

TEST_F(BtrfsHostile, ChildReachedTwiceOrNamingItselfEndsWithANote) {
    auto img = bytes_;
    patchNode(img, *clean_.parser, kFsTreeNode, [](std::vector<uint8_t>& n) {
        // Key pointer 1 takes key pointer 0's block and generation.
        std::copy(n.begin() + 101 + 17, n.begin() + 101 + 33, n.begin() + 101 + 33 + 17);
    });
    Scanned twice = scanBytes(img);
    ASSERT_EQ(twice.outcome, ScanOutcome::Done);
    EXPECT_NE(twice.damage.find("reached twice"), std::string::npos) << twice.damage;
    EXPECT_TRUE(twice.byPath.count("Documents/readme.txt"));

    img = bytes_;
    patchNode(img, *clean_.parser, kFsTreeNode, [](std::vector<uint8_t>& n) {
        put64(n, 101 + 17, kFsTreeNode);
        put64(n, 101 + 25, le64(n.data(), n.size(), 0x50));
    });
    Scanned self = scanBytes(img);
    ASSERT_EQ(self.outcome, ScanOutcome::Done);
    EXPECT_NE(self.damage.find("reached twice"), std::string::npos) << self.damage;
}

TEST_F(BtrfsHostile, ItemPastTheNodeEndIsRefusedAndTheRestListed) {
    auto img = bytes_;
    patchNode(img, *clean_.parser, kFsLeaf, [](std::vector<uint8_t>& n) {
        put32(n, 101 + 3 * 25 + 17, static_cast<uint32_t>(n.size()));  // item 3's data offset
        put32(n, 101 + 4 * 25 + 21, 0xFFFFFFF0u);                        // item 4's data size
    });
    Scanned s = scanBytes(img);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    EXPECT_NE(s.damage.find("item 3 data outside the node"), std::string::npos) << s.damage;
    EXPECT_NE(s.damage.find("item 4 data outside the node"), std::string::npos) << s.damage;
    EXPECT_GE(s.byPath.size() + 4, clean_.byPath.size());
    EXPECT_TRUE(s.byPath.count("large/big.dat"));
}

TEST_F(BtrfsHostile, OverlappingChunkIsRefused) {
    auto img = bytes_;
    // A second system chunk in the superblock's array, 4 KiB into the first.
    const size_t sb = btrfs::kSuperOffset, arr = sb + 0x32b;
    const uint32_t size = le32(img.data(), img.size(), sb + 0xa0);
    std::vector<uint8_t> entry(img.begin() + arr, img.begin() + arr + size);
    put64(entry, 9, le64(entry.data(), entry.size(), 9) + 4096);
    std::copy(entry.begin(), entry.end(), img.begin() + arr + size);
    put32(img, sb + 0xa0, size * 2);
    reseal(img, sb, btrfs::kSuperSize);
    Scanned s = scanBytes(img);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    EXPECT_NE(s.damage.find("overlaps another chunk"), std::string::npos) << s.damage;
    EXPECT_EQ(s.byPath.size(), clean_.byPath.size());
}

TEST_F(BtrfsHostile, PrimarySuperblockFailingItsChecksumGivesWayToTheCopy) {
    auto img = bytes_;
    img[btrfs::kSuperOffset + 0x12b] ^= 0x20;  // the label, checksum left as it was
    Scanned s = scanBytes(img);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    EXPECT_EQ(s.parser->superblockOffset(), btrfs::kMirrorOffsets[0]);
    EXPECT_NE(s.damage.find("checksum mismatch"), std::string::npos) << s.damage;
    EXPECT_EQ(s.byPath.size(), clean_.byPath.size());
    // No copy left: not this file system.
    for (uint64_t at : {btrfs::kSuperOffset, btrfs::kMirrorOffsets[0]}) img[at + 0x40] = 0;
    EXPECT_EQ(scanBytes(img).outcome, ScanOutcome::Rejected);
}

// A live file whose data no longer matches the checksum tree is written
// whole but not called complete; the scan itself is not stopped.
TEST_F(BtrfsHostile, DataFailingItsChecksumMarksTheFileDamaged) {
    const EntryId id = clean_.ids.at("large/big.dat");
    const auto ranges = clean_.parser->contentRanges(id);
    ASSERT_FALSE(ranges.empty());
    auto img = bytes_;
    img[ranges.front().offset + 5000] ^= 0xFF;
    Scanned s = scanBytes(img);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    MemorySink sink(8u << 20);
    const WriteResult r = s.parser->writeContent(s.ids.at("large/big.dat"), sink);
    EXPECT_EQ(r.status, WriteStatus::Partial);
    EXPECT_NE(r.reason.find("1 sectors fail their checksum"), std::string::npos) << r.reason;
    EXPECT_EQ(sink.size(), 5500000u);
    MemorySink other(1u << 20);
    EXPECT_TRUE(s.parser->writeContent(s.ids.at("medium/m03.bin"), other).ok());
}

// Both copies of the chunk tree's only leaf destroyed: Standard mode maps
// the system chunk alone and finds nothing; Advanced mode searches the
// volume, takes the chunk map from older chunk-tree leaves and the device
// tree's extents, and every file comes back as before.
TEST_F(BtrfsHostile, AdvancedModeRebuildsTheChunkMapFromNodesFound) {
    auto img = bytes_;
    const uint64_t chunkRoot = clean_.parser->superblock().chunkRoot;
    for (uint64_t phys : clean_.parser->mapLogical(chunkRoot, 16384))
        std::fill(img.begin() + phys + 0x100, img.begin() + phys + 0x140, 0xFF);
    Scanned standard = scanBytes(img);
    ASSERT_EQ(standard.outcome, ScanOutcome::Done);
    EXPECT_TRUE(standard.byPath.empty());
    EXPECT_NE(standard.damage.find("chunk tree node"), std::string::npos) << standard.damage;
    Scanned adv = scanBytes(img, ScanMode::Advanced);
    ASSERT_EQ(adv.outcome, ScanOutcome::Done);
    EXPECT_EQ(adv.byPath.size(), clean_.byPath.size());
    for (const char* path : {"large/big.dat", "日本語フォルダ/写真/夜景_01.bin", "cow/generation_2.txt"}) {
        MemorySink a(8u << 20), b(8u << 20);
        ASSERT_TRUE(adv.parser->writeContent(adv.ids.at(path), a).ok()) << path;
        ASSERT_TRUE(clean_.parser->writeContent(clean_.ids.at(path), b).ok()) << path;
        EXPECT_EQ(a.bytes, b.bytes) << path;
    }
}

}  // namespace
