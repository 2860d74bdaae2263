// The search for earlier file systems: on volumes formatted again (with
// another cluster size or as another type) the file system formatted over
// comes first in the list, and opening it gives its files back.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <filesystem>
#include <fstream>
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

// A volume made with real tools, filled, then quick-formatted as NTFS: the
// earlier file system ranks first and every file comes back under its name.
struct MadeOver {
    const char* name;
    const char* tools;     // what the shell needs
    const char* make;      // IMG and SRC replaced; fills IMG from SRC
    const char* previous;  // as the list names it
};

class FormattedAsNtfs : public ::testing::TestWithParam<MadeOver> {};

std::string replaced(std::string s, const std::string& img, const std::string& src) {
    for (size_t at; (at = s.find("IMG")) != std::string::npos;) s.replace(at, 3, img);
    for (size_t at; (at = s.find("SRC")) != std::string::npos;) s.replace(at, 3, src);
    return s;
}

TEST_P(FormattedAsNtfs, GivesBackItsFiles) {
    const MadeOver& m = GetParam();
    if (std::system(("(command -v mkntfs && command -v " + std::string(m.tools) + ") >/dev/null 2>&1").c_str()) != 0)
        GTEST_SKIP() << m.tools << " or mkntfs missing";
    TempDir dir;
    const std::string img = dir.path() + "/stick.img", src = dir.path() + "/a";
    std::filesystem::create_directories(src + "/b");
    std::map<std::string, std::string> files;
    for (int i = 1; i <= 8; ++i) {
        std::string bin(3000 + i * 997, '\0'), text;
        for (size_t k = 0; k < bin.size(); ++k) bin[k] = static_cast<char>((k * 131 + i * 7) >> 3);
        for (int line = 0; line < 150; ++line) text += "line " + std::to_string(line) + " of note " + std::to_string(i) + "\n";
        files["FILE" + std::to_string(i) + ".BIN"] = bin;
        files["NOTE" + std::to_string(i) + ".TXT"] = text;
        std::ofstream(src + "/FILE" + std::to_string(i) + ".BIN", std::ios::binary) << bin;
        std::ofstream(src + "/b/NOTE" + std::to_string(i) + ".TXT", std::ios::binary) << text;
    }
    const std::string make = "(" + replaced(m.make, img, src) + " && mkntfs -Q -F -q " + img + ") >/dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0);
    EXPECT_EQ(firstCandidate(img), m.previous);
    const std::string out = dir.path() + "/out";
    runCli({"recover", img, "--fs-candidate", "1", "--out", out, "--quiet"});
    size_t exact = 0;
    if (std::filesystem::exists(out))
        for (const auto& f : std::filesystem::recursive_directory_iterator(out)) {
            std::string name = f.path().filename().string();
            for (char& ch : name) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            auto it = files.find(name);
            if (it == files.end() || !f.is_regular_file()) continue;
            std::ifstream in(f.path(), std::ios::binary);
            const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (got == it->second) ++exact;
        }
    EXPECT_EQ(exact, files.size());
}

INSTANTIATE_TEST_SUITE_P(
    Tools, FormattedAsNtfs,
    ::testing::Values(MadeOver{"Fat32", "mkfs.fat && command -v mcopy",
                               "truncate -s 128M IMG && mkfs.fat -F 32 -s 2 IMG && MTOOLS_SKIP_CHECK=1 mcopy -s -i IMG SRC ::/",
                               "FAT32"},
                      // 1 KiB blocks, 64 MiB: backup superblocks in groups 1, 3, 5 and 7.
                      MadeOver{"Ext4", "mkfs.ext4", "truncate -s 64M IMG && mkfs.ext4 -q -F -b 1024 -d SRC IMG", "extX"}),
    [](const ::testing::TestParamInfo<MadeOver>& i) { return std::string(i.param.name); });

// HFS+ whose first volume header, catalog header node and extents overflow
// header node are gone (no HFS+ formatter is packaged: the shipped image,
// bytes zeroed): the alternate header and the catalog's leaf nodes give the
// files back; formatted as NTFS (one sector shorter than the HFS+ volume),
// the candidate opens it so.
TEST(EarlierFileSystem, HfsPlusFromItsAlternateHeader) {
    BRANTLOW_REQUIRE_IMAGE(img, "hfsplus");
    std::ifstream in(img, std::ios::binary);
    std::string h(512, '\0');
    in.seekg(1024);
    in.read(h.data(), 512);
    auto be32 = [&](size_t at) {
        uint32_t v = 0;
        for (size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<uint8_t>(h[at + i]);
        return uint64_t{v};
    };
    const uint64_t block = be32(40), catalog = be32(0x110 + 16) * block, extents = be32(0xC0 + 16) * block;
    ASSERT_GT(catalog, 0u);
    TempDir dir;
    const std::string damaged = dir.path() + "/no-heads.img";
    ASSERT_TRUE(damagedCopy(img, damaged, {{1024, 512}, {catalog, 512}, {extents, 512}}));
    Coverage c = measure(damaged, "hfsplus", "HFS+", "deep", "live");
    EXPECT_GE(c.entries, 30);
    EXPECT_GE(c.byContent, c.entries - 1);  // the file with overflow extents is cut short
    EXPECT_GE(c.byName, c.entries - 1);

    if (std::system("command -v mkntfs >/dev/null 2>&1") != 0) GTEST_SKIP() << "mkntfs missing";
    const std::string over = dir.path() + "/ntfs-over-hfs.img";
    ASSERT_TRUE(damagedCopy(img, over, {}));
    ASSERT_EQ(std::system(("mkntfs -Q -F -q " + over + " >/dev/null 2>&1").c_str()), 0);
    EXPECT_EQ(firstCandidate(over), "HFS+");
    Coverage n = measure(over, "hfsplus", "ntfs", "standard", "live", {"--fs-candidate", "1"});
    EXPECT_GE(n.byContent, 30);
    EXPECT_GE(n.byName, 30);
}

TEST(EarlierFileSystem, NoneOnAnIntactVolumeAndAWrongNumberIsRefused) {
    BRANTLOW_REQUIRE_IMAGE(img, "ntfs");
    EXPECT_EQ(firstCandidate(img), "");
    EXPECT_EQ(runCli({"list", img, "--fs-candidate", "1", "--quiet"}).rc, 3);
    EXPECT_EQ(runCli({"list", img, "--fs-candidate", "0", "--quiet"}).rc, 1);
}

// Deleted folders (and an orphan) of an ordinary FAT volume are its own:
// Standard mode lists them; no earlier file system is offered for them.
TEST(EarlierFileSystem, NoneForTheDeletedFoldersOfAFatVolume) {
    for (const char* name : {"fat16", "fat32"}) {
        BRANTLOW_REQUIRE_IMAGE(img, name);
        EXPECT_EQ(firstCandidate(img), "") << name;
    }
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
