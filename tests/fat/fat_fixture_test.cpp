// FAT16 and FAT32 volumes made by mkfs.fat and the Linux driver: every file
// the volume still records is listed with its long name, path, state and
// size, and every intact file is recovered byte for byte with its
// modification time.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <string>

#include "tests/support/fixtures.h"

using namespace brantlow::test;
using nlohmann::json;

namespace {

struct FatCase {
    const char* image;   // fixture name
    const char* volume;  // --volume argument ("" for a bare volume)
    size_t manifestVolume;
};

const FatCase kCases[] = {
    {"fat16", "", 0},
    {"fat32", "", 0},
    {"reformat_fat32", "", 0},
    {"disk_mbr", "1", 1},
    {"disk_gpt", "0", 0},
};

std::vector<std::string> withVolume(std::vector<std::string> args, const FatCase& c) {
    if (*c.volume) {
        args.push_back("--volume");
        args.push_back(c.volume);
    }
    return args;
}

std::vector<std::string> split(const std::string& p) {
    std::vector<std::string> out;
    size_t i = 0;
    while (true) {
        size_t j = p.find('/', i);
        out.push_back(p.substr(i, j == std::string::npos ? std::string::npos : j - i));
        if (j == std::string::npos) break;
        i = j + 1;
    }
    return out;
}

// A deleted short-only name has lost its first character: the slot shows
// the code-page 437 character for 0xE5 there ("σ").
bool componentMatches(const std::string& listed, const std::string& want, bool deleted) {
    if (listed == want) return true;
    if (!deleted) return false;
    const std::string sigma = "\xCF\x83";
    if (listed.rfind(sigma, 0) != 0 || want.empty()) return false;
    // Skip want's first UTF-8 character.
    size_t n = 1;
    while (n < want.size() && (static_cast<unsigned char>(want[n]) & 0xC0) == 0x80) ++n;
    return listed.substr(sigma.size()) == want.substr(n);
}

bool pathMatches(const std::string& listed, const std::string& want, bool deleted) {
    auto a = split(listed), b = split(want);
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!componentMatches(a[i], b[i], deleted)) return false;
    return true;
}

// Manifest entries the volume still records in its directories (orphans
// need the advanced scan; slots that were overwritten are gone).
bool expectedInListing(const json& e) {
    const std::string state = e.value("state", "");
    if (state != "live" && state != "deleted") return false;
    if (e.contains("tsk") && e["tsk"].value("listed", "") == "not_listed") return false;
    return true;
}

struct Listed {
    std::vector<json> rows;
    const json* find(const json& want) const {
        const bool deleted = want.value("state", "") != "live";
        for (const json& r : rows)
            if (pathMatches(r["path"].get<std::string>(), want["path"].get<std::string>(), deleted)) return &r;
        return nullptr;
    }
};

Listed listVolume(const std::string& img, const FatCase& c) {
    CliResult r = runCli(withVolume({"list", img, "--json"}, c));
    EXPECT_EQ(r.rc, 0) << c.image;
    return Listed{jsonLines(r.out)};
}

class FatFixture : public ::testing::TestWithParam<FatCase> {};

TEST_P(FatFixture, ListsEveryRecordedFileWithNameStateSizeAndTime) {
    const FatCase& c = GetParam();
    BRANTLOW_REQUIRE_IMAGE(img, c.image);
    auto manifest = fixtureManifest(c.image);
    ASSERT_TRUE(manifest);
    const json& vol = (*manifest)["volumes"][c.manifestVolume];
    ASSERT_NE(vol.value("fs", "").find("fat"), std::string::npos);
    Listed listed = listVolume(img, c);
    ASSERT_FALSE(listed.rows.empty());
    size_t checked = 0;
    for (const json& e : vol["entries"]) {
        if (!expectedInListing(e)) continue;
        const std::string path = e["path"];
        const json* r = listed.find(e);
        ASSERT_NE(r, nullptr) << c.image << ": not listed: " << path;
        EXPECT_EQ((*r)["state"], e["state"]) << path;
        EXPECT_EQ((*r)["kind"], e["type"] == "dir" ? "dir" : "file") << path;
        if (e["type"] == "file") {
            uint64_t size = e["size"];
            if (e["tsk"].contains("listed_size")) size = e["tsk"]["listed_size"];
            EXPECT_EQ((*r)["size"].get<uint64_t>(), size) << path;
        }
        if (e["times"]["mtime"].is_string()) {
            EXPECT_EQ((*r)["modified"], e["times"]["mtime"]) << path;
        }
        ++checked;
    }
    EXPECT_GE(checked, 3u);
    // Nothing is listed twice, and no label or placeholder is listed.
    std::map<std::string, int> seen;
    for (const json& r : listed.rows) {
        EXPECT_EQ(++seen[r["path"].get<std::string>()], 1) << r["path"];
        EXPECT_NE(r["name"], "DUMMY ENTRY");
    }
}

// Runs recover under the given zone and checks content and mtimes.
void recoverAndCheck(const FatCase& c, const char* tz) {
    BRANTLOW_REQUIRE_IMAGE(img, c.image);
    auto manifest = fixtureManifest(c.image);
    ASSERT_TRUE(manifest);
    const json& vol = (*manifest)["volumes"][c.manifestVolume];
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", tz, 1);
    tzset();
    Listed listed = listVolume(img, c);
    TempDir out;
    CliResult r = runCli(withVolume({"recover", img, "--out", out.path(), "--quiet"}, c));
    size_t checked = 0;
    for (const json& e : vol["entries"]) {
        if (e["type"] != "file" || !expectedInListing(e)) continue;
        const std::string state = e["state"];
        if (state != "live" && !e.value("content_intact_on_disk", false)) continue;
        const json* row = listed.find(e);
        ASSERT_NE(row, nullptr) << e["path"];
        const std::string file = out.path() + "/" + (*row)["path"].get<std::string>();
        auto sha = sha256File(file);
        ASSERT_TRUE(sha) << "not written: " << file;
        EXPECT_EQ(*sha, e["sha256"].get<std::string>()) << c.image << " " << e["path"];
        // The stored wall-clock time, taken as local time in this zone.
        if (e["times"]["mtime"].is_string()) {
            int64_t wall = isoToUnix(e["times"]["mtime"]);
            time_t w = static_cast<time_t>(wall);
            struct tm t {};
            gmtime_r(&w, &t);
            t.tm_isdst = -1;
            time_t want = mktime(&t);
            struct stat st {};
            ASSERT_EQ(::stat(file.c_str(), &st), 0);
            EXPECT_EQ(st.st_mtime, want) << e["path"] << " TZ=" << tz;
        }
        ++checked;
    }
    EXPECT_GE(checked, 3u);
    // Deleted files whose clusters were reused come out partial (status 4).
    EXPECT_TRUE(r.rc == 0 || r.rc == 4) << r.out;
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST_P(FatFixture, RecoversIntactFilesWithContentAndLocalTimes) {
    recoverAndCheck(GetParam(), "UTC0");
    recoverAndCheck(GetParam(), "EST5EDT,M3.2.0,M11.1.0");
}

INSTANTIATE_TEST_SUITE_P(Images, FatFixture, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FatCase>& i) { return std::string(i.param.image); });

}  // namespace
