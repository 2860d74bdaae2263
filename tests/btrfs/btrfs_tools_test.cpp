// Btrfs volumes made at test time with mkfs.btrfs and filled through the
// Linux driver (skipped where loop mounts are not allowed): zlib, LZO and
// zstd compressed files, inline and regular, a subvolume and its snapshot
// shown as folders, a file with a hole and a preallocated one; and the
// fixture's deleted files against what `btrfs restore` gets over the same
// older roots.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "tests/support/fixtures.h"

using namespace brantlow::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

int sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()); }

std::map<std::string, std::string> hashesBelow(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& f : fs::recursive_directory_iterator(dir))
        if (f.is_regular_file()) out[fs::relative(f.path(), dir).string()] = *sha256File(f.path().string());
    return out;
}

std::map<std::string, json> listByPath(const std::string& img) {
    std::map<std::string, json> m;
    for (const json& row : jsonLines(runCli({"list", img, "--json", "--quiet"}).out)) m[row["path"]] = row;
    return m;
}

// Writes the tree through a loop mount; false when mounting is not allowed here.
bool makeVolume(const std::string& dir, const std::string& img) {
    if (sh("command -v mkfs.btrfs") != 0) return false;
    const std::string mnt = dir + "/mnt";
    fs::create_directories(mnt);
    if (sh("truncate -s 160M " + img + " && mkfs.btrfs -q -f " + img) != 0) return false;
    if (sh("mount -o loop,compress-force=zlib " + img + " " + mnt) != 0) return false;
    auto words = [](const std::string& tag, int n) {
        std::ostringstream s;
        for (int i = 0; i < n; ++i) s << tag << (i * 7919 % 97) << (i % 5 ? ' ' : '\n');
        return s.str();
    };
    auto put = [&](const std::string& rel, const std::string& data) {
        fs::create_directories(fs::path(mnt + "/" + rel).parent_path());
        std::ofstream(mnt + "/" + rel, std::ios::binary) << data;
    };
    const char* methods[3] = {"zlib", "lzo", "zstd"};
    bool ok = true;
    for (const char* m : methods) {
        if (std::string(m) != "zlib") ok &= sh("mount -o remount,compress-force=" + std::string(m) + " " + mnt) == 0;
        put(std::string(m) + "/big.txt", words(m, 60000));
        put(std::string(m) + "/inline.txt", words(m, 200).substr(0, 1500));
        ok &= sh("sync") == 0;
    }
    ok &= sh("mount -o remount,compress=no " + mnt) == 0;
    ok &= sh("btrfs subvolume create " + mnt + "/sub && head -c 200000 /dev/urandom > " + mnt +
             "/sub/rand.bin && echo hello > " + mnt + "/sub/gone.txt && btrfs subvolume snapshot " + mnt + "/sub " +
             mnt + "/snap && sync && rm " + mnt + "/sub/gone.txt") == 0;
    ok &= sh("truncate -s 1M " + mnt + "/sparse.bin && printf middle | dd of=" + mnt +
             "/sparse.bin bs=1 seek=500000 conv=notrunc && fallocate -l 65536 " + mnt + "/prealloc.bin && sync") == 0;
    ok &= sh("cp -a " + mnt + " " + dir + "/src") == 0;
    sh("umount " + mnt);
    return ok;
}

TEST(BtrfsTools, CompressedSubvolumesHolesAndPreallocatedComeBackByteExact) {
    TempDir t;
    const std::string img = t.path() + "/v.img";
    if (!makeVolume(t.path(), img)) GTEST_SKIP() << "mkfs.btrfs or a loop mount is not available here";
    const auto want = hashesBelow(t.path() + "/src");
    ASSERT_EQ(want.size(), 11u);
    auto listed = listByPath(img);
    for (const char* dir : {"sub", "snap", "zlib", "lzo", "zstd"}) EXPECT_EQ(listed[dir]["kind"], "dir") << dir;
    EXPECT_NE(listed["sub"]["attributes"].get<std::string>().find("-SV"), std::string::npos);
    EXPECT_EQ(listed["sub/gone.txt"]["state"], "deleted");
    TempDir out;
    runCli({"recover", img, "--out", out.path(), "--quiet"});
    auto got = hashesBelow(out.path());
    for (const auto& [path, sha] : want) EXPECT_EQ(got[path], sha) << path;
    EXPECT_EQ(got["sub/gone.txt"], got["snap/gone.txt"]);
}

// `btrfs restore -t` over each backup root: the files the older roots add
// to the current one are all listed as deleted (with more from the leaves
// the metadata search finds, which no root leads to).
TEST(BtrfsTools, DeletedFilesMatchBtrfsRestoreOverTheBackupRoots) {
    BRANTLOW_REQUIRE_IMAGE(img, "btrfs");
    if (sh("command -v btrfs") != 0) GTEST_SKIP() << "btrfs-progs not installed";
    auto manifest = fixtureManifest("btrfs");
    ASSERT_TRUE(manifest);
    std::set<std::string> current, older;
    auto restore = [&](const std::string& root, std::set<std::string>& into) {
        TempDir r;
        sh("btrfs restore " + (root.empty() ? "" : "-t " + root + " ") + img + " " + r.path());
        for (const auto& [path, sha] : hashesBelow(r.path())) into.insert(path);
    };
    restore("", current);
    for (const json& b : (*manifest)["volumes"][0]["cow_test"]["backup_roots"])
        restore(std::to_string(b["tree_root"].get<uint64_t>()), older);
    std::set<std::string> restoredDeleted;
    for (const auto& p : older)
        if (!current.count(p)) restoredDeleted.insert(p);
    std::set<std::string> liveFiles, deletedFiles;
    for (const auto& [path, row] : listByPath(img)) {
        if (row["kind"] != "file") continue;
        (row["state"] == "live" ? liveFiles : deletedFiles).insert(path);
    }
    std::cout << "btrfs restore: " << current.size() << " files now, " << restoredDeleted.size()
              << " more over the backup roots; listed: " << liveFiles.size() << " live, " << deletedFiles.size()
              << " deleted\n";
    EXPECT_EQ(liveFiles, current);
    for (const auto& p : restoredDeleted) EXPECT_TRUE(deletedFiles.count(p)) << p;
    EXPECT_EQ(restoredDeleted.size(), 3u);
    EXPECT_EQ(deletedFiles.size(), 25u);
}

}  // namespace
