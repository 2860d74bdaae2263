// End finders: for the formats whose structure says where a file ends, a
// walk from the file's first byte to its real end (JPEG marker segments,
// PNG chunks, ISO media boxes, ZIP records …), with a verdict on what was
// found. The carving engine calls the finder of a type (chosen by the type's
// extension) when the type's start signature matches; types without one keep
// the start / end signature and size rules.
//
// A finder reads the candidate file through a Source, which hands out the
// bytes at offsets counted from the file's first byte and nothing at or past
// its limit (the type's approximate size, or the end of the volume). Every
// length and offset a finder reads is checked against that limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brantlow::raw {

// What a find's bytes were checked against.
enum class FindStatus : uint8_t {
    Unchecked = 0,  // no finder: delimited by the signature and size rules
    Complete,       // the structure was walked to its end
    Truncated,      // the structure stops early: written as far as it is valid
    Invalid,        // the start matched, the format's check did not
};
// "unchecked", "complete", "truncated", "invalid".
const char* statusText(FindStatus s);

struct EndResult {
    FindStatus status = FindStatus::Invalid;
    uint64_t size = 0;  // Complete: the file's length; Truncated: how far it is valid
    // Truncated: from this offset on the bytes were not checked by structure
    // (compressed or media data): the engine may cut there at the next start
    // of another file or at the zeros that follow a cut-off file.
    uint64_t weakFrom = UINT64_MAX;
    // The detected type's extension ("docx", "mov", "nef" …); nullptr: the
    // type's own. Always a string literal.
    const char* type = nullptr;
    // The structure held, but part of the data looked unlike what the format
    // writes there (JPEG: kilobytes of scan data without an FF byte, as text
    // or zeros written between the pieces of a fragmented photo): the engine
    // checks the data further before taking the find as complete.
    bool doubtful = false;
    // What the file holds that names it (EXIF date and camera, ID3 artist
    // and title), or empty.
    std::string label;
};

// The bytes of one candidate file, by offset from its first byte.
class Source {
public:
    static constexpr size_t kMaxView = 4096;
    static constexpr uint64_t kNotFound = UINT64_MAX;

    explicit Source(uint64_t limit) : limit_(limit) {}
    virtual ~Source() = default;
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    // Bytes at offsets [0, limit()) may be read.
    uint64_t limit() const { return limit_; }
    // True once reading was given up (a stop request): the finder's result
    // is then not used.
    bool stopped() const { return stopped_; }

    // The bytes view, span and byteAt hand out stay valid until the next
    // call on the source (a finder copies what it needs longer).
    // n (at most kMaxView) contiguous bytes at off; nullptr when they pass
    // the limit or reading stopped.
    const uint8_t* view(uint64_t off, size_t n);
    // The contiguous bytes held from off on: len ≥ 1 when off < limit();
    // nullptr at or past the limit.
    const uint8_t* span(uint64_t off, size_t& len);
    bool byteAt(uint64_t off, uint8_t& b);
    // First offset in [from, min(to, limit)) holding b / the pattern (at most
    // 64 bytes); kNotFound when there is none.
    uint64_t findByte(uint64_t from, uint64_t to, uint8_t b);
    uint64_t find(uint64_t from, uint64_t to, const void* pattern, size_t n);

protected:
    // At least min(want, limit - off) contiguous bytes at off (off < limit,
    // want ≤ kMaxView), len set to the count held from off on (it may pass
    // the limit: the callers clamp). nullptr when nothing can be read.
    virtual const uint8_t* fetch(uint64_t off, size_t want, size_t& len) = 0;

    uint64_t limit_;
    bool stopped_ = false;
};

// A Source over bytes in memory (tests, fuzzing, tools).
class MemorySource : public Source {
public:
    MemorySource(const uint8_t* data, size_t size, uint64_t limit = UINT64_MAX)
        : Source(limit < size ? limit : size), data_(data) {}

protected:
    const uint8_t* fetch(uint64_t off, size_t want, size_t& len) override {
        (void)want;
        len = static_cast<size_t>(limit_ - off);
        return data_ + off;
    }

private:
    const uint8_t* data_;
};

