// Damaged and hostile FAT volumes: the fixture image with single fields
// changed the way a damaged or crafted disk would have them. Every walk and
// every write must end, stay inside its buffers and inside the output folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "base/bytes.h"
#include "fs/fat/fat_parser.h"
#include "scan/save.h"
#include "scan/tree_walk.h"
#include "tests/support/fixtures.h"
#include "tests/support/memory_reader.h"

using namespace brantlow;
using namespace brantlow::test;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> loadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Volume {
    std::shared_ptr<MemoryReader> reader;
    std::unique_ptr<FatParser> parser;
    ScanOutcome outcome = ScanOutcome::Failed;
    std::map<std::string, EntryId> byPath;

    EntryId id(const std::string& path) const {
        auto it = byPath.find(path);
        return it == byPath.end() ? kRootId : it->second;
    }
    bool has(const std::string& path) const { return byPath.count(path) != 0; }
};

Volume scanBytes(std::vector<uint8_t> bytes, bool fat32, bool driveFormatted = false) {
    Volume v;
    v.reader = std::make_shared<MemoryReader>(std::move(bytes));
    if (fat32)
        v.parser = std::make_unique<Fat32Class>();
    else
        v.parser = std::make_unique<Fat16Class>();
    ScanContext ctx;
    ctx.options.driveFormatted = driveFormatted;
    ctx.volume = VolumeView(v.reader, 0, v.reader->data.size());
    v.outcome = v.parser->scan(ctx);
    if (v.outcome == ScanOutcome::Done)
        walkTree(*v.parser, kRootId, [&](const std::string& p, EntryId id, const EntryInfo&) {
            v.byPath.emplace(p, id);
            return true;
        });
    return v;
}

// The fat16 fixture: 512-byte sectors, 4 sectors per cluster, a 16-bit FAT.
class Fat16Image : public ::testing::Test {
protected:
    void SetUp() override {
        auto img = fixtureImage("fat16");
        if (!img) GTEST_SKIP() << "fixture image fat16 not found";
        bytes = loadFile(*img);
        Volume clean = scanBytes(bytes, false);
        ASSERT_EQ(clean.outcome, ScanOutcome::Done);
        layout = clean.parser->layout();
    }
    // The first slot whose 11 name bytes are these, at or after from.
    size_t slot(const char* name11, size_t from = 0) const {
        for (size_t off = layout.rootOffset + from; off + 32 <= bytes.size(); off += 32)
            if (std::memcmp(&bytes[off], name11, 11) == 0) return off;
        ADD_FAILURE() << "slot not found: " << name11;
        return 0;
    }
    uint16_t cluster(size_t slotOff) const { return le16(bytes.data(), bytes.size(), slotOff + 26); }
    void setCluster(size_t slotOff, uint16_t c) { std::memcpy(&bytes[slotOff + 26], &c, 2); }
    void setSize(size_t slotOff, uint32_t s) { std::memcpy(&bytes[slotOff + 28], &s, 4); }
    uint16_t fat(uint32_t c) const { return le16(bytes.data(), bytes.size(), layout.fatOffset + 2ull * c); }
    void setFat(uint32_t c, uint16_t v) { std::memcpy(&bytes[layout.fatOffset + 2ull * c], &v, 2); }
    void setU16(size_t off, uint16_t v) { std::memcpy(&bytes[off], &v, 2); }
    void setU32(size_t off, uint32_t v) { std::memcpy(&bytes[off], &v, 4); }

    // Writes one entry into memory; returns (complete, bytes written).
    std::pair<bool, uint64_t> write(Volume& v, const std::string& path) {
        MemorySink out(0);
        bool ok = v.parser->writeContent(v.id(path), out).ok();
        return {ok, out.size()};
    }

    std::vector<uint8_t> bytes;
    FatLayout layout;
};

TEST_F(Fat16Image, CyclicAndOutOfRangeChainsEndTheFile) {
    // big.dat (5.5 MB): its second cluster links back to the first.
    size_t big = slot("BIG     DAT");
    uint16_t c0 = cluster(big);
    uint16_t c1 = fat(c0);
    ASSERT_GE(c1, 2);
    setFat(c1, c0);
    // m03.bin: its chain points past the last cluster after one cluster.
    size_t m03 = slot("M03     BIN");
    setFat(cluster(m03), 0xFFF0);
    Volume v = scanBytes(bytes, false);
    auto [okBig, nBig] = write(v, "large/big.dat");
    EXPECT_FALSE(okBig);  // short: reported, not hidden
    EXPECT_EQ(nBig, 2u * layout.clusterSize);
    auto [okM, nM] = write(v, "medium/m03.bin");
    EXPECT_FALSE(okM);
    EXPECT_EQ(nM, layout.clusterSize);
}

