// End finders for the other families people lose: sound (OGG, FLAC, AAC,
// MIDI, IFF/AIFF, AU, DSF, WavPack), video containers (Matroska/WebM, FLV,
// MPEG-PS, MPEG-TS, ASF, RealMedia, IVF), pictures (PSD, ICO, RAF, JPEG
// 2000, netpbm), documents (OLE2 compound files, RTF, plain text and mail),
// fonts, programs (Mach-O, DEX, WebAssembly), databases (SQLite WAL, PST,
// KeePass, Berkeley DB) and a few more (Blender, EMF).
#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "raw/finder_util.h"

namespace brantlow::raw {

using namespace finder;

namespace {

bool fourCc(const uint8_t* p) { return isPrintable(p[0]) && isPrintable(p[1]) && isPrintable(p[2]) && isPrintable(p[3]); }

}  // namespace

// ---------------------------------------------------------------------------
// OGG (RFC 3533): pages by their segment tables, while the streams that
// began are not all ended; the first page's codec names the type.

EndResult findOggEnd(Source& s) {
    uint64_t pos = 0;
    const char* type = nullptr;
    std::set<uint32_t> open;
    bool ended = false;
    for (int n = 0; n < (1 << 24); ++n) {
        const uint8_t* h = s.view(pos, 27);
        if (!h || !same(h, "OggS", 4) || h[4] != 0) break;
        const uint8_t flags = h[5], segs = h[26];
        const uint32_t serial = le32(h, 27, 14);
        const uint8_t* lace = s.view(pos + 27, segs);
        if (segs && !lace) break;
        uint64_t body = 0;
        for (unsigned i = 0; i < segs; ++i) body += lace[i];
        if (flags & 2) {
            if (ended && open.empty()) break;  // a new stream after the file ended
            open.insert(serial);
            if (n == 0)
                if (const uint8_t* p = s.view(pos + 27 + segs, 8)) {
                    if (same(p, "OpusHead", 8)) type = "opus";
                    else if (same(p, "\x80theora", 7)) type = "ogv";
                    else if (same(p, "Speex   ", 8)) type = "spx";
                    else if (same(p, "\x7F" "FLAC", 5)) type = "oga";
                    else type = "ogg";
                }
        } else if (n == 0 || !open.count(serial)) {
            if (n == 0) return invalid();
            break;
        }
        pos += 27 + segs + body;
        if (pos > s.limit()) return truncated(s.limit(), 27, type);
        if (flags & 4) {
            open.erase(serial);
            ended = true;
            if (open.empty()) {
                const uint8_t* next = s.view(pos, 6);
                if (!next || !same(next, "OggS", 4) || !(next[5] & 2)) return complete(pos, type);
            }
        }
    }
    if (pos == 0) return invalid();
    return open.empty() ? complete(pos, type) : truncated(pos, 27, type);
}

// ---------------------------------------------------------------------------
// FLAC: metadata blocks, then frames; each frame header is checked by its
// CRC-8, and the last frame (by the sample count of STREAMINFO, or where no
// further frame follows) ends where its CRC-16 matches.

namespace {

uint8_t crc8(const uint8_t* p, size_t n) {
    uint8_t c = 0;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = static_cast<uint8_t>((c & 0x80) ? (c << 1) ^ 0x07 : c << 1);
    }
    return c;
}

const uint16_t* crc16Table() {
    static uint16_t t[256];
    static bool made = [] {
        for (unsigned i = 0; i < 256; ++i) {
            uint16_t c = static_cast<uint16_t>(i << 8);
            for (int k = 0; k < 8; ++k) c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x8005 : c << 1);
            t[i] = c;
        }
        return true;
    }();
    (void)made;
    return t;
}

// A frame header at p (n bytes held): its length (header with CRC-8), the
// block size in samples and the coded number; 0 when it is not one.
size_t flacFrame(const uint8_t* p, size_t n, uint32_t minBlock, uint64_t& number, uint32_t& block) {
    if (n < 6 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8) return 0;
    const unsigned bs = p[2] >> 4, sr = p[2] & 15, ch = p[3] >> 4, depth = (p[3] >> 1) & 7;
    if (bs == 0 || sr == 15 || ch > 10 || depth == 3 || depth == 7 || (p[3] & 1)) return 0;
    size_t i = 4;
    // UTF-8-like coded frame or sample number.
    unsigned extra = 0;
    uint8_t b = p[i++];
    if (b < 0x80) number = b;
    else if ((b & 0xE0) == 0xC0) number = b & 0x1F, extra = 1;
    else if ((b & 0xF0) == 0xE0) number = b & 0x0F, extra = 2;
    else if ((b & 0xF8) == 0xF0) number = b & 0x07, extra = 3;
    else if ((b & 0xFC) == 0xF8) number = b & 0x03, extra = 4;
    else if ((b & 0xFE) == 0xFC) number = b & 0x01, extra = 5;
    else if (b == 0xFE) number = 0, extra = 6;
    else return 0;
    if (i + extra + 3 > n) return 0;
    for (unsigned k = 0; k < extra; ++k) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        number = number << 6 | (p[i++] & 0x3F);
    }
    static const uint32_t sizes[16] = {0, 192, 576, 1152, 2304, 4608, 0, 0, 256, 512, 1024, 2048, 4096, 8192, 16384, 32768};
    if (bs == 6) block = p[i++] + 1u;
    else if (bs == 7) block = (p[i] << 8 | p[i + 1]) + 1u, i += 2;
    else block = sizes[bs];
    if (sr == 12) ++i;
    else if (sr == 13 || sr == 14) i += 2;
    if (i + 1 > n) return 0;
    if (crc8(p, i) != p[i]) return 0;
    (void)minBlock;
    return i + 1;
}

}  // namespace

