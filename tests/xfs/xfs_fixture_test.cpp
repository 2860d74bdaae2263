// The XFS v5 volume made by mkfs.xfs and filled through the Linux driver:
// every live file is listed with its path, size and times and recovered
// byte for byte with its access and modification times; deleted files come
// back from their freed inodes, sized from the log and named from removed
// directory entries and logged folder contents; files whose folder inode
// was reused are listed under the orphan folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "tests/support/fixtures.h"
#include "tests/support/tool_images.h"

using namespace brantlow::test;
using nlohmann::json;

namespace {

std::map<std::string, json> listByPath(const std::string& img) {
    return brantlow::test::listByPath({"list", img, "--json", "--quiet"});
}

const json& volumeOf(const json& manifest) { return manifest["volumes"][0]; }

TEST(XfsFixture, ListsEveryLiveEntryWithPathSizeAndTimes) {
    BRANTLOW_REQUIRE_IMAGE(img, "xfs");
    auto manifest = fixtureManifest("xfs");
    ASSERT_TRUE(manifest);
    CliResult v = runCli({"volumes", img});
    EXPECT_NE(v.out.find("XFS"), std::string::npos) << v.out;
    auto listed = listByPath(img);
    size_t checked = 0;
    for (const json& e : volumeOf(*manifest)["entries"]) {
        if (e["state"] != "live") continue;
        const std::string path = e["path"];
        auto it = listed.find(path);
        ASSERT_NE(it, listed.end()) << "not listed: " << path;
        const json& r = it->second;
        EXPECT_EQ(r["state"], "live") << path;
        EXPECT_EQ(r["kind"], e["type"] == "dir" ? "dir" : "file") << path;
        if (e["type"] == "file") {
            EXPECT_EQ(r["size"].get<uint64_t>(), e["size"].get<uint64_t>()) << path;
        }
        EXPECT_EQ(r["modified"], e["times"]["mtime"]) << path;
        EXPECT_EQ(r["accessed"], e["times"]["atime"]) << path;
        // v5 inodes keep their creation time.
        EXPECT_EQ(r["created"], e["times"]["crtime"]) << path;
        ++checked;
    }
    EXPECT_EQ(checked, 44u);
}

void recoverLive(const std::string& img, const json& vol, const char* tz) {
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", tz, 1);
    tzset();
    TempDir out;
    runCli({"recover", img, "--out", out.path(), "--quiet"});
    size_t checked = 0;
    for (const json& e : vol["entries"]) {
        if (e["type"] != "file" || e["state"] != "live") continue;
        const std::string file = out.path() + "/" + e["path"].get<std::string>();
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0) << "not written: " << file;
        EXPECT_EQ(st.st_mtime, isoToUnix(e["times"]["mtime"])) << e["path"] << " TZ=" << tz;
        EXPECT_EQ(st.st_atime, isoToUnix(e["times"]["atime"])) << e["path"] << " TZ=" << tz;
        auto sha = sha256File(file);
        ASSERT_TRUE(sha) << "not written: " << file;
        EXPECT_EQ(*sha, e["sha256"].get<std::string>()) << e["path"];
        ++checked;
    }
    EXPECT_EQ(checked, 32u);
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(XfsFixture, RecoversLiveFilesWithContentAndUtcTimes) {
    BRANTLOW_REQUIRE_IMAGE(img, "xfs");
    auto manifest = fixtureManifest("xfs");
    ASSERT_TRUE(manifest);
    recoverLive(img, volumeOf(*manifest), "UTC0");
    recoverLive(img, volumeOf(*manifest), "NZST-12NZDT,M9.5.0,M4.1.0/3");
}

// Every deleted file whose blocks are untouched comes back byte for byte;
// those whose folder still exists (or was deleted with them) under their
// path, the one whose folder inode was reused under the orphan folder.
TEST(XfsFixture, RecoversDeletedFilesWithNames) {
    BRANTLOW_REQUIRE_IMAGE(img, "xfs");
    auto manifest = fixtureManifest("xfs");
    ASSERT_TRUE(manifest);
    const json& vol = volumeOf(*manifest);
    auto listed = listByPath(img);
    TempDir out;
    runCli({"recover", img, "--out", out.path(), "--quiet", "--deleted-only"});
    auto byHash = filesByHash(out.path());
    size_t intact = 0, exact = 0, named = 0, orphans = 0, orphansExact = 0;
    for (const json& e : vol["entries"]) {
        if (e["type"] != "file" || e["state"] == "live") continue;
        const std::string path = e["path"];
        const bool isIntact = e.value("content_intact_on_disk", false);
        auto it = listed.find(path);
        if (!isIntact) {
            // Overwritten content is never written as complete.
            if (it != listed.end()) {
                EXPECT_NE(it->second.value("recoverable", ""), "intact") << path;
            }
            continue;
        }
        const auto hit = byHash.find(e["sha256"].get<std::string>());
        const bool gotContent = hit != byHash.end();
        EXPECT_TRUE(gotContent) << "not recovered byte-exact: " << path;
        if (e["state"] == "orphan") {
            ++orphans;
            orphansExact += gotContent;
            ASSERT_TRUE(gotContent);
            EXPECT_EQ(hit->second.front().rfind("ORPHAN_ENTRY/", 0), 0u) << hit->second.front();
            continue;
        }
        ++intact;
        exact += gotContent;
        if (it != listed.end()) {
            EXPECT_EQ(it->second["state"], "deleted") << path;
            EXPECT_EQ(it->second["recoverable"], "intact") << path;
            EXPECT_EQ(it->second["modified"], e["times"]["mtime"]) << path;
            EXPECT_EQ(it->second["accessed"], e["times"]["atime"]) << path;
            if (gotContent)
                for (const std::string& p : hit->second) named += p == path;
        }
    }
    std::cout << "xfs: deleted intact " << intact << ", byte-exact " << exact << ", named with folder " << named
              << "; orphans " << orphans << ", byte-exact " << orphansExact << "\n";
    EXPECT_EQ(intact, 18u);
    EXPECT_EQ(exact, intact);
    EXPECT_EQ(orphansExact, orphans);
    EXPECT_EQ(named, intact);
    // The deleted folders are listed as such, with their times.
    for (const char* d : {"OldProject", "OldProject/src/lib", "OldProject/docs/deep/deeper"}) {
        auto it = listed.find(d);
        ASSERT_NE(it, listed.end()) << d;
        EXPECT_EQ(it->second["kind"], "dir");
        EXPECT_EQ(it->second["state"], "deleted");
    }
}

// In a Linux partition (type 0x83) of an MBR disk the volume is named by
// its own superblock; with the table and the primary superblock wiped, the
// sector scan finds it through the copy of AG 1.
TEST(XfsFixture, OnAnMbrDiskAndByTheSectorScan) {
    BRANTLOW_REQUIRE_IMAGE(img, "xfs");
    if (std::system("command -v sfdisk >/dev/null 2>&1") != 0) GTEST_SKIP() << "sfdisk not installed";
    TempDir t;
    const std::string disk = t.path() + "/disk.img";
    ASSERT_TRUE(mbrDiskWith(disk, img, 80, 98304));
    CliResult v = runCli({"volumes", disk, "--json"});
    auto rows = jsonLines(v.out);
    ASSERT_EQ(rows.size(), 1u) << v.out;
    EXPECT_EQ(rows[0]["fileSystem"], "XFS");
    EXPECT_EQ(rows[0]["startSector"], 2048);
    CliResult l = runCli({"list", disk, "--volume", "0", "--quiet"});
    EXPECT_NE(l.out.find("Documents/deleted note.txt"), std::string::npos);
    ASSERT_EQ(std::system(("dd if=/dev/zero of=" + disk + " bs=512 count=1 conv=notrunc status=none && dd if=/dev/zero of=" +
                           disk + " bs=512 seek=2048 count=1 conv=notrunc status=none")
                              .c_str()),
              0);
    CliResult scan = runCli({"volumes", disk, "--scan", "--json"});
    rows.clear();
    for (const json& r : jsonLines(scan.out))
        if (r.contains("fileSystem")) rows.push_back(r);
    ASSERT_EQ(rows.size(), 1u) << scan.out;
    EXPECT_EQ(rows[0]["fileSystem"], "XFS");
    EXPECT_EQ(rows[0]["startSector"], 2048);
    CliResult again = runCli({"list", disk, "--start-sector", "2048", "--fs", "xfs", "--quiet"});
    EXPECT_NE(again.out.find("Documents/deleted note.txt"), std::string::npos);
}

// XFS frees an inode chunk whole once its 64 inodes are free; its inodes
// stay where they were. Here AG 1's inode B+tree lists no chunk at all (its
// leaf emptied): the inodes the log names are read from their place, and
// every deleted file of that AG whose content is on disk still comes back.
TEST(XfsFixture, InodesNoInodeTreeListsComeBackThroughTheLog) {
    BRANTLOW_REQUIRE_IMAGE(img, "xfs");
    auto manifest = fixtureManifest("xfs");
    ASSERT_TRUE(manifest);
    TempDir t;
    const std::string copy = t.path() + "/xfs.img";
    std::filesystem::copy_file(img, copy);
    {
        // AG 1's inode B+tree root (AG block 3): no records.
        std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp((6144 + 3) * 4096 + 6);
        f.write("\0\0", 2);
    }
    TempDir out;
    runCli({"recover", copy, "--out", out.path(), "--quiet", "--deleted-only"});
    auto byHash = filesByHash(out.path());
    size_t checked = 0;
    for (const json& e : volumeOf(*manifest)["entries"]) {
        if (e["type"] != "file" || std::stoull(e["address"].get<std::string>()) < 76608 || e["size"] == 0) continue;
        if (e["state"] == "live" || !e.value("content_intact_on_disk", false)) continue;
        EXPECT_TRUE(byHash.count(e["sha256"].get<std::string>())) << "not recovered: " << e["path"];
        ++checked;
    }
    EXPECT_EQ(checked, 13u);
}

}  // namespace
