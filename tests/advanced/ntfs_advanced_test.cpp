// NTFS Advanced and Deep modes on damaged and re-formatted volumes: the MFT
// found from its mirror when the boot sector and the first MFT records are
// gone, and the files of a file system that was quick-formatted over.
#include <gtest/gtest.h>

#include <set>

#include "tests/advanced/advanced_support.h"

using namespace brantlow::test;

namespace {

// ntfs.img: 4 KiB clusters, MFT at cluster 4, 1 KiB records.
constexpr uint64_t kMftStart = 4 * 4096;

TEST(NtfsAdvanced, ZeroedBootSectorAndMftStartFoundThroughTheMirror) {
    BRANTLOW_REQUIRE_IMAGE(img, "ntfs");
    TempDir dir;
    const std::string damaged = dir.path() + "/ntfs_zeroed.img";
    // The boot sector and records 0-3 ($MFT, $MFTMirr, $LogFile, $Volume).
    ASSERT_TRUE(damagedCopy(img, damaged, {{0, 512}, {kMftStart, 4 * 1024}}));

    // The candidate list names the mirror's copy of $MFT.
    CliResult cands = runCli({"list", damaged, "--start-sector", "0", "--fs", "ntfs", "--mode", "advanced",
                              "--candidates"}, true);
    EXPECT_EQ(cands.rc, 0) << cands.out;
    EXPECT_NE(cands.out.find("MFT_ENTRY:0"), std::string::npos) << cands.out;
    EXPECT_NE(cands.out.find("mirror"), std::string::npos) << cands.out;

    // Advanced lists every live file under its own path, content intact.
    Coverage live = measure(damaged, "ntfs", "ntfs", "advanced", "live");
    ASSERT_GT(live.entries, 20);
    // Files whose records were zeroed ($MFT, $MFTMirr, $LogFile, $Volume)
    // cannot be listed.
    EXPECT_GE(live.byPath, live.entries - 4) << live.byPath << " of " << live.entries;
    EXPECT_GE(live.byContent, live.entries - 4) << live.byContent << " of " << live.entries;

    // Deep mode needs no MFT runs: the named records go under the folders
    // their names point to, as in the intact volume.
    CliResult deep = runCli({"list", damaged, "--start-sector", "0", "--fs", "ntfs", "--mode", "deep", "--json"});
    ASSERT_EQ(deep.rc, 0);
    int underOrphan = 0;
    std::set<std::string> names, paths;
    for (const auto& r : jsonLines(deep.out)) {
        const std::string p = r["path"];
        if (p.rfind("ORPHAN_ENTRY/", 0) == 0) ++underOrphan;
        names.insert(r["name"].get<std::string>());
        paths.insert(p);
    }
    EXPECT_GT(paths.size(), 500u);
    EXPECT_LE(underOrphan, 4);  // the orphans of the intact volume
    EXPECT_TRUE(paths.count("Documents/Projects/Alpha/budget.bin"));
    // The mirror's copy of $MFT is a record like any other here.
    EXPECT_TRUE(names.count("$MFT"));
}

TEST(NtfsAdvanced, ReformattedVolumeGivesBackThePreviousFileSystem) {
    BRANTLOW_REQUIRE_IMAGE(img, "reformat_ntfs");
    // 49 files of the old file system are intact on disk. One,
    // medium/replaced.bin, lost its record to the new MFT (its data is
    // intact but nothing names it any more: a case for carving).
    Coverage adv = measure(img, "reformat_ntfs", "ntfs", "advanced", "previous_fs");
    EXPECT_EQ(adv.entries, 49);
    EXPECT_GE(adv.byContent, 48) << ::testing::PrintToString(adv.missing);
    // Folders whose records lay after the new MFT keep their place.
    EXPECT_GE(adv.byPath, 43);

    Coverage deep = measure(img, "reformat_ntfs", "ntfs", "deep", "previous_fs");
    EXPECT_GE(deep.byContent, 48) << ::testing::PrintToString(deep.missing);
    EXPECT_GE(deep.byName, 46);

    // The new file system's own files stay live and in place.
    Coverage now = measure(img, "reformat_ntfs", "ntfs", "advanced", "live");
    EXPECT_EQ(now.byPath, now.entries);
}

// Formatted again with 4 KiB clusters over 2 KiB ones: the old records'
// runs leave the volume at the new size and vote for their own; the old
// files come back whole, the new ones stay in place.
TEST(NtfsAdvanced, ReformattedWithLargerClustersReadsOldRecordsInTheirOwnClusters) {
    BRANTLOW_REQUIRE_IMAGE(img, "reformat_ntfs_cs");
    Coverage adv = measure(img, "reformat_ntfs_cs", "ntfs", "advanced", "previous_fs");
    EXPECT_EQ(adv.entries, 42);
    EXPECT_GE(adv.byContent, 40) << ::testing::PrintToString(adv.missing);
    EXPECT_GE(adv.byName, 38);
    Coverage now = measure(img, "reformat_ntfs_cs", "ntfs", "advanced", "live");
    EXPECT_EQ(now.byPath, now.entries);
    EXPECT_EQ(now.byContent, now.entries);
}

}  // namespace
