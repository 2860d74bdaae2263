// Output files filled from another file by the kernel: the bytes asked for,
// and zeros (told by shortCopy) for what the source no longer has.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/output_file.h"
#include "tests/support/fixtures.h"

using namespace brantlow;

TEST(OutputFileCopy, CopiesARangeAndZeroFillsPastTheSourceEnd) {
    test::TempDir tmp;
    std::string src(100000, '\0');
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<char>('a' + i % 26);
    std::ofstream(tmp.path() + "/src", std::ios::binary) << src;
    const int fd = ::open((tmp.path() + "/src").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);

    platform::OutputFolder folder;
    folder.hold(tmp.path());
    platform::OutputFile f;
    ASSERT_TRUE(f.create(tmp.path(), &folder));
    ASSERT_TRUE(f.write("head", 4));
    ASSERT_TRUE(f.skip(3));
    ASSERT_TRUE(f.copyFrom(fd, 10, 5000));
    EXPECT_FALSE(f.shortCopy());
    ASSERT_TRUE(f.copyFrom(fd, 99000, 2000));  // 1000 bytes past the end
    EXPECT_TRUE(f.shortCopy());
    EXPECT_EQ(f.size(), 4u + 3 + 5000 + 2000);
    ASSERT_TRUE(f.commit("out", platform::Stamp{1600000000, 0}, platform::Stamp{1600000000, 0}));
    ::close(fd);

    std::ifstream in(tmp.path() + "/out", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string want = "head" + std::string(3, '\0') + src.substr(10, 5000) + src.substr(99000) +
                             std::string(1000, '\0');
    EXPECT_EQ(ss.str(), want);
}
