// ORPHAN_ENTRY appears only when something is under it: a fresh volume
// made by mkntfs lists none, the sample volume (orphans whose parent record
// was reused) lists it with its files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/support/fixtures.h"

using namespace brantlow::test;

namespace {

int orphanFolders(const std::string& img) {
    CliResult r = runCli({"list", img, "--json", "--quiet"});
    EXPECT_EQ(r.rc, 0);
    int n = 0;
    for (const auto& j : jsonLines(r.out)) n += j["path"] == "ORPHAN_ENTRY";
    return n;
}

TEST(NtfsOrphanFolder, OnlyWhenSomethingIsUnderIt) {
    if (std::system("command -v mkntfs >/dev/null 2>&1") != 0) GTEST_SKIP() << "mkntfs not installed (ntfs-3g)";
    TempDir dir;
    const std::string img = dir.path() + "/n.img";
    ASSERT_EQ(std::system(("truncate -s 16M " + img + " && mkntfs -F -Q -q " + img + " >/dev/null 2>&1").c_str()), 0);
    EXPECT_EQ(orphanFolders(img), 0);

    BRANTLOW_REQUIRE_IMAGE(sample, "ntfs");
    EXPECT_EQ(orphanFolders(sample), 1);
}

}  // namespace
