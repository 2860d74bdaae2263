#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

#include "disk/reader.h"
#include "disk/volume_view.h"
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


}  // namespace

TEST(Reader, SizesAnImageAndReadsShortAtItsEnd) {
    test::TempDir tmp;
    std::string p = writeFile(tmp.path(), "img", 4096);
    FileReadSeek r;
    ASSERT_TRUE(r.Open(p));
    EXPECT_EQ(r.sizeBytes(), 4096u);
    std::vector<unsigned char> buf(512, 0xAA);
    EXPECT_EQ(readZeroFill(r, 4096 - 100, buf.data(), 512), 100u);
    EXPECT_EQ(buf[0], static_cast<unsigned char>((3996 * 7 + 3) & 0xFF));
    EXPECT_EQ(buf[99], static_cast<unsigned char>((4095 * 7 + 3) & 0xFF));
    for (size_t i = 100; i < 512; ++i) ASSERT_EQ(buf[i], 0) << i;
    std::fill(buf.begin(), buf.end(), 0xAA);
    EXPECT_EQ(readZeroFill(r, 8192, buf.data(), 512), 0u);
    for (unsigned char c : buf) ASSERT_EQ(c, 0);
    std::vector<char> small(16);
    EXPECT_EQ(r.readAbsolute(0, small.data(), static_cast<size_t>(1ull << 40)), -1);  // refused, no allocation
}

TEST(Reader, ReopenClosesThePreviousDescriptorAndFailuresNameTheCause) {
    test::TempDir tmp;
    std::string p = writeFile(tmp.path(), "img", 4096);
    FileReadSeek r;
    ASSERT_TRUE(r.Open(p));
    int before = countOpenFds();
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(r.Open(p));
    EXPECT_EQ(countOpenFds(), before);
    EXPECT_FALSE(r.Open(tmp.path() + "/missing"));
    EXPECT_EQ(r.openError(), ENOENT);
    EXPECT_FALSE(r.Open(tmp.path()));
    EXPECT_EQ(r.openError(), EISDIR);
    // A FIFO is refused at once, not waited on.
    std::string fifo = tmp.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(r.Open(fifo));
    EXPECT_EQ(r.openError(), ENOTBLK);
    EXPECT_EQ(countOpenFds(), before - 1);
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
    EXPECT_EQ(r.sizeBytes(), 5ull << 30);
    char got[8] = {};
    ASSERT_EQ(readZeroFill(r, at, got, 8), 8u);
    EXPECT_EQ(std::memcmp(got, tag, 8), 0);
    VolumeView v(std::shared_ptr<readWriteInterface>(&r, [](readWriteInterface*) {}), at - 512, 1024);
    std::memset(got, 0, 8);
    ASSERT_TRUE(v.readExact(512, got, 8));
    EXPECT_EQ(std::memcmp(got, tag, 8), 0);
}
