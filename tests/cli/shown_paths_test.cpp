// Names that hold "/", "\", control characters or bytes that are not UTF-8,
// on volumes made by real tools at test time: the listing and the search
// print them escaped, never as folders; cat --path and recover --path take
// the printed path back; the output files stay inside the output folder.
// Skipped without the tools.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "tests/support/fixtures.h"

using namespace brantlow::test;
namespace fs = std::filesystem;

namespace {

bool have(const char* tools) { return std::system(("command -v " + std::string(tools) + " >/dev/null 2>&1").c_str()) == 0; }

int sh(const std::string& cmd) {
    return std::system(("(MTOOLS_SKIP_CHECK=1; export MTOOLS_SKIP_CHECK; " + cmd + ") >/dev/null 2>&1").c_str());
}

void writeFile(const std::string& path, const std::string& data) { std::ofstream(path, std::ios::binary) << data; }

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::set<std::string> filesBelow(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        out.insert(fs::relative(e.path(), dir).string() + (e.is_directory() ? "/" : ""));
    return out;
}

// FAT long names cannot hold "/" through any tool: mtools writes "12_30",
// and the one UTF-16 unit of each long name is changed to "/" in the image.
TEST(ShownPaths, SlashInFatLongNames) {
    if (!have("mcopy") || !have("mkfs.fat")) GTEST_SKIP() << "mtools / mkfs.fat not installed";
    TempDir dir;
    const std::string img = dir.path() + "/v.img";
    writeFile(dir.path() + "/a", "notes\n");
    writeFile(dir.path() + "/b", "inside\n");
    ASSERT_EQ(sh("mkfs.fat -C " + img + " 4096 && mmd -i " + img + " '::12_30 folder' && mcopy -i " + img + " " +
                 dir.path() + "/b '::12_30 folder/in.txt' && mcopy -i " + img + " " + dir.path() +
                 "/a '::12_30 notes.txt'"),
              0);
    std::string bytes = readFile(img);
    const std::string unit = std::string("1\0002\000_\0003\0000\000", 10);
    int changed = 0;
    for (size_t at = bytes.find(unit); at != std::string::npos; at = bytes.find(unit, at + 1), ++changed)
        bytes[at + 4] = '/';
    ASSERT_EQ(changed, 2);
    writeFile(img, bytes);

    CliResult list = runCli({"list", img, "--quiet"});
    ASSERT_EQ(list.rc, 0);
    EXPECT_NE(list.out.find("\t12\\/30 notes.txt\n"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("\t12\\/30 folder/in.txt\n"), std::string::npos) << list.out;
    bool seen = false;
    for (const auto& j : jsonLines(runCli({"list", img, "--json", "--quiet"}).out))
        if (j["name"] == "12/30 notes.txt") seen = j["path"] == "12\\/30 notes.txt";
    EXPECT_TRUE(seen);
    CliResult found = runCli({"search", img, "--quiet", "--pattern", "in.txt"});
    EXPECT_EQ(found.out, "ROOT\\12\\/30 folder\\in.txt\n");
    CliResult hit = runCli({"search", img, "--quiet", "--json", "--pattern", "in.txt"});
    ASSERT_EQ(jsonLines(hit.out).size(), 1u);
    EXPECT_EQ(jsonLines(hit.out)[0]["path"], "12\\/30 folder/in.txt");

    CliResult cat = runCli({"cat", img, "--quiet", "--path", "ROOT/12\\/30 notes.txt"});
    EXPECT_EQ(cat.rc, 0);
    EXPECT_EQ(cat.out, "notes\n");
    EXPECT_EQ(runCli({"cat", img, "--quiet", "--path", "12/30 notes.txt"}).rc, 1);  // "12" is no folder

    const std::string one = dir.path() + "/one", all = dir.path() + "/all";
    EXPECT_EQ(runCli({"recover", img, "--quiet", "--out", one, "--path", "12\\/30 folder"}).rc, 0);
    EXPECT_EQ(readFile(one + "/in.txt"), "inside\n");
    EXPECT_EQ(runCli({"recover", img, "--quiet", "--out", all}).rc, 0);
    EXPECT_EQ(filesBelow(all), (std::set<std::string>{"12_30 folder/", "12_30 folder/in.txt", "12_30 notes.txt"}));
}

// ext names hold any byte but "/" and NUL: debugfs writes control
// characters, backslashes and a Latin-1 byte.
TEST(ShownPaths, ControlCharactersAndBackslashesInExtNames) {
    if (!have("mke2fs") || !have("debugfs")) GTEST_SKIP() << "mke2fs/debugfs not installed (e2fsprogs)";
    TempDir dir;
    const std::string img = dir.path() + "/v.img", cmds = dir.path() + "/cmds";
    writeFile(dir.path() + "/a", "bell\n");
    writeFile(dir.path() + "/b", "backslash\n");
    writeFile(dir.path() + "/c", "latin\n");
    writeFile(cmds, "cd /\nwrite " + dir.path() + "/a \"bell\x07tab\there\"\nwrite " + dir.path() +
                        "/b \"back\\slash\"\nwrite " + dir.path() + "/c \"caf\xE9\"\nmkdir \"ctl\x01" +
                        "dir\"\ncd \"ctl\x01" + "dir\"\nwrite " + dir.path() + "/a inner.txt\n");
    ASSERT_EQ(sh("truncate -s 8M " + img + " && mke2fs -q -t ext4 -F " + img + " && debugfs -w -f " + cmds + " " + img),
              0);

    CliResult list = runCli({"list", img, "--quiet"});
    ASSERT_EQ(list.rc, 0);
    for (const char* shown : {"\tbell\\x07tab\\x09here\n", "\tback\\\\slash\n", "\tcaf\\xE9\n", "\tctl\\x01dir/inner.txt\n"})
        EXPECT_NE(list.out.find(shown), std::string::npos) << shown << "\n" << list.out;
    for (const auto& j : jsonLines(runCli({"list", img, "--json", "--quiet"}).out))
        if (j["name"] == "back\\slash") EXPECT_EQ(j["path"], "back\\\\slash");

    const std::pair<const char*, const char*> reads[] = {{"ROOT/bell\\x07tab\\x09here", "bell\n"},
                                                         {"back\\\\slash", "backslash\n"},
                                                         {"caf\\xe9", "latin\n"},
                                                         {"ctl\\x01dir/inner.txt", "bell\n"}};
    for (const auto& [path, content] : reads) {
        CliResult cat = runCli({"cat", img, "--quiet", "--path", path});
        EXPECT_EQ(cat.rc, 0) << path;
        EXPECT_EQ(cat.out, content) << path;
    }
    const std::string one = dir.path() + "/one";
    EXPECT_EQ(runCli({"recover", img, "--quiet", "--out", one, "--path", "ctl\\x01dir"}).rc, 0);
    EXPECT_EQ(readFile(one + "/inner.txt"), "bell\n");
}

}  // namespace
