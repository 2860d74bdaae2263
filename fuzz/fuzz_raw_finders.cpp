// The end finders over arbitrary bytes: the first byte picks the finder, the
// second a limit below the input's length; the rest is the candidate file.
// A finder never claims bytes past its limit and never reads outside the
// input (ASan).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "raw/finders.h"
#include "raw/jpeg_fragments.h"

using namespace brantlow::raw;

namespace {
// The JPEG decoder behind the two-piece search: its verdicts stay within
// the input.
EndResult jpegPieces(Source& s) {
    uint64_t failAt = 0;
    if (!jpegDecodes(s, failAt) && failAt > s.limit() + 8) std::abort();
    JpegSplice sp;
    if (findJpegSecondFragment(s, 64 * 1024, sp)) {
        if (sp.firstLength % 512 || sp.gap % 512 || sp.size > s.limit() || sp.size < sp.firstLength) std::abort();
    }
    EndResult r;
    r.status = FindStatus::Invalid;
    return r;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const EndFinderFn finders[] = {
        findJpegEnd,  findPngEnd,    findGifEnd,    findBmpEnd,     findTiffEnd,   findRiffEnd,  findMp3End,
        findIsoMediaEnd, findZipEnd, findPdfEnd,    findSqliteEnd,  findElfEnd,    findPeEnd,
        find7zEnd, findRar4End, findRar5End, findGzipEnd, findBzip2End, findXzEnd,
        findZstdEnd, findLz4End, findTarEnd, findCpioEnd, findArEnd, findCabEnd,
        findWimEnd, findIsoEnd, findVhdEnd, findVmdkEnd, findQcowEnd, findVdiEnd,
        findEwfEnd, findEvtxEnd, findEvtEnd, findRegfEnd, findPrefetchEnd, findPcapEnd,
        findPcapngEnd, findOggEnd, findFlacEnd, findAdtsEnd, findMidiEnd, findIffEnd,
        findAuEnd, findDsfEnd, findDffEnd, findWavpackEnd, findIcnsEnd, findMkvEnd,
        findFlvEnd, findMpegPsEnd, findTsEnd, findAsfEnd, findRmEnd, findIvfEnd,
        findPsdEnd, findIcoEnd, findRafEnd, findJp2End, findPnmEnd, findOleEnd,
        findRtfEnd, findTextEnd, findFontEnd, findMachoEnd, findDexEnd, findWasmEnd,
        findWalEnd, findPstEnd, findKdbxEnd, findBdbEnd, findBlendEnd, findEmfEnd,
        jpegPieces,
    };
    constexpr size_t n = sizeof finders / sizeof finders[0];
    if (size < 2) return 0;
    const EndFinderFn find = finders[data[0] % n];  // the first byte picks the finder (every one reached)
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
