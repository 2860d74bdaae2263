// The shared HFS+ fixture (not journaled, 4 KiB blocks, names stored
// decomposed, a file of 13 extents, deleted records whose keys survive in
// node free space), checked through the command-line tool against its
// manifest.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>
#include <set>
#include <string>

#include "tests/support/fixtures.h"

using namespace brantlow;
using namespace brantlow::test;

namespace {

std::map<std::string, nlohmann::json> listByPath(const std::string& img, const char* mode) {
    CliResult list = runCli({"list", img, "--volume", "0", "--mode", mode, "--json"});
    EXPECT_EQ(list.rc, 0) << list.out;
    std::map<std::string, nlohmann::json> byPath;
    for (const auto& r : jsonLines(list.out)) {
        EXPECT_TRUE(byPath.emplace(r["path"].get<std::string>(), r).second) << "listed twice: " << r["path"];
    }
    return byPath;
}

}  // namespace

// Every live entry listed with its size and times and recovered byte-exact
// with its times; the records the manifest marks as surviving in node free
// space listed as deleted under their folders.
TEST(HfsFixture, ListsAndRecoversManifest) {
    BRANTLOW_REQUIRE_IMAGE(img, "hfsplus");
    auto manifest = fixtureManifest("hfsplus");
    ASSERT_TRUE(manifest);
    const auto& vol = (*manifest)["volumes"][0];
    auto byPath = listByPath(img, "standard");

    TempDir out;
    CliResult rec = runCli({"recover", img, "--volume", "0", "--out", out.path()});
    // The deleted fillers' blocks belong to the fragmented file now: they fail.
    EXPECT_NE(rec.out.find("files written"), std::string::npos) << rec.out;

    int live = 0, recovered = 0, stale = 0;
    for (const auto& e : vol["entries"]) {
        const std::string path = e["path"];
        const std::string state = e["state"];
        const bool staleKey = e.contains("fs_specific") &&
                              e["fs_specific"].value("stale_catalog_key_in_btree_free_space", false);
        if (state == "live") {
            ++live;
            auto it = byPath.find(path);
            ASSERT_NE(it, byPath.end()) << "not listed: " << path;
            const auto& row = it->second;
            EXPECT_EQ(row["state"], "live") << path;
            EXPECT_EQ(row["kind"], e["type"] == "dir" ? "dir" : "file") << path;
            const auto& t = e["times"];
            EXPECT_EQ(row["modified"], t["mtime"]) << path;
            EXPECT_EQ(row["accessed"], t["atime"]) << path;
            EXPECT_EQ(row["created"], t["crtime"]) << path;
            if (e["type"] != "file") continue;
            EXPECT_EQ(row["size"], e["size"]) << path;
            const std::string file = out.path() + "/" + path;
            struct stat st {};
            ASSERT_EQ(::stat(file.c_str(), &st), 0) << "not recovered: " << path;
            EXPECT_EQ(st.st_mtime, isoToUnix(t["mtime"])) << path;
            EXPECT_EQ(st.st_atime, isoToUnix(t["atime"])) << path;
            EXPECT_EQ(sha256File(file).value_or(""), e["sha256"]) << path;
            ++recovered;
        } else if (staleKey) {
            ++stale;
            auto it = byPath.find(path);
            ASSERT_NE(it, byPath.end()) << "deleted record not found: " << path;
            EXPECT_EQ(it->second["state"], "deleted") << path;
            EXPECT_EQ(it->second["modified"], e["times"]["mtime"]) << path;
        }
    }
    EXPECT_EQ(live, 46);
    EXPECT_EQ(recovered, 34);
    EXPECT_EQ(stale, 5);
    // The file of 13 extents is among them; the deleted tree's root folder
    // comes back from its thread record.
    EXPECT_EQ(byPath.at("frag/fragmented.bin")["size"], 53125);
    ASSERT_TRUE(byPath.count("OldProject"));
    EXPECT_EQ(byPath.at("OldProject")["state"], "deleted");
}

// Deep mode on the same volume: the catalog leaves found by searching the
// volume; the live files' content is still recovered.
TEST(HfsFixture, DeepModeRecoversLiveFiles) {
    BRANTLOW_REQUIRE_IMAGE(img, "hfsplus");
    auto manifest = fixtureManifest("hfsplus");
    ASSERT_TRUE(manifest);
    auto byPath = listByPath(img, "deep");
    std::multimap<std::string, std::string> pathsByName;
    for (const auto& [p, r] : byPath) pathsByName.emplace(r["name"].get<std::string>(), p);
    TempDir out;
    runCli({"recover", img, "--volume", "0", "--mode", "deep", "--out", out.path()});
    int found = 0, matched = 0;
    for (const auto& e : (*manifest)["volumes"][0]["entries"]) {
        if (e["state"] != "live" || e["type"] != "file") continue;
        const std::string path = e["path"];
        const std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
        auto range = pathsByName.equal_range(name);
        if (range.first == range.second) continue;
        ++found;
        for (auto it = range.first; it != range.second; ++it)
            if (sha256File(out.path() + "/" + it->second).value_or("") == e["sha256"]) {
                ++matched;
                break;
            }
    }
    EXPECT_EQ(found, 34);
    EXPECT_EQ(matched, 34);
}
