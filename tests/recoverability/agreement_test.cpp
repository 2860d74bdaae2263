// What the list says of a deleted file, what the save writes, its report
// line and the exit status agree: an intact file is written whole, a partly
// overwritten one as NAME.partial, a wholly overwritten one not at all
// (with --include-overwritten: as NAME.partial).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/fixtures.h"

using namespace brantlow::test;
using nlohmann::json;

namespace {

struct Case {
    const char* image;
    const char* volume;  // "--volume" value, or "" for a bare volume image
    bool ext = false;    // ext2/3/4
};

std::ostream& operator<<(std::ostream& os, const Case& c) { return os << c.image << ":" << c.volume; }

bool exists(const std::string& p) { return std::filesystem::exists(std::filesystem::symlink_status(p)); }

class StateWriteReport : public ::testing::TestWithParam<Case> {};

TEST_P(StateWriteReport, AgreeForEveryDeletedFile) {
    const Case& c = GetParam();
    BRANTLOW_REQUIRE_IMAGE(img, c.image);
    std::vector<std::string> vol;
    if (*c.volume) vol = {"--volume", c.volume};
    auto with = [&](std::vector<std::string> a) {
        a.insert(a.end(), vol.begin(), vol.end());
        return a;
    };
    CliResult list = runCli(with({"list", img, "--json", "--quiet"}));
    ASSERT_EQ(list.rc, 0) << list.out;
    const auto rows = jsonLines(list.out);

    for (const bool include : {false, true}) {
        TempDir tmp;
        const std::string out = tmp.path() + "/out", rep = tmp.path() + "/report.json";
        std::vector<std::string> args = with({"recover", img, "--out", out, "--report", rep, "--quiet"});
        if (include) args.push_back("--include-overwritten");
        CliResult rec = runCli(args);
        std::map<std::string, json> lines;
        bool allWritten = true;
        std::ifstream in(rep);
        for (std::string l; std::getline(in, l);) {
            json j = json::parse(l);
            allWritten = allWritten && j["status"] == "written";
            lines[j["path"].get<std::string>()] = j;
        }
        ASSERT_FALSE(lines.empty());
        // The exit status says what the report lines say.
        EXPECT_EQ(rec.rc, allWritten ? 0 : 4) << c;

        std::map<std::string, int> checked;
        int unmatched = 0;
        for (const json& r : rows) {
            if (r["kind"] != "file" || !r.contains("recoverable")) continue;
            const std::string state = r["recoverable"];
            if (state == "unknown") continue;
            const std::string whole = out + "/" + r["path"].get<std::string>(), part = whole + ".partial";
            const json* line = lines.count(whole) ? &lines[whole] : lines.count(part) ? &lines[part] : nullptr;
            if (!line) {  // renamed on a clash or sanitised
                ++unmatched;
                continue;
            }
            const std::string status = (*line)["status"];
            const std::string why = (*line)["reason"];
            ++checked[state];
            if (state == "intact") {
                EXPECT_EQ(status, "written") << whole;
                EXPECT_TRUE(exists(whole)) << whole;
            } else if (state == "overwritten" && include && status == "failed") {
                // ext leaves out the blocks other files hold: with none
                // left there is nothing to write even on request.
                EXPECT_TRUE(c.ext) << whole << ": " << why;
                EXPECT_FALSE(exists(whole) || exists(part)) << whole;
            } else if (state == "partial" || (state == "overwritten" && include)) {
                EXPECT_EQ(status, "partial") << whole;
                EXPECT_NE(why.find("overwritten"), std::string::npos) << whole << ": " << why;
                EXPECT_TRUE(exists(part)) << part;
                EXPECT_FALSE(exists(whole)) << whole;
            } else {
                ASSERT_EQ(state, "overwritten");
                EXPECT_EQ(status, "failed") << whole;
                EXPECT_EQ(why.rfind("overwritten", 0), 0u) << whole << ": " << why;
                EXPECT_FALSE(exists(whole)) << whole;
                EXPECT_FALSE(exists(part)) << part;
            }
        }
        std::cout << c << (include ? " --include-overwritten" : "") << ": intact " << checked["intact"]
                  << ", partial " << checked["partial"] << ", overwritten " << checked["overwritten"]
                  << " checked; " << unmatched << " renamed\n";
        EXPECT_GT(checked["intact"] + checked["partial"] + checked["overwritten"], 5) << c;
        EXPECT_LE(unmatched, 3) << c;
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, StateWriteReport,
                         ::testing::Values(Case{"ntfs", ""}, Case{"exfat", ""}, Case{"fat16", ""},
                                           Case{"fat32", ""}, Case{"ext2", "", true}, Case{"ext3", "", true},
                                           Case{"ext4", "", true}, Case{"disk_mbr", "0"}, Case{"disk_mbr", "1"},
                                           Case{"disk_mbr", "2", true}, Case{"disk_mbr", "3"},
                                           Case{"ntfs_small", ""}, Case{"exfat_small", ""},
                                           Case{"ext4_deleted", "", true}),
                         [](const auto& info) {
                             std::string n = std::string(info.param.image) + "_" + info.param.volume;
                             for (char& ch : n)
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return n;
                         });

}  // namespace

namespace {

// Advanced and Deep modes look in the current file system's allocation
// map too: on healthy and re-formatted volumes no deleted file is left
// "unknown", every file written as complete under a path the manifest
// knows has the manifest's content, and the status is 4 exactly when some
// file came out partial or failed.
struct ModeCase {
    const char* image;
    const char* mode;
    // The mode reads the volume in the boot sector's geometry: every file
    // both listings hold has Standard mode's state.
    bool standardStates = false;
};

class ModesAgree : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ModesAgree, NoUnknownAndNothingWrongWrittenAsComplete) {
    const ModeCase& c = GetParam();
    BRANTLOW_REQUIRE_IMAGE(img, c.image);
    auto manifest = fixtureManifest(c.image);
    ASSERT_TRUE(manifest);
    // By path, and for files under the orphan folder by name where the
    // manifest holds that name once.
    std::map<std::string, std::string> hashOf, byName;
    std::map<std::string, int> names;
    for (const auto& e : (*manifest)["volumes"][0]["entries"])
        if (e["type"] == "file" && e.contains("sha256")) {
            const std::string p = e["path"];
            hashOf[p] = e["sha256"];
            const std::string n = p.substr(p.rfind('/') + 1);
            if (++names[n] == 1) byName[n] = e["sha256"];
            else byName.erase(n);
        }
    CliResult list = runCli({"list", img, "--mode", c.mode, "--json", "--quiet"});
    ASSERT_EQ(list.rc, 0);
    std::map<std::string, std::string> standard;
    if (c.standardStates) {
        CliResult s = runCli({"list", img, "--json", "--quiet"});
        ASSERT_EQ(s.rc, 0);
        for (const json& r : jsonLines(s.out))
            if (r.contains("recoverable")) standard[r["path"]] = r["recoverable"];
    }
    int asked = 0, compared = 0;
    for (const json& r : jsonLines(list.out))
        if (r.contains("recoverable")) {
            ++asked;
            EXPECT_NE(r["recoverable"], "unknown") << r["path"];
            if (auto it = standard.find(r["path"]); it != standard.end()) {
                EXPECT_EQ(r["recoverable"], it->second) << r["path"];
                ++compared;
            }
        }
    EXPECT_GT(asked, 5);
    if (c.standardStates) {
        EXPECT_GT(compared, 5);
    }
    TempDir tmp;
    const std::string out = tmp.path() + "/out", rep = tmp.path() + "/report.json";
    CliResult rec = runCli({"recover", img, "--mode", c.mode, "--out", out, "--report", rep, "--quiet"});
    bool allWritten = true;
    int checked = 0;
    std::ifstream in(rep);
    for (std::string l; std::getline(in, l);) {
        const json j = json::parse(l);
        if (j["status"] != "written") {
            allWritten = false;
            continue;
        }
        const std::string path = j["path"];
        const std::string rel = std::filesystem::relative(path, out).generic_string();
        const std::string* want = nullptr;
        if (auto it = hashOf.find(rel); it != hashOf.end()) want = &it->second;
        else if (auto n = byName.find(rel.substr(rel.rfind('/') + 1)); rel.rfind("ORPHAN", 0) == 0 && n != byName.end())
            want = &n->second;
        if (!want) continue;
        EXPECT_EQ(sha256File(path).value_or(""), *want) << "written as complete with other content: " << path;
        ++checked;
    }
    EXPECT_GT(checked, 2);
    EXPECT_EQ(rec.rc, allWritten ? 0 : 4);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ModesAgree,
                         ::testing::Values(ModeCase{"ntfs", "advanced"}, ModeCase{"ntfs", "deep"},
                                           ModeCase{"reformat_ntfs", "advanced"}, ModeCase{"reformat_ntfs", "deep"},
                                           ModeCase{"reformat_ntfs_cs", "advanced"},
                                           ModeCase{"reformat_ntfs_cs", "deep"}, ModeCase{"fat16", "advanced"},
                                           ModeCase{"fat32", "advanced"}, ModeCase{"reformat_fat32", "advanced"},
                                           ModeCase{"reformat_fat32_cs", "advanced"}, ModeCase{"exfat", "advanced", true},
                                           ModeCase{"exfat_small", "advanced", true}),
                         [](const auto& info) { return std::string(info.param.image) + "_" + info.param.mode; });

}  // namespace
