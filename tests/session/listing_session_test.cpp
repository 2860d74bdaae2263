// A listing kept in a session and reopened: the same listing, the same
// saved bytes, names and times as a fresh scan, and the disk's metadata not
// read again (only the 2 MiB that name the source).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "tests/support/fixtures.h"

using namespace brantlow::test;
namespace fs = std::filesystem;

namespace {

// Every file under root: its relative path, then its bytes and times.
std::map<std::string, std::string> tree(const std::string& root) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (e.is_directory()) continue;
        std::ifstream in(e.path(), std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        struct stat st {};
        ::stat(e.path().c_str(), &st);
        out[fs::relative(e.path(), root).string()] =
            bytes.str() + "|" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    }
    return out;
}

std::string withoutLine(std::string s, const std::string& prefix) {
    for (size_t at; (at = s.find(prefix)) != std::string::npos;) s.erase(at, s.find('\n', at) + 1 - at);
    return s;
}

class ReopenedListing : public ::testing::TestWithParam<const char*> {};

TEST_P(ReopenedListing, GivesWhatAFreshScanGives) {
    BRANTLOW_REQUIRE_IMAGE(img, GetParam());
    TempDir tmp;
    const std::string ses = tmp.path() + "/scan.session";
    const CliResult fresh = runCli({"list", img, "--json", "--quiet"});
    const CliResult first = runCli({"list", img, "--json", "--quiet", "--session", ses});
    ASSERT_EQ(first.rc, fresh.rc);
    EXPECT_EQ(first.out, fresh.out);

    ::setenv("BRANTLOW_READ_STATS", "1", 1);
    const CliResult again = runCli({"list", img, "--json", "--quiet", "--session", ses}, true);
    const CliResult found = runCli({"search", img, "--pattern", "a", "--json", "--session", ses}, true);
    ::unsetenv("BRANTLOW_READ_STATS");
    EXPECT_EQ(again.rc, fresh.rc);
    // The listing from the file; of the image only its first and last MiB.
    EXPECT_NE(again.out.find("read 2097152 bytes from"), std::string::npos) << again.out.substr(again.out.size() - 300);
    EXPECT_EQ(withoutLine(again.out, "brantlow-cli: read "), fresh.out);
    EXPECT_EQ(withoutLine(found.out, "brantlow-cli: read "),
              runCli({"search", img, "--pattern", "a", "--json"}, true).out);

    // The save from the session: the same files, bytes and times, the same
    // report and status.
    const CliResult a = runCli({"recover", img, "--out", tmp.path() + "/a", "--streams", "--quiet", "--report",
                                tmp.path() + "/a.json"});
    const CliResult b = runCli({"recover", img, "--out", tmp.path() + "/b", "--streams", "--quiet", "--report",
                                tmp.path() + "/b.json", "--session", ses});
    EXPECT_EQ(a.rc, b.rc);
    EXPECT_EQ(tree(tmp.path() + "/a"), tree(tmp.path() + "/b"));
    std::ifstream ra(tmp.path() + "/a.json"), rb(tmp.path() + "/b.json");
    std::stringstream sa, sb;
    sa << ra.rdbuf();
    sb << rb.rdbuf();
    std::string ta = sa.str(), tb = sb.str();
    for (std::string* t : {&ta, &tb})
        for (size_t at; (at = t->find(tmp.path())) != std::string::npos;) t->replace(at, tmp.path().size() + 2, "X");
    EXPECT_EQ(ta, tb);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ReopenedListing, ::testing::Values("ntfs", "ext4", "fat32", "exfat"));

TEST(ReopenedListing, CatGivesTheFileFromItsStoredExtents) {
    BRANTLOW_REQUIRE_IMAGE(img, "ntfs");
    TempDir tmp;
    const std::string ses = tmp.path() + "/s";
    ASSERT_EQ(runCli({"list", img, "--quiet", "--session", ses}).rc, 0);
    // Every file of the listing, through cat, from the session and fresh.
    const CliResult listing = runCli({"list", img, "--quiet"});
    std::istringstream lines(listing.out);
    int compared = 0;
    for (std::string line; std::getline(lines, line) && compared < 40;) {
        if (line.find("\tfile\t") == std::string::npos || line.find("live") != 0) continue;
        const std::string path = line.substr(line.rfind('\t') + 1);
        const CliResult fresh = runCli({"cat", img, "--path", path, "--quiet"});
        const CliResult kept = runCli({"cat", img, "--path", path, "--quiet", "--session", ses});
        EXPECT_EQ(fresh.rc, kept.rc) << path;
        EXPECT_EQ(fresh.out, kept.out) << path;
        ++compared;
    }
    EXPECT_GT(compared, 10);
}

}  // namespace
