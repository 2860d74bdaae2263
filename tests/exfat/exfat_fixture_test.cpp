// exFAT volumes made by mkfs.exfat and a real driver: every file the volume
// still records is listed with its name, path, state, size and time, every
// intact file is recovered byte for byte with its modification time, and
// Standard mode and the advanced scan find the orphans, and the advanced
// scan works without a boot sector.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "tests/support/fixtures.h"

using namespace brantlow::test;
using nlohmann::json;

namespace {

struct ExfatCase {
    const char* image;
    const char* volume;  // --volume ("" for a bare volume)
    size_t manifestVolume;
};

const ExfatCase kCases[] = {
    {"exfat", "", 0},
    {"disk_mbr", "3", 3},
};

std::vector<std::string> withVolume(std::vector<std::string> args, const ExfatCase& c) {
    if (*c.volume) {
        args.push_back("--volume");
        args.push_back(c.volume);
    }
    return args;
}

// What the directories still record: live entries and deleted sets whose
// slots survive (orphans are checked on their own).
bool expectedInListing(const json& e) {
    const std::string state = e.value("state", "");
    if (state != "live" && state != "deleted") return false;
    return !(e.contains("tsk") && e["tsk"].value("listed", "") == "not_listed");
}

bool recoverable(const json& e) {
    return e["type"] == "file" && (e["state"] == "live" || e.value("content_intact_on_disk", false));
}

std::map<std::string, json> byPath(const std::string& out) {
    std::map<std::string, json> m;
    for (const json& r : jsonLines(out)) {
        EXPECT_EQ(m.count(r["path"]), 0u) << "listed twice: " << r["path"];
        m[r["path"]] = r;
    }
    return m;
}

class ExfatFixture : public ::testing::TestWithParam<ExfatCase> {};

TEST_P(ExfatFixture, ListsEveryRecordedEntryWithNameStateSizeAndTimes) {
    const ExfatCase& c = GetParam();
    BRANTLOW_REQUIRE_IMAGE(img, c.image);
    auto manifest = fixtureManifest(c.image);
    ASSERT_TRUE(manifest);
    const json& vol = (*manifest)["volumes"][c.manifestVolume];
    ASSERT_EQ(vol["fs"], "exfat");
    CliResult r = runCli(withVolume({"list", img, "--json"}, c));
    ASSERT_EQ(r.rc, 0);
    auto listed = byPath(r.out);
    size_t checked = 0;
    for (const json& e : vol["entries"]) {
        if (!expectedInListing(e)) continue;
        const std::string path = e["path"];
        ASSERT_TRUE(listed.count(path)) << "not listed: " << path;
        const json& row = listed[path];
        EXPECT_EQ(row["state"], e["state"]) << path;
        EXPECT_EQ(row["kind"], e["type"] == "dir" ? "dir" : "file") << path;
        EXPECT_FALSE(row["orphan"].get<bool>()) << path;
        if (e["type"] == "file") {
            EXPECT_EQ(row["size"].get<uint64_t>(), e["size"].get<uint64_t>()) << path;
        }
        // The stamps carry a valid UTC offset: listed as exact instants.
        for (auto [mine, theirs] : {std::pair{"modified", "mtime"}, {"accessed", "atime"}, {"created", "crtime"}})
            if (e["times"][theirs].is_string()) {
                EXPECT_EQ(row[mine], e["times"][theirs]) << path << " " << mine;
            }
        ++checked;
    }
    EXPECT_GE(checked, 50u);
    for (const auto& [path, row] : listed) EXPECT_NE(row["name"], "DUMMY ENTRY");
}

void recoverAndCheck(const ExfatCase& c, const char* tz, const std::vector<std::string>& extra = {}) {
    BRANTLOW_REQUIRE_IMAGE(img, c.image);
    auto manifest = fixtureManifest(c.image);
    ASSERT_TRUE(manifest);
    const json& vol = (*manifest)["volumes"][c.manifestVolume];
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", tz, 1);
    TempDir out;
    std::vector<std::string> args = withVolume({"recover", img, "--out", out.path(), "--quiet"}, c);
    args.insert(args.end(), extra.begin(), extra.end());
    CliResult r = runCli(args);
    // Deleted files whose clusters were reused are not written (status 4).
    EXPECT_TRUE(r.rc == 0 || r.rc == 4) << r.out;
    size_t checked = 0;
    for (const json& e : vol["entries"]) {
        if (!recoverable(e) || !expectedInListing(e)) continue;
        const std::string file = out.path() + "/" + e["path"].get<std::string>();
        // Times first: reading the file may move its access time.
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0) << "not written: " << file;
        auto sha = sha256File(file);
        ASSERT_TRUE(sha) << "not written: " << file;
        EXPECT_EQ(*sha, e["sha256"].get<std::string>()) << e["path"];
        // A valid UTC offset makes the instant independent of the zone.
        EXPECT_EQ(st.st_mtime, isoToUnix(e["times"]["mtime"])) << e["path"] << " TZ=" << tz;
        EXPECT_EQ(st.st_atime, isoToUnix(e["times"]["atime"])) << e["path"] << " TZ=" << tz;
        ++checked;
    }
    EXPECT_GE(checked, 30u);
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
}

