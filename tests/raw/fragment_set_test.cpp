// Photos in two pieces on a FAT volume (make_fragment_set.py: each photo
// written by mtools around another file of 1 to 64 clusters, then deleted):
// each comes back byte-exact from its two pieces. Carving the free space
// only finds them all again and nothing inside the files that stay.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <set>

#include "tests/support/fixtures.h"

using namespace brantlow;

namespace {

std::optional<std::string> makeSet(const std::string& dir, std::string& log) {
    const std::string cmd = "python3 '" + std::string(BRANTLOW_TEST_DATA) + "/../raw/make_fragment_set.py' '" + dir +
                            "' 8 5 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return "cannot run python3";
    char line[512];
    while (std::fgets(line, sizeof line, p)) log += line;
    const int st = ::pclose(p);
    if (WIFEXITED(st) && WEXITSTATUS(st) == 77) return log;
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) ADD_FAILURE() << "make_fragment_set.py failed:\n" << log;
    return std::nullopt;
}

std::set<std::string> writtenSums(const std::string& out) {
    std::set<std::string> got;
    std::ifstream sum(out + "/carve-summary.txt");
    std::string line;
    std::getline(sum, line);
    while (std::getline(sum, line))
        if (auto sha = test::sha256File(line.substr(line.rfind('\t') + 1))) got.insert(*sha);
    return got;
}

}  // namespace

TEST(CarveFragments, PhotosInTwoPiecesComeBackWholeAndFreeSpaceHoldsThemAll) {
    test::TempDir dir;
    std::string log;
    if (auto skip = makeSet(dir.path(), log)) GTEST_SKIP() << *skip;
    if (HasFailure()) return;
    std::ifstream mf(dir.path() + "/fragments.json");
    const auto man = nlohmann::json::parse(mf);
    const std::string img = dir.path() + "/fragments.img";

    for (const bool freeOnly : {false, true}) {
        test::TempDir out;
        std::vector<std::string> args = {"carve", img, "--json", "--out", out.path()};
        if (freeOnly) args.push_back("--free-only");
        auto res = test::runCli(args);
        ASSERT_EQ(res.rc, 0) << res.out;
        const auto got = writtenSums(out.path());
        int twoPieces = 0, whole = 0;
        for (const auto& p : man["photos"]) {
            if (p["pieces"].size() != 2) continue;
            ++twoPieces;
            const bool ok = got.count(p["sha256"].get<std::string>()) != 0;
            EXPECT_TRUE(ok) << p["name"] << (freeOnly ? " (free space only)" : "");
            whole += ok;
        }
        EXPECT_GE(twoPieces, 6) << log;
        EXPECT_EQ(whole, twoPieces);
        // Each reassembled photo lists its two pieces, in the volume.
        int listed = 0;
        for (const auto& j : test::jsonLines(res.out)) {
            if (freeOnly) {
                // Nothing starts inside a file that stays.
                const uint64_t s = j["start"];
                for (const auto& l : man["live"])
                    EXPECT_FALSE(s >= l[0].get<uint64_t>() && s < l[0].get<uint64_t>() + l[1].get<uint64_t>())
                        << j.dump();
            }
            if (!j.contains("pieces")) continue;
            ++listed;
            for (const auto& p : man["photos"])
                if (p["pieces"].size() == 2 && p["pieces"][0][0] == j["start"]) {
                    EXPECT_EQ(j["pieces"], p["pieces"]) << p["name"];
                    EXPECT_EQ(j["status"], "complete");
                }
        }
        EXPECT_EQ(listed, twoPieces);
    }
}
