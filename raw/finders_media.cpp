// End finders for sound and video: RIFF (WAV, AVI, WebP), MP3 and the ISO
// base media formats (MP4, MOV, 3GP, M4A, HEIC …).
#include <algorithm>
#include <cstring>

#include "raw/finder_util.h"

namespace brantlow::raw {

using namespace finder;

// ---------------------------------------------------------------------------
// RIFF: the RIFF size field, checked by walking the chunks inside it (each
// an id of four printable characters and a size, padded to even); AVI files
// over 1 GiB go on with "RIFF … AVIX" chunks.

namespace {

bool chunkId(const uint8_t* p) {
    return isPrintable(p[0]) && isPrintable(p[1]) && isPrintable(p[2]) && isPrintable(p[3]);
}

}  // namespace

EndResult findRiffEnd(Source& s) {
    const uint8_t* h = s.view(0, 20);
    if (!h || !same(h, "RIFF", 4) || !chunkId(h + 8) || !chunkId(h + 12)) return invalid();
    const char* type = nullptr;
    if (same(h + 8, "WAVE", 4)) type = "wav";
    else if (same(h + 8, "AVI ", 4)) type = "avi";
    else if (same(h + 8, "WEBP", 4)) type = "webp";
    uint64_t riffEnd = 8 + uint64_t{le32(h, 20, 4)};
    if (riffEnd < 20) return invalid();
    uint64_t pos = 12;
    for (int part = 0; part < 1024; ++part) {
        // The chunks of this RIFF list.
        for (uint64_t n = 0; pos + 8 <= riffEnd && n < (1u << 22); ++n) {
            const uint8_t* c = s.view(pos, 8);
            if (!c) return truncated(s.limit(), pos, type);
            if (!chunkId(c)) return n == 0 && part == 0 ? invalid() : truncated(pos, pos, type);
            uint64_t size = le32(c, 8, 4);
            uint64_t next = pos + 8 + size + (size & 1);
            if (next > riffEnd + 1) {
                // A chunk that runs past its list: the size fields disagree.
                if (n == 0 && part == 0) return invalid();
                return truncated(std::min(riffEnd, s.limit()), pos + 8, type);
            }
            if (next > s.limit()) return truncated(s.limit(), pos + 8, type);
            pos = next;
        }
        if (riffEnd > s.limit()) return truncated(s.limit(), pos, type);
        pos = std::min(pos, riffEnd);
        // OpenDML: a further "RIFF … AVIX" continues the file.
        const uint8_t* x = s.view(riffEnd, 12);
        if (!x || !same(x, "RIFF", 4) || !same(x + 8, "AVIX", 4)) return complete(riffEnd, type);
        pos = riffEnd + 12;
        riffEnd = sum(riffEnd + 8, le32(x, 12, 4));
    }
    return complete(riffEnd, type);
}

// ---------------------------------------------------------------------------
// MP3: the ID3v2 tag by its size, MPEG audio frames by their headers while
// they follow each other with the same version, layer and sample rate, then
// an APE tag and an ID3v1 tag. A Xing / Info frame's frame count tells a
// cut-off file.

namespace {

struct MpegHeader {
    unsigned version = 0;  // 3 = MPEG-1, 2 = MPEG-2, 0 = MPEG-2.5
    unsigned layer = 0;    // 1 = layer III, 2 = II, 3 = I (as coded)
    unsigned rate = 0;     // sample-rate index
    bool mono = false;
    uint32_t length = 0;
};

bool mpegHeader(const uint8_t* p, MpegHeader& h) {
    uint32_t v = be32(p, 4, 0);
    if ((v >> 21) != 0x7FF) return false;
    h.version = (v >> 19) & 3;
    h.layer = (v >> 17) & 3;
    unsigned br = (v >> 12) & 15;
    h.rate = (v >> 10) & 3;
    unsigned pad = (v >> 9) & 1;
    h.mono = ((v >> 6) & 3) == 3;
    if (h.version == 1 || h.layer == 0 || br == 0 || br == 15 || h.rate == 3 || (v & 3) == 2) return false;
    static const uint16_t kbps[5][15] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 layer I
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 layer II
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 layer III
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG-2 layer I
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // MPEG-2 layers II, III
    };
    static const uint32_t rates[3] = {44100, 48000, 32000};
    const bool v1 = h.version == 3;
    const unsigned row = v1 ? (h.layer == 3 ? 0 : h.layer == 2 ? 1 : 2) : (h.layer == 3 ? 3 : 4);
    const uint32_t bitrate = kbps[row][br] * 1000u;
    const uint32_t rate = rates[h.rate] >> (v1 ? 0 : h.version == 2 ? 1 : 2);
    if (h.layer == 3) h.length = (12 * bitrate / rate + pad) * 4;
    else if (h.layer == 2 || v1) h.length = 144 * bitrate / rate + pad;
    else h.length = 72 * bitrate / rate + pad;
    return h.length >= 4;
}

}  // namespace

