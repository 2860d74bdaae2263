// The Btrfs volume made by mkfs.btrfs and filled through the Linux driver:
// every live file is listed with its path, size and times and recovered
// byte for byte with its access and modification times; the files deleted
// in a later transaction come back from the older trees the superblock's
// backup roots lead to, at their old paths; the volume is found on an MBR
// disk and, with its primary superblock wiped, by the sector scan through
// the copy at 64 MiB.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "tests/support/fixtures.h"
#include "tests/support/tool_images.h"

using namespace brantlow::test;
using nlohmann::json;

namespace {

const json& volumeOf(const json& manifest) { return manifest["volumes"][0]; }

TEST(BtrfsFixture, ListsAndRecoversEveryLiveFileWithTimes) {
    BRANTLOW_REQUIRE_IMAGE(img, "btrfs");
    auto manifest = fixtureManifest("btrfs");
    ASSERT_TRUE(manifest);
    CliResult v = runCli({"volumes", img});
    EXPECT_NE(v.out.find("Btrfs"), std::string::npos) << v.out;
    auto listed = listByPath({"list", img, "--json", "--quiet"});
    TempDir out;
    runCli({"recover", img, "--out", out.path(), "--quiet"});
    size_t entries = 0, files = 0;
    for (const json& e : volumeOf(*manifest)["entries"]) {
        if (e["state"] != "live") continue;
        const std::string path = e["path"];
        auto it = listed.find(path);
        ASSERT_NE(it, listed.end()) << "not listed: " << path;
        const json& r = it->second;
        EXPECT_EQ(r["state"], "live") << path;
        EXPECT_EQ(r["kind"], e["type"] == "dir" ? "dir" : "file") << path;
        EXPECT_EQ(r["modified"], e["times"]["mtime"]) << path;
        EXPECT_EQ(r["accessed"], e["times"]["atime"]) << path;
        EXPECT_EQ(r["created"], e["times"]["crtime"]) << path;
        ++entries;
        if (e["type"] != "file") continue;
        EXPECT_EQ(r["size"].get<uint64_t>(), e["size"].get<uint64_t>()) << path;
        const std::string file = out.path() + "/" + path;
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0) << "not written: " << file;
        EXPECT_EQ(st.st_mtime, isoToUnix(e["times"]["mtime"])) << path;
        EXPECT_EQ(st.st_atime, isoToUnix(e["times"]["atime"])) << path;
        auto sha = sha256File(file);
        ASSERT_TRUE(sha);
        EXPECT_EQ(*sha, e["sha256"].get<std::string>()) << path;
        ++files;
    }
    EXPECT_EQ(entries, 44u);
    EXPECT_EQ(files, 31u);
}

// The cow/ files were committed in generation 96 and deleted in 97: the
// backup roots still lead to generation 96's trees. The others were
// deleted earlier: their leaves are found in the metadata chunks. Every
// deleted file whose extents are untouched comes back byte for byte at its
// old path with its times (the orphans too: their folder's leaves
// survive); those whose extents were written again since are not called
// intact, even where the later writer was deleted in turn.
TEST(BtrfsFixture, DeletedFilesComeBackAtTheirPathsFromOlderTrees) {
    BRANTLOW_REQUIRE_IMAGE(img, "btrfs");
    auto manifest = fixtureManifest("btrfs");
    ASSERT_TRUE(manifest);
    auto listed = listByPath({"list", img, "--json", "--quiet"});
    TempDir out;
    runCli({"recover", img, "--out", out.path(), "--quiet", "--deleted-only"});
    size_t intact = 0, lost = 0, dirs = 0;
    for (const json& e : volumeOf(*manifest)["entries"]) {
        if (e["state"] == "live") continue;
        const std::string path = e["path"];
        auto it = listed.find(path);
        ASSERT_NE(it, listed.end()) << "not listed: " << path;
        EXPECT_EQ(it->second["state"], "deleted") << path;
        if (e["type"] == "dir") {
            EXPECT_EQ(it->second["kind"], "dir") << path;
            ++dirs;
            continue;
        }
        EXPECT_EQ(it->second["size"].get<uint64_t>(), e["size"].get<uint64_t>()) << path;
        EXPECT_EQ(it->second["modified"], e["times"]["mtime"]) << path;
        EXPECT_EQ(it->second["accessed"], e["times"]["atime"]) << path;
        if (!e.value("content_intact_on_disk", false)) {
            EXPECT_NE(it->second["recoverable"], "intact") << path;
            ++lost;
            continue;
        }
        EXPECT_EQ(it->second["recoverable"], "intact") << path;
        auto sha = sha256File(out.path() + "/" + path);
        ASSERT_TRUE(sha) << "not written: " << path;
        EXPECT_EQ(*sha, e["sha256"].get<std::string>()) << path;
        ++intact;
    }
    const json& counts = (*manifest)["counts"];
    EXPECT_EQ(intact, counts["deleted_files_intact"].get<size_t>());
    EXPECT_EQ(intact + lost, counts["deleted_files"].get<size_t>());
    EXPECT_EQ(dirs, counts["deleted_dirs"].get<size_t>());
}

TEST(BtrfsFixture, OnAnMbrDiskAndByTheSectorScanThroughASuperblockCopy) {
    BRANTLOW_REQUIRE_IMAGE(img, "btrfs");
    if (std::system("command -v sfdisk >/dev/null 2>&1") != 0) GTEST_SKIP() << "sfdisk not installed";
    TempDir t;
    const std::string disk = t.path() + "/disk.img";
    ASSERT_TRUE(mbrDiskWith(disk, img, 160, 262144));
    CliResult v = runCli({"volumes", disk, "--json"});
    auto rows = jsonLines(v.out);
    ASSERT_EQ(rows.size(), 1u) << v.out;
    EXPECT_EQ(rows[0]["fileSystem"], "Btrfs");
    EXPECT_EQ(rows[0]["startSector"], 2048);
    // The table and the primary superblock gone: the copy at 64 MiB names
    // its own place, and the volume is read through it.
    ASSERT_EQ(std::system(("dd if=/dev/zero of=" + disk + " bs=512 count=1 conv=notrunc status=none && dd if=/dev/zero of=" +
                           disk + " bs=512 seek=" + std::to_string(2048 + 128) + " count=8 conv=notrunc status=none")
                              .c_str()),
              0);
    CliResult scan = runCli({"volumes", disk, "--scan", "--json"});
    rows.clear();
    for (const json& r : jsonLines(scan.out))
        if (r.contains("fileSystem")) rows.push_back(r);
    ASSERT_EQ(rows.size(), 1u) << scan.out;
    EXPECT_EQ(rows[0]["fileSystem"], "Btrfs");
    EXPECT_EQ(rows[0]["startSector"], 2048);
    CliResult l = runCli({"list", disk, "--start-sector", "2048", "--fs", "btrfs", "--quiet"});
    EXPECT_NE(l.out.find("日本語フォルダ/写真/夜景_01.bin"), std::string::npos) << l.out;
    EXPECT_NE(l.out.find("cow/generation_2.txt"), std::string::npos);
}

}  // namespace
