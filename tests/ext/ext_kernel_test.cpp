// ext4 volumes as a running Linux system leaves them: the driver wipes a
// deleted file's directory entry and its extents, so names and blocks come
// from the journal's older copies. The volume of tests/data (made once by
// make_ext4_deleted.sh through a loop mount) and the same made again here
// when this machine can mount: every deleted file whose inode is free and
// whose blocks still hold it comes back byte for byte at its own path (also
// when a new file took its inode: from the journal's copy), and
// the files of a removed folder whose inode a new folder took are not
// listed under the new one. Then a small volume with every inode in use:
// the last inode is listed, and names whose inode field is 0 too.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "tests/support/fixtures.h"
#include "tests/support/tool_images.h"

using namespace brantlow::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

std::map<std::string, json> kernelListing(const std::string& img) {
    return brantlow::test::listByPath({"list", img, "--json", "--quiet"});
}

std::string baseName(const std::string& p) {
    auto s = p.rfind('/');
    return s == std::string::npos ? p : p.substr(s + 1);
}

// The volume against its manifest.
void checkVolume(const std::string& img, const json& manifest) {
    auto listed = kernelListing(img);
    TempDir out;
    runCli({"recover", img, "--out", out.path(), "--quiet"});
    size_t deleted = 0, recoverable = 0, exact = 0;
    for (const json& e : manifest["entries"]) {
        const std::string path = e["path"];
        if (e["state"] == "live") {
            ASSERT_TRUE(listed.count(path)) << "live file not listed: " << path;
            EXPECT_EQ(sha256File(out.path() + "/" + path).value_or(""), e["sha256"]) << path;
            continue;
        }
        ++deleted;
        // Never under another folder: at its own path, or an orphan.
        for (const auto& [p, row] : listed)
            if (baseName(p) == baseName(path) && row["state"] == "deleted")
                EXPECT_TRUE(p == path || p.rfind("ORPHAN_ENTRY/", 0) == 0) << path << " listed as " << p;
        if (!e["intact"].get<bool>()) continue;
        ++recoverable;
        ASSERT_TRUE(listed.count(path)) << "deleted file not listed at its path: " << path;
        EXPECT_EQ(listed[path]["state"], "deleted") << path;
        const bool same = sha256File(out.path() + "/" + path).value_or("") == e["sha256"];
        EXPECT_TRUE(same) << "not byte-exact: " << path;
        exact += same;
    }
    EXPECT_EQ(deleted, 20u);
    EXPECT_GE(recoverable, 8u);
    EXPECT_EQ(exact, recoverable);
    // The removed folder is listed by its old name, deleted, holding its
    // files; the new folder on its inode holds only its own.
    const std::string gone = manifest["removed_folder"], made = manifest["new_folder"];
    ASSERT_TRUE(listed.count(gone)) << gone;
    EXPECT_EQ(listed[gone]["state"], "deleted");
    for (const auto& [p, row] : listed)
        if (p.rfind(made + "/", 0) == 0) EXPECT_EQ(row["state"], "live") << p;
}

TEST(ExtKernel, DeletedThroughTheDriverFromTheStoredVolume) {
    BRANTLOW_REQUIRE_IMAGE(img, "ext4_deleted");
    auto manifest = fixtureManifest("ext4_deleted");
    ASSERT_TRUE(manifest);
    checkVolume(img, *manifest);
}

// Made again through the driver: as stored (4 KiB blocks), and with 1 KiB
// blocks, remounts and 400 new files after the deletions, which take the
// freed inodes again.
void makeAndCheck(const std::string& env) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a loop mount";
    TempDir t;
    const std::string img = t.path() + "/v.img", man = t.path() + "/v.json";
    const std::string script = std::string(BRANTLOW_SOURCE_DIR) + "/tests/ext/make_ext4_deleted.sh";
    const int rc = sh(env + " bash " + script + " " + img + " " + man);
    if (rc != 0) GTEST_SKIP() << "no ext4 loop mount on this machine (" << script << " exit " << rc << ")";
    std::ifstream f(man);
    checkVolume(img, json::parse(f));
}

TEST(ExtKernel, DeletedThroughTheDriverMadeAgain) { makeAndCheck(""); }

TEST(ExtKernel, DeletedThroughTheDriverInodesTakenAgain) { makeAndCheck("BLOCK_SIZE=1024 CHURN=400"); }

TEST(ExtKernel, LastInodeAndNamesWithoutInode) {
    if (sh("(command -v mke2fs && command -v debugfs)") != 0) GTEST_SKIP() << "mke2fs/debugfs not installed";
    TempDir t;
    const std::string src = t.path() + "/src", img = t.path() + "/v.img";
    // 32 inodes: 1-10 reserved, 11 lost+found, 12 the folder, 13-32 files.
    fs::create_directories(src + "/d");
    for (int i = 0; i < 20; ++i) {
        std::ofstream o(src + "/d/" + std::string(50, char('a' + i)) + std::to_string(i));
        o << "file " << i << "\n";
    }
    ASSERT_EQ(sh("truncate -s 4M " + img), 0);
    ASSERT_EQ(sh("mke2fs -q -F -t ext2 -b 1024 -N 32 -d " + src + " " + img), 0);
    ASSERT_NE(capture("debugfs -R 'stats' " + img + " 2>/dev/null").find("Free inodes:              0"), std::string::npos);
    // The first record of the folder's second block: unlinking it clears
    // its inode field and leaves the name.
    std::istringstream blocks(capture("debugfs -R 'blocks /d' " + img + " 2>/dev/null"));
    uint64_t b1 = 0, b2 = 0;
    blocks >> b1 >> b2;
    ASSERT_GT(b2, 0u) << "the folder has one block";
    std::vector<char> blk(1024);
    {
        std::ifstream in(img, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(b2 * 1024));
        in.read(blk.data(), 1024);
    }
    const std::string unlinked(blk.data() + 8, static_cast<uint8_t>(blk[6]));
    ASSERT_EQ(sh("debugfs -w -R 'unlink /d/" + unlinked + "' " + img), 0);
    // The name of inode 32, the last one.
    std::string lastName;
    std::istringstream ls(capture("debugfs -R 'ls -l /d' " + img + " 2>/dev/null"));
    for (std::string line; std::getline(ls, line);) {
        std::istringstream w(line);
        std::string first, last, word;
        w >> first;
        while (w >> word) last = word;
        if (first == "32") lastName = last;
    }
    ASSERT_FALSE(lastName.empty());
    auto listed = kernelListing(img);
    ASSERT_TRUE(listed.count("d/" + lastName)) << "the last inode is not listed: " << lastName;
    EXPECT_EQ(listed["d/" + lastName]["state"], "live");
    CliResult c = runCli({"cat", img, "--quiet", "--path", "ROOT/d/" + lastName});
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.out.rfind("file ", 0), 0u) << c.out;
    ASSERT_TRUE(listed.count("d/" + unlinked)) << "name without inode not listed: " << unlinked;
    EXPECT_EQ(listed["d/" + unlinked]["state"], "deleted");
    EXPECT_EQ(listed["d/" + unlinked]["size"], 0);
    // Nothing to recover: the save says so and writes nothing of it.
    TempDir out;
    runCli({"recover", img, "--out", out.path(), "--quiet"});
    EXPECT_FALSE(fs::exists(out.path() + "/d/" + unlinked) && fs::file_size(out.path() + "/d/" + unlinked) > 0);
}

}  // namespace