TEST_F(Fat16Image, FirstClusterOutsideTheVolumeAndHugeSizes) {
    size_t one = slot("ONE     BIN");
    setCluster(one, 0xFFF0);
    size_t s01 = slot("S01     TXT");
    setCluster(s01, 1);
    size_t s02 = slot("S02     TXT");
    setSize(s02, static_cast<uint32_t>(bytes.size()));  // live: the chain ends after one cluster
    size_t s04 = slot("S04     TXT");
    setSize(s04, 0xFFFFFFFFu);  // more than the volume holds: not a file
    Volume v = scanBytes(bytes, false);
    EXPECT_FALSE(v.has("small/s04.txt"));
    ASSERT_TRUE(v.has("one.bin"));
    auto [ok1, n1] = write(v, "one.bin");
    EXPECT_FALSE(ok1);
    EXPECT_EQ(n1, 0u);
    auto [okS, nS] = write(v, "small/s01.txt");
    EXPECT_FALSE(okS);
    EXPECT_EQ(nS, 0u);
    auto [ok2, n2] = write(v, "small/s02.txt");
    EXPECT_FALSE(ok2);
    EXPECT_EQ(n2, layout.clusterSize);
}

TEST_F(Fat16Image, HugeDeletedFileStopsAtTheEndOfTheVolumeWithoutTimes) {
    // Deleted files are read from contiguous clusters; a size past the
    // volume stops at its last cluster and the times are left alone.
    std::vector<ParsedSlot> slots;
    size_t del = 0;
    for (size_t off = layout.dataOffset; off + 32 <= bytes.size() && !del; off += 32)
        if (bytes[off] == 0xE5 && std::memcmp(&bytes[off + 1], "ELETE~1DAT", 10) == 0) del = off;
    ASSERT_NE(del, 0u) << "deleted_large.dat's short slot";
    setSize(del, static_cast<uint32_t>(bytes.size()));
    Volume v = scanBytes(bytes, false);
    ASSERT_TRUE(v.has("large/deleted_large.dat"));
    EntryId id = v.id("large/deleted_large.dat");
    auto [ok, n] = write(v, "large/deleted_large.dat");
    EXPECT_FALSE(ok);
    EXPECT_GT(n, 1500000u);
    EXPECT_LE(n, bytes.size());
    OptTime at, mt;
    v.parser->outputTimes(id, at, mt);
    EXPECT_FALSE(mt.has_value());
}

TEST_F(Fat16Image, DeletedFileWhoseFirstClusterWasReusedGivesOneCluster) {
    size_t del = 0;
    for (size_t off = layout.dataOffset; off + 32 <= bytes.size() && !del; off += 32)
        if (bytes[off] == 0xE5 && std::memcmp(&bytes[off + 1], "ELETE~1BIN", 10) == 0) del = off;
    ASSERT_NE(del, 0u) << "deleted_medium.bin's short slot";
    setFat(cluster(del), 0xFFFF);  // now the (one-cluster) file of someone else
    Volume v = scanBytes(bytes, false);
    auto [ok, n] = write(v, "medium/deleted_medium.bin");
    EXPECT_FALSE(ok);  // partial: one cluster of a longer file
    EXPECT_EQ(n, layout.clusterSize);
}

TEST_F(Fat16Image, DirectoryLoopsEnd) {
    // SMALL's chain loops on itself; Documents/Projects points back at
    // Documents; LARGE points at the root's first data cluster's owner.
    size_t small = slot("SMALL      ");
    setFat(cluster(small), cluster(small));
    size_t docs = slot("DOCUME~1   ");
    size_t projects = slot("PROJECTS   ", layout.dataOffset - layout.rootOffset);
    setCluster(projects, cluster(docs));
    Volume v = scanBytes(bytes, false);
    ASSERT_EQ(v.outcome, ScanOutcome::Done);
    for (const char* f : {"small/s01.txt", "small/s05.bin", "Documents/readme.txt"}) EXPECT_TRUE(v.has(f)) << f;
    EXPECT_TRUE(v.has("Documents/Projects"));
    EXPECT_FALSE(v.has("Documents/Projects/Alpha"));
    EXPECT_LT(v.parser->entries().size(), 200u);
}