// Plain text: how many of the n bytes at p are text (printable ASCII, tab,
// line ends, form feed, well-formed UTF-8 sequences; a sequence that n cuts
// off is not counted).
size_t textPrefix(const uint8_t* p, size_t n);
// A sector opens with text when its first kTextProbe bytes are text (p holds
// at least kTextProbe + 3 bytes). Shorter text is not carved.
constexpr size_t kTextProbe = 64;
bool opensWithText(const uint8_t* p);

using EndFinderFn = EndResult (*)(Source&);
struct EndFinder {
    const char* name;  // "JPEG", "ZIP family" …
    EndFinderFn find;
    // Where the type's start signature sits in the file: 0 at its start; a
    // multiple of 512 (ISO 9660's volume descriptor at 32768): the file
    // starts that far before the sector that matched; below 497 (tar's
    // "ustar" at 257): tested that far into every sector.
    uint32_t signatureAt = 0;
};

// The finder for a type's extension (ASCII case ignored); nullptr when the
// format has none.
const EndFinder* endFinderFor(const std::string& extension);
// Every extension that has a finder, with its finder (documentation, the
// signature editor).
const std::vector<std::pair<const char*, const EndFinder*>>& endFinderTable();

// The finders.
EndResult findJpegEnd(Source& s);
EndResult findPngEnd(Source& s);
EndResult findGifEnd(Source& s);
EndResult findBmpEnd(Source& s);
EndResult findTiffEnd(Source& s);
EndResult findRiffEnd(Source& s);
EndResult findMp3End(Source& s);
EndResult findIsoMediaEnd(Source& s);
EndResult findZipEnd(Source& s);
EndResult findPdfEnd(Source& s);
EndResult findSqliteEnd(Source& s);
EndResult findElfEnd(Source& s);
EndResult findPeEnd(Source& s);
EndResult find7zEnd(Source& s);
EndResult findRar4End(Source& s);
EndResult findRar5End(Source& s);
EndResult findGzipEnd(Source& s);
EndResult findBzip2End(Source& s);
EndResult findXzEnd(Source& s);
EndResult findZstdEnd(Source& s);
EndResult findLz4End(Source& s);
EndResult findTarEnd(Source& s);
EndResult findCpioEnd(Source& s);
EndResult findArEnd(Source& s);
EndResult findCabEnd(Source& s);
EndResult findWimEnd(Source& s);
EndResult findIsoEnd(Source& s);
EndResult findVhdEnd(Source& s);
EndResult findVmdkEnd(Source& s);
EndResult findQcowEnd(Source& s);
EndResult findVdiEnd(Source& s);
EndResult findEwfEnd(Source& s);
EndResult findEvtxEnd(Source& s);
EndResult findEvtEnd(Source& s);
EndResult findRegfEnd(Source& s);
EndResult findPrefetchEnd(Source& s);
EndResult findPcapEnd(Source& s);
EndResult findPcapngEnd(Source& s);
EndResult findOggEnd(Source& s);
EndResult findFlacEnd(Source& s);
EndResult findAdtsEnd(Source& s);
EndResult findMidiEnd(Source& s);
EndResult findIffEnd(Source& s);
EndResult findAuEnd(Source& s);
EndResult findDsfEnd(Source& s);
EndResult findDffEnd(Source& s);
EndResult findWavpackEnd(Source& s);
EndResult findIcnsEnd(Source& s);
EndResult findMkvEnd(Source& s);
EndResult findFlvEnd(Source& s);
EndResult findMpegPsEnd(Source& s);
EndResult findTsEnd(Source& s);
EndResult findAsfEnd(Source& s);
EndResult findRmEnd(Source& s);
EndResult findIvfEnd(Source& s);
EndResult findPsdEnd(Source& s);
EndResult findIcoEnd(Source& s);
EndResult findRafEnd(Source& s);
EndResult findJp2End(Source& s);
EndResult findPnmEnd(Source& s);
EndResult findOleEnd(Source& s);
EndResult findRtfEnd(Source& s);
EndResult findTextEnd(Source& s);
EndResult findPlainTextEnd(Source& s);
EndResult findFontEnd(Source& s);
EndResult findMachoEnd(Source& s);
EndResult findDexEnd(Source& s);
EndResult findWasmEnd(Source& s);
EndResult findWalEnd(Source& s);
EndResult findPstEnd(Source& s);
EndResult findKdbxEnd(Source& s);
EndResult findBdbEnd(Source& s);
EndResult findBlendEnd(Source& s);
EndResult findEmfEnd(Source& s);

}  // namespace brantlow::raw
