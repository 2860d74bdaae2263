// FAT folders that no walk reaches (Standard mode), and Advanced mode on
// volumes whose boot sector is gone or that were formatted over.
#include <gtest/gtest.h>

#include <map>

#include "tests/advanced/advanced_support.h"

using namespace brantlow::test;

namespace {

class FatBoth : public ::testing::TestWithParam<const char*> {};

// TMPDIR's own entry was reused by REUSED.TXT: its cluster is free and no
// folder names it. Its files (and its subfolder SUB with its file) appear
// under ORPHAN ENTRY, as The Sleuth Kit lists them under $OrphanFiles, and
// come out byte-exact.
TEST_P(FatBoth, FolderWhoseEntryWasReusedIsListedUnderOrphanEntry) {
    const std::string fs = GetParam();
    BRANTLOW_REQUIRE_IMAGE(img, fs);
    auto manifest = fixtureManifest(fs);
    ASSERT_TRUE(manifest);
    CliResult list = runCli({"list", img, "--start-sector", "0", "--fs", fs, "--json"});
    ASSERT_EQ(list.rc, 0);
    std::map<std::string, nlohmann::json> bySize;  // orphans by size (names are the deleted short names)
    for (const auto& r : jsonLines(list.out)) {
        const std::string p = r["path"];
        if (p.rfind("ORPHAN ENTRY/", 0) != 0) continue;
        EXPECT_TRUE(r["orphan"].get<bool>()) << p;
        EXPECT_EQ(r["state"], "deleted") << p;
        if (r["kind"] == "file") bySize[std::to_string(r["size"].get<uint64_t>())] = r;
    }
    TempDir out;
    CliResult rec = runCli({"recover", img, "--start-sector", "0", "--fs", fs, "--out", out.path(),
                            "--path", "ROOT/ORPHAN ENTRY", "--quiet"});
    EXPECT_EQ(rec.rc, 0) << rec.out;
    int orphans = 0;
    for (const auto& e : (*manifest)["volumes"][0]["entries"]) {
        if (e["state"] != "orphan" || e["type"] != "file") continue;
        ++orphans;
        auto it = bySize.find(std::to_string(e["size"].get<uint64_t>()));
        ASSERT_NE(it, bySize.end()) << "not listed under ORPHAN ENTRY: " << e["path"];
        const std::string path = it->second["path"];
        // SUB keeps its place under the orphaned folder's contents.
        if (e["path"].get<std::string>().find("/SUB/") != std::string::npos) {
            EXPECT_NE(path.find("UB/"), std::string::npos) << path;
        }
        auto sha = sha256File(out.path() + "/" + path.substr(std::string("ORPHAN ENTRY/").size()));
        ASSERT_TRUE(sha) << path;
        EXPECT_EQ(*sha, e["sha256"].get<std::string>()) << path;
    }
    EXPECT_EQ(orphans, 3);
}

// Boot sector (and the FAT32 backup) zeroed: the FAT is found by its
// signature, cluster size and data start by the folders' "." slots; every
// live file and every intact deleted one comes back.
TEST_P(FatBoth, ZeroedBootSectorAdvancedRecoversEveryFile) {
    const std::string fs = GetParam();
    BRANTLOW_REQUIRE_IMAGE(img, fs);
    TempDir dir;
    const std::string damaged = dir.path() + "/damaged.img";
    std::vector<std::pair<uint64_t, uint64_t>> zero = {{0, 512}};
    if (fs == "fat32") zero.push_back({6 * 512, 512});
    ASSERT_TRUE(damagedCopy(img, damaged, zero));

    // Standard mode refuses the volume.
    EXPECT_NE(runCli({"list", damaged, "--start-sector", "0", "--fs", fs}).rc, 0);

    CliResult cands = runCli({"list", damaged, "--start-sector", "0", "--fs", fs, "--mode", "advanced",
                              "--candidates", "--quiet"}, true);
    EXPECT_NE(cands.out.find(fs == "fat32" ? "FAT32_ENTRY:0" : "FAT_ENTRY:0"), std::string::npos) << cands.out;
    EXPECT_NE(cands.out.find(fs == "fat32" ? "FAT32_ENTRY:1" : "FAT_ENTRY:1"), std::string::npos) << cands.out;

    Coverage live = measure(damaged, fs, fs, "advanced", "live");
    ASSERT_GT(live.entries, 20);
    EXPECT_EQ(live.byPath, live.entries);
    EXPECT_EQ(live.byContent, live.entries) << ::testing::PrintToString(live.missing);
    Coverage deleted = measure(damaged, fs, fs, "advanced", "deleted");
    EXPECT_GE(deleted.byContent, 10) << ::testing::PrintToString(deleted.missing);
    Coverage orphan = measure(damaged, fs, fs, "advanced", "orphan");
    EXPECT_EQ(orphan.byContent, orphan.entries);

    // Candidate 1 (the second FAT copy) with the right cluster size gives
    // the same files.
    Coverage second = measure(damaged, fs, fs, "advanced", "live", {"--candidate", "1"});
    EXPECT_EQ(second.byContent, second.entries);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FatBoth, ::testing::Values("fat16", "fat32"));

// The quick format overwrote the old root and all old folders but frag and
// frag/pad (their clusters hold the new files or nothing that names them):
// what those two folders name comes back; the rest needs carving.
TEST(FatAdvanced, ReformattedVolumeGivesBackWhatItsFoldersStillName) {
    BRANTLOW_REQUIRE_IMAGE(img, "reformat_fat32");
    Coverage adv = measure(img, "reformat_fat32", "fat32", "advanced", "previous_fs");
    EXPECT_EQ(adv.entries, 34);
    EXPECT_GE(adv.byContent, 6) << ::testing::PrintToString(adv.missing);
    Coverage now = measure(img, "reformat_fat32", "fat32", "advanced", "live");
    EXPECT_EQ(now.byPath, now.entries);
    EXPECT_EQ(now.byContent, now.entries);
}

// Formatted again with 2 sectors per cluster over 1: the folders that
// survive vote for the earlier geometry, found by themselves or chosen with
// --sectors-per-cluster 1 (the boot sector's own 2 gives nothing old). As
// above, the new files overwrote every old folder but frag and frag/pad.
TEST(FatAdvanced, ReformattedWithAnotherClusterSizeTakesTheEarlierGeometry) {
    BRANTLOW_REQUIRE_IMAGE(img, "reformat_fat32_cs");
    for (const std::vector<std::string>& extra : {std::vector<std::string>{}, {"--sectors-per-cluster", "1"}}) {
        Coverage adv = measure(img, "reformat_fat32_cs", "fat32", "advanced", "previous_fs", extra);
        EXPECT_EQ(adv.entries, 34);
        EXPECT_GE(adv.byContent, 6) << ::testing::PrintToString(adv.missing);
        EXPECT_GE(adv.byName, 6);
    }
    Coverage now = measure(img, "reformat_fat32_cs", "fat32", "standard", "live");
    EXPECT_EQ(now.byPath, now.entries);
    EXPECT_EQ(now.byContent, now.entries);
}

}  // namespace

