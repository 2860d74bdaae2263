// ext times against the fixtures' manifests: "created" is i_crtime where
// the inode is large enough to hold it and null in a 128-byte inode (never
// the change time); "deletedAt" is a deleted inode's i_dtime.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "tests/support/fixtures.h"

using namespace brantlow::test;
using nlohmann::json;

namespace {

class ExtTimes : public ::testing::TestWithParam<const char*> {};

TEST_P(ExtTimes, CreatedFromCrtimeAndDeletedAtFromDtime) {
    BRANTLOW_REQUIRE_IMAGE(img, GetParam());
    auto manifest = fixtureManifest(GetParam());
    ASSERT_TRUE(manifest);
    std::map<std::string, json> byPath;
    for (const json& e : (*manifest)["volumes"][0]["entries"]) byPath[e["path"]] = e;
    CliResult list = runCli({"list", img, "--json", "--quiet"});
    ASSERT_EQ(list.rc, 0);
    int created = 0, deleted = 0;
    for (const json& r : jsonLines(list.out)) {
        auto it = byPath.find(r["path"]);
        if (it == byPath.end()) continue;
        const json& e = it->second;
        // A file listed from the journal's copy of an earlier inode carries
        // that copy's times, not the ones the manifest took at deletion.
        if (r["state"] == "deleted" && r["modified"] != e["times"].value("mtime", json()) &&
            r["created"] != e["times"].value("crtime", json()))
            continue;
        const json crtime = e["times"].value("crtime", json());
        EXPECT_EQ(r["created"], crtime) << r["path"];
        created += !crtime.is_null();
        if (e.contains("fs_specific") && e["fs_specific"].contains("dtime")) {
            EXPECT_EQ(r.value("deletedAt", json()), e["fs_specific"]["dtime"]) << r["path"];
            ++deleted;
        } else if (r["state"] == "live") {
            EXPECT_FALSE(r.contains("deletedAt")) << r["path"];
        }
    }
    if (std::string(GetParam()) == "ext2")
        EXPECT_EQ(created, 0);  // 128-byte inodes keep no creation time
    else
        EXPECT_GT(created, 20);
    EXPECT_GT(deleted, 10);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ExtTimes, ::testing::Values("ext2", "ext3", "ext4"));

}  // namespace
