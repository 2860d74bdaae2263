// A volume formatted over another without wiping holds the structures of
// both: made at test time by mkfs.btrfs and then mkfs.fat or mkfs.ntfs
// (neither clears the Btrfs superblock or its copy). The volume list names
// both, the default reads the later format with a warning naming the
// other, --fs reads the other; The Sleuth Kit agrees on the later one.
// Skipped without the tools.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/support/fixtures.h"

using namespace brantlow::test;

namespace {

bool haveTool(const std::string& tool) { return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0; }

std::string capture(const std::string& cmd) {
    std::string out;
    FILE* p = popen((cmd + " 2>/dev/null").c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

struct Case {
    const char* second;    // the later format
    const char* listName;  // what the volume list calls it
    const char* tskType;   // what fsstat calls it
};

class TwoFileSystems : public ::testing::TestWithParam<Case> {};

TEST_P(TwoFileSystems, NamedBothReadAsTheLaterWithAWarning) {
    const Case c = GetParam();
    const std::string tool = std::string(c.second).substr(0, std::string(c.second).find(' '));
    if (!haveTool("mkfs.btrfs") || !haveTool(tool)) GTEST_SKIP() << "mkfs.btrfs or " << tool << " not installed";
    TempDir dir;
    const std::string img = dir.path() + "/v.img";
    ASSERT_EQ(std::system(("truncate -s 512M " + img + " && mkfs.btrfs -f " + img + " >/dev/null 2>&1 && " +
                           c.second + " " + img + " >/dev/null 2>&1")
                              .c_str()),
              0);
    if (std::string(c.listName) == "FAT32") {
        std::ofstream(dir.path() + "/hello.txt") << "hello\n";
        ASSERT_EQ(std::system(("MTOOLS_SKIP_CHECK=1 mcopy -i " + img + " " + dir.path() + "/hello.txt ::hello.txt")
                                  .c_str()),
                  0);
    }

    CliResult vols = runCli({"volumes", img});
    ASSERT_EQ(vols.rc, 0);
    EXPECT_NE(vols.out.find(std::string(c.listName) + " (also looks like Btrfs)"), std::string::npos) << vols.out;
    const auto rows = jsonLines(runCli({"volumes", img, "--json"}).out);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["fileSystem"], c.listName);
    EXPECT_EQ(rows[0]["alsoLooksLike"], nlohmann::json::array({"Btrfs"}));

    CliResult list = runCli({"list", img, "--quiet"}, true);
    EXPECT_EQ(list.rc, 0) << list.out;
    EXPECT_NE(list.out.find("warning: volume 0 also looks like Btrfs; reading it as " + std::string(c.listName)),
              std::string::npos)
        << list.out;
    if (std::string(c.listName) == "FAT32") EXPECT_NE(list.out.find("\thello.txt\n"), std::string::npos) << list.out;
    else EXPECT_NE(list.out.find("\t$MFTMirr\n"), std::string::npos) << list.out;

    // --fs reads it as the other, without the warning.
    CliResult other = runCli({"list", img, "--quiet", "--fs", "btrfs"}, true);
    EXPECT_EQ(other.out.find("warning: volume 0 also looks like"), std::string::npos) << other.out;
    EXPECT_EQ(other.out.find("hello.txt"), std::string::npos) << other.out;
    EXPECT_EQ(runCli({"list", img, "--quiet", "--fs", "NoSuchFs"}).rc, 1);

    if (!haveTool("fsstat")) return;
    EXPECT_NE(capture("fsstat " + img).find(std::string("File System Type: ") + c.tskType), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Formats, TwoFileSystems,
                         ::testing::Values(Case{"mkfs.fat -F 32", "FAT32", "FAT32"},
                                           Case{"mkfs.ntfs -Q -F", "NTFS", "NTFS"}),
                         [](const auto& info) { return std::string(info.param.listName); });

}  // namespace