EndResult findFlacEnd(Source& s) {
    const uint8_t* h = s.view(0, 42);
    if (!h || !same(h, "fLaC", 4) || (h[4] & 0x7F) != 0 || be32(h, 42, 4) % (1u << 24) != 34) return invalid();
    const uint64_t total = (uint64_t{h[8 + 13] & 0x0Fu} << 32) | be32(h, 42, 8 + 14);
    const uint32_t maxFrame = be32(h, 42, 8 + 7) >> 8;
    const bool fixed = be16(h, 42, 8) == be16(h, 42, 10);
    const uint32_t fixedBlock = be16(h, 42, 8);
    uint64_t pos = 4;
    for (int n = 0; n < 1024; ++n) {
        const uint8_t* b = s.view(pos, 4);
        if (!b) return truncated(s.limit(), pos);
        const bool last = b[0] & 0x80;
        if ((b[0] & 0x7F) == 127) return invalid();
        pos += 4 + (be32(b, 4, 0) & 0xFFFFFF);
        if (last) break;
    }
    // Frames: from one header to the next with a valid CRC-8.
    const uint16_t* t = crc16Table();
    uint64_t frame = pos, samples = 0;
    int frames = 0;
    while (frames < (1 << 24)) {
        const uint8_t* fh = s.view(frame, 16);
        uint64_t number = 0;
        uint32_t block = 0;
        const size_t hl = fh ? flacFrame(fh, 16, 16, number, block) : 0;
        if (!hl) return frames ? truncated(frame, frame) : invalid();
        ++frames;
        const uint64_t first = fixed ? number * fixedBlock : number;
        samples = first + block;
        // The CRC-16 of the frame runs over every byte; the frame ends where
        // the running value equals the two bytes that follow, and the next
        // frame header (or the end of the stream) comes after them.
        uint16_t crc = 0;
        for (size_t i = 0; i < hl; ++i) crc = static_cast<uint16_t>((crc << 8) ^ t[(crc >> 8) ^ fh[i]]);
        uint64_t q = frame + hl;
        const uint64_t reach = std::min(s.limit(), sum(frame, maxFrame ? uint64_t{maxFrame} + 2 : (1u << 24)));
        bool found = false;
        uint16_t prev2 = 0;
        uint64_t seen = 0;
        while (q < reach && !found) {
            size_t n = 0;
            const uint8_t* p = s.span(q, n);
            if (!p) break;
            n = static_cast<size_t>(std::min<uint64_t>(n, reach - q));
            bool reread = false;
            for (size_t i = 0; i < n && !reread; ++i) {
                const uint8_t byte = p[i];
                // Bytes so far end with the stored CRC of what came before them?
                if (seen >= 2 && prev2 == crc) {
                    const uint64_t end = q + i;
                    const bool lastFrame = total && samples >= total;
                    const uint8_t* next = s.view(end, 16);
                    uint64_t nn;
                    uint32_t nb;
                    if (lastFrame || (next && flacFrame(next, 16, 16, nn, nb))) {
                        found = true;
                        frame = end;
                        break;
                    }
                    reread = true;  // that view replaced the bytes p points at
                }
                // Slide: the value before the last two bytes gets the older one.
                if (seen >= 2) crc = static_cast<uint16_t>((crc << 8) ^ t[(crc >> 8) ^ (prev2 >> 8)]);
                prev2 = static_cast<uint16_t>(prev2 << 8 | byte);
                ++seen;
                if (reread) q += i + 1;
            }
            if (!found && !reread) q += n;
        }
        if (!found) return truncated(std::min(q, s.limit()), frame);
        if (total && samples >= total) return complete(frame);
    }
    return truncated(frame, frame);
}

// ---------------------------------------------------------------------------
// AAC in ADTS frames, and MPEG audio without a tag: frames by their lengths
// while they keep the first one's layout.

EndResult findAdtsEnd(Source& s) {
    uint64_t pos = 0;
    unsigned rate = 0, channels = 0;
    int frames = 0;
    for (; frames < (1 << 24); ++frames) {
        const uint8_t* h = s.view(pos, 7);
        if (!h || h[0] != 0xFF || (h[1] & 0xF6) != 0xF0) break;
        const unsigned r = (h[2] >> 2) & 15, c = ((h[2] & 1) << 2) | (h[3] >> 6);
        const uint32_t len = ((h[3] & 3u) << 11) | (h[4] << 3) | (h[5] >> 5);
        if (r > 12 || len < 7) break;
        if (frames == 0) rate = r, channels = c;
        else if (r != rate || c != channels) break;
        if (pos + len > s.limit()) return frames >= 8 ? truncated(s.limit(), pos, "aac") : invalid();
        pos += len;
    }
    if (frames < 8) return invalid();
    if (const uint8_t* t = s.view(pos, 3); t && same(t, "TAG", 3) && pos + 128 <= s.limit()) pos += 128;
    return complete(pos, "aac");
}

// ---------------------------------------------------------------------------
// MIDI: the header chunk and as many chunks as it says tracks.

EndResult findMidiEnd(Source& s) {
    const uint8_t* h = s.view(0, 14);
    if (!h || !same(h, "MThd\0\0\0\x06", 8) || be16(h, 14, 8) > 2) return invalid();
    const uint16_t tracks = be16(h, 14, 10);
    uint64_t pos = 14;
    for (uint32_t i = 0; i < tracks; ++i) {
        const uint8_t* c = s.view(pos, 8);
        if (!c) return truncated(s.limit(), 14);
        if (!fourCc(c)) return i ? truncated(pos, 14) : invalid();
        pos = sum(pos + 8, be32(c, 8, 4));
    }
    return upTo(s, pos, nullptr, 14);
}

// ---------------------------------------------------------------------------
// IFF (AIFF, AIFC, 8SVX, ILBM, DjVu's "AT&T" FORM): the FORM chunk's
// big-endian size, checked by walking the chunks in it.

EndResult findIffEnd(Source& s) {
    const uint8_t* h = s.view(0, 16);
    if (!h) return invalid();
    const uint64_t at = same(h, "AT&T", 4) ? 4 : 0;
    const uint8_t* f = s.view(at, 12);
    if (!f || !same(f, "FORM", 4) || !fourCc(f + 8)) return invalid();
    const char* type = nullptr;
    if (same(f + 8, "AIFF", 4)) type = "aif";
    else if (same(f + 8, "AIFC", 4)) type = "aifc";
    else if (same(f + 8, "8SVX", 4)) type = "8svx";
    else if (same(f + 8, "ILBM", 4) || same(f + 8, "PBM ", 4)) type = "iff";
    else if (at) type = "djvu";
    const uint64_t end = at + 8 + uint64_t{be32(f, 12, 4)};
    uint64_t pos = at + 12;
    for (int n = 0; pos + 8 <= end && n < (1 << 20); ++n) {
        const uint8_t* c = s.view(pos, 8);
        if (!c) return truncated(s.limit(), pos, type);
        if (!fourCc(c)) return n ? truncated(pos, pos, type) : invalid();
        const uint64_t size = be32(c, 8, 4);
        pos = sum(pos + 8, size + (size & 1));
    }
    if (pos < end || pos > end + 1) return invalid();
    // A pad byte after an odd-sized FORM belongs to it when it is zero.
    uint64_t total = end;
    uint8_t pad;
    if ((end & 1) && s.byteAt(end, pad) && pad == 0) ++total;
    return upTo(s, total, type, at + 12);
}

// ---------------------------------------------------------------------------
// Sound files whose header holds their size: Sun/NeXT AU, DSF, DSDIFF,
// WavPack blocks, Apple icon files.

