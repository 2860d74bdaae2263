// The search for earlier file systems: on volumes formatted again (with
// another cluster size or as another type) the file system formatted over
// comes first in the list, and opening it gives its files back.
#include <gtest/gtest.h>

#include <sstream>

#include "base/texts.h"
#include "fs/api/content_signature.h"
#include "tests/advanced/advanced_support.h"

using namespace brantlow::test;

namespace {

// The first candidate's name from "  1. NAME ..." of list --candidates.
std::string firstCandidate(const std::string& image) {
    CliResult r = runCli({"list", image, "--candidates", "--quiet"}, true);
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("  1. ", 0) == 0) {
            std::string name = line.substr(5);
            return name.substr(0, name.find(' '));
        }
    return {};
}

struct Reformatted {
    const char* image;
    const char* previous;  // as the list names it
};

class EarlierFileSystem : public ::testing::TestWithParam<Reformatted> {};

TEST_P(EarlierFileSystem, RanksFirst) {
    BRANTLOW_REQUIRE_IMAGE(img, GetParam().image);
    EXPECT_EQ(firstCandidate(img), GetParam().previous) << GetParam().image;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, EarlierFileSystem,
                         ::testing::Values(Reformatted{"reformat_ntfs", "NTFS"}, Reformatted{"reformat_ntfs_cs", "NTFS"},
                                           Reformatted{"reformat_fat32", "FAT32"},
                                           Reformatted{"reformat_fat32_cs", "FAT32"},
                                           Reformatted{"reformat_exfat_to_ntfs", "FAT64"},
                                           Reformatted{"reformat_ntfs_to_exfat", "NTFS"}));

TEST(EarlierFileSystem, OpenedByItsNumberGivesBackEveryIntactFile) {
    BRANTLOW_REQUIRE_IMAGE(img, "reformat_exfat_to_ntfs");
    Coverage c = measure(img, "reformat_exfat_to_ntfs", "ntfs", "standard", "previous_fs", {"--fs-candidate", "1"});
    EXPECT_EQ(c.entries, 42);
    EXPECT_EQ(c.byContent, c.entries);
    EXPECT_EQ(c.byName, c.entries);
    // Other geometry, same type: the variant opens with the old cluster size.
    BRANTLOW_REQUIRE_IMAGE(cs, "reformat_ntfs_cs");
    Coverage v = measure(cs, "reformat_ntfs_cs", "ntfs", "standard", "previous_fs", {"--fs-candidate", "1"});
    EXPECT_GE(v.byContent, 40);
}

TEST(EarlierFileSystem, NoneOnAnIntactVolumeAndAWrongNumberIsRefused) {
    BRANTLOW_REQUIRE_IMAGE(img, "ntfs");
    EXPECT_EQ(firstCandidate(img), "");
    EXPECT_EQ(runCli({"list", img, "--fs-candidate", "1", "--quiet"}).rc, 3);
    EXPECT_EQ(runCli({"list", img, "--fs-candidate", "0", "--quiet"}).rc, 1);
}

TEST(ContentSignature, NamesPromiseWhatTheFirstBytesShow) {
    const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xE0};
    EXPECT_EQ(brantlow::contentMatchesName("a.JPG", jpeg, sizeof jpeg), 1);
    EXPECT_EQ(brantlow::contentMatchesName("a.png", jpeg, sizeof jpeg), 0);
    const char text[] = "line 0000000: hello\n";
    EXPECT_EQ(brantlow::contentMatchesName("notes.txt", reinterpret_cast<const uint8_t*>(text), sizeof text - 1), 1);
    EXPECT_EQ(brantlow::contentMatchesName("notes.txt", jpeg, sizeof jpeg), 0);
    EXPECT_EQ(brantlow::contentMatchesName("data.bin", jpeg, sizeof jpeg), -1);
    EXPECT_FALSE(brantlow::namePromisesContent("noext"));
}

}  // namespace