TEST_F(Fat16Image, DeletedFolderNeverTakesALiveFoldersCluster) {
    // The deleted OldProject/docs now points at Documents' cluster (reused
    // by a live folder): the live folder keeps its files.
    size_t docsDeleted = slot("\xE5OCS       ", layout.dataOffset - layout.rootOffset);
    size_t docs = slot("DOCUME~1   ");
    setCluster(docsDeleted, cluster(docs));
    Volume v = scanBytes(bytes, false);
    EXPECT_TRUE(v.has("Documents/readme.txt"));
    EXPECT_TRUE(v.has("OldProject/\xCF\x83ocs"));
    EXPECT_FALSE(v.has("OldProject/\xCF\x83ocs/readme.txt"));
    EXPECT_TRUE(v.has("OldProject/src/lib") || v.has("OldProject/\xCF\x83rc/\xCF\x83ib"));
}

TEST_F(Fat16Image, LiveFolderSlotOverridesAnEarlierDeletedOneForTheSameCluster) {
    // SMALL becomes a deleted slot for MEDIUM's cluster, before MEDIUM.
    size_t small = slot("SMALL      ");
    size_t medium = slot("MEDIUM     ");
    bytes[small] = 0xE5;
    setCluster(small, cluster(medium));
    Volume v = scanBytes(bytes, false);
    ASSERT_TRUE(v.has("medium/m01.bin"));
    EntryInfo info;
    ASSERT_TRUE(v.parser->entryInfo(v.id("medium/m01.bin"), info));
    EXPECT_EQ(info.state, EntryState::Live);
    ASSERT_TRUE(v.parser->entryInfo(v.id("medium"), info));
    EXPECT_EQ(info.state, EntryState::Live);
    EXPECT_FALSE(v.has("\xCF\x83MALL"));
}

TEST_F(Fat16Image, NamesThatWouldLeaveTheOutputFolderAreSanitised) {
    // The long names of Documents and Équipe Élève become "a/b" and "..".
    size_t lfnDocs = slot("AD\0o\0c\0u\0m\0");
    const char16_t ab[] = u"a/b";
    for (int i = 0; i < 4; ++i) setU16(lfnDocs + 1 + 2 * i, i < 3 ? ab[i] : 0);
    size_t lfnEq = lfnDocs + 64;
    ASSERT_EQ(bytes[lfnEq + 11], 0x0F);
    const char16_t dd[] = u"..";
    for (int i = 0; i < 3; ++i) setU16(lfnEq + 1 + 2 * i, i < 2 ? dd[i] : 0);
    Volume v = scanBytes(bytes, false);
    ASSERT_TRUE(v.has("a/b"));  // one component named "a/b"
    ASSERT_TRUE(v.has("../Café Résumé – Ünïcödé.txt"));
    TempDir top;
    const std::string out = top.path() + "/out";
    ASSERT_EQ(::mkdir(out.c_str(), 0777), 0);
    SaveStats st = saveFolder(*v.parser, kRootId, out, nullptr, nullptr);
    EXPECT_GT(st.written, 20u);
    // Nothing beside the output folder; the names became components.
    size_t beside = 0;
    for (auto& e : fs::directory_iterator(top.path())) {
        (void)e;
        ++beside;
    }
    EXPECT_EQ(beside, 1u);
    EXPECT_TRUE(fs::exists(out + "/a_b/readme.txt"));
    EXPECT_TRUE(fs::exists(out + "/_../Café Résumé – Ünïcödé.txt"));
}

TEST_F(Fat16Image, EveryAttributeCombinationIsListedAndFoldersAreWalked) {
    bytes[slot("EMPTY   TXT") + 11] = 0x07;  // read-only, hidden, system, no archive
    bytes[slot("ONE     BIN") + 11] = 0x00;
    bytes[slot("SMALL      ") + 11] = 0x37;  // folder with every other bit
    bytes[slot("MEDIUM     ") + 11] = 0x17;
    Volume v = scanBytes(bytes, false);
    ASSERT_TRUE(v.has("empty.txt"));
    ASSERT_TRUE(v.has("one.bin"));
    EXPECT_EQ(v.parser->listTexts(v.id("empty.txt")).attributes, "-R-H-S");
    EXPECT_EQ(v.parser->listTexts(v.id("one.bin")).attributes, "");
    EXPECT_TRUE(v.has("small/s03.bin"));
    EXPECT_TRUE(v.has("medium/m02.txt"));
    EntryInfo info;
    ASSERT_TRUE(v.parser->entryInfo(v.id("small"), info));
    EXPECT_EQ(info.kind, EntryKind::Folder);
    // The volume label has no item.
    for (auto& [p, id] : v.byPath) EXPECT_EQ(p.find("FIX_FAT16"), std::string::npos);
}