EndResult findMp3End(Source& s) {
    const uint8_t* h = s.view(0, 10);
    if (!h) return invalid();
    // Without a tag the frames start at once; a few of them must follow.
    const bool bare = h[0] == 0xFF && (h[1] & 0xE0) == 0xE0;
    if (!bare && (!same(h, "ID3", 3) || h[3] < 2 || h[3] > 4 || h[4] == 0xFF)) return invalid();
    if (!bare && ((h[6] | h[7] | h[8] | h[9]) & 0x80)) return invalid();
    uint64_t pos = bare ? 0 : 10 + ((uint64_t{h[6]} << 21) | (h[7] << 14) | (h[8] << 7) | h[9]);
    if (!bare && (h[5] & 0x10)) pos += 10;  // footer
    if (pos > s.limit()) return truncated(s.limit(), s.limit());
    // Padding some writers leave after the tag.
    for (int k = 0; k < 65536; ++k) {
        uint8_t b = 1;
        if (!s.byteAt(pos, b) || b != 0) break;
        ++pos;
    }
    MpegHeader first{}, cur{};
    uint64_t frames = 0, expected = 0, lastFrame = pos;
    while (frames < (1u << 26)) {
        const uint8_t* p = s.view(pos, 4);
        if (!p || !mpegHeader(p, cur)) break;
        if (frames == 0) {
            first = cur;
            // Xing / Info in the first frame: flags, then the frame count.
            const unsigned side = first.version == 3 ? (first.mono ? 17 : 32) : (first.mono ? 9 : 17);
            if (const uint8_t* x = s.view(pos + 4 + side, 12))
                if ((same(x, "Xing", 4) || same(x, "Info", 4)) && (be32(x, 12, 4) & 1)) expected = be32(x, 12, 8);
        } else if (cur.version != first.version || cur.layer != first.layer || cur.rate != first.rate) {
            break;
        }
        if (pos + cur.length > s.limit()) return truncated(s.limit(), pos);
        lastFrame = pos;
        pos += cur.length;
        ++frames;
    }
    if (frames < 2 || (bare && frames < 8)) return frames == 0 || bare ? invalid() : truncated(pos, lastFrame);
    if (expected && frames < expected) return truncated(pos, lastFrame);
    // Tags after the audio: APEv2 (header "APETAGEX", size without it),
    // then ID3v1 ("TAG", 128 bytes).
    if (const uint8_t* a = s.view(pos, 32); a && same(a, "APETAGEX", 8)) {
        uint64_t end = sum(pos + 32, le32(a, 32, 12));
        if (end <= s.limit()) pos = end;
    }
    if (const uint8_t* t = s.view(pos, 3); t && same(t, "TAG", 3) && pos + 128 <= s.limit()) pos += 128;
    EndResult r = complete(pos);
    if (!bare) r.label = id3Label(s);
    return r;
}

// ---------------------------------------------------------------------------
// ISO base media (MP4, MOV, 3GP, M4A, HEIC, CR3 …): top-level boxes by size
// from "ftyp", while they are boxes that may stand at the top level; the
// file is whole when it holds its movie (or, for HEIF, its meta) box. The
// brands name the type.

