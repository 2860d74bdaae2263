// The end finders over arbitrary bytes: the first byte picks the finder, the
// second a limit below the input's length; the rest is the candidate file.
// A finder never claims bytes past its limit and never reads outside the
// input (ASan).
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "raw/finders.h"
#include "raw/jpeg_fragments.h"

using namespace brantlow::raw;

namespace {
// Hands out each read as a fresh copy and frees the one before, so that a
// finder that keeps a pointer past the next read is caught (ASan).
class ReplacingSource : public Source {
public:
    ReplacingSource(const uint8_t* data, size_t size, uint64_t limit)
        : Source(limit < size ? limit : size), data_(data) {}
    ~ReplacingSource() override { delete[] held_; }

protected:
    const uint8_t* fetch(uint64_t off, size_t want, size_t& len) override {
        (void)want;
        delete[] held_;
        len = static_cast<size_t>(std::min<uint64_t>(limit_ - off, 65536));
        held_ = new uint8_t[len];
        std::memcpy(held_, data_ + off, len);
        return held_;
    }

private:
    const uint8_t* data_;
    uint8_t* held_ = nullptr;
};

// The JPEG decoder behind the two-piece search: its verdicts stay within
// the input.
EndResult jpegPieces(Source& s) {
    uint64_t failAt = 0;
    if (!jpegDecodes(s, failAt) && failAt > s.limit() + 8) std::abort();
    JpegSplice sp;
    if (findJpegSecondFragment(s, 64 * 1024, sp, 1 << 20)) {
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
        jpegPieces,   findPlainTextEnd,
    };
    constexpr size_t n = sizeof finders / sizeof finders[0];
    if (size < 2) return 0;
    const EndFinderFn find = finders[data[0] % n];  // the first byte picks the finder (every one reached)
    const uint8_t* body = data + 2;
    const size_t len = size - 2;
    // Mostly the whole input; sometimes a cut-off view of it.
    const uint64_t limit = data[1] < 200 ? len : len * (data[1] - 200) / 56;
    ReplacingSource src(body, len, limit);
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
