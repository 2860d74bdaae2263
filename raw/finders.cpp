#include "raw/finders.h"

#include <algorithm>
#include <cstring>

namespace brantlow::raw {

const char* statusText(FindStatus s) {
    switch (s) {
    case FindStatus::Complete:
        return "complete";
    case FindStatus::Truncated:
        return "truncated";
    case FindStatus::Invalid:
        return "invalid";
    case FindStatus::Unchecked:
        break;
    }
    return "unchecked";
}

const uint8_t* Source::view(uint64_t off, size_t n) {
    if (stopped_ || n == 0 || n > kMaxView || off >= limit_ || n > limit_ - off) return nullptr;
    size_t len = 0;
    const uint8_t* p = fetch(off, n, len);
    return p && len >= n ? p : nullptr;
}

const uint8_t* Source::span(uint64_t off, size_t& len) {
    len = 0;
    if (stopped_ || off >= limit_) return nullptr;
    const uint8_t* p = fetch(off, 1, len);
    if (!p || len == 0) {
        len = 0;
        return nullptr;
    }
    len = static_cast<size_t>(std::min<uint64_t>(len, limit_ - off));
    return p;
}

bool Source::byteAt(uint64_t off, uint8_t& b) {
    const uint8_t* p = view(off, 1);
    if (!p) return false;
    b = *p;
    return true;
}

uint64_t Source::findByte(uint64_t from, uint64_t to, uint8_t b) {
    to = std::min(to, limit_);
    while (from < to) {
        size_t len = 0;
        const uint8_t* p = span(from, len);
        if (!p) return kNotFound;
        size_t n = static_cast<size_t>(std::min<uint64_t>(len, to - from));
        if (const void* hit = std::memchr(p, b, n)) return from + static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - p);
        from += n;
    }
    return kNotFound;
}

uint64_t Source::find(uint64_t from, uint64_t to, const void* pattern, size_t n) {
    if (n == 0 || n > 64) return kNotFound;
    const uint8_t* pat = static_cast<const uint8_t*>(pattern);
    to = std::min(to, limit_);
    while (from < to) {
        uint64_t at = findByte(from, to, pat[0]);
        if (at == kNotFound) return kNotFound;
        const uint8_t* p = view(at, n);
        if (!p) return kNotFound;  // the pattern would pass the limit
        if (std::memcmp(p, pat, n) == 0) return at;
        from = at + 1;
    }
    return kNotFound;
}

