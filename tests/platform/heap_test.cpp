#include "platform/heap.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

// Times the kernel had no large page to give and fell back to small ones.
long largePageFallbacks() {
    std::ifstream vm("/proc/vmstat");
    std::string key;
    long value = 0;
    while (vm >> key >> value)
        if (key == "thp_fault_fallback") return value;
    return 0;
}

long minorFaults() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return r.ru_minflt;
}

// A 16 MiB table filled in one go: page by page it is 4,096 faults; on the
// large pages the heap is prepared for, a handful.
TEST(Heap, LargeTableFilledWithFewFaults) {
    std::ifstream mode("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string line;
    if (!std::getline(mode, line) || line.find("[never]") != std::string::npos)
        GTEST_SKIP() << "the kernel offers no transparent huge pages here";
    brantlow::platform::prepareHeapForLargeTables();
    const long fallbacks = largePageFallbacks();
    const long before = minorFaults();
    std::vector<char> table(size_t{16} << 20, 1);
    const long faults = minorFaults() - before;
    if (largePageFallbacks() != fallbacks) GTEST_SKIP() << "the kernel had no free large page at the time";
    EXPECT_EQ(table[table.size() / 2], 1);
    EXPECT_LT(faults, 1024) << "16 MiB took " << faults << " page faults";
}

}  // namespace
