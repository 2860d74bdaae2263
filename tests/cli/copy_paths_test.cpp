// File content is copied from an image file straight to the output where
// the source allows it; through a reader that does not (here the byte
// counter of BRANTLOW_READ_STATS) it is read and written. Both give the
// same files, bytes and times.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "tests/support/fixtures.h"

using namespace brantlow::test;
namespace fs = std::filesystem;

namespace {

// Every file below dir: its content hash and modification time.
std::map<std::string, std::string> tree(const std::string& dir) {
    std::map<std::string, std::string> t;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (!e.is_regular_file()) continue;
        struct stat st {};
        ::stat(e.path().c_str(), &st);
        t[fs::relative(e.path(), dir).string()] = sha256File(e.path().string()).value_or("?") + " " +
                                                  std::to_string(st.st_mtim.tv_sec) + "." +
                                                  std::to_string(st.st_mtim.tv_nsec);
    }
    return t;
}

TEST(CopyPaths, CopiedAndReadContentAgree) {
    for (const char* name : {"ntfs_small", "fat32", "ext4_deleted"}) {
        SCOPED_TRACE(name);
        auto img = fixtureImage(name);
        if (!img) GTEST_SKIP() << "fixture image " << name << " not found";
        TempDir tmp;
        CliResult copied = runCli({"recover", *img, "--quiet", "--out", tmp.path() + "/copied"});
        ::setenv("BRANTLOW_READ_STATS", "1", 1);
        CliResult read = runCli({"recover", *img, "--quiet", "--out", tmp.path() + "/read"});
        ::unsetenv("BRANTLOW_READ_STATS");
        EXPECT_EQ(copied.rc, read.rc);
        const auto a = tree(tmp.path() + "/copied"), b = tree(tmp.path() + "/read");
        EXPECT_GT(a.size(), 3u);
        EXPECT_EQ(a, b);
    }
}

}  // namespace