namespace {
const EndFinder kJpeg{"JPEG", findJpegEnd};
const EndFinder kPng{"PNG", findPngEnd};
const EndFinder kGif{"GIF", findGifEnd};
const EndFinder kBmp{"BMP", findBmpEnd};
const EndFinder kTiff{"TIFF and camera raw", findTiffEnd};
const EndFinder kRiff{"RIFF (WAV, AVI, WebP)", findRiffEnd};
const EndFinder kMp3{"MP3", findMp3End};
const EndFinder kIso{"ISO media (MP4, MOV, 3GP, M4A, HEIC)", findIsoMediaEnd};
const EndFinder kZip{"ZIP family", findZipEnd};
const EndFinder kPdf{"PDF", findPdfEnd};
const EndFinder kSqlite{"SQLite", findSqliteEnd};
const EndFinder kElf{"ELF", findElfEnd};
const EndFinder kPe{"PE (EXE, DLL)", findPeEnd};

// One extension, two layouts: the signature says which.
EndResult findRarEnd(Source& s) {
    const uint8_t* h = s.view(0, 8);
    if (h && std::memcmp(h, "Rar!\x1A\x07\x01\x00", 8) == 0) return findRar5End(s);
    return findRar4End(s);
}
EndResult findCaptureEnd(Source& s) {
    const uint8_t* h = s.view(0, 4);
    if (h && std::memcmp(h, "\x0A\x0D\x0D\x0A", 4) == 0) return findPcapngEnd(s);
    return findPcapEnd(s);
}

const EndFinder k7z{"7z", find7zEnd};
const EndFinder kRar{"RAR 4 and 5", findRarEnd};
const EndFinder kGzip{"gzip (inflated to its end)", findGzipEnd};
const EndFinder kBzip2{"bzip2 (end-of-stream marker)", findBzip2End};
const EndFinder kXz{"xz (stream footer and index)", findXzEnd};
const EndFinder kZstd{"Zstandard frames", findZstdEnd};
const EndFinder kLz4{"LZ4 frames", findLz4End};
const EndFinder kTar{"tar", findTarEnd, 257};
const EndFinder kCpio{"cpio", findCpioEnd};
const EndFinder kAr{"ar (DEB)", findArEnd};
const EndFinder kCab{"CAB", findCabEnd};
const EndFinder kWim{"WIM", findWimEnd};
const EndFinder kIso9660{"ISO 9660", findIsoEnd, 32768};
const EndFinder kVhd{"VHD", findVhdEnd};
const EndFinder kVmdk{"VMDK sparse extent", findVmdkEnd};
const EndFinder kQcow{"QCOW2", findQcowEnd};
const EndFinder kVdi{"VDI", findVdiEnd};
const EndFinder kEwf{"EWF (E01)", findEwfEnd};
const EndFinder kEvtx{"EVTX", findEvtxEnd};
const EndFinder kEvt{"EVT", findEvtEnd};
const EndFinder kRegf{"registry hive", findRegfEnd};
const EndFinder kPrefetch{"prefetch", findPrefetchEnd};
const EndFinder kCapture{"pcap, pcapng", findCaptureEnd};
const EndFinder kOgg{"OGG (Vorbis, Opus, Theora, Speex, FLAC)", findOggEnd};
const EndFinder kFlac{"FLAC", findFlacEnd};
const EndFinder kAdts{"AAC (ADTS)", findAdtsEnd};
const EndFinder kMidi{"MIDI", findMidiEnd};
const EndFinder kIff{"IFF (AIFF, 8SVX, ILBM, DjVu)", findIffEnd};
const EndFinder kAu{"AU", findAuEnd};
const EndFinder kDsf{"DSF", findDsfEnd};
const EndFinder kDff{"DSDIFF", findDffEnd};
const EndFinder kWavpack{"WavPack", findWavpackEnd};
const EndFinder kIcns{"ICNS", findIcnsEnd};
const EndFinder kMkv{"Matroska, WebM", findMkvEnd};
const EndFinder kFlv{"FLV", findFlvEnd};
const EndFinder kMpegPs{"MPEG program stream", findMpegPsEnd};
const EndFinder kTs{"MPEG transport stream", findTsEnd};
const EndFinder kAsf{"ASF (WMV, WMA)", findAsfEnd};
const EndFinder kRm{"RealMedia", findRmEnd};
const EndFinder kIvf{"IVF", findIvfEnd};
const EndFinder kPsd{"PSD, PSB", findPsdEnd};
const EndFinder kIco{"ICO, CUR", findIcoEnd};
const EndFinder kRaf{"RAF", findRafEnd};
const EndFinder kJp2{"JPEG 2000", findJp2End};
const EndFinder kPnm{"netpbm", findPnmEnd};
const EndFinder kOle{"OLE2 compound file (DOC, XLS, PPT, MSG, MSI …)", findOleEnd};
const EndFinder kRtf{"RTF", findRtfEnd};
const EndFinder kText{"text (to the first byte text does not hold)", findTextEnd};
const EndFinder kPlainText{"plain text by content (UTF-8 checked; csv, json, html, xml told apart)", findPlainTextEnd};
const EndFinder kFont{"fonts (TrueType, OpenType, TTC, WOFF, WOFF2)", findFontEnd};
const EndFinder kMacho{"Mach-O", findMachoEnd};
const EndFinder kDex{"DEX", findDexEnd};
const EndFinder kWasm{"WebAssembly", findWasmEnd};
const EndFinder kWal{"SQLite WAL", findWalEnd};
const EndFinder kPst{"PST, OST", findPstEnd};
const EndFinder kKdbx{"KeePass KDBX 4", findKdbxEnd};
const EndFinder kBdb{"Berkeley DB", findBdbEnd, 12};
const EndFinder kBlend{"Blender", findBlendEnd};
const EndFinder kEmf{"EMF", findEmfEnd, 40};
}  // namespace