EndResult findAuEnd(Source& s) {
    const uint8_t* h = s.view(0, 24);
    if (!h || !same(h, ".snd", 4)) return invalid();
    const uint32_t off = be32(h, 24, 4), size = be32(h, 24, 8), enc = be32(h, 24, 12), ch = be32(h, 24, 20);
    if (off < 24 || off > 65536 || enc == 0 || enc > 27 || ch == 0 || ch > 64) return invalid();
    if (size == 0xFFFFFFFFu) return unchecked();
    return upTo(s, uint64_t{off} + size, nullptr, off);
}

EndResult findDsfEnd(Source& s) {
    const uint8_t* h = s.view(0, 28);
    if (!h || !same(h, "DSD \x1C\0\0\0", 8)) return invalid();
    return upTo(s, le64(h, 28, 12), nullptr, 28);
}

EndResult findDffEnd(Source& s) {
    const uint8_t* h = s.view(0, 16);
    if (!h || !same(h, "FRM8", 4) || !same(h + 12, "DSD ", 4)) return invalid();
    return upTo(s, sum(12, be64(h, 16, 4)), nullptr, 16);
}

EndResult findWavpackEnd(Source& s) {
    uint64_t pos = 0;
    int n = 0;
    for (; n < (1 << 24); ++n) {
        const uint8_t* b = s.view(pos, 32);
        if (!b || !same(b, "wvpk", 4)) break;
        const uint32_t size = le32(b, 32, 4);
        if (size < 24 || size > (16u << 20)) break;
        pos += 8 + size;
    }
    return n ? upTo(s, pos) : invalid();
}

EndResult findIcnsEnd(Source& s) {
    const uint8_t* h = s.view(0, 16);
    if (!h || !same(h, "icns", 4) || !fourCc(h + 8)) return invalid();
    return upTo(s, be32(h, 16, 4), nullptr, 8);
}

// ---------------------------------------------------------------------------
// Matroska / WebM (EBML): the EBML header names the document type; the
// Segment's size ends the file, or, when it is unknown, its top-level
// elements walked by size.

namespace {
// An EBML variable-length number at p; width 0 when malformed.
uint64_t ebml(const uint8_t* p, size_t n, size_t& width, bool keepMarker) {
    width = 0;
    if (!n || !p[0]) return 0;
    const unsigned w = static_cast<unsigned>(__builtin_clz(p[0]) - 24 + 1);
    if (w > 8 || w > n) return 0;
    uint64_t v = keepMarker ? p[0] : (p[0] & (0xFFu >> w));
    bool ones = (v == (0xFFu >> w));
    for (unsigned i = 1; i < w; ++i) {
        v = v << 8 | p[i];
        ones = ones && p[i] == 0xFF;
    }
    width = w;
    return (!keepMarker && ones) ? UINT64_MAX : v;
}
}  // namespace

EndResult findMkvEnd(Source& s) {
    const uint8_t* h = s.view(0, 64);
    if (!h || !same(h, "\x1A\x45\xDF\xA3", 4)) return invalid();
    size_t w = 0;
    const uint64_t hsize = ebml(h + 4, 8, w, false);
    if (!w || hsize > 4096 || hsize == UINT64_MAX) return invalid();
    const uint64_t hend = 4 + w + hsize;
    const uint8_t* hd = s.view(4 + w, static_cast<size_t>(hsize));
    const char* type = "mkv";
    for (size_t i = 0; hd && i + 3 < hsize;) {
        size_t iw, sw;
        const uint64_t id = ebml(hd + i, hsize - i, iw, true);
        if (!iw) break;
        const uint64_t sz = ebml(hd + i + iw, hsize - i - iw, sw, false);
        if (!sw || sz > hsize) break;
        if (id == 0x4282 && sz >= 4 && i + iw + sw + 4 <= hsize && same(hd + i + iw + sw, "webm", 4)) type = "webm";
        i += iw + sw + sz;
    }
    const uint8_t* sg = s.view(hend, 12);
    if (!sg || !same(sg, "\x18\x53\x80\x67", 4)) return invalid();
    const uint64_t size = ebml(sg + 4, 8, w, false);
    if (!w) return invalid();
    const uint64_t data = hend + 4 + w;
    if (size != UINT64_MAX) return upTo(s, sum(data, size), type, data);
    // Unknown size (live recordings): the level-1 elements one after another.
    static const uint32_t kTop[] = {0x114D9B74, 0x1549A966, 0x1654AE6B, 0x1F43B675, 0x1C53BB6B,
                                    0x1941A469, 0x1043A770, 0x1254C367, 0xEC, 0xBF};
    uint64_t pos = data;
    for (int n = 0; n < (1 << 24); ++n) {
        const uint8_t* e = s.view(pos, 12);
        if (!e) return truncated(s.limit(), data, type);
        size_t iw, sw;
        const uint64_t id = ebml(e, 12, iw, true);
        if (!iw || std::find(std::begin(kTop), std::end(kTop), id) == std::end(kTop)) break;
        const uint64_t sz = ebml(e + iw, 12 - iw, sw, false);
        if (!sw || sz == UINT64_MAX) return truncated(s.limit(), data, type);
        pos = sum(pos + iw + sw, sz);
    }
    return upTo(s, pos, type, data);
}

// ---------------------------------------------------------------------------
// FLV: tags, each followed by its size, which is checked.

EndResult findFlvEnd(Source& s) {
    const uint8_t* h = s.view(0, 13);
    if (!h || !same(h, "FLV\x01", 4) || (h[4] & 0xFA) || be32(h, 13, 5) < 9 || be32(h, 13, 5) > 64) return invalid();
    uint64_t pos = be32(h, 13, 5);  // at a previous-tag-size field
    int tags = 0;
    for (; tags < (1 << 24); ++tags) {
        const uint8_t* t = s.view(pos + 4, 11);
        if (!t) break;
        const uint8_t type = t[0] & 0x1F;
        const uint32_t size = be32(t, 11, 0) & 0xFFFFFF;
        if ((type != 8 && type != 9 && type != 18) || (be32(t, 11, 7) & 0xFFFFFF) != 0) break;
        const uint64_t next = pos + 4 + 11 + size;
        const uint8_t* p = s.view(next, 4);
        if (!p) return truncated(s.limit(), pos + 4);
        if (be32(p, 4, 0) != 11 + size) break;
        pos = next;
    }
    if (!tags) return invalid();
    return complete(pos + 4);
}

// ---------------------------------------------------------------------------
// MPEG program stream (MPEG-1 and -2, VOB): packs and packets by their
// lengths to the end code, or to the first bytes that are neither.

