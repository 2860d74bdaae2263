// A chain of 10,000 folders made by mke2fs and debugfs: the file at its
// bottom is listed, found by search and read by cat; recover writes it or,
// where the output's paths cannot be that long, names what it could not
// write and ends with status 4. Nothing is left out without a word.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/support/fixtures.h"

using namespace brantlow::test;

namespace {

TEST(ExtDeepFolders, TenThousandLevels) {
    if (std::system("command -v mke2fs >/dev/null 2>&1 && command -v debugfs >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "mke2fs/debugfs not installed (e2fsprogs)";
    constexpr int kLevels = 10000;
    TempDir dir;
    const std::string img = dir.path() + "/deep.img", cmds = dir.path() + "/cmds", data = dir.path() + "/data";
    std::ofstream(data) << "bottom of the chain\n";
    {
        std::ofstream c(cmds);
        for (int i = 0; i < kLevels; ++i) c << "mkdir d\ncd d\n";
        c << "write " << data << " deep.txt\n";
    }
    ASSERT_EQ(std::system(("truncate -s 40M " + img + " && mke2fs -q -F -t ext2 -b 1024 -N 10100 " + img +
                           " >/dev/null 2>&1 && debugfs -w -f " + cmds + " " + img + " >/dev/null 2>&1")
                              .c_str()),
              0);
    std::string path;
    for (int i = 0; i < kLevels; ++i) path += "d/";
    path += "deep.txt";

    CliResult list = runCli({"list", img, "--json", "--quiet"});
    ASSERT_EQ(list.rc, 0);
    bool listed = false;
    for (const auto& r : jsonLines(list.out)) listed = listed || r["path"] == path;
    EXPECT_TRUE(listed);

    CliResult found = runCli({"search", img, "--quiet", "--pattern", "deep.txt"});
    EXPECT_EQ(found.rc, 0);
    EXPECT_NE(found.out.find("\\d\\deep.txt"), std::string::npos);

    CliResult cat = runCli({"cat", img, "--quiet", "--path", "ROOT/" + path});
    EXPECT_EQ(cat.rc, 0);
    EXPECT_EQ(cat.out, "bottom of the chain\n");

    TempDir out;
    CliResult rec = runCli({"recover", img, "--out", out.path(), "--quiet"}, true);
    if (rec.rc == 0) {
        std::ifstream in(out.path() + "/" + path);
        EXPECT_TRUE(in.good());
    } else {
        EXPECT_EQ(rec.rc, 4) << rec.out.substr(0, 300);
        EXPECT_NE(rec.out.find("failed: "), std::string::npos);
        EXPECT_NE(rec.out.find("folder not created (1 files)"), std::string::npos);
    }
}

}  // namespace
