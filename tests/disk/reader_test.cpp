#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "disk/reader.h"
#include "fs/common/sinks.h"
#include "tests/support/fixtures.h"

using namespace brantlow;

namespace {

std::string writeFile(const std::string& dir, const std::string& name, size_t size) {
    std::string p = dir + "/" + name;
    std::vector<char> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + 3);
    std::ofstream(p, std::ios::binary).write(data.data(), static_cast<std::streamsize>(size));
    return p;
}

int countOpenFds() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

class CountingMessages : public MessageSink {
public:
    int infos = 0;
    std::string last;
    void info(const std::string& t) override { ++infos; last = t; }
};

}  // namespace

TEST(Reader, SizesAnImageAndIgnoresThePartialSector) {
    test::TempDir tmp;
    std::string p = writeFile(tmp.path(), "img", 1000000);
    FileReadSeek r;
    ASSERT_TRUE(r.Open(p));
    EXPECT_EQ(r.length, 1000000);
    EXPECT_EQ(g_totalSectors.load(), 1953u);
}

TEST(Reader, ShortReadsGiveBytesThenZerosAndEndOfFileLeavesTheBuffer) {
    test::TempDir tmp;
    std::string p = writeFile(tmp.path(), "img", 4096);
    FileReadSeek r;
    ASSERT_TRUE(r.Open(p));
    std::vector<unsigned char> buf(512, 0xAA);
    ASSERT_TRUE(r.Seek(4096 - 100));
    EXPECT_FALSE(r.Read(buf.data(), 512));
    EXPECT_EQ(buf[0], static_cast<unsigned char>((3996 * 7 + 3) & 0xFF));
    EXPECT_EQ(buf[99], static_cast<unsigned char>((4095 * 7 + 3) & 0xFF));
    for (size_t i = 100; i < 512; ++i) ASSERT_EQ(buf[i], 0) << i;

    std::fill(buf.begin(), buf.end(), 0xAA);
    ASSERT_TRUE(r.Seek(8192));
    EXPECT_FALSE(r.Read(buf.data(), 512));
    for (unsigned char c : buf) ASSERT_EQ(c, 0xAA);
}

TEST(Reader, BaseOffsetAndHostilePositions) {
    test::TempDir tmp;
    std::string p = writeFile(tmp.path(), "img", 3 * 1048576);
    FileReadSeek r;
    ASSERT_TRUE(r.Open(p));
    r.baseOffset = 2048 * 512;
    unsigned char b = 0;
    ASSERT_TRUE(r.Seek(0));
    ASSERT_TRUE(r.Read(&b, 1));
    EXPECT_EQ(b, static_cast<unsigned char>((1048576ull * 7 + 3) & 0xFF));
    EXPECT_FALSE(r.Seek(INT64_MAX));          // overflows with the base
    r.baseOffset = 0;
    EXPECT_FALSE(r.Seek(-1));                 // negative target
    ASSERT_TRUE(r.Seek(0));
    std::vector<char> small(16);
    EXPECT_FALSE(r.Read(small.data(), 1ull << 40));  // refused, no allocation
}

TEST(Reader, ReopenClosesThePreviousDescriptorAndFailureIsReported) {
    test::TempDir tmp;
    std::string p = writeFile(tmp.path(), "img", 4096);
    FileReadSeek r;
    ASSERT_TRUE(r.Open(p));
    int before = countOpenFds();
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(r.Open(p));
    EXPECT_EQ(countOpenFds(), before);

    CountingMessages msgs;
    setMessageSink(&msgs);
    uint64_t total = g_totalSectors;
    EXPECT_FALSE(r.Open(tmp.path() + "/missing"));
    setMessageSink(nullptr);
    EXPECT_EQ(msgs.infos, 1);
    EXPECT_EQ(msgs.last, "invalid handle ...");
    EXPECT_EQ(g_totalSectors.load(), total);
}

TEST(Reader, SparseImageBeyondFourGiB) {
    test::TempDir tmp;
    std::string p = tmp.path() + "/sparse";
    int fd = ::open(p.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    const uint64_t at = 4608ull * 1048576;  // 4.5 GiB
    const char tag[] = "BRANTLOW";
    ASSERT_EQ(::pwrite(fd, tag, 8, static_cast<off_t>(at)), 8);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(5ull << 30)), 0);
    ::close(fd);
    FileReadSeek r;
    ASSERT_TRUE(r.Open(p));
    EXPECT_EQ(g_totalSectors.load(), (5ull << 30) / 512);
    char got[8] = {};
    ASSERT_TRUE(r.Seek(static_cast<int64_t>(at)));
    ASSERT_TRUE(r.Read(got, 8));
    EXPECT_EQ(std::memcmp(got, tag, 8), 0);
    r.baseOffset = static_cast<int64_t>(at - 512);
    std::memset(got, 0, 8);
    ASSERT_TRUE(r.Seek(512));
    ASSERT_TRUE(r.Read(got, 8));
    EXPECT_EQ(std::memcmp(got, tag, 8), 0);
}