EndResult findMpegPsEnd(Source& s) {
    uint64_t pos = 0;
    int packs = 0;
    for (int n = 0; n < (1 << 26); ++n) {
        const uint8_t* p = s.view(pos, 16);
        if (!p || p[0] || p[1] || p[2] != 1) break;
        const uint8_t code = p[3];
        if (code == 0xB9) return complete(pos + 4);
        if (code == 0xBA) {
            if ((p[4] & 0xC0) == 0x40) pos += 14 + (p[13] & 7);
            else if ((p[4] & 0xF0) == 0x20) pos += 12;
            else break;
            ++packs;
        } else if (code >= 0xBB) {
            pos += 6 + be16(p, 16, 4);
        } else {
            break;
        }
    }
    if (packs < 2) return invalid();
    return upTo(s, pos);
}

// ---------------------------------------------------------------------------
// MPEG transport stream: 188-byte packets (192 with the timecode of M2TS),
// each with its sync byte.

EndResult findTsEnd(Source& s) {
    const uint8_t* h = s.view(0, 8);
    if (!h) return invalid();
    const unsigned lead = h[0] == 0x47 ? 0 : (h[4] == 0x47 ? 4 : 99);
    if (lead == 99) return invalid();
    const unsigned size = 188 + lead;
    uint64_t pos = 0;
    uint64_t n = 0;
    for (; n < (1ull << 26); ++n) {
        uint8_t b;
        if (!s.byteAt(pos + lead, b)) break;
        if (b != 0x47) break;
        if (pos + size > s.limit())  // a packet cut by the limit
            return n >= 16 ? truncated(s.limit(), pos, lead ? "m2ts" : "ts") : invalid();
        pos += size;
    }
    if (n < 16) return invalid();
    return complete(pos, lead ? "m2ts" : "ts");
}

// ---------------------------------------------------------------------------
// ASF (WMV, WMA): the file size of the File Properties object, or the
// top-level objects walked by size; a video stream makes it WMV.