TEST_P(ExfatFixture, RecoversIntactFilesByteExactWithTimesInAnyZone) {
    recoverAndCheck(GetParam(), "UTC0");
    recoverAndCheck(GetParam(), "IST-5:30");
}

// Advanced mode finds the sets whose folder slot was reused (the orphans)
// under ORPHAN ENTRY, keeps every folder's children under it, and saves
// the orphans byte-exact.
TEST_P(ExfatFixture, AdvancedScanListsOrphansAndTheWholeTree) {
    const ExfatCase& c = GetParam();
    BRANTLOW_REQUIRE_IMAGE(img, c.image);
    auto manifest = fixtureManifest(c.image);
    ASSERT_TRUE(manifest);
    const json& vol = (*manifest)["volumes"][c.manifestVolume];
    CliResult r = runCli(withVolume({"list", img, "--json", "--mode", "advanced"}, c));
    ASSERT_EQ(r.rc, 0);
    auto listed = byPath(r.out);
    ASSERT_TRUE(listed.count("ORPHAN ENTRY"));
    EXPECT_EQ(listed["ORPHAN ENTRY"]["kind"], "dir");
    size_t orphans = 0;
    for (const json& e : vol["entries"]) {
        if (expectedInListing(e)) {
            EXPECT_TRUE(listed.count(e["path"].get<std::string>())) << e["path"];
        } else if (e["state"] == "orphan") {
            // TMPDIR/SUB/child_c.txt is found as ORPHAN ENTRY/SUB/child_c.txt.
            std::string p = e["path"];
            std::string under = "ORPHAN ENTRY/" + p.substr(p.find('/') + 1);
            ASSERT_TRUE(listed.count(under)) << under;
            EXPECT_TRUE(listed[under]["orphan"].get<bool>());
            ++orphans;
        }
    }
    EXPECT_GE(orphans, 3u);
    TempDir out;
    CliResult rr = runCli(withVolume({"recover", img, "--out", out.path(), "--quiet", "--mode", "advanced"}, c));
    // The deleted fillers whose clusters the fragmented file holds are not
    // written a second time (status 4).
    EXPECT_TRUE(rr.rc == 0 || rr.rc == 4) << rr.out;
    for (const json& e : vol["entries"]) {
        if (e["state"] != "orphan" || e["type"] != "file" || !e.value("content_intact_on_disk", false)) continue;
        std::string p = e["path"];
        auto sha = sha256File(out.path() + "/ORPHAN ENTRY/" + p.substr(p.find('/') + 1));
        ASSERT_TRUE(sha) << p;
        EXPECT_EQ(*sha, e["sha256"].get<std::string>()) << p;
    }
}