TEST_F(Fat16Image, ImplausibleBootSectorsAndFat12AreRefused) {
    struct Patch {
        size_t off;
        int width;
        uint32_t value;
    };
    const Patch patches[] = {
        {11, 2, 0}, {11, 2, 65535}, {11, 2, 513}, {13, 1, 0}, {13, 1, 3}, {22, 2, 65535}, {14, 2, 0}, {16, 1, 0},
        {17, 2, 0},   // no root entries: not FAT16
        {19, 2, 4000}, // 959 clusters: FAT12
    };
    for (const Patch& p : patches) {
        std::vector<uint8_t> b = bytes;
        if (p.width == 1)
            b[p.off] = static_cast<uint8_t>(p.value);
        else
            std::memcpy(&b[p.off], &p.value, 2);
        if (p.off == 19) std::memset(&b[32], 0, 4);
        Volume v = scanBytes(b, false);
        EXPECT_EQ(v.outcome, ScanOutcome::Rejected) << "offset " << p.off << " value " << p.value;
        EXPECT_EQ(v.parser->rejectMessage(), "Selected Drive is not in Fat16 Format");
    }
    // The other parser refuses this volume too.
    Volume v32 = scanBytes(bytes, true);
    EXPECT_EQ(v32.outcome, ScanOutcome::Rejected);
    EXPECT_EQ(v32.parser->rejectMessage(), "Selected Drive is not in Fat32 Format");
}

TEST_F(Fat16Image, FormattedDriveOptionReadsFirstClustersAndContiguousFiles) {
    Volume v = scanBytes(bytes, false, true);
    // Each folder gives its first cluster (here every folder fits in one).
    EXPECT_TRUE(v.has("large/big.dat"));
    auto [ok, n] = write(v, "large/big.dat");
    EXPECT_TRUE(ok);
    EXPECT_EQ(n, 5500000u);
}

}  // namespace

// Refused slots are named in the damage log with their byte offsets: a file
// entry whose name bytes are no short name is left out; a long-name slot
// with a type byte other than 0 is refused, and its file keeps its short
// name. The clean volume has no damage.
TEST_F(Fat16Image, RefusedSlotsAreNamedWithTheirOffsets) {
    Volume clean = scanBytes(bytes, false);
    EXPECT_EQ(clean.parser->damage().count(), 0u) << clean.parser->damage().summary();
    const size_t s02 = slot("S02     TXT");
    bytes[s02 + 1] = '*';
    const char16_t part1[] = u"A very";
    size_t lfn = 0;
    for (size_t off = layout.rootOffset; off + 32 <= bytes.size() && !lfn; off += 32)
        if (bytes[off + 11] == 0x0F && std::memcmp(&bytes[off + 1], part1, 10) == 0) lfn = off;
    ASSERT_NE(lfn, 0u);
    bytes[lfn + 12] = 1;
    Volume v = scanBytes(bytes, false);
    ASSERT_EQ(v.outcome, ScanOutcome::Done);
    EXPECT_FALSE(v.has("small/s02.txt"));
    EXPECT_TRUE(v.has("small/s01.txt"));
    EXPECT_FALSE(v.has("Documents/Projects/Alpha/Design/A very long file name that exceeds the old 8.3 limit - final revision.txt"));
    auto notes = v.parser->damage().notes();
    ASSERT_EQ(notes.size(), 2u) << v.parser->damage().summary();
    std::map<std::string, DamageNote> byStructure;
    for (const DamageNote& n : notes) byStructure[n.structure] = n;
    EXPECT_EQ(byStructure["FAT directory entry"].offset, s02);
    EXPECT_EQ(byStructure["FAT directory entry"].what, "name bytes are not a short name");
    EXPECT_EQ(byStructure["FAT long-name slot"].offset, lfn);
    EXPECT_FALSE(byStructure["FAT long-name slot"].repaired);
}
