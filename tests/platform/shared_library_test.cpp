#include "platform/shared_library.h"

#include <gtest/gtest.h>

using brantlow::platform::SharedLibrary;

// A library or function that is not there is said by name, never a crash.
TEST(SharedLibrary, MissingLibraryOrFunctionIsNamed) {
    SharedLibrary none("libbrantlow-no-such-library.so.7");
    int (*fn)(int) = nullptr;
    none.bind(fn, "abs");
    EXPECT_EQ(fn, nullptr);
    EXPECT_NE(none.error().find("libbrantlow-no-such-library.so.7 cannot be loaded"), std::string::npos) << none.error();

    SharedLibrary c("libc.so.6");
    int (*absFn)(int) = nullptr;
    c.bind(absFn, "abs");
    ASSERT_TRUE(c.error().empty()) << c.error();
    EXPECT_EQ(absFn(-3), 3);
    void (*missing)() = nullptr;
    c.bind(missing, "brantlow_no_such_function");
    EXPECT_EQ(missing, nullptr);
    EXPECT_NE(c.error().find("has no function brantlow_no_such_function"), std::string::npos) << c.error();
}