// Standard mode finds them too: the orphaned folder's clusters are free
// and open with entry sets no walk reached. Saved byte-exact.
TEST_P(ExfatFixture, StandardModeFindsFoldersNoWalkReaches) {
    const ExfatCase& c = GetParam();
    BRANTLOW_REQUIRE_IMAGE(img, c.image);
    auto manifest = fixtureManifest(c.image);
    ASSERT_TRUE(manifest);
    const json& vol = (*manifest)["volumes"][c.manifestVolume];
    CliResult r = runCli(withVolume({"list", img, "--json"}, c));
    ASSERT_EQ(r.rc, 0);
    auto listed = byPath(r.out);
    TempDir out;
    CliResult rr = runCli(withVolume({"recover", img, "--out", out.path(), "--quiet"}, c));
    // 4: the fixture's overwritten deleted files are not written as complete.
    EXPECT_TRUE(rr.rc == 0 || rr.rc == 4) << rr.out;
    size_t orphans = 0;
    for (const json& e : vol["entries"]) {
        if (e["state"] != "orphan") continue;
        std::string p = e["path"];
        std::string under = "ORPHAN ENTRY/" + p.substr(p.find('/') + 1);
        ASSERT_TRUE(listed.count(under)) << under;
        EXPECT_TRUE(listed[under]["orphan"].get<bool>());
        EXPECT_EQ(listed[under]["state"], "deleted");
        ++orphans;
        if (e["type"] != "file" || !e.value("content_intact_on_disk", false)) continue;
        auto sha = sha256File(out.path() + "/" + under);
        ASSERT_TRUE(sha) << p;
        EXPECT_EQ(*sha, e["sha256"].get<std::string>()) << p;
    }
    EXPECT_GE(orphans, 3u);
}

INSTANTIATE_TEST_SUITE_P(Images, ExfatFixture, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ExfatCase>& i) { return std::string(i.param.image); });

// The boot region wiped: Standard mode refuses the volume, Advanced mode
// finds the FAT, the heap and the cluster size and recovers everything.
TEST(ExfatAdvanced, WorksWithTheBootRegionWiped) {
    BRANTLOW_REQUIRE_IMAGE(img, "disk_mbr");
    auto manifest = fixtureManifest("disk_mbr");
    ASSERT_TRUE(manifest);
    const json& vol = (*manifest)["volumes"][3];
    TempDir tmp;
    const std::string copy = tmp.path() + "/wiped.img";
    {
        std::ifstream in(img, std::ios::binary);
        std::ofstream out(copy, std::ios::binary);
        out << in.rdbuf();
    }
    {
        std::fstream f(copy, std::ios::binary | std::ios::in | std::ios::out);
        const std::string zeros(24 * 512, '\0');
        f.seekp(vol["offset_bytes"].get<int64_t>());
        f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    }
    const std::string start = std::to_string(vol["offset_sectors"].get<uint64_t>());
    const std::string sectors = std::to_string(vol["length_bytes"].get<uint64_t>() / 512);
    std::vector<std::string> where = {"--start-sector", start, "--fs", "FAT64", "--size-sectors", sectors};
    std::vector<std::string> args = {"list", copy, "--json"};
    args.insert(args.end(), where.begin(), where.end());
    EXPECT_NE(runCli(args).rc, 0);
    args.push_back("--mode");
    args.push_back("advanced");
    CliResult r = runCli(args);
    ASSERT_EQ(r.rc, 0);
    auto listed = byPath(r.out);
    TempDir out;
    std::vector<std::string> rec = {"recover", copy, "--out", out.path(), "--quiet", "--mode", "advanced"};
    rec.insert(rec.end(), where.begin(), where.end());
    runCli(rec);
    size_t checked = 0;
    for (const json& e : vol["entries"]) {
        if (!expectedInListing(e)) continue;
        ASSERT_TRUE(listed.count(e["path"].get<std::string>())) << e["path"];
        if (!recoverable(e)) continue;
        auto sha = sha256File(out.path() + "/" + e["path"].get<std::string>());
        ASSERT_TRUE(sha) << e["path"];
        EXPECT_EQ(*sha, e["sha256"].get<std::string>()) << e["path"];
        ++checked;
    }
    EXPECT_GE(checked, 30u);
}

}  // namespace
