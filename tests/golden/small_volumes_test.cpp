// The small volumes tests/data ships (tests/data/make_volume.sh: made by the
// real formatter, written through the real driver, checked by The Sleuth
// Kit): every file and folder the manifest says is still recorded is listed
// at its path with its state, kind, size and modification time, and every
// live or intact removed file is recovered byte for byte with that time.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <string>

#include "tests/support/fixtures.h"

using namespace brantlow::test;
using nlohmann::json;

namespace {

class SmallVolume : public ::testing::TestWithParam<const char*> {};

bool recorded(const json& e) { return e["tsk"]["listed"] == "path"; }

TEST_P(SmallVolume, ListsAndRecoversWhatTheDriverLeft) {
    BRANTLOW_REQUIRE_IMAGE(img, GetParam());
    auto manifest = fixtureManifest(GetParam());
    ASSERT_TRUE(manifest);
    const json& entries = (*manifest)["volumes"][0]["entries"];

    CliResult list = runCli({"list", img, "--json", "--quiet"});
    ASSERT_EQ(list.rc, 0);
    std::map<std::string, json> listed;
    for (const json& r : jsonLines(list.out)) listed[r["path"]] = r;
    size_t deleted = 0;
    for (const json& e : entries) {
        if (!recorded(e)) continue;
        const std::string path = e["path"];
        ASSERT_TRUE(listed.count(path)) << "not listed: " << path;
        const json& row = listed[path];
        EXPECT_EQ(row["state"], e["state"]) << path;
        EXPECT_EQ(row["kind"], e["type"]) << path;
        if (e["type"] != "file") continue;
        EXPECT_EQ(row["size"], e["size"]) << path;
        EXPECT_EQ(row["modified"], e["times"]["mtime"]) << path;
        deleted += e["state"] == "deleted";
    }
    EXPECT_GE(deleted, 10u);

    TempDir out;
    setenv("TZ", "UTC", 1);
    CliResult rec = runCli({"recover", img, "--out", out.path(), "--quiet"});
    EXPECT_TRUE(rec.rc == 0 || rec.rc == 4) << rec.out;  // 4: overwritten files are not written whole
    size_t written = 0;
    for (const json& e : entries) {
        if (e["type"] != "file" || !recorded(e)) continue;
        if (e["state"] != "live" && !e.value("content_intact_on_disk", false)) continue;
        const std::string file = out.path() + "/" + e["path"].get<std::string>();
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0) << "not written: " << e["path"];
        EXPECT_EQ(sha256File(file), e["sha256"].get<std::string>()) << e["path"];
        EXPECT_EQ(st.st_mtime, isoToUnix(e["times"]["mtime"])) << e["path"];
        ++written;
    }
    EXPECT_GE(written, 30u);
}

INSTANTIATE_TEST_SUITE_P(Images, SmallVolume, ::testing::Values("ntfs_small", "exfat_small"),
                         [](const ::testing::TestParamInfo<const char*>& i) { return std::string(i.param); });

}  // namespace