namespace {

bool topLevelBox(const uint8_t* t) {
    static const char* kTypes[] = {"moov", "mdat", "free", "skip", "wide", "udta", "uuid", "meta", "moof",
                                   "mfra", "sidx", "ssix", "styp", "pdin", "prft", "emsg", "junk", "pnot",
                                   "PICT", "beam", "bloc", "meco", "afra", "abst", "Xtra", "iinf", "idat"};
    for (const char* k : kTypes)
        if (same(t, k, 4)) return true;
    return false;
}

const char* brandType(const uint8_t* b) {
    auto is = [&](const char* x) { return same(b, x, 4); };
    if (is("qt  ")) return "mov";
    if (is("M4A ")) return "m4a";
    if (is("M4B ")) return "m4b";
    if (is("M4V ") || is("M4VH") || is("M4VP")) return "m4v";
    if (same(b, "3gp", 3) || same(b, "3ge", 3) || same(b, "3gg", 3) || same(b, "3gs", 3)) return "3gp";
    if (same(b, "3g2", 3)) return "3g2";
    if (is("heic") || is("heix") || is("heim") || is("heis") || is("hevc") || is("hevx")) return "heic";
    if (is("avif") || is("avis")) return "avif";
    if (is("crx ")) return "cr3";
    if (is("isom") || same(b, "iso", 3) || is("mp41") || is("mp42") || is("avc1") || is("dash") || is("mmp4") ||
        is("MSNV") || is("f4v ") || is("XAVC"))
        return "mp4";
    return nullptr;
}

}  // namespace

EndResult findIsoMediaEnd(Source& s) {
    const uint8_t* h = s.view(0, 16);
    if (!h || !same(h + 4, "ftyp", 4)) return invalid();
    const uint32_t ftypSize = be32(h, 16, 0);
    if (ftypSize < 16 || ftypSize > 4096 || ftypSize % 4) return invalid();
    const uint8_t* f = s.view(0, ftypSize);
    if (!f) return invalid();
    // The major brand, or a compatible brand that says more than "MP4".
    const char* type = brandType(f + 8);
    for (uint32_t at = 16; at + 4 <= ftypSize && (!type || std::strcmp(type, "mp4") == 0); at += 4) {
        const char* t = brandType(f + at);
        if (t && (!type || std::strcmp(t, "mp4") != 0)) type = t;
    }
    const bool heif = type && (std::strcmp(type, "heic") == 0 || std::strcmp(type, "avif") == 0);
    bool movie = false, meta = false, data = false;
    uint64_t pos = ftypSize, weak = UINT64_MAX;
    for (int boxes = 0; boxes < 1 << 20; ++boxes) {
        const uint8_t* b = s.view(pos, 16);
        if (!b) b = s.view(pos, 8);
        if (!b || !topLevelBox(b + 4)) break;
        uint64_t size = be32(b, 8, 0), header = 8;
        if (size == 1) {
            const uint8_t* l = s.view(pos, 16);
            if (!l) break;
            size = be64(l, 16, 8);
            header = 16;
        }
        if (size == 0) {  // runs to the end of the file: not known here
            if (same(b + 4, "mdat", 4)) data = true;
            return truncated(s.limit(), pos + header, type);
        }
        if (size < header) break;
        const bool isMoov = same(b + 4, "moov", 4), isMdat = same(b + 4, "mdat", 4), isMeta = same(b + 4, "meta", 4);
        if (isMoov) {
            // The movie box holds boxes too.
            const uint8_t* c = size >= 16 ? s.view(pos + 8, 8) : nullptr;
            if (!c || be32(c, 8, 0) < 8 || !isAlpha(c[4])) break;
            movie = true;
        }
        if (isMeta) meta = true;
        const uint64_t end = sum(pos, size);
        if (end > s.limit()) {
            if (isMdat) data = true;
            return truncated(s.limit(), pos + header, type);
        }
        if (isMdat) {
            data = true;
            weak = std::min(weak, pos + header);
        }
        pos = end;
    }
    if (movie || (meta && (heif || !data))) return complete(pos, type);
    // No movie box: the file was cut before it (recorders write it last).
    if (pos == ftypSize) return invalid();
    return truncated(pos, std::min(weak, pos), type);
}

}  // namespace brantlow::raw