EndResult findAsfEnd(Source& s) {
    static const uint8_t kHeader[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                        0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
    static const uint8_t kFileProps[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                           0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
    static const uint8_t kStream[16] = {0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11,
                                        0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
    static const uint8_t kVideo[16] = {0xC0, 0xEF, 0x19, 0xBC, 0x4D, 0x5B, 0xCF, 0x11,
                                       0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};
    const uint8_t* h = s.view(0, 30);
    if (!h || std::memcmp(h, kHeader, 16) != 0) return invalid();
    const uint64_t hsize = le64(h, 30, 16);
    const uint32_t count = le32(h, 30, 24);
    if (hsize < 30 || count > 4096) return invalid();
    uint64_t pos = 30, fileSize = 0;
    bool video = false;
    for (uint32_t i = 0; i < count && pos + 24 <= hsize; ++i) {
        const uint8_t* o = s.view(pos, 64);
        if (!o) return truncated(s.limit(), 30);
        const uint64_t osize = le64(o, 64, 16);
        if (osize < 24) return invalid();
        if (std::memcmp(o, kFileProps, 16) == 0) fileSize = le64(o, 64, 40);
        if (std::memcmp(o, kStream, 16) == 0 && std::memcmp(o + 24, kVideo, 16) == 0) video = true;
        pos = sum(pos, osize);
    }
    const char* type = video ? "wmv" : "wma";
    if (fileSize >= hsize + 50) return upTo(s, fileSize, type, hsize);
    // Broadcast files leave the size out: data and index objects follow.
    pos = hsize;
    for (int n = 0; n < 64; ++n) {
        const uint8_t* o = s.view(pos, 24);
        if (!o || o[7] != 0x11 || (o[6] != 0xCF && o[6] != 0xD1)) break;
        const uint64_t osize = le64(o, 24, 16);
        if (osize < 24) break;
        pos = sum(pos, osize);
    }
    return upTo(s, pos, type, hsize);
}

// ---------------------------------------------------------------------------
// RealMedia: chunks by size from ".RMF".

EndResult findRmEnd(Source& s) {
    uint64_t pos = 0;
    int n = 0;
    static const char* kIds[] = {".RMF", "PROP", "MDPR", "CONT", "DATA", "INDX", "RMMD", "RJMD"};
    for (; n < (1 << 20); ++n) {
        const uint8_t* c = s.view(pos, 8);
        if (!c) break;
        bool known = false;
        for (const char* id : kIds) known = known || same(c, id, 4);
        if (!known || (n == 0 && !same(c, ".RMF", 4))) break;
        const uint32_t size = be32(c, 8, 4);
        if (size < 8) break;
        pos += size;
    }
    return n ? upTo(s, pos) : invalid();
}

// ---------------------------------------------------------------------------
// IVF (VP8/VP9/AV1 frames): the header's frame count, frames by size.

EndResult findIvfEnd(Source& s) {
    const uint8_t* h = s.view(0, 32);
    if (!h || !same(h, "DKIF\0\0", 6) || le16(h, 32, 6) != 32) return invalid();
    const uint32_t frames = le32(h, 32, 24);
    uint64_t pos = 32;
    for (uint32_t i = 0; i < frames; ++i) {
        const uint8_t* f = s.view(pos, 12);
        if (!f) return truncated(s.limit(), 32);
        pos = sum(pos + 12, le32(f, 12, 0));
    }
    return upTo(s, pos, nullptr, 32);
}

// ---------------------------------------------------------------------------
// PSD / PSB: header, colour mode data, resources, layers, then the image
// data (raw: its size from the header; RLE: the row byte counts).

EndResult findPsdEnd(Source& s) {
    const uint8_t* h = s.view(0, 26);
    if (!h || !same(h, "8BPS", 4)) return invalid();
    const uint16_t version = be16(h, 26, 4), channels = be16(h, 26, 12), depth = be16(h, 26, 22);
    const uint32_t height = be32(h, 26, 14), width = be32(h, 26, 18);
    if ((version != 1 && version != 2) || !same(h + 6, "\0\0\0\0\0\0", 6) || channels < 1 || channels > 56 ||
        !(depth == 1 || depth == 8 || depth == 16 || depth == 32) || !height || !width)
        return invalid();
    const bool big = version == 2;
    uint64_t pos = 26;
    for (int section = 0; section < 3; ++section) {
        const bool wide = big && section == 2;
        const uint8_t* l = s.view(pos, wide ? 8 : 4);
        if (!l) return truncated(s.limit(), 26, big ? "psb" : nullptr);
        pos = sum(pos + (wide ? 8 : 4), wide ? be64(l, 8, 0) : be32(l, 4, 0));
    }
    const uint8_t* c = s.view(pos, 2);
    if (!c) return truncated(s.limit(), 26, big ? "psb" : nullptr);
    const uint16_t compression = be16(c, 2, 0);
    pos += 2;
    const uint64_t rows = product(channels, height);
    const uint64_t rowBytes = (product(width, depth) + 7) / 8;
    if (compression == 0) {
        pos = sum(pos, product(rows, rowBytes));
    } else if (compression == 1) {
        const unsigned w = big ? 4 : 2;
        uint64_t data = 0, at = pos;
        for (uint64_t r = 0; r < rows;) {
            const size_t k = static_cast<size_t>(std::min<uint64_t>(rows - r, 1024));
            const uint8_t* t = s.view(at, k * w);
            if (!t) return truncated(s.limit(), 26, big ? "psb" : nullptr);
            for (size_t i = 0; i < k; ++i) data += w == 4 ? be32(t, k * w, i * w) : be16(t, k * w, i * w);
            at += k * w;
            r += k;
        }
        pos = sum(at, data);
    } else {
        return unchecked();  // ZIP-compressed data has no size here
    }
    return upTo(s, pos, big ? "psb" : nullptr, 26);
}

// ---------------------------------------------------------------------------
// ICO / CUR: the directory's furthest image (each a PNG or a DIB).

EndResult findIcoEnd(Source& s) {
    const uint8_t* h = s.view(0, 6);
    if (!h || le16(h, 6, 0) != 0 || (le16(h, 6, 2) != 1 && le16(h, 6, 2) != 2)) return invalid();
    const uint16_t count = le16(h, 6, 4);
    const bool cursor = le16(h, 6, 2) == 2;
    if (count == 0 || count > 256) return invalid();
    // A view holds until the next one: the directory is copied.
    const uint8_t* dv = s.view(6, 16u * count);
    if (!dv) return invalid();
    const std::vector<uint8_t> dir(dv, dv + 16u * count);
    const uint8_t* d = dir.data();
    uint64_t end = 6 + 16u * count;
    for (unsigned i = 0; i < count; ++i) {
        const uint8_t* e = d + 16 * i;
        const uint32_t size = le32(e, 16, 8), off = le32(e, 16, 12);
        if (e[3] != 0 && e[3] != 255) return invalid();
        if (size < 40 || off < 6 + 16u * count) return invalid();
        const uint8_t* img = s.view(off, 8);
        if (img && !same(img, "\x89PNG", 4) && le32(img, 8, 0) != 40) return invalid();
        end = std::max(end, sum(off, size));
    }
    return upTo(s, end, cursor ? "cur" : "ico", 6);
}

// ---------------------------------------------------------------------------
// Fujifilm RAF: the furthest of the embedded JPEG, the CFA header and the
// CFA data named in the header.

EndResult findRafEnd(Source& s) {
    const uint8_t* h = s.view(0, 108);
    if (!h || !same(h, "FUJIFILMCCD-RAW ", 16)) return invalid();
    uint64_t end = 108;
    for (size_t at : {84, 92, 100}) {
        const uint32_t off = be32(h, 108, at), len = be32(h, 108, at + 4);
        if (off && len) end = std::max(end, uint64_t{off} + len);
    }
    return upTo(s, end, nullptr, 108);
}

// ---------------------------------------------------------------------------
// JPEG 2000 (JP2, JPX, MJ2) boxes, and raw codestreams: tile-parts by
// their lengths to the EOC marker.

namespace {
// The end of a codestream starting at pos (its SOC), or 0.
uint64_t codestreamEnd(Source& s, uint64_t pos) {
    const uint8_t* h = s.view(pos, 4);
    if (!h || be16(h, 4, 0) != 0xFF4F || be16(h, 4, 2) != 0xFF51) return 0;
    uint64_t q = pos + 2;
    for (int n = 0; n < (1 << 20); ++n) {
        const uint8_t* m = s.view(q, 12);
        if (!m || m[0] != 0xFF) return 0;
        const uint16_t code = be16(m, 12, 0);
        if (code == 0xFFD9) return q + 2;
        if (code == 0xFF90) {  // SOT: the tile-part's length from here
            const uint32_t psot = be32(m, 12, 6);
            if (psot == 0) {
                const uint64_t e = s.find(q, s.limit(), "\xFF\xD9", 2);
                return e == Source::kNotFound ? 0 : e + 2;
            }
            if (psot < 14) return 0;
            q += psot;
            continue;
        }
        if (code < 0xFF30) return 0;
        q += 2 + be16(m, 12, 2);
    }
    return 0;
}
}  // namespace

EndResult findJp2End(Source& s) {
    const uint8_t* h = s.view(0, 24);
    if (!h) return invalid();
    if (be16(h, 24, 0) == 0xFF4F) {
        const uint64_t e = codestreamEnd(s, 0);
        return e ? complete(e, "j2k") : invalid();
    }
    if (!same(h, "\0\0\0\x0CjP  \r\n\x87\n", 12) || !same(h + 16, "ftyp", 4)) return invalid();
    const uint8_t* brand = s.view(20, 4);
    const char* type = nullptr;
    if (brand && same(brand, "jpx ", 4)) type = "jpx";
    else if (brand && same(brand, "mjp2", 4)) type = "mj2";
    else if (brand && same(brand, "jpm ", 4)) type = "jpm";
    uint64_t pos = 12;
    for (int n = 0; n < (1 << 20); ++n) {
        const uint8_t* b = s.view(pos, 16);
        if (!b || !fourCc(b + 4)) break;
        uint64_t size = be32(b, 16, 0);
        if (size == 1) size = be64(b, 16, 8);
        if (size == 0) {  // to the end: a codestream
            if (!same(b + 4, "jp2c", 4)) return truncated(s.limit(), pos, type);
            const uint64_t e = codestreamEnd(s, pos + 8);
            return e ? complete(e, type) : truncated(s.limit(), pos + 8, type);
        }
        if (size < 8) break;
        pos = sum(pos, size);
        if (pos > s.limit()) return truncated(s.limit(), 12, type);
    }
    return pos > 12 ? complete(pos, type) : invalid();
}

// ---------------------------------------------------------------------------
// Binary netpbm (P4, P5, P6): the header's width, height and maximum give
// the pixels' size.

EndResult findPnmEnd(Source& s) {
    const uint8_t* h = s.view(0, 64);
    if (!h || h[0] != 'P' || h[1] < '4' || h[1] > '6') return invalid();
    uint64_t v[3] = {0, 0, 0};
    const int want = h[1] == '4' ? 2 : 3;
    size_t i = 2;
    for (int k = 0; k < want; ++k) {
        while (i < 64 && (h[i] == ' ' || h[i] == '\n' || h[i] == '\r' || h[i] == '\t')) ++i;
        if (i < 64 && h[i] == '#') return unchecked();
        size_t d = 0;
        while (i < 64 && isDigit(h[i]) && d < 7) v[k] = v[k] * 10 + (h[i++] - '0'), ++d;
        if (!d || v[k] == 0) return invalid();
    }
    if (i >= 64 || !(h[i] == ' ' || h[i] == '\n' || h[i] == '\r' || h[i] == '\t')) return invalid();
    ++i;
    const uint64_t w = v[0], ht = v[1];
    uint64_t bytes;
    if (h[1] == '4') bytes = (w + 7) / 8 * ht;
    else bytes = product(product(w, ht), (h[1] == '6' ? 3 : 1) * (v[2] > 255 ? 2 : 1));
    const char* type = h[1] == '4' ? "pbm" : h[1] == '5' ? "pgm" : "ppm";
    return upTo(s, sum(i, bytes), type, i);
}

// ---------------------------------------------------------------------------
// OLE2 compound files ([MS-CFB]): the last sector the allocation table
// uses; the streams in the directory name the type (Word, Excel,
// PowerPoint, Outlook message, Installer package, Visio, Publisher).

EndResult findOleEnd(Source& s) {
    const uint8_t* h = s.view(0, 512);
    if (!h || !same(h, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8)) return invalid();
    const uint16_t major = le16(h, 512, 26), shift = le16(h, 512, 30);
    if (le16(h, 512, 28) != 0xFFFE || !((major == 3 && shift == 9) || (major == 4 && shift == 12))) return invalid();
    const uint64_t ss = 1ull << shift;
    const uint32_t fatSectors = le32(h, 512, 44), firstDir = le32(h, 512, 48), firstDifat = le32(h, 512, 68);
    const uint64_t maxSectors = s.limit() / ss + 1;
    if (fatSectors == 0 || fatSectors > maxSectors / (ss / 4) + 1) return invalid();
    // The FAT's sectors: 109 in the header, the rest in the DIFAT chain.
    std::vector<uint32_t> fatAt;
    for (uint32_t i = 0; i < 109 && fatAt.size() < fatSectors; ++i) fatAt.push_back(le32(h, 512, 76 + 4 * i));
    uint32_t d = firstDifat;
    for (int hop = 0; fatAt.size() < fatSectors && d < 0xFFFFFFFAu && hop < 1 << 16; ++hop) {
        const uint8_t* p = s.view((uint64_t{d} + 1) * ss, static_cast<size_t>(ss));
        if (!p) return truncated(s.limit(), ss);
        for (uint64_t i = 0; i + 1 < ss / 4 && fatAt.size() < fatSectors; ++i) fatAt.push_back(le32(p, ss, i * 4));
        d = le32(p, ss, ss - 4);
    }
    if (fatAt.size() < fatSectors) return invalid();
    std::vector<uint32_t> fat;
    fat.reserve(static_cast<size_t>(fatSectors * (ss / 4)));
    for (uint32_t sec : fatAt) {
        if (sec >= maxSectors) return truncated(s.limit(), ss);
        const uint8_t* p = s.view((uint64_t{sec} + 1) * ss, static_cast<size_t>(ss));
        if (!p) return truncated(s.limit(), ss);
        for (uint64_t i = 0; i < ss / 4; ++i) fat.push_back(le32(p, ss, i * 4));
    }
    uint64_t last = 0;
    bool any = false;
    for (size_t i = fat.size(); i-- > 0;)
        if (fat[i] != 0xFFFFFFFFu) {
            last = i;
            any = true;
            break;
        }
    if (!any) return invalid();
    // The directory: names of the streams (the first few sectors).
    const char* type = nullptr;
    static const uint8_t kMsi[16] = {0x84, 0x10, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00,
                                     0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
    uint32_t dir = firstDir;
    for (int hop = 0; dir < fat.size() && hop < 64 && !type; ++hop) {
        const uint8_t* p = s.view((uint64_t{dir} + 1) * ss, static_cast<size_t>(ss));
        if (!p) break;
        for (uint64_t e = 0; e + 128 <= ss && !type; e += 128) {
            const uint8_t* en = p + e;
            const uint16_t len = le16(en, 128, 64);
            if (len < 2 || len > 64) continue;
            std::string name;
            for (size_t k = 0; k + 2 < len; k += 2) name += static_cast<char>(en[k] < 0x80 ? en[k] : '?');
            if (hop == 0 && e == 0 && std::memcmp(en + 80, kMsi, 16) == 0) type = "msi";
            else if (name == "WordDocument") type = "doc";
            else if (name == "Workbook" || name == "Book") type = "xls";
            else if (name == "PowerPoint Document") type = "ppt";
            else if (name == "__properties_version1.0" || name.rfind("__substg1.0_", 0) == 0) type = "msg";
            else if (name == "VisioDocument") type = "vsd";
            else if (name == "Quill") type = "pub";
        }
        dir = fat[dir];
    }
    return upTo(s, (last + 2) * ss, type, ss);
}

// ---------------------------------------------------------------------------
// RTF: groups by their braces to the one that closes the document (escaped
// braces and \bin data skipped); a line end after it is part of the file.

EndResult findRtfEnd(Source& s) {
    const uint8_t* h = s.view(0, 6);
    if (!h || !same(h, "{\\rtf", 5)) return invalid();
    uint64_t pos = 0, depth = 0;
    while (true) {
        size_t n = 0;
        const uint8_t* p = s.span(pos, n);
        if (!p) return truncated(s.limit(), 6);
        for (size_t i = 0; i < n; ++i) {
            const uint8_t c = p[i];
            if (c == '{') {
                ++depth;
            } else if (c == '}') {
                if (depth == 0) return invalid();
                if (--depth == 0) {
                    uint64_t end = pos + i + 1;
                    uint8_t b;
                    if (s.byteAt(end, b) && b == '\r') ++end;
                    if (s.byteAt(end, b) && b == '\n') ++end;
                    return complete(end);
                }
            } else if (c == '\\') {
                // The escaped character (a brace or a backslash) is text.
                if (i + 1 < n) {
                    ++i;
                } else {
                    pos += n + 1;
                    goto next;
                }
            } else if (c == 0 || (c < 0x20 && c != '\r' && c != '\n' && c != '\t')) {
                return truncated(pos + i, 6);
            }
        }
        pos += n;
    next:;
    }
}

// ---------------------------------------------------------------------------
// Text files (mail, mailboxes, vCards, calendars, scripts, markup, PEM):
// the text up to the first byte that text does not hold (NUL, control
// characters), where a file followed by slack or free space ends.

EndResult findTextEnd(Source& s) {
    uint64_t pos = 0;
    while (true) {
        size_t n = 0;
        const uint8_t* p = s.span(pos, n);
        if (!p) return pos >= 16 ? truncated(s.limit(), 0) : invalid();
        for (size_t i = 0; i < n; ++i) {
            const uint8_t c = p[i];
            if (c >= 0x20 || c == '\n' || c == '\r' || c == '\t' || c == '\f') continue;
            if (c == 0x1B && pos + i > 0) continue;  // escape sequences in mail
            const uint64_t end = pos + i;
            return end >= 16 ? complete(end) : invalid();
        }
        pos += n;
    }
}

// ---------------------------------------------------------------------------
// Fonts: TrueType / OpenType tables (the 'head' table's magic checked), font
// collections, WOFF and WOFF2 (their header holds the file's length).

namespace {
uint64_t sfntEnd(Source& s, uint64_t at) {
    const uint8_t* h = s.view(at, 12);
    if (!h) return 0;
    const uint32_t v = be32(h, 12, 0);
    if (v != 0x00010000u && v != 0x4F54544Fu && v != 0x74727565u && v != 0x74797031u) return 0;
    const uint16_t tables = be16(h, 12, 4);
    if (tables == 0 || tables > 128) return 0;
    const uint8_t* tv = s.view(at + 12, 16u * tables);
    if (!tv) return 0;
    const std::vector<uint8_t> records(tv, tv + 16u * tables);  // views hold until the next one
    const uint8_t* t = records.data();
    uint64_t end = at + 12 + 16u * tables;
    bool head = false;
    for (unsigned i = 0; i < tables; ++i) {
        const uint8_t* r = t + 16 * i;
        if (!fourCc(r)) return 0;
        const uint32_t off = be32(r, 16, 8), len = be32(r, 16, 12);
        if (off < 12 + 16u * tables) return 0;
        end = std::max(end, uint64_t{off} + len);
        if (same(r, "head", 4)) {
            const uint8_t* hd = s.view(off, 16);
            if (!hd || be32(hd, 16, 12) != 0x5F0F3CF5u) return 0;
            head = true;
        }
    }
    if (!head) return 0;
    // Tables are padded to 4 bytes; the last one's padding is zeros.
    while (end % 4) {
        uint8_t b;
        if (!s.byteAt(end, b) || b != 0) break;
        ++end;
    }
    return end;
}
}  // namespace

EndResult findFontEnd(Source& s) {
    const uint8_t* h = s.view(0, 12);
    if (!h) return invalid();
    if (same(h, "wOFF", 4) || same(h, "wOF2", 4)) {
        const uint32_t len = be32(h, 12, 8);
        if (len < 44) return invalid();
        return upTo(s, len, same(h, "wOF2", 4) ? "woff2" : "woff", 12);
    }
    if (same(h, "ttcf", 4)) {
        const uint32_t fonts = be32(h, 12, 8);
        if (fonts == 0 || fonts > 256) return invalid();
        const uint8_t* ov = s.view(12, 4u * fonts);
        if (!ov) return invalid();
        const std::vector<uint8_t> offsets(ov, ov + 4u * fonts);
        const uint8_t* o = offsets.data();
        uint64_t end = 0;
        for (uint32_t i = 0; i < fonts; ++i) {
            const uint64_t e = sfntEnd(s, be32(o, 4u * fonts, 4 * i));
            if (!e) return invalid();
            end = std::max(end, e);
        }
        return complete(end, "ttc");
    }
    const uint64_t e = sfntEnd(s, 0);
    if (!e) return invalid();
    return complete(e, same(h, "OTTO", 4) ? "otf" : "ttf");
}

// ---------------------------------------------------------------------------
// Mach-O (thin and universal): the furthest segment, symbol table and link
// edit data the load commands name.

namespace {
uint64_t machoEnd(Source& s, uint64_t at) {
    const uint8_t* h = s.view(at, 32);
    if (!h) return 0;
    const uint32_t m = le32(h, 32, 0);
    Endian e;
    bool wide;
    if (m == 0xFEEDFACEu || m == 0xFEEDFACFu) e.big = false, wide = m == 0xFEEDFACFu;
    else if (m == 0xCEFAEDFEu || m == 0xCFFAEDFEu) e.big = true, wide = m == 0xCFFAEDFEu;
    else return 0;
    const uint32_t ncmds = e.u32(h + 16), sizeofcmds = e.u32(h + 20), filetype = e.u32(h + 12);
    if (ncmds == 0 || ncmds > 4096 || sizeofcmds > (1u << 20) || filetype == 0 || filetype > 12) return 0;
    uint64_t pos = at + (wide ? 32 : 28), end = pos + sizeofcmds;
    for (uint32_t i = 0; i < ncmds; ++i) {
        const uint8_t* c = s.view(pos, 8);
        if (!c) return 0;
        const uint32_t cmd = e.u32(c) & 0x7FFFFFFFu, size = e.u32(c + 4);
        if (size < 8 || size > sizeofcmds) return 0;
        const uint8_t* b = s.view(pos, std::min<uint32_t>(size, 72));
        if (!b) return 0;
        if (cmd == 0x1 && size >= 56) end = std::max(end, at + uint64_t{e.u32(b + 32)} + e.u32(b + 36));
        else if (cmd == 0x19 && size >= 72) end = std::max(end, sum(at, sum(e.u64(b + 40), e.u64(b + 48))));
        else if (cmd == 0x2 && size >= 24) end = std::max(end, at + uint64_t{e.u32(b + 16)} + e.u32(b + 20));
        else if ((cmd == 0x1D || cmd == 0x1E || cmd == 0x26 || cmd == 0x29 || cmd == 0x2B || cmd == 0x2E ||
                  cmd == 0x33 || cmd == 0x34) && size >= 16)
            end = std::max(end, at + uint64_t{e.u32(b + 8)} + e.u32(b + 12));
        pos += size;
    }
    return end;
}
}  // namespace

EndResult findMachoEnd(Source& s) {
    const uint8_t* h = s.view(0, 8);
    if (!h) return invalid();
    if (be32(h, 8, 0) == 0xCAFEBABEu) {
        const uint32_t n = be32(h, 8, 4);
        if (n == 0 || n > 32) return invalid();
        const uint8_t* av = s.view(8, 20u * n);
        if (!av) return invalid();
        const std::vector<uint8_t> archs(av, av + 20u * n);
        const uint8_t* a = archs.data();
        uint64_t end = 8 + 20u * n;
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t off = be32(a, 20u * n, 20 * i + 8), size = be32(a, 20u * n, 20 * i + 12);
            const uint8_t* m = s.view(off, 4);
            if (!m || ((le32(m, 4, 0) | 1) != 0xFEEDFACFu && (be32(m, 4, 0) | 1) != 0xFEEDFACFu)) return invalid();
            end = std::max(end, uint64_t{off} + size);
        }
        return upTo(s, end, "macho", 8);
    }
    const uint64_t e = machoEnd(s, 0);
    return e ? upTo(s, e, "macho", 32) : invalid();
}

// ---------------------------------------------------------------------------
// Android DEX: the header's file size, checked against its header size and
// byte-order tag.

EndResult findDexEnd(Source& s) {
    const uint8_t* h = s.view(0, 112);
    if (!h || !same(h, "dex\n0", 5) || h[7] != 0) return invalid();
    if (le32(h, 112, 36) != 0x70 || le32(h, 112, 40) != 0x12345678u) return invalid();
    const uint32_t size = le32(h, 112, 32);
    return size >= 0x70 ? upTo(s, size, nullptr, 0x70) : invalid();
}

// ---------------------------------------------------------------------------
// WebAssembly: sections by their LEB128 sizes; known sections in order.

EndResult findWasmEnd(Source& s) {
    const uint8_t* h = s.view(0, 8);
    if (!h || !same(h, "\0asm\x01\0\0\0", 8)) return invalid();
    uint64_t pos = 8;
    int lastId = 0;
    for (int n = 0; n < (1 << 20); ++n) {
        uint8_t id;
        if (!s.byteAt(pos, id) || id > 12 || (id && id <= lastId && id != 12)) break;
        uint64_t q = pos + 1, size = 0;
        bool ok = false;
        for (int i = 0; i < 5; ++i) {
            uint8_t b;
            if (!s.byteAt(q++, b)) break;
            size |= uint64_t{b & 0x7Fu} << (7 * i);
            if (!(b & 0x80)) {
                ok = true;
                break;
            }
        }
        if (!ok || sum(q, size) > s.limit()) break;
        if (id) lastId = id;
        pos = q + size;
    }
    return pos > 8 ? complete(pos) : invalid();
}

// ---------------------------------------------------------------------------
// Databases: SQLite's write-ahead log (frames while their salts match the
// header's), PST/OST (the header's end of file), KeePass 2 (KDBX 4: header
// fields, then HMAC blocks to the empty one), Berkeley DB (pages from the
// metadata page; its magic sits at 12).

EndResult findWalEnd(Source& s) {
    const uint8_t* h = s.view(0, 32);
    if (!h || (be32(h, 32, 0) | 1) != 0x377F0683u || be32(h, 32, 4) != 3007000) return invalid();
    const uint32_t page = be32(h, 32, 8);
    if (page < 512 || page > 65536 || (page & (page - 1))) return invalid();
    const uint32_t salt1 = be32(h, 32, 16), salt2 = be32(h, 32, 20);
    uint64_t pos = 32;
    for (int n = 0; n < (1 << 24); ++n) {
        const uint8_t* f = s.view(pos, 24);
        if (!f || be32(f, 24, 8) != salt1 || be32(f, 24, 12) != salt2 || be32(f, 24, 0) == 0) break;
        if (pos + 24 + page > s.limit()) return truncated(s.limit(), 32, "wal");
        pos += 24 + page;
    }
    return complete(pos, "wal");
}

EndResult findPstEnd(Source& s) {
    const uint8_t* h = s.view(0, 192);
    if (!h || !same(h, "!BDN", 4)) return invalid();
    const bool ost = same(h + 8, "SO", 2);
    if (!ost && !same(h + 8, "SM", 2)) return invalid();
    const uint16_t ver = le16(h, 192, 10);
    uint64_t eof;
    if (ver == 14 || ver == 15) eof = le32(h, 192, 168);
    else if (ver >= 23 && ver <= 37) eof = le64(h, 192, 184);
    else return invalid();
    return eof >= 512 ? upTo(s, eof, ost ? "ost" : "pst", 512) : invalid();
}

EndResult findKdbxEnd(Source& s) {
    const uint8_t* h = s.view(0, 12);
    if (!h || le32(h, 12, 0) != 0x9AA2D903u || le32(h, 12, 4) != 0xB54BFB67u) return invalid();
    const uint16_t major = le16(h, 12, 10);
    if (major != 4) return major == 3 || major == 2 ? unchecked() : invalid();
    uint64_t pos = 12;
    for (int n = 0;; ++n) {
        const uint8_t* f = s.view(pos, 5);
        if (!f || n > 64) return invalid();
        const uint32_t len = le32(f, 5, 1);
        if (len > (1u << 20)) return invalid();
        pos += 5 + len;
        if (f[0] == 0) break;
    }
    pos += 64;  // SHA-256 and HMAC of the header
    for (int n = 0; n < (1 << 22); ++n) {
        const uint8_t* b = s.view(pos, 36);
        if (!b) return truncated(s.limit(), pos);
        const uint32_t len = le32(b, 36, 32);
        pos = sum(pos + 36, len);
        if (len == 0) return complete(pos);
        if (len > (64u << 20)) return invalid();
    }
    return invalid();
}

EndResult findBdbEnd(Source& s) {
    const uint8_t* h = s.view(0, 40);
    if (!h) return invalid();
    const uint32_t magic = le32(h, 40, 12), version = le32(h, 40, 16), page = le32(h, 40, 20);
    if ((magic != 0x00053162u && magic != 0x00061561u) || version < 7 || version > 10) return invalid();
    if (page < 512 || page > 65536 || (page & (page - 1))) return invalid();
    return upTo(s, (uint64_t{le32(h, 40, 32)} + 1) * page, nullptr, page);
}

// ---------------------------------------------------------------------------
// Blender: file blocks by their sizes to "ENDB".

EndResult findBlendEnd(Source& s) {
    const uint8_t* h = s.view(0, 12);
    if (!h || !same(h, "BLENDER", 7) || (h[7] != '_' && h[7] != '-') || (h[8] != 'v' && h[8] != 'V')) return invalid();
    const unsigned head = h[7] == '-' ? 24 : 20;
    Endian e;
    e.big = h[8] == 'V';
    uint64_t pos = 12;
    for (int n = 0; n < (1 << 24); ++n) {
        const uint8_t* b = s.view(pos, head);
        if (!b) return truncated(s.limit(), 12, "blend");
        if (!fourCc(b) && !(isAlpha(b[0]) && isAlpha(b[1]) && b[2] == 0 && b[3] == 0)) return invalid();
        const uint32_t size = e.u32(b + 4);
        if (same(b, "ENDB", 4)) return complete(pos + head + size, "blend");
        pos = sum(pos + head, size);
    }
    return invalid();
}

// ---------------------------------------------------------------------------
// EMF: the header's size of the whole metafile (" EMF" sits at 40).

EndResult findEmfEnd(Source& s) {
    const uint8_t* h = s.view(0, 88);
    if (!h || le32(h, 88, 0) != 1 || !same(h + 40, " EMF", 4)) return invalid();
    const uint32_t size = le32(h, 88, 4), bytes = le32(h, 88, 48);
    if (size < 88 || bytes < size) return invalid();
    return upTo(s, bytes, nullptr, size);
}

}  // namespace brantlow::raw
