// Volumes made at test time with mke2fs -d and changed with debugfs -w: the
// group layouts (partial last group, 64-bit descriptors, revision 0, ext2,
// ext3), extent trees of depth 1, unwritten extents, symlinks and devices,
// a hashed directory of 5,000 entries, a zeroed primary superblock, and
// hostile patches. Every listing is compared with the source tree and
// every saved file with its source bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "base/bytes.h"
#include "fs/ext/ext_parser.h"
#include "scan/save.h"
#include "scan/tree_walk.h"
#include "tests/support/fixtures.h"
#include "tests/support/memory_reader.h"
#include "tests/support/tool_images.h"

using namespace brantlow;
using namespace brantlow::test;
namespace fs = std::filesystem;

namespace {

bool haveTools() { return std::system("command -v mke2fs >/dev/null 2>&1 && command -v debugfs >/dev/null 2>&1") == 0; }

#define REQUIRE_TOOLS() \
    if (!haveTools()) GTEST_SKIP() << "mke2fs/debugfs not installed (e2fsprogs)"

std::vector<uint8_t> le32v(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
std::vector<uint8_t> le16v(uint16_t v) { return {uint8_t(v), uint8_t(v >> 8)}; }

// Output of a debugfs request.
std::string debugfs(const std::string& img, const std::string& req) {
    return capture("debugfs -R '" + req + "' " + img + " 2>/dev/null");
}
uint64_t firstBlock(const std::string& img, const std::string& path) {
    return std::strtoull(debugfs(img, "blocks " + path).c_str(), nullptr, 10);
}
// Byte position of an inode ("imap" says block and offset).
uint64_t inodePosition(const std::string& img, const std::string& path, uint32_t bs) {
    std::string out = debugfs(img, "imap " + path);
    auto b = out.find("located at block ");
    auto o = out.find("offset 0x");
    if (b == std::string::npos || o == std::string::npos) return 0;
    return std::strtoull(out.c_str() + b + 17, nullptr, 10) * bs + std::strtoull(out.c_str() + o + 9, nullptr, 16);
}

using Scanned = ScannedTree<ext2Class>;

Scanned scanReader(std::shared_ptr<readWriteInterface> reader, uint64_t size) {
    return scanTree<ext2Class>(std::move(reader), size);
}

Scanned scanImage(const std::string& img) {
    auto r = std::make_shared<FileReadSeek>();
    if (!r->Open(img)) return {};
    uint64_t size = r->sizeBytes();
    return scanReader(r, size);
}

// Every regular file and folder of src is listed live at its path, and
// the save writes every file byte for byte.
void expectSameTree(const Scanned& s, const std::string& src, const std::string& what) {
    ASSERT_EQ(s.outcome, ScanOutcome::Done) << what;
    size_t files = 0;
    for (const auto& f : fs::recursive_directory_iterator(src)) {
        const std::string rel = fs::relative(f.path(), src).string();
        auto it = s.byPath.find(rel);
        if (f.is_symlink()) {
            ASSERT_NE(it, s.byPath.end()) << what << ": not listed: " << rel;
            EXPECT_EQ(it->second.kind, EntryKind::Other) << rel;
            continue;
        }
        ASSERT_NE(it, s.byPath.end()) << what << ": not listed: " << rel;
        EXPECT_EQ(it->second.state, EntryState::Live) << rel;
        EXPECT_EQ(it->second.kind, f.is_directory() ? EntryKind::Folder : EntryKind::File) << rel;
        if (f.is_regular_file()) ++files;
    }
    TempDir out;
    SaveStats st = saveFolder(*s.parser, kRootId, out.path(), nullptr, nullptr);
    EXPECT_EQ(st.failed, 0u) << what << " " << st.lastError;
    EXPECT_EQ(st.partial, 0u) << what << " " << st.lastError;
    for (const auto& f : fs::recursive_directory_iterator(src)) {
        if (!f.is_regular_file() || f.is_symlink()) continue;
        const std::string rel = fs::relative(f.path(), src).string();
        EXPECT_EQ(readFile(out.path() + "/" + rel), readFile(f.path().string())) << what << ": " << rel;
    }
    EXPECT_GE(files, 1u);
}

// A source tree: small and medium files, a file over 12 blocks, a sparse
// file of six regions (an extent tree of depth 1), folders over many groups.
void makeSource(const std::string& src, int topDirs) {
    writeFile(src + "/small.txt", {'h', 'e', 'l', 'l', 'o'});
    writeFile(src + "/empty.bin", {});
    writeFile(src + "/medium.bin", randomBytes(300000, 1));
    {
        std::ofstream f(src + "/sparse.bin", std::ios::binary);
        for (int i = 0; i < 6; ++i) {
            f.seekp(static_cast<std::streamoff>(i) * 1048576);
            auto d = randomBytes(5000, 10 + i);
            f.write(reinterpret_cast<const char*>(d.data()), static_cast<std::streamsize>(d.size()));
        }
    }
    for (int d = 0; d < topDirs; ++d) {
        const std::string dir = src + "/dir" + std::to_string(d) + "/sub";
        writeFile(dir + "/f" + std::to_string(d) + ".dat", randomBytes(1000 + d * 37, 100 + d));
    }
    writeFile(src + "/Ünïcödé/日本語.txt", randomBytes(777, 5));
}

struct Layout {
    const char* name;
    const char* mkfs;
    int sizeMiB;
    int topDirs;
};

class ExtLayouts : public ::testing::TestWithParam<Layout> {};

TEST_P(ExtLayouts, ListsAndSavesTheSourceTree) {
    REQUIRE_TOOLS();
    const Layout& l = GetParam();
    TempDir t;
    const std::string src = t.path() + "/src", img = t.path() + "/v.img";
    makeSource(src, l.topDirs);
    ASSERT_EQ(sh("truncate -s " + std::to_string(l.sizeMiB) + "M " + img), 0);
    ASSERT_EQ(sh(std::string("mke2fs -q -F ") + l.mkfs + " -d " + src + " " + img), 0) << l.mkfs;
    Scanned s = scanImage(img);
    expectSameTree(s, src, l.name);
    // The group count is rounded up: the last, partial group is read.
    const ext::Superblock& sb = s.parser->superblock();
    EXPECT_EQ(sb.groupCount, (sb.blocksCount - sb.firstDataBlock + sb.blocksPerGroup - 1) / sb.blocksPerGroup);
}

INSTANTIATE_TEST_SUITE_P(Mkfs, ExtLayouts,
                         ::testing::Values(Layout{"ext4_1k_13groups", "-t ext4 -b 1024", 100, 60},
                                           Layout{"ext4_4k_one_partial_group", "-t ext4 -b 4096", 20, 5},
                                           Layout{"ext4_4k_64MiB", "-t ext4 -b 4096", 64, 5},
                                           Layout{"ext4_no64bit", "-t ext4 -O ^64bit", 64, 5},
                                           Layout{"ext4_600MiB_partial_last", "-t ext4 -b 4096", 600, 10},
                                           Layout{"ext2", "-t ext2", 40, 30},
                                           Layout{"ext3", "-t ext3", 40, 30},
                                           Layout{"ext2_rev0", "-t ext2 -r 0", 40, 5}),
                         [](const ::testing::TestParamInfo<Layout>& i) { return std::string(i.param.name); });

TEST(ExtTools, SymlinksAndDevicesAreNeitherFoldersNorSaved) {
    REQUIRE_TOOLS();
    TempDir t;
    const std::string src = t.path() + "/src", img = t.path() + "/v.img";
    writeFile(src + "/file.txt", {'x'});
    fs::create_symlink("file.txt", src + "/fast");
    fs::create_symlink(std::string(200, 'L') + "/target", src + "/slow");
    ASSERT_EQ(sh("truncate -s 16M " + img), 0);
    ASSERT_EQ(sh("mke2fs -q -F -t ext4 -d " + src + " " + img), 0);
    ASSERT_EQ(sh("debugfs -w -R 'mknod /blkdev b 8 1' " + img), 0);
    ASSERT_EQ(sh("debugfs -w -R 'mknod chardev c 1 3' " + img), 0);
    ASSERT_EQ(sh("debugfs -w -R 'mknod fifo p' " + img), 0);
    Scanned s = scanImage(img);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    size_t others = 0;
    for (const auto& [path, info] : s.byPath) {
        if (path == "file.txt" || path == ".") continue;
        if (path == "lost+found") continue;
        EXPECT_EQ(info.kind, EntryKind::Other) << path;
        ++others;
    }
    EXPECT_EQ(others, 5u);
    TempDir out;
    SaveStats st = saveFolder(*s.parser, kRootId, out.path(), nullptr, nullptr);
    EXPECT_EQ(st.written, 1u);
    // Nothing was written outside the output folder or as a device.
    size_t n = 0;
    for (const auto& f : fs::recursive_directory_iterator(out.path())) {
        EXPECT_TRUE(f.is_regular_file() || f.is_directory()) << f.path();
        ++n;
    }
    EXPECT_LE(n, 4u);
    EXPECT_TRUE(fs::exists(out.path() + "/file.txt"));
}

TEST(ExtTools, UnwrittenExtentInTheMiddleReadsAsZeros) {
    REQUIRE_TOOLS();
    TempDir t;
    const std::string src = t.path() + "/src", img = t.path() + "/v.img";
    std::vector<uint8_t> want(40960, 0);
    auto a = randomBytes(8192, 1), b = randomBytes(8192, 2);
    std::copy(a.begin(), a.end(), want.begin());
    std::copy(b.begin(), b.end(), want.begin() + 32768);
    {
        fs::create_directories(src);
        std::ofstream f(src + "/u.bin", std::ios::binary);
        f.write(reinterpret_cast<const char*>(a.data()), 8192);
        f.seekp(32768);
        f.write(reinterpret_cast<const char*>(b.data()), 8192);
    }
    ASSERT_EQ(sh("truncate -s 16M " + img), 0);
    ASSERT_EQ(sh("mke2fs -q -F -t ext4 -b 4096 -d " + src + " " + img), 0);
    ASSERT_EQ(sh("debugfs -w -R 'fallocate /u.bin 2 7' " + img), 0);
    ASSERT_NE(debugfs(img, "ex /u.bin").find("Uninit"), std::string::npos);
    Scanned s = scanImage(img);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    MemorySink sink(1 << 20);
    WriteResult r = s.parser->writeContent(s.ids.at("u.bin"), sink);
    EXPECT_TRUE(r.ok()) << r.reason;
    EXPECT_EQ(sink.bytes, want);
}

TEST(ExtTools, HashedDirectoryOfFiveThousandEntries) {
    REQUIRE_TOOLS();
    TempDir t;
    const std::string src = t.path() + "/src", img = t.path() + "/v.img";
    fs::create_directories(src + "/big");
    for (int i = 0; i < 5000; ++i) std::ofstream(src + "/big/entry_with_a_longer_name_" + std::to_string(i) + ".txt");
    ASSERT_EQ(sh("truncate -s 64M " + img), 0);
    ASSERT_EQ(sh("mke2fs -q -F -t ext4 -d " + src + " " + img), 0);
    // e2fsck -D builds the hash index.
    sh("e2fsck -fyD " + img);
    ASSERT_NE(debugfs(img, "htree /big").find("Root node dump"), std::string::npos) << "not hashed";
    Scanned s = scanImage(img);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    size_t found = 0;
    for (int i = 0; i < 5000; ++i) found += s.byPath.count("big/entry_with_a_longer_name_" + std::to_string(i) + ".txt");
    EXPECT_EQ(found, 5000u);
    EXPECT_EQ(s.parser->children(s.ids.at("big")).size(), 5000u);
}

TEST(ExtTools, ZeroedPrimarySuperblockUsesTheBackup) {
    REQUIRE_TOOLS();
    TempDir t;
    const std::string src = t.path() + "/src", img = t.path() + "/v.img";
    makeSource(src, 3);
    ASSERT_EQ(sh("truncate -s 32M " + img), 0);
    ASSERT_EQ(sh("mke2fs -q -F -t ext4 -b 1024 -d " + src + " " + img), 0);
    patch(img, 1024, std::vector<uint8_t>(1024, 0));
    Scanned s = scanImage(img);
    EXPECT_EQ(s.parser->superblockOffset(), 8193u * 1024);
    expectSameTree(s, src, "backup superblock");
}

TEST(ExtTools, DirectoryWithZeroedFirstBlockLendsNoNames) {
    REQUIRE_TOOLS();
    TempDir t;
    const std::string src = t.path() + "/src", img = t.path() + "/v.img";
    for (int i = 0; i < 200; ++i) writeFile(src + "/lost/file_number_" + std::to_string(i), {'a'});
    writeFile(src + "/kept/k.txt", {'k'});
    ASSERT_EQ(sh("truncate -s 16M " + img), 0);
    ASSERT_EQ(sh("mke2fs -q -F -t ext4 -b 1024 -O ^dir_index -d " + src + " " + img), 0);
    patch(img, firstBlock(img, "/lost") * 1024, std::vector<uint8_t>(1024, 0));
    Scanned s = scanImage(img);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    for (const auto& [path, info] : s.byPath) {
        if (path.find("file_number_") == std::string::npos) continue;
        EXPECT_EQ(path.rfind("lost/", 0), 0u) << "attached elsewhere: " << path;
    }
    EXPECT_TRUE(s.byPath.count("kept/k.txt"));
}

// ---- hostile patches ------------------------------------------------------------

// A small ext2 volume (1 KiB blocks, backups) with a file of 40 blocks.
struct Hostile {
    TempDir t;
    std::string img;
    Hostile(const char* type = "ext2") {
        const std::string src = t.path() + "/src";
        writeFile(src + "/d/big.bin", randomBytes(40 * 1024, 3));
        writeFile(src + "/d/small.txt", {'s'});
        img = t.path() + "/v.img";
        sh("truncate -s 24M " + img);
        sh(std::string("mke2fs -q -F -t ") + type + " -b 1024 -d " + src + " " + img);
    }
};

// The scan ends, the tree is finite, and the save writes no more than the
// recorded sizes, inside its folder.
void expectBounded(const std::string& img, const std::string& what) {
    Scanned s = scanImage(img);
    if (s.outcome != ScanOutcome::Done) return;
    TempDir out;
    SaveStats st = saveFolder(*s.parser, kRootId, out.path(), nullptr, nullptr);
    for (const auto& f : fs::recursive_directory_iterator(out.path())) {
        if (!f.is_regular_file()) continue;
        EXPECT_LE(fs::file_size(f.path()), 40u * 1024) << what << " " << f.path();
    }
    EXPECT_LE(st.files, 20u) << what;
}

TEST(ExtHostile, SuperblockFieldsOutOfRangeFallBackToTheBackup) {
    REQUIRE_TOOLS();
    struct P {
        size_t off;
        std::vector<uint8_t> bytes;
    };
    const P patches[] = {{24, le32v(4)},  {24, le32v(31)}, {24, le32v(255)}, {40, le32v(0xFFFFFFFF)},
                         {88, le16v(0)},  {88, le16v(7)},  {32, le32v(0)}};
    for (const P& p : patches) {
        Hostile h;
        patch(h.img, 1024 + p.off, p.bytes);
        Scanned s = scanImage(h.img);
        ASSERT_EQ(s.outcome, ScanOutcome::Done) << p.off;
        EXPECT_GT(s.parser->superblockOffset(), 1024u);
        EXPECT_TRUE(s.byPath.count("d/big.bin")) << p.off;
    }
    // A volume of one group has no backup: rejected, not an empty tree.
    TempDir t;
    const std::string img = t.path() + "/one.img";
    sh("truncate -s 4M " + img);
    sh("mke2fs -q -F -t ext4 -b 4096 " + img);
    patch(img, 1024 + 24, le32v(31));
    auto r = std::make_shared<FileReadSeek>();
    ASSERT_TRUE(r->Open(img));
    ext2Class p;
    ScanContext ctx;
    ctx.volume = VolumeView(r, 0, r->sizeBytes());
    EXPECT_EQ(p.scan(ctx), ScanOutcome::Rejected);
    EXPECT_FALSE(p.rejectMessage().empty());
}

TEST(ExtHostile, DamagedDirectoryRecords) {
    REQUIRE_TOOLS();
    // Offsets in /d's block: "." (12 bytes), ".." (12 bytes), then records.
    struct P {
        size_t off;
        std::vector<uint8_t> bytes;
    };
    const P patches[] = {{28, le16v(0)}, {28, le16v(3)}, {28, le16v(0xFFF0)}, {1024 - 12 + 6, {255}},
                         {24 + 6, {255}}};
    for (const P& p : patches) {
        Hostile h;
        patch(h.img, firstBlock(h.img, "/d") * 1024 + p.off, p.bytes);
        expectBounded(h.img, "record patch at " + std::to_string(p.off));
    }
}

TEST(ExtHostile, ExtentHeaderClaimingTooManyEntries) {
    REQUIRE_TOOLS();
    Hostile h("ext4");
    const uint64_t at = inodePosition(h.img, "/d/big.bin", 1024);
    ASSERT_GT(at, 0u);
    patch(h.img, at + 40 + 2, le16v(65535));
    expectBounded(h.img, "extent entries");
}

TEST(ExtHostile, IndirectBlockPointingToItselfAndBlocksBeyondTheVolume) {
    REQUIRE_TOOLS();
    {
        Hostile h;
        const uint64_t at = inodePosition(h.img, "/d/big.bin", 1024);
        ASSERT_GT(at, 0u);
        std::ifstream f(h.img, std::ios::binary);
        f.seekg(static_cast<std::streamoff>(at + 40 + 48));
        uint8_t b[4];
        f.read(reinterpret_cast<char*>(b), 4);
        const uint32_t ind = le32(b, 4, 0);
        ASSERT_NE(ind, 0u);
        patch(h.img, static_cast<uint64_t>(ind) * 1024, le32v(ind));
        patch(h.img, static_cast<uint64_t>(ind) * 1024 + 4, le32v(ind));
        expectBounded(h.img, "self-pointing indirect block");
    }
    {
        Hostile h;
        const uint64_t at = inodePosition(h.img, "/d/big.bin", 1024);
        patch(h.img, at + 40 + 8, le32v(0xFFFFFFF0));
        Scanned s = scanImage(h.img);
        ASSERT_EQ(s.outcome, ScanOutcome::Done);
        MemorySink sink(1 << 20);
        WriteResult r = s.parser->writeContent(s.ids.at("d/big.bin"), sink);
        EXPECT_EQ(r.status, WriteStatus::Partial);
        EXPECT_LE(sink.size(), 40u * 1024);
    }
}

TEST(ExtHostile, UnreadableBlockKeepsLengthAndOffsets) {
    REQUIRE_TOOLS();
    Hostile h;
    auto data = readFile(h.img);
    // The file's third block fails.
    const std::string list = debugfs(h.img, "blocks /d/big.bin");
    uint64_t third = 0;
    {
        std::istringstream in(list);
        for (int i = 0; i < 3; ++i) in >> third;
    }
    ASSERT_GT(third, 0u);
    auto mem = std::make_shared<MemoryReader>(data);
    mem->failRange(third * 1024, (third + 1) * 1024);
    Scanned s = scanReader(mem, data.size());
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    MemorySink sink(1 << 20);
    WriteResult r = s.parser->writeContent(s.ids.at("d/big.bin"), sink);
    EXPECT_EQ(r.status, WriteStatus::Partial);
    ASSERT_EQ(sink.bytes.size(), 40u * 1024);
    auto want = randomBytes(40 * 1024, 3);
    for (size_t i = 0; i < want.size(); ++i) {
        if (i >= 2048 && i < 3072)
            ASSERT_EQ(sink.bytes[i], 0) << i;
        else
            ASSERT_EQ(sink.bytes[i], want[i]) << i;
    }
}

// ---- the damage log -------------------------------------------------------------

// The note for `structure`, or none.
const DamageNote* noteFor(const ext2Class& p, const std::string& structure) {
    static std::vector<DamageNote> notes;
    notes = p.damage().notes();
    for (const DamageNote& n : notes)
        if (n.structure == structure) return &n;
    return nullptr;
}

TEST(ExtDamage, RefusedAndRepairedStructuresAreNamedWithTheirOffset) {
    REQUIRE_TOOLS();
    for (const char* type : {"ext2", "ext4"}) {
        Hostile h(type);
        Scanned s = scanImage(h.img);
        ASSERT_EQ(s.outcome, ScanOutcome::Done);
        EXPECT_EQ(s.parser->damage().count(), 0u) << type << ": " << s.parser->damage().summary();
    }
    {
        Hostile h;
        patch(h.img, 1024, std::vector<uint8_t>(1024, 0));
        Scanned s = scanImage(h.img);
        const DamageNote* n = noteFor(*s.parser, "ext superblock");
        ASSERT_NE(n, nullptr) << s.parser->damage().summary();
        EXPECT_EQ(n->offset, 1024u);
        EXPECT_NE(n->what.find("magic 0x0 is not 0xEF53"), std::string::npos) << n->text();
    }
    {
        // The record after ".." in /d's first block claims rec_len 3.
        Hostile h;
        const uint64_t block = firstBlock(h.img, "/d");
        patch(h.img, block * 1024 + 28, le16v(3));
        Scanned s = scanImage(h.img);
        const uint32_t dir = static_cast<uint32_t>(s.ids.at("d"));
        const DamageNote* n =
            noteFor(*s.parser, "directory entry of inode " + std::to_string(dir) + " in block " + std::to_string(block));
        ASSERT_NE(n, nullptr) << s.parser->damage().summary();
        EXPECT_EQ(n->offset, block * 1024 + 24);
        EXPECT_NE(n->what.find("rec_len 3"), std::string::npos) << n->text();
    }
    {
        // A directory's extent header claiming 65535 entries: four are read.
        Hostile h("ext4");
        const uint64_t at = inodePosition(h.img, "/d", 1024);
        patch(h.img, at + 40 + 2, le16v(65535));
        Scanned s = scanImage(h.img);
        const uint32_t dir = static_cast<uint32_t>(s.ids.at("d"));
        const DamageNote* n = noteFor(*s.parser, "inode " + std::to_string(dir));
        ASSERT_NE(n, nullptr) << s.parser->damage().summary();
        EXPECT_EQ(n->offset, at);
        EXPECT_NE(n->what.find("extent entries 65535"), std::string::npos) << n->text();
        EXPECT_TRUE(s.byPath.count("d/big.bin"));
    }
}

}  // namespace
