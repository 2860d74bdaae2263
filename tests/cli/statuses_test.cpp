// Statuses and messages as the README's table has them: a socket is refused
// with the reason (status 2), an unknown --fs name is a usage error (1), an
// output folder that cannot be created has a status of its own (6).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "tests/support/fixtures.h"

using namespace brantlow::test;

namespace {

TEST(CliStatuses, AsTheReadmeSays) {
    TempDir tmp;
    const std::string sock = tmp.path() + "/s";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, sock.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    CliResult r = runCli({"list", sock}, true);
    ::close(fd);
    EXPECT_EQ(r.rc, 2);
    EXPECT_NE(r.out.find("neither a block device nor a regular file"), std::string::npos) << r.out;

    BRANTLOW_REQUIRE_IMAGE(img, "fat16");
    r = runCli({"list", img, "--start-sector", "0", "--fs", "NoSuchFs"}, true);
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.out.find("--fs"), std::string::npos) << r.out;

    std::ofstream(tmp.path() + "/file") << "x";
    r = runCli({"recover", img, "--out", tmp.path() + "/file/out", "--quiet"}, true);
    EXPECT_EQ(r.rc, 6);
    EXPECT_NE(r.out.find("cannot create output folder"), std::string::npos) << r.out;
}

}  // namespace