const std::vector<std::pair<const char*, const EndFinder*>>& endFinderTable() {
    static const std::vector<std::pair<const char*, const EndFinder*>> table = {
        {"jpg", &kJpeg},  {"jpeg", &kJpeg}, {"jpe", &kJpeg},  {"jfif", &kJpeg}, {"png", &kPng},
        {"gif", &kGif},   {"bmp", &kBmp},   {"dib", &kBmp},   {"tif", &kTiff},  {"tiff", &kTiff},
        {"cr2", &kTiff},  {"nef", &kTiff},  {"dng", &kTiff},  {"arw", &kTiff},  {"pef", &kTiff},
        {"orf", &kTiff},  {"wav", &kRiff},  {"avi", &kRiff},  {"webp", &kRiff}, {"riff", &kRiff},
        {"mp3", &kMp3},   {"mp4", &kIso},   {"m4v", &kIso},   {"mov", &kIso},   {"3gp", &kIso},
        {"3g2", &kIso},   {"m4a", &kIso},   {"m4b", &kIso},   {"heic", &kIso},  {"heif", &kIso},
        {"avif", &kIso},  {"cr3", &kIso},   {"zip", &kZip},   {"docx", &kZip},  {"xlsx", &kZip},
        {"pptx", &kZip},  {"odt", &kZip},   {"ods", &kZip},   {"odp", &kZip},   {"epub", &kZip},
        {"jar", &kZip},   {"apk", &kZip},   {"pdf", &kPdf},   {"db", &kSqlite}, {"sqli", &kSqlite},
        {"elf", &kElf},   {"so", &kElf},    {"exe", &kPe},    {"dll", &kPe},
        {"orf", &kTiff},  {"rw2", &kTiff},  {"rwl", &kTiff},  {"jxr", &kTiff},  {"wdp", &kTiff},
        {"mng", &kPng},   {"jng", &kPng},   {"psd", &kPsd},   {"psb", &kPsd},   {"ico", &kIco},
        {"cur", &kIco},   {"raf", &kRaf},   {"jp2", &kJp2},   {"jpx", &kJp2},   {"j2k", &kJp2},
        {"mj2", &kJp2},   {"pbm", &kPnm},   {"pgm", &kPnm},   {"ppm", &kPnm},   {"icns", &kIcns},
        {"emf", &kEmf},   {"7z", &k7z},     {"rar", &kRar},   {"gz", &kGzip},   {"tgz", &kGzip},
        {"bz2", &kBzip2}, {"xz", &kXz},     {"zst", &kZstd},  {"lz4", &kLz4},   {"tar", &kTar},
        {"cpio", &kCpio}, {"deb", &kAr},    {"ar", &kAr},     {"cab", &kCab},   {"wim", &kWim},
        {"iso", &kIso9660},   {"vhd", &kVhd},   {"vmdk", &kVmdk}, {"qcow", &kQcow}, {"vdi", &kVdi},
        {"e01", &kEwf},   {"evtx", &kEvtx}, {"evt", &kEvt},   {"reg", &kRegf},  {"pf", &kPrefetch},
        {"pcap", &kCapture}, {"ogg", &kOgg}, {"opus", &kOgg}, {"oga", &kOgg},   {"ogv", &kOgg},
        {"flac", &kFlac}, {"aac", &kAdts},  {"mid", &kMidi},  {"midi", &kMidi}, {"aif", &kIff},
        {"aiff", &kIff},  {"aifc", &kIff},  {"8svx", &kIff},  {"iff", &kIff},   {"djvu", &kIff},
        {"au", &kAu},     {"snd", &kAu},    {"dsf", &kDsf},   {"dff", &kDff},   {"wv", &kWavpack},
        {"mkv", &kMkv},   {"webm", &kMkv},  {"mka", &kMkv},   {"flv", &kFlv},   {"mpg", &kMpegPs},
        {"mpeg", &kMpegPs}, {"vob", &kMpegPs}, {"ts", &kTs},  {"m2ts", &kTs},   {"mts", &kTs},
        {"wmv", &kAsf},   {"wma", &kAsf},   {"asf", &kAsf},   {"rm", &kRm},     {"ivf", &kIvf},
        {"doc", &kOle},   {"xls", &kOle},   {"ppt", &kOle},   {"msg", &kOle},   {"msi", &kOle},
        {"vsd", &kOle},   {"pub", &kOle},   {"ole", &kOle},   {"rtf", &kRtf},   {"eml", &kText},
        {"mbox", &kText}, {"vcf", &kText},  {"ics", &kText},  {"sh", &kText},   {"py", &kText},
        {"php", &kText},  {"html", &kText}, {"htm", &kText},  {"xml", &kText},  {"svg", &kText},
        {"pem", &kText},  {"url", &kText},  {"tex", &kText},  {"xpm", &kText},  {"ttf", &kFont},
        {"otf", &kFont},  {"ttc", &kFont},  {"woff", &kFont}, {"mach", &kMacho}, {"dex", &kDex},
        {"wasm", &kWasm}, {"wal", &kWal},   {"pst", &kPst},   {"ost", &kPst},   {"kdbx", &kKdbx},
        {"bdb", &kBdb},   {"blen", &kBlend}, {"gpx", &kText},  {"kml", &kText},  {"ani", &kRiff},
        {"cdr", &kRiff},  {"rmi", &kRiff},  {"sf2", &kRiff},  {"qcp", &kRiff},  {"amv", &kRiff},
        {"txt", &kPlainText},
    };
    return table;
}

const EndFinder* endFinderFor(const std::string& extension) {
    std::string e = extension;
    for (char& c : e)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (const auto& [ext, f] : endFinderTable())
        if (e == ext) return f;
    return nullptr;
}

}  // namespace brantlow::raw
