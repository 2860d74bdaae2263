// The end finders over arbitrary bytes: the first byte picks the finder, the
// second a limit below the input's length; the rest is the candidate file.
// A finder never claims bytes past its limit and never reads outside the
// input (ASan).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "raw/finders.h"

using namespace brantlow::raw;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const EndFinderFn finders[] = {findJpegEnd, findPngEnd,      findGifEnd, findBmpEnd,    findTiffEnd,
                                          findRiffEnd, findMp3End,      findIsoMediaEnd, findZipEnd, findPdfEnd,
                                          findSqliteEnd, findElfEnd,    findPeEnd};
    constexpr size_t n = sizeof finders / sizeof finders[0];
    if (size < 2) return 0;
    const EndFinderFn find = finders[data[0] % n];
    const uint8_t* body = data + 2;
    const size_t len = size - 2;
    // Mostly the whole input; sometimes a cut-off view of it.
    const uint64_t limit = data[1] < 200 ? len : len * (data[1] - 200) / 56;
    MemorySource src(body, len, limit);
    const EndResult r = find(src);
    switch (r.status) {
    case FindStatus::Complete:
        if (r.size == 0 || r.size > src.limit()) std::abort();
        break;
    case FindStatus::Truncated:
        if (r.size > src.limit() || r.weakFrom > r.size) std::abort();
        break;
    default:
        break;
    }
    return 0;
}
