// XFS volumes made at test time by mkfs.xfs from a prototype file (no
// mount): v5 and v4, block, inode and directory-block sizes, big
// timestamps and 64-bit extent counts, folders of every form (a folder of
// 5,000 entries has a B+tree block map), symlinks and special files, a
// zeroed primary superblock, an AG whose inode B+tree is gone (Advanced
// mode), a real-time device, and hostile patches. Every listing is
// compared with the source tree and every saved file with its bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "base/bytes.h"
#include "fs/advanced_search.h"
#include "fs/xfs/xfs_parser.h"
#include "scan/save.h"
#include "scan/tree_walk.h"
#include "tests/support/fixtures.h"
#include "tests/support/tool_images.h"

using namespace brantlow;
using namespace brantlow::test;
namespace fs = std::filesystem;

namespace {

bool haveTools() { return std::system("command -v mkfs.xfs >/dev/null 2>&1") == 0; }

#define REQUIRE_TOOLS() \
    if (!haveTools()) GTEST_SKIP() << "mkfs.xfs not installed (xfsprogs)"

std::vector<uint8_t> be32v(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
std::vector<uint8_t> be16v(uint16_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }

// The prototype file mkfs.xfs fills a new volume from: the tree below src
// (names must not hold blanks), then `extra` lines in the root folder.
void protoDir(std::ostream& out, const fs::path& dir) {
    std::vector<fs::directory_entry> items{fs::directory_iterator(dir), fs::directory_iterator()};
    std::sort(items.begin(), items.end());
    for (const auto& e : items) {
        const std::string name = e.path().filename().string();
        if (e.is_symlink())
            out << name << " l--777 0 0 " << fs::read_symlink(e.path()).string() << "\n";
        else if (e.is_directory()) {
            out << name << " d--755 0 0\n";
            protoDir(out, e.path());
            out << "$\n";
        } else {
            out << name << " ---644 0 0 " << fs::absolute(e.path()).string() << "\n";
        }
    }
}

// A folder of many entries made in the volume only: the prototype names
// one of a few source files for each entry, so that the test's own disk
// need not hold thousands of files. Fills `expect` (volume path -> source).
std::string manyEntries(const std::string& folder, int count, const std::vector<std::string>& sources,
                        std::map<std::string, std::string>& expect) {
    std::string lines = folder + " d--755 0 0\n";
    for (int i = 0; i < count; ++i) {
        const std::string name = "entry_with_a_longer_name_" + std::to_string(i) + ".txt";
        const std::string& from = sources[static_cast<size_t>(i) % sources.size()];
        lines += name + " ---644 0 0 " + from + "\n";
        expect[folder + "/" + name] = from;
    }
    return lines + "$\n";
}

// mkfs.xfs refuses volumes under 300 MB unless the test-suite variables
// are set.
bool makeVolume(const std::string& img, int sizeMiB, const std::string& opts, const std::string& src,
                const std::string& extra = "") {
    const std::string proto = img + ".proto";
    {
        std::ofstream p(proto);
        p << "/dev/null\n0 0\nd--755 0 0\n";
        if (fs::exists(src)) protoDir(p, src);
        p << extra << "$\n";
    }
    fs::remove(img);
    if (sh("truncate -s " + std::to_string(sizeMiB) + "M " + img) != 0) return false;
    return sh("TEST_DIR=/tmp TEST_DEV=/dev/null QA_CHECK_FS=1 mkfs.xfs -q -f " + opts + " -p " + proto + " " + img) == 0;
}

using Scanned = ScannedTree<XfsParser>;

class Messages : public MessageSink {
public:
    void info(const std::string& text) override { seen.push_back(text); }
    std::vector<std::string> seen;
};

Scanned scanImage(const std::string& img, ScanMode mode = ScanMode::Standard, Messages* msgs = nullptr) {
    auto r = std::make_shared<FileReadSeek>();
    if (!r->Open(img)) return {};
    const uint64_t size = r->sizeBytes();
    return scanTree<XfsParser>(std::move(r), size, mode, msgs);
}

// Every file and folder of src is listed live at its path with its size,
// and the save writes every file byte for byte.
void expectSameTree(const Scanned& s, const std::string& src, const std::string& what,
                    const std::map<std::string, std::string>& more = {}) {
    ASSERT_EQ(s.outcome, ScanOutcome::Done) << what;
    size_t files = 0;
    for (const auto& [path, from] : more) {
        auto it = s.byPath.find(path);
        ASSERT_NE(it, s.byPath.end()) << what << ": not listed: " << path;
        EXPECT_EQ(it->second.kind, EntryKind::File) << path;
        EXPECT_EQ(it->second.size, fs::file_size(from)) << path;
    }
    for (const auto& f : fs::recursive_directory_iterator(src)) {
        const std::string rel = f.path().lexically_relative(src).string();
        auto it = s.byPath.find(rel);
        ASSERT_NE(it, s.byPath.end()) << what << ": not listed: " << rel;
        EXPECT_EQ(it->second.state, EntryState::Live) << rel;
        if (f.is_symlink()) {
            EXPECT_EQ(it->second.kind, EntryKind::Other) << rel;
            continue;
        }
        EXPECT_EQ(it->second.kind, f.is_directory() ? EntryKind::Folder : EntryKind::File) << what << " " << rel;
        if (f.is_regular_file()) {
            EXPECT_EQ(it->second.size, fs::file_size(f.path())) << what << " " << rel;
            ++files;
        }
    }
    TempDir out;
    SaveStats st = saveFolder(*s.parser, kRootId, out.path(), nullptr, nullptr);
    EXPECT_EQ(st.failed, 0u) << what << " " << st.lastError;
    EXPECT_EQ(st.partial, 0u) << what << " " << st.lastError;
    for (const auto& f : fs::recursive_directory_iterator(src)) {
        if (!f.is_regular_file() || f.is_symlink()) continue;
        const std::string rel = f.path().lexically_relative(src).string();
        EXPECT_EQ(readFile(out.path() + "/" + rel), readFile(f.path().string())) << what << ": " << rel;
    }
    for (const auto& [path, from] : more) EXPECT_EQ(readFile(out.path() + "/" + path), readFile(from)) << what << ": " << path;
    EXPECT_GE(files, 1u);
}

// Small and medium files, nested folders, non-ASCII names; the prototype
// lines of a folder of 600 entries (block, leaf or node form by the block
// size) from `pool`.
std::string makeSource(const std::string& src, const std::string& pool, std::map<std::string, std::string>& expect) {
    writeFile(src + "/small.txt", {'h', 'e', 'l', 'l', 'o'});
    writeFile(src + "/empty.bin", {});
    writeFile(src + "/medium.bin", randomBytes(300000, 1));
    for (int d = 0; d < 6; ++d)
        writeFile(src + "/dir" + std::to_string(d) + "/sub/f" + std::to_string(d) + ".dat", randomBytes(1000 + d * 37, 100 + d));
    writeFile(src + "/Ünïcödé/日本語.txt", randomBytes(777, 5));
    fs::create_symlink("small.txt", src + "/link");
    std::vector<std::string> sources;
    for (int i = 0; i < 7; ++i) {
        sources.push_back(pool + "/p" + std::to_string(i));
        writeFile(sources.back(), randomBytes(static_cast<size_t>(i) * 700, 1000 + i));
    }
    return manyEntries("many", 600, sources, expect);
}

struct Layout {
    const char* name;
    const char* mkfs;
    int sizeMiB;
};

class XfsLayouts : public ::testing::TestWithParam<Layout> {};

TEST_P(XfsLayouts, ListsAndSavesTheSourceTree) {
    REQUIRE_TOOLS();
    const Layout& l = GetParam();
    TempDir t;
    const std::string src = t.path() + "/src", img = t.path() + "/v.img";
    std::map<std::string, std::string> more;
    const std::string many = makeSource(src, t.path() + "/pool", more);
    ASSERT_TRUE(makeVolume(img, l.sizeMiB, l.mkfs, src, many)) << l.mkfs;
    Scanned s = scanImage(img);
    expectSameTree(s, src, l.name, more);
    EXPECT_EQ(s.parser->damage().count(), 0u) << s.parser->damage().summary();
    // Times as mkfs.xfs set them: now (classic or big timestamps).
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch()).count();
    const EntryInfo& small = s.byPath.at("small.txt");
    ASSERT_TRUE(small.modified);
    EXPECT_LT(std::llabs(small.modified->sec - now), 86400) << l.name;
}

// (mkfs.xfs 6.1 runs out of space filling 64 MiB with 64-bit extent
// counts: that volume is larger.)
INSTANTIATE_TEST_SUITE_P(Mkfs, XfsLayouts,
                         ::testing::Values(Layout{"v5_4k", "-b size=4096", 64}, Layout{"v5_1k", "-b size=1024", 64},
                                           Layout{"v4", "-m crc=0 -i size=256", 64},
                                           Layout{"v4_1k_no_ftype", "-m crc=0 -n ftype=0 -b size=1024", 64},
                                           Layout{"v5_2k_inodes", "-i size=2048", 64},
                                           Layout{"v5_8k_folder_blocks", "-n size=8192", 64},
                                           Layout{"v5_bigtime_nrext64", "-m bigtime=1 -i nrext64=1", 128},
                                           Layout{"v5_no_sparse_inodes", "-i sparse=0", 64},
                                           Layout{"v5_8_ags", "-d agcount=8", 160}),
                         [](const ::testing::TestParamInfo<Layout>& i) { return std::string(i.param.name); });

TEST(XfsTools, SymlinksAndSpecialFilesAreNeitherFoldersNorSaved) {
    REQUIRE_TOOLS();
    TempDir t;
    const std::string src = t.path() + "/src", img = t.path() + "/v.img";
    writeFile(src + "/file.txt", {'x'});
    fs::create_symlink("file.txt", src + "/short");
    fs::create_symlink(std::string(600, 'L') + "/target", src + "/long");
    ASSERT_TRUE(makeVolume(img, 64, "", src, "fifo p--644 0 0\nnull c--666 0 0 1 3\ndisk b--660 0 0 8 1\n"));
    Scanned s = scanImage(img);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    for (const char* p : {"short", "long", "fifo", "null", "disk"}) {
        ASSERT_TRUE(s.byPath.count(p)) << p;
        EXPECT_EQ(s.byPath.at(p).kind, EntryKind::Other) << p;
    }
    TempDir out;
    SaveStats st = saveFolder(*s.parser, kRootId, out.path(), nullptr, nullptr);
    EXPECT_EQ(st.written, 1u);
    for (const auto& f : fs::recursive_directory_iterator(out.path())) EXPECT_TRUE(f.is_regular_file()) << f.path();
}

// A folder of 5,000 entries on 1 KiB blocks: a node folder whose block map
// is a B+tree, in an AG whose inode B+tree has two levels.
struct BigVolume {
    TempDir t;
    std::string src, img;
    std::map<std::string, std::string> more;
    explicit BigVolume(const std::string& opts = "-b size=1024") {
        src = t.path() + "/src";
        img = t.path() + "/v.img";
        writeFile(src + "/f.bin", randomBytes(100000, 7));
        std::vector<std::string> sources;
        for (int i = 0; i < 3; ++i) {
            sources.push_back(t.path() + "/pool/p" + std::to_string(i));
            writeFile(sources.back(), randomBytes(static_cast<size_t>(i) + 1, 50 + i));
        }
        makeVolume(img, 64, opts, src, manyEntries("big", 5000, sources, more));
    }
};

TEST(XfsTools, FolderWithBlockMapTreeAndTwoLevelInodeTree) {
    REQUIRE_TOOLS();
    BigVolume v;
    Scanned s = scanImage(v.img);
    expectSameTree(s, v.src, "big folder", v.more);
    EXPECT_EQ(s.parser->children(s.ids.at("big")).size(), 5000u);
    // The folder's fork is a B+tree root and an AG's inode tree has two levels.
    const xfs::Superblock& sb = s.parser->superblock();
    uint64_t at = 0;
    ASSERT_TRUE(sb.inodePosition(s.ids.at("big"), at));
    EXPECT_EQ(readAt(v.img, at + 5, 1)[0], xfs::kFormatBtree);
    bool twoLevels = false;
    for (uint32_t ag = 0; ag < sb.agCount; ++ag) {
        auto agi = readAt(v.img, static_cast<uint64_t>(ag) * sb.agBlocks * sb.blockSize + 2u * sb.sectSize, 64);
        twoLevels = twoLevels || be32(agi.data(), agi.size(), 24) >= 2;
    }
    EXPECT_TRUE(twoLevels);
}

TEST(XfsTools, ZeroedPrimarySuperblockUsesACopy) {
    REQUIRE_TOOLS();
    TempDir t;
    const std::string src = t.path() + "/src", img = t.path() + "/v.img";
    std::map<std::string, std::string> more;
    ASSERT_TRUE(makeVolume(img, 64, "", src, makeSource(src, t.path() + "/pool", more)));
    Scanned before = scanImage(img);
    const xfs::Superblock sb = before.parser->superblock();
    patch(img, 0, std::vector<uint8_t>(512, 0));
    Scanned s = scanImage(img);
    EXPECT_EQ(s.parser->superblockOffset(), static_cast<uint64_t>(sb.agBlocks) * sb.blockSize);
    expectSameTree(s, src, "superblock copy", more);
    // The Advanced-mode search offers the copies.
    auto r = std::make_shared<FileReadSeek>();
    ASSERT_TRUE(r->Open(img));
    AdvancedSearch found = searchAdvancedCandidates("XFS", VolumeView(r, 0, r->sizeBytes()), 3, nullptr, nullptr);
    ASSERT_TRUE(found.offered);
    ASSERT_EQ(found.candidates.size(), std::min<size_t>(3, sb.agCount - 1));
    EXPECT_EQ(found.candidates[0].label, "SUPERBLOCK:0");
    EXPECT_EQ(found.candidates[0].position, static_cast<int64_t>(sb.agBlocks) * sb.blockSize);
}

// With an AG's inode header gone, Standard mode loses its inodes; Advanced
// mode finds their chunks by the inodes' magic.
TEST(XfsTools, AdvancedModeFindsInodeChunksWithoutTheInodeTree) {
    REQUIRE_TOOLS();
    TempDir t;
    const std::string src = t.path() + "/src", img = t.path() + "/v.img";
    std::map<std::string, std::string> more;
    ASSERT_TRUE(makeVolume(img, 64, "", src, makeSource(src, t.path() + "/pool", more)));
    Scanned before = scanImage(img);
    const xfs::Superblock sb = before.parser->superblock();
    // Every AG's AGI: no inode B+tree anywhere.
    for (uint32_t ag = 0; ag < sb.agCount; ++ag)
        patch(img, static_cast<uint64_t>(ag) * sb.agBlocks * sb.blockSize + 2u * sb.sectSize,
              std::vector<uint8_t>(sb.sectSize, 0));
    Scanned standard = scanImage(img);
    ASSERT_EQ(standard.outcome, ScanOutcome::Done);
    EXPECT_GT(standard.parser->damage().count(), 0u);
    EXPECT_FALSE(standard.byPath.count("small.txt"));
    Scanned advanced = scanImage(img, ScanMode::Advanced);
    EXPECT_GT(advanced.parser->chunksRead(), 0u);
    expectSameTree(advanced, src, "advanced", more);
}

TEST(XfsTools, RealTimeDeviceIsRefusedWithAMessage) {
    REQUIRE_TOOLS();
    TempDir t;
    const std::string src = t.path() + "/src", img = t.path() + "/v.img", rt = t.path() + "/rt.img";
    writeFile(src + "/a.txt", {'a'});
    writeFile(src + "/b.bin", randomBytes(5000, 3));
    ASSERT_EQ(sh("truncate -s 32M " + rt), 0);
    ASSERT_TRUE(makeVolume(img, 64, "-r rtdev=" + rt, src));
    // b.bin's inode says its data is on the real-time device.
    Scanned first = scanImage(img);
    uint64_t at = 0;
    ASSERT_TRUE(first.parser->superblock().inodePosition(first.ids.at("b.bin"), at));
    patch(img, at + 90, be16v(0x0001));
    Messages msgs;
    Scanned s = scanImage(img, ScanMode::Standard, &msgs);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    ASSERT_EQ(msgs.seen.size(), 1u);
    EXPECT_NE(msgs.seen[0].find("real-time device"), std::string::npos);
    MemorySink sink(1 << 20);
    WriteResult r = s.parser->writeContent(s.ids.at("b.bin"), sink);
    EXPECT_EQ(r.status, WriteStatus::Failed);
    EXPECT_NE(r.reason.find("real-time"), std::string::npos);
    EXPECT_EQ(sink.size(), 0u);
    EXPECT_TRUE(s.parser->writeContent(s.ids.at("a.txt"), sink).ok());
}

// ---- hostile patches ------------------------------------------------------------

// The scan ends, the tree is finite, and no writer hands over more than
// its file's recorded size.
void expectBounded(const std::string& img, const std::string& what, size_t maxEntries = 5100) {
    Scanned s = scanImage(img);
    if (s.outcome != ScanOutcome::Done) return;
    EXPECT_LE(s.byPath.size(), maxEntries + 10) << what;
    for (const auto& [path, info] : s.byPath) {
        if (info.kind != EntryKind::File) continue;
        MemorySink counted(0);
        s.parser->writeContent(s.ids.at(path), counted);
        EXPECT_LE(counted.size(), info.size) << what << " " << path;
    }
}

TEST(XfsHostile, InodeTreeNodePointingToItselfAndPastTheAg) {
    REQUIRE_TOOLS();
    BigVolume v;
    Scanned s = scanImage(v.img);
    const xfs::Superblock sb = s.parser->superblock();
    bool patched = false;
    for (uint32_t ag = 0; ag < sb.agCount && !patched; ++ag) {
        const uint64_t agStart = static_cast<uint64_t>(ag) * sb.agBlocks * sb.blockSize;
        auto agi = readAt(v.img, agStart + 2u * sb.sectSize, 64);
        if (be32(agi.data(), agi.size(), 24) < 2) continue;
        const uint32_t root = be32(agi.data(), agi.size(), 20);
        // v5 short header (56 bytes), 4-byte keys, maxrecs (1024 - 56) / 8.
        const uint64_t ptrs = agStart + static_cast<uint64_t>(root) * sb.blockSize + 56 + ((sb.blockSize - 56) / 8) * 4;
        patch(v.img, ptrs, be32v(root));
        patch(v.img, ptrs + 4, be32v(sb.agBlocks + 7));
        patched = true;
    }
    ASSERT_TRUE(patched);
    Scanned h = scanImage(v.img);
    ASSERT_EQ(h.outcome, ScanOutcome::Done);
    EXPECT_GT(h.parser->damage().count(), 0u);
    expectBounded(v.img, "inode tree loop");
}

TEST(XfsHostile, BlockMapTreeLoopAndExtentsPastTheAg) {
    REQUIRE_TOOLS();
    BigVolume v;
    Scanned s = scanImage(v.img);
    const xfs::Superblock sb = s.parser->superblock();
    uint64_t big = 0, file = 0;
    ASSERT_TRUE(sb.inodePosition(s.ids.at("big"), big));
    ASSERT_TRUE(sb.inodePosition(s.ids.at("f.bin"), file));
    // The folder's B+tree root: both children the same block.
    const uint64_t root = big + 176;
    const auto r = readAt(v.img, root, 8);
    ASSERT_GE(be16(r.data(), 8, 0), 1u);
    const size_t maxrecs = (sb.inodeSize - 176 - 4) / 16;
    const auto child = readAt(v.img, root + 4 + maxrecs * 8, 8);
    patch(v.img, root + 4 + maxrecs * 8 + 8, child);
    // The file's extent: it runs past the end of its AG.
    auto rec = readAt(v.img, file + 176, 16);
    const uint64_t l1 = be64(rec.data(), 16, 8);
    ASSERT_GT(l1 & 0x1FFFFF, 2u);
    const uint64_t ag = (l1 >> 21) >> sb.agBlockLog;
    const uint64_t bad = (ag << sb.agBlockLog) | (sb.agLength(static_cast<uint32_t>(ag)) - 2);
    const uint64_t nl1 = (bad << 21) | (l1 & 0x1FFFFF);
    std::vector<uint8_t> out(8);
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(nl1 >> (56 - 8 * i));
    patch(v.img, file + 176 + 8, out);
    Scanned h = scanImage(v.img);
    ASSERT_EQ(h.outcome, ScanOutcome::Done);
    EXPECT_GT(h.parser->damage().count(), 0u);
    EXPECT_LT(h.parser->children(h.ids.at("big")).size(), 5000u);
    MemorySink sink(1 << 20);
    WriteResult w = h.parser->writeContent(h.ids.at("f.bin"), sink);
    EXPECT_NE(w.status, WriteStatus::Complete);
    EXPECT_LE(sink.size(), 100000u);
    expectBounded(v.img, "block map loop");
}

TEST(XfsHostile, AbsurdCounts) {
    REQUIRE_TOOLS();
    {
        // AG count: the superblock is refused and a copy taken.
        BigVolume v;
        patch(v.img, 88, be32v(0xFFFFFFFF));
        Scanned s = scanImage(v.img);
        ASSERT_EQ(s.outcome, ScanOutcome::Done);
        EXPECT_GT(s.parser->superblockOffset(), 0u);
        EXPECT_TRUE(s.byPath.count("f.bin"));
    }
    {
        // An extent count of 2^32 - 1 on a file of one extent.
        BigVolume v;
        Scanned s = scanImage(v.img);
        uint64_t at = 0;
        ASSERT_TRUE(s.parser->superblock().inodePosition(s.ids.at("f.bin"), at));
        patch(v.img, at + 76, be32v(0xFFFFFFFF));
        expectBounded(v.img, "extent count");
        Scanned h = scanImage(v.img);
        MemorySink sink(1 << 20);
        EXPECT_TRUE(h.parser->writeContent(h.ids.at("f.bin"), sink).ok());
        EXPECT_EQ(sink.bytes, randomBytes(100000, 7));
    }
    {
        // A short-form folder claiming 255 entries, the root's.
        TempDir t;
        const std::string src = t.path() + "/src", img = t.path() + "/v.img";
        writeFile(src + "/a/x.txt", {'x'});
        writeFile(src + "/b.txt", {'b'});
        ASSERT_TRUE(makeVolume(img, 64, "", src));
        Scanned s = scanImage(img);
        uint64_t at = 0;
        ASSERT_TRUE(s.parser->superblock().inodePosition(s.parser->superblock().rootIno, at));
        patch(img, at + 176, {255});
        Scanned h = scanImage(img);
        ASSERT_EQ(h.outcome, ScanOutcome::Done);
        EXPECT_GT(h.parser->damage().count(), 0u);
        expectBounded(img, "short-form count", 10);
    }
    {
        // Leaf count of a single-block folder past the block.
        TempDir t;
        const std::string src = t.path() + "/src", img = t.path() + "/v.img";
        writeFile(src + "/x", {'x'});
        std::map<std::string, std::string> more;
        ASSERT_TRUE(makeVolume(img, 64, "", src, manyEntries("d", 40, {src + "/x"}, more)));
        Scanned s = scanImage(img);
        const xfs::Superblock& sb = s.parser->superblock();
        uint64_t at = 0;
        ASSERT_TRUE(sb.inodePosition(s.ids.at("d"), at));
        ASSERT_EQ(readAt(img, at + 5, 1)[0], xfs::kFormatExtents);
        auto rec = readAt(img, at + 176, 16);
        uint64_t block = 0;
        ASSERT_TRUE(sb.linear(be64(rec.data(), 16, 8) >> 21, block));
        patch(img, (block + 1) * sb.blockSize - 8, be32v(0x7FFFFFFF));
        Scanned h = scanImage(img);
        ASSERT_EQ(h.outcome, ScanOutcome::Done);
        EXPECT_GT(h.parser->damage().count(), 0u);
        EXPECT_EQ(h.parser->children(h.ids.at("d")).size(), 0u);
    }
}

// A folder whose entry names its own grandparent: the loop is cut, every
// entry is listed once.
TEST(XfsHostile, FolderNamingItsAncestor) {
    REQUIRE_TOOLS();
    TempDir t;
    const std::string src = t.path() + "/src", img = t.path() + "/v.img";
    writeFile(src + "/top/mid/leaf/file.txt", {'f'});
    ASSERT_TRUE(makeVolume(img, 64, "", src));
    Scanned s = scanImage(img);
    const xfs::Superblock& sb = s.parser->superblock();
    uint64_t leaf = 0;
    ASSERT_TRUE(sb.inodePosition(s.ids.at("top/mid/leaf"), leaf));
    // leaf's one entry ("file.txt", 4-byte inode number at its end) now names "top".
    const auto hdr = readAt(img, leaf + 176, 16);
    ASSERT_EQ(hdr[0], 1);
    const size_t entry = 176 + 6;
    const size_t nameLength = readAt(img, leaf + entry, 1)[0];
    patch(img, leaf + entry + 3 + nameLength + 1, be32v(static_cast<uint32_t>(s.ids.at("top"))));
    Scanned h = scanImage(img);
    ASSERT_EQ(h.outcome, ScanOutcome::Done);
    size_t tops = 0;
    for (const auto& [path, info] : h.byPath) tops += info.name == "top" || info.name == "file.txt";
    EXPECT_LE(tops, 2u);
    expectBounded(img, "folder loop", 10);
}

}  // namespace