namespace {

// exFAT through the same command-line choice: boot sector zeroed, the FAT
// candidate chosen by number, heap and cluster size found from the entry
// sets.
TEST(ExfatAdvanced, ZeroedBootSectorThroughCandidateChoice) {
    BRANTLOW_REQUIRE_IMAGE(img, "exfat");
    TempDir dir;
    const std::string damaged = dir.path() + "/exfat_zeroed.img";
    ASSERT_TRUE(damagedCopy(img, damaged, {{0, 512}}));
    CliResult cands = runCli({"list", damaged, "--start-sector", "0", "--fs", "exfat", "--mode", "advanced",
                              "--candidates", "--quiet"}, true);
    EXPECT_NE(cands.out.find("FAT64_ENTRY:0"), std::string::npos) << cands.out;
    EXPECT_NE(cands.out.find("HEAP_OFFSET_ENTRY:0"), std::string::npos) << cands.out;
    Coverage live = measure(damaged, "exfat", "exfat", "advanced", "live", {"--candidate", "0"});
    ASSERT_GT(live.entries, 20);
    EXPECT_EQ(live.byContent, live.entries) << ::testing::PrintToString(live.missing);
    // A number past the list is refused.
    EXPECT_EQ(runCli({"list", damaged, "--start-sector", "0", "--fs", "exfat", "--mode", "advanced",
                      "--candidate", "7"}).rc, 1);
}

}  // namespace
