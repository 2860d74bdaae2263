#include "platform/heap.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace brantlow::platform {

void prepareHeapForLargeTables() {
    constexpr size_t kStep = size_t{64} << 20;
    constexpr uintptr_t kLargePage = uintptr_t{2} << 20;
    // The span on large pages: a listing of tens of thousands of files fits
    // in it whole. A large page is in memory as a whole once touched, so
    // past this span the tables of a big listing stay on small pages, in
    // memory only where used (on a million NTFS records a 64 MiB span cost
    // 5 MB more at the peak, 24 MiB none).
    constexpr uintptr_t kLargeSpan = uintptr_t{24} << 20;
    // Blocks up to 32 MiB (the C library's limit) come from the heap, not
    // from a mapping of their own that is faulted in afresh and unmapped on
    // every free; every thread shares the one heap (the worker threads'
    // own arenas would be faulted page by page again).
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_TOP_PAD, static_cast<int>(kStep));
    mallopt(M_TRIM_THRESHOLD, static_cast<int>(2 * kStep));
    // volatile: a block nobody uses would otherwise be dropped with its free.
    char* volatile probe = static_cast<char*>(std::malloc(kLargePage));
    char* const end = static_cast<char*>(sbrk(0));
    if (!probe || end == reinterpret_cast<char*>(-1)) {
        std::free(probe);
        return;
    }
    const uintptr_t at = reinterpret_cast<uintptr_t>(probe);
    // The library wrote the heap top's header just past the probe, before
    // the advice: that page is in already, and the kernel does not put a
    // large page over a range holding small ones. Start after it.
    const uintptr_t from = (at + kLargePage + 64 + kLargePage - 1) & ~(kLargePage - 1);
    const uintptr_t to = std::min(reinterpret_cast<uintptr_t>(end) & ~(kLargePage - 1), from + kLargeSpan);
    std::free(probe);
    if (to <= from || at < reinterpret_cast<uintptr_t>(end) - kStep - 2 * kLargePage) return;  // not the heap's top
    if (madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE) != 0) return;
    // The heap's top now starts where the probe did; the space up to the
    // first large page is taken once and for good, so the tables made next
    // start on large pages (costs address space only).
    static void* volatile plug;
    plug = std::malloc(from - at - 32);
    (void)plug;
}

}  // namespace brantlow::platform
