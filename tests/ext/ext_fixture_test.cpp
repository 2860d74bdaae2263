// ext2, ext3 and ext4 volumes made by mke2fs and the Linux driver: every
// live file is listed with its path, size and times and recovered byte for
// byte with its access and modification times; ext2's deleted files come
// back with their names; on ext3 and ext4 (inode and names wiped by the
// driver) the deleted files come back from the journal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "tests/support/fixtures.h"
#include "tests/support/tool_images.h"

using namespace brantlow::test;
using nlohmann::json;

namespace {

struct ExtCase {
    const char* image;
    const char* volume;  // --volume ("" for a bare volume)
    size_t manifestVolume;
    bool journal;        // deleted inodes were wiped: recovery through the journal
};

const ExtCase kCases[] = {
    {"ext2", "", 0, false},
    {"ext3", "", 0, true},
    {"ext4", "", 0, true},
    {"disk_mbr", "2", 2, true},
    {"disk_gpt", "2", 2, true},
};

std::vector<std::string> withVolume(std::vector<std::string> args, const ExtCase& c) {
    if (*c.volume) {
        args.push_back("--volume");
        args.push_back(c.volume);
    }
    return args;
}

std::map<std::string, json> listByPath(const std::string& img, const ExtCase& c) {
    return brantlow::test::listByPath(withVolume({"list", img, "--json", "--quiet"}, c));
}

class ExtFixture : public ::testing::TestWithParam<ExtCase> {};

TEST_P(ExtFixture, ListsEveryLiveEntryWithPathSizeAndTimes) {
    const ExtCase& c = GetParam();
    BRANTLOW_REQUIRE_IMAGE(img, c.image);
    auto manifest = fixtureManifest(c.image);
    ASSERT_TRUE(manifest);
    const json& vol = (*manifest)["volumes"][c.manifestVolume];
    ASSERT_EQ(vol.value("fs", "").rfind("ext", 0), 0u);
    auto listed = listByPath(img, c);
    size_t checked = 0;
    for (const json& e : vol["entries"]) {
        if (e["state"] != "live") continue;
        const std::string path = e["path"];
        auto it = listed.find(path);
        ASSERT_NE(it, listed.end()) << c.image << ": not listed: " << path;
        const json& r = it->second;
        EXPECT_EQ(r["state"], "live") << path;
        EXPECT_EQ(r["kind"], e["type"] == "dir" ? "dir" : "file") << path;
        if (e["type"] == "file") {
            EXPECT_EQ(r["size"].get<uint64_t>(), e["size"].get<uint64_t>()) << path;
        }
        if (e["times"]["mtime"].is_string()) {
            EXPECT_EQ(r["modified"], e["times"]["mtime"]) << path;
        }
        if (e["times"]["atime"].is_string()) {
            EXPECT_EQ(r["accessed"], e["times"]["atime"]) << path;
        }
        ++checked;
    }
    EXPECT_GE(checked, 30u);
}

// Recovers the volume under the given zone: live files byte-exact with
// their times (ext keeps UTC: the zone must not matter).
void recoverLive(const ExtCase& c, const char* tz) {
    BRANTLOW_REQUIRE_IMAGE(img, c.image);
    auto manifest = fixtureManifest(c.image);
    ASSERT_TRUE(manifest);
    const json& vol = (*manifest)["volumes"][c.manifestVolume];
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", tz, 1);
    tzset();
    TempDir out;
    CliResult r = runCli(withVolume({"recover", img, "--out", out.path(), "--quiet"}, c));
    size_t checked = 0;
    for (const json& e : vol["entries"]) {
        if (e["type"] != "file" || e["state"] != "live") continue;
        const std::string file = out.path() + "/" + e["path"].get<std::string>();
        // The times first: reading the file may move its access time.
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0) << "not written: " << file;
        if (e["times"]["mtime"].is_string()) {
            EXPECT_EQ(st.st_mtime, isoToUnix(e["times"]["mtime"])) << e["path"] << " TZ=" << tz;
        }
        if (e["times"]["atime"].is_string()) {
            EXPECT_EQ(st.st_atime, isoToUnix(e["times"]["atime"])) << e["path"] << " TZ=" << tz;
        }
        auto sha = sha256File(file);
        ASSERT_TRUE(sha) << "not written: " << file;
        EXPECT_EQ(*sha, e["sha256"].get<std::string>()) << c.image << " " << e["path"];
        ++checked;
    }
    EXPECT_GE(checked, 25u);
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST_P(ExtFixture, RecoversLiveFilesWithContentAndUtcTimes) {
    recoverLive(GetParam(), "UTC0");
    recoverLive(GetParam(), "NZST-12NZDT,M9.5.0,M4.1.0/3");
}

// Deleted files whose content is still on disk: ext2 keeps their block
// maps and names (in record slack); on ext3 and ext4 the inode copy and the
// name come from the journal.
TEST_P(ExtFixture, RecoversDeletedFilesWithNames) {
    const ExtCase& c = GetParam();
    BRANTLOW_REQUIRE_IMAGE(img, c.image);
    auto manifest = fixtureManifest(c.image);
    ASSERT_TRUE(manifest);
    const json& vol = (*manifest)["volumes"][c.manifestVolume];
    auto listed = listByPath(img, c);
    TempDir out;
    runCli(withVolume({"recover", img, "--out", out.path(), "--quiet", "--deleted-only"}, c));
    auto byHash = filesByHash(out.path());
    size_t intact = 0, exact = 0, named = 0, orphans = 0, orphansExact = 0;
    for (const json& e : vol["entries"]) {
        if (e["type"] != "file" || e["state"] == "live" || !e.value("content_intact_on_disk", false)) continue;
        const std::string path = e["path"];
        const bool orphan = e["state"] == "orphan";
        const auto hit = byHash.find(e["sha256"].get<std::string>());
        const bool gotContent = hit != byHash.end();
        if (orphan) {
            ++orphans;
            orphansExact += gotContent;
            continue;
        }
        ++intact;
        exact += gotContent;
        auto it = listed.find(path);
        if (it != listed.end()) {
            EXPECT_EQ(it->second["state"], "deleted") << path;
            if (gotContent) {
                bool atPath = false;
                for (const std::string& p : hit->second) atPath = atPath || p == path;
                named += atPath;
            }
        }
        if (!c.journal) {
            // ext2: every intact deleted file that still has its name.
            if (e["tsk"].value("listed", "") != "path") continue;
            ASSERT_NE(it, listed.end()) << "not listed: " << path;
            EXPECT_TRUE(gotContent) << "not recovered: " << path;
        }
    }
    std::cout << c.image << ": deleted intact " << intact << ", byte-exact " << exact << ", named with folder "
              << named << "; orphans " << orphans << ", byte-exact " << orphansExact << "\n";
    ASSERT_GT(intact + orphans, 0u);
    // At least 90% of what is still on disk comes back byte for byte.
    EXPECT_GE((exact + orphansExact) * 10, (intact + orphans) * 9) << c.image;
    EXPECT_GE(named * 10, intact * 7) << c.image;
    // Orphans (their folder's inode reused) are listed under the orphan
    // folder, or under their old path when the journal still has it.
    for (const json& e : vol["entries"]) {
        if (e["state"] != "orphan" || e["type"] != "file" || !e.value("content_intact_on_disk", false)) continue;
        // Where the journal still names the folder, at the old path.
        bool found = listed.count(e["path"].get<std::string>()) != 0;
        for (const auto& [p, row] : listed)
            if (p.rfind("ORPHAN_ENTRY/", 0) == 0 && row["size"] == e["size"]) found = true;
        EXPECT_TRUE(found) << e["path"];
    }
}

INSTANTIATE_TEST_SUITE_P(Images, ExtFixture, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ExtCase>& i) { return std::string(i.param.image); });

}  // namespace
