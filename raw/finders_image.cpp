// End finders for pictures: JPEG, PNG, GIF, BMP, TIFF and the camera raw
// formats built on TIFF.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "raw/finder_util.h"

namespace brantlow::raw {

using namespace finder;

// ---------------------------------------------------------------------------
// JPEG (ITU-T T.81): marker segments by their lengths, so an EXIF thumbnail
// inside APP1 is passed over whole; entropy-coded data scanned for the
// markers that may follow it (stuffed FF 00 and RSTn in order stay inside),
// up to the main image's EOI. Images listed in an MPF index (APP2) that lie
// after the EOI belong to the file.

namespace {

struct MpfIndex {
    uint64_t end = 0;                 // end of the last listed image
    std::vector<uint64_t> starts;     // where the listed images begin
};

// APP2 "MPF\0": a TIFF-style header at base, an IFD whose MPEntry (B002)
// lists the images by size and offset from base.
void readMpf(const uint8_t* p, size_t n, uint64_t base, MpfIndex& mpf) {
    if (n < 8) return;
    Endian e;
    if (same(p, "MM\0*", 4)) e.big = true;
    else if (!same(p, "II*\0", 4)) return;
    uint32_t ifd = e.u32(p + 4);
    if (ifd < 8 || ifd > n - 2) return;
    uint16_t count = e.u16(p + ifd);
    for (uint32_t i = 0; i < count && i < 64; ++i) {
        size_t at = ifd + 2 + 12u * i;
        if (at + 12 > n) return;
        if (e.u16(p + at) != 0xB002) continue;
        uint32_t bytes = e.u32(p + at + 4), off = e.u32(p + at + 8);
        for (uint32_t k = 0; k + 16 <= bytes && k < 16u * 16; k += 16) {
            if (off > n || k + 16 > n - off) return;
            const uint8_t* entry = p + off + k;
            uint32_t size = e.u32(entry + 4), dataOff = e.u32(entry + 8);
            if (dataOff == 0 || size == 0) continue;  // the main image
            mpf.starts.push_back(base + dataOff);
            mpf.end = std::max(mpf.end, sum(sum(base, dataOff), size));
        }
    }
}

bool jpegTableOk(uint8_t code, const uint8_t* p, size_t len) {
    size_t off = 2;
    if (code == 0xC4) {  // DHT
        while (off < len) {
            if ((p[off] >> 4) > 1 || (p[off] & 15) > 3 || off + 17 > len) return false;
            size_t total = 0;
            for (size_t i = 1; i <= 16; ++i) total += p[off + i];
            if (total > 256) return false;
            off += 17 + total;
        }
        return off == len;
    }
    while (off < len) {  // DQT
        if ((p[off] >> 4) > 1 || (p[off] & 15) > 3) return false;
        off += 1 + 64u * ((p[off] >> 4) + 1);
    }
    return off == len;
}

bool isSof(uint8_t c) { return c >= 0xC0 && c <= 0xCF && c != 0xC4 && c != 0xC8 && c != 0xCC; }

}  // namespace

EndResult findJpegEnd(Source& s) {
    const uint8_t* h = s.view(0, 4);
    if (!h || h[0] != 0xFF || h[1] != 0xD8 || h[2] != 0xFF) return invalid();
    constexpr uint64_t kNone = UINT64_MAX;
    bool anySegment = false, frame = false, scan = false;
    unsigned restartInterval = 0;
    uint64_t weak = kNone;  // where the last entropy-coded data began
    MpfIndex mpf;
    std::string label;
    bool doubtful = false;
    uint64_t pos = 2;
    auto broken = [&](uint64_t at) -> EndResult {
        if (!anySegment) return invalid();
        EndResult r = truncated(at, weak == kNone ? at : weak);
        r.label = label;
        return r;
    };
    auto pastLimit = [&](uint64_t from) -> EndResult {
        if (!anySegment) return invalid();
        EndResult r = truncated(s.limit(), weak == kNone ? from : weak);
        r.label = label;
        return r;
    };
    for (int guard = 0; guard < 1 << 22; ++guard) {
        uint8_t b = 0;
        if (!s.byteAt(pos, b)) return pastLimit(pos);
        if (b != 0xFF) return broken(pos);
        uint64_t m = pos + 1;
        uint8_t code = 0xFF;
        while (s.byteAt(m, code) && code == 0xFF && m - pos < 4096) ++m;  // fill bytes
        if (m >= s.limit()) return pastLimit(pos);
        if (code == 0xFF) return broken(pos);
        if (code == 0xD9) {
            if (!frame || !scan) return broken(pos);
            uint64_t size = m + 1;
            if (mpf.end > size) {
                bool ok = mpf.end <= s.limit();
                for (uint64_t st : mpf.starts) {
                    const uint8_t* q = ok && st >= size ? s.view(st, 3) : nullptr;
                    ok = q && q[0] == 0xFF && q[1] == 0xD8 && q[2] == 0xFF;
                    if (!ok) break;
                }
                if (ok) size = mpf.end;
            }
            EndResult r = complete(size);
            r.label = label;
            r.doubtful = doubtful;
            return r;
        }
        if (code == 0x01) {  // TEM: no length
            pos = m + 1;
            continue;
        }
        if (code < 0xC0 || code == 0xD8 || (code >= 0xD0 && code <= 0xD7)) return broken(pos);
        // Between scans only tables, restart intervals, line counts and
        // the next scan follow (and comments).
        if (scan && !(code == 0xC4 || code == 0xDB || code == 0xDD || code == 0xDA || code == 0xDC || code == 0xFE))
            return broken(pos);
        const uint8_t* lp = s.view(m + 1, 2);
        if (!lp) return pastLimit(pos);
        const uint16_t len = be16(lp, 2, 0);
        if (len < 2) return broken(pos);
        const uint64_t segEnd = m + 1 + len;
        if (segEnd > s.limit()) return pastLimit(pos);
        if (isSof(code) || code == 0xC4 || code == 0xDB || code == 0xDA || code == 0xDD) {
            if (len > Source::kMaxView) return broken(pos);
            const uint8_t* p = s.view(m + 1, len);
            if (!p) return pastLimit(pos);
            if (isSof(code)) {
                const bool lossless = code == 0xC3 || code == 0xC7 || code == 0xCB || code == 0xCF;
                if (frame || len < 8) return broken(pos);
                uint8_t precision = p[2], nf = p[7];
                if (!(precision == 8 || precision == 12 || (lossless && precision >= 2 && precision <= 16)))
                    return broken(pos);
                if (be16(p, len, 5) == 0 || nf < 1 || nf > 4 || len != 8u + 3u * nf) return broken(pos);
                frame = true;
            } else if (code == 0xC4 || code == 0xDB) {
                if (!jpegTableOk(code, p, len)) return broken(pos);
            } else if (code == 0xDD) {
                if (len != 4) return broken(pos);
                restartInterval = be16(p, len, 2);
            } else {  // SOS, then the entropy-coded data
                if (!frame || len < 3) return broken(pos);
                uint8_t ns = p[2];
                if (ns < 1 || ns > 4 || len != 6u + 2u * ns) return broken(pos);
                uint8_t ss = p[3 + 2 * ns], se = p[4 + 2 * ns], ahal = p[5 + 2 * ns];
                if (ss > 63 || se > 63 || (ahal >> 4) > 13 || (ahal & 15) > 13) return broken(pos);
                scan = true;
                anySegment = true;
                weak = segEnd;
                unsigned rst = 0;
                uint64_t q = segEnd;
                while (true) {
                    // The next FF and the byte after it, from the held bytes
                    // while they last (most FFs are stuffed FF 00).
                    uint64_t f = Source::kNotFound;
                    uint8_t c = 0;
                    size_t n = 0;
                    if (const uint8_t* p = s.span(q, n)) {
                        const uint8_t* h = n > 1 ? static_cast<const uint8_t*>(std::memchr(p, 0xFF, n - 1)) : nullptr;
                        if (h) {
                            f = q + static_cast<uint64_t>(h - p);
                            c = h[1];
                        }
                    }
                    if (f == Source::kNotFound) {
                        f = s.findByte(q, s.limit(), 0xFF);
                        if (f == Source::kNotFound) return pastLimit(segEnd);
                        if (!s.byteAt(f + 1, c)) return pastLimit(segEnd);
                    }
                    // Compressed data holds an FF every few hundred bytes.
                    if (f - q > 4096) doubtful = true;
                    if (c == 0x00) {
                        q = f + 2;
                        continue;
                    }
                    if (c >= 0xD0 && c <= 0xD7) {
                        if (!restartInterval || c - 0xD0u != rst) return broken(f);
                        rst = (rst + 1) & 7;
                        q = f + 2;
                        continue;
                    }
                    pos = f;  // a marker (or fill bytes before one) ends the scan
                    break;
                }
                continue;
            }
        } else if (code == 0xE1 && len >= 16 && label.empty()) {
            const uint8_t* p = s.view(m + 1, 8);
            if (p && same(p + 2, "Exif\0\0", 6)) label = exifLabel(s, m + 9);
        } else if (code == 0xE2 && len >= 8) {
            const size_t n = std::min<size_t>(len, Source::kMaxView);
            const uint8_t* p = s.view(m + 1, n);
            if (p && same(p + 2, "MPF\0", 4)) readMpf(p + 6, n - 6, m + 7, mpf);
        }
        // APPn, COM and the other segments are passed over whole.
        anySegment = true;
        pos = segEnd;
    }
    return broken(pos);
}

// ---------------------------------------------------------------------------
// PNG (ISO/IEC 15948): chunks by length to IEND, each chunk's CRC checked;
// the first chunk is IHDR.

EndResult findPngEnd(Source& s) {
    // PNG, and MNG and JNG, which share its chunks.
    const uint8_t* h = s.view(0, 8);
    if (!h || !same(h + 2, "NG\r\n\x1A\n", 6)) return invalid();
    const char* type = nullptr;
    const char* head = "IHDR";
    const char* last = "IEND";
    uint32_t headLen = 13;
    if (h[0] == 0x8A && h[1] == 'M') type = "mng", head = "MHDR", last = "MEND", headLen = 28;
    else if (h[0] == 0x8B && h[1] == 'J') type = "jng", head = "JHDR", headLen = 16;
    else if (h[0] != 0x89 || h[1] != 'P') return invalid();
    uint64_t pos = 8;
    bool first = true;
    for (uint64_t chunks = 0; chunks < (1u << 24); ++chunks) {
        const uint8_t* c = s.view(pos, 8);
        if (!c) return first ? invalid() : truncated(s.limit(), pos, type);
        const uint32_t len = be32(c, 8, 0);
        const bool named = isAlpha(c[4]) && isAlpha(c[5]) && isAlpha(c[6]) && isAlpha(c[7]);
        if (!named || len > 0x7FFFFFFFu) return first ? invalid() : truncated(pos, pos, type);
        const bool iend = same(c + 4, last, 4);
        if (first && (!same(c + 4, head, 4) || len != headLen)) return invalid();
        const uint64_t end = pos + 12 + len;
        if (end > s.limit()) return first ? invalid() : truncated(s.limit(), pos + 8, type);
        // CRC of the type and data.
        uint32_t crc = 0;
        for (uint64_t at = pos + 4; at < pos + 8 + len;) {
            size_t n = 0;
            const uint8_t* p = s.span(at, n);
            if (!p) return truncated(s.limit(), pos + 8, type);
            n = static_cast<size_t>(std::min<uint64_t>(n, pos + 8 + len - at));
            n = std::min<size_t>(n, 1u << 30);
            crc = crc32Update(crc, p, n);
            at += n;
        }
        const uint8_t* t = s.view(pos + 8 + len, 4);
        if (!t) return truncated(s.limit(), pos + 8, type);
        if (be32(t, 4, 0) != crc) return first ? invalid() : truncated(end, pos + 8, type);
        if (iend) return complete(end, type);
        first = false;
        pos = end;
    }
    return truncated(pos, pos, type);
}

// ---------------------------------------------------------------------------
// GIF (87a / 89a): header, logical screen and colour table, then extension
// and image blocks with their sub-blocks, to the trailer 3B.

EndResult findGifEnd(Source& s) {
    const uint8_t* h = s.view(0, 13);
    if (!h || !(same(h, "GIF87a", 6) || same(h, "GIF89a", 6))) return invalid();
    uint64_t pos = 13;
    if (h[10] & 0x80) pos += 3u << ((h[10] & 7) + 1);
    bool image = false;
    uint64_t weak = UINT64_MAX;
    // Sub-blocks: a length byte, that many bytes, to a zero length.
    auto subBlocks = [&](uint64_t& at) -> bool {
        for (uint64_t k = 0; k < (1u << 26); ++k) {
            uint8_t n = 0;
            if (!s.byteAt(at, n)) return false;
            at += 1 + n;
            if (n == 0) return true;
        }
        return false;
    };
    auto stop = [&](uint64_t at) -> EndResult {
        if (!image) return invalid();
        return truncated(std::min(at, s.limit()), std::min(weak, at));
    };
    for (uint64_t blocks = 0; blocks < (1u << 22); ++blocks) {
        uint8_t b = 0;
        if (!s.byteAt(pos, b)) return stop(s.limit());
        if (b == 0x3B) {
            if (!image) return invalid();
            return complete(pos + 1);
        }
        if (b == 0x21) {
            uint64_t at = pos + 2;
            if (!subBlocks(at)) return stop(s.limit());
            pos = at;
        } else if (b == 0x2C) {
            const uint8_t* d = s.view(pos, 10);
            if (!d) return stop(s.limit());
            uint64_t at = pos + 10;
            if (d[9] & 0x80) at += 3u << ((d[9] & 7) + 1);
            uint8_t codeSize = 0;
            if (!s.byteAt(at, codeSize)) return stop(s.limit());
            if (codeSize < 1 || codeSize > 11) return stop(pos);
            ++at;
            const uint64_t dataStart = at;
            if (!subBlocks(at)) {
                image = true;
                weak = std::min(weak, dataStart);
                return stop(s.limit());
            }
            image = true;
            weak = std::min(weak, dataStart);
            pos = at;
        } else {
            return stop(pos);
        }
    }
    return stop(pos);
}

// ---------------------------------------------------------------------------
// BMP: BITMAPFILEHEADER and a known info header; the file size field, or
// the pixel array's size when the field is 0.

EndResult findBmpEnd(Source& s) {
    const uint8_t* h = s.view(0, 54);
    if (!h || h[0] != 'B' || h[1] != 'M') return invalid();
    const uint32_t fileSize = le32(h, 54, 2), dataOff = le32(h, 54, 10), hdr = le32(h, 54, 14);
    if (!(hdr == 12 || hdr == 40 || hdr == 52 || hdr == 56 || hdr == 64 || hdr == 108 || hdr == 124))
        return invalid();
    if (dataOff < 14 + hdr) return invalid();
    uint64_t width, height;
    uint16_t planes, bpp;
    uint32_t compression = 0;
    if (hdr == 12) {
        width = le16(h, 54, 18);
        height = le16(h, 54, 20);
        planes = le16(h, 54, 22);
        bpp = le16(h, 54, 24);
    } else {
        int32_t w = static_cast<int32_t>(le32(h, 54, 18)), ht = static_cast<int32_t>(le32(h, 54, 22));
        if (w <= 0 || ht == 0 || ht == INT32_MIN) return invalid();
        width = static_cast<uint64_t>(w);
        height = static_cast<uint64_t>(ht < 0 ? -static_cast<int64_t>(ht) : ht);
        planes = le16(h, 54, 26);
        bpp = le16(h, 54, 28);
        compression = le32(h, 54, 30);
    }
    if (planes != 1 || !(bpp == 1 || bpp == 2 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32))
        return invalid();
    if (compression > 6 || width == 0 || height == 0) return invalid();
    // Rows are padded to 4 bytes; only uncompressed pixels have a known size.
    uint64_t pixels = product(((product(width, bpp) + 31) / 32) * 4, height);
    uint64_t size = fileSize;
    if (compression == 0 || compression == 3 || compression == 6) {
        uint64_t need = sum(dataOff, pixels);
        if (size == 0) size = need;
        if (size < need) return invalid();
    } else if (size <= dataOff) {
        return invalid();
    }
    if (size > s.limit()) return truncated(s.limit(), dataOff);
    return complete(size);
}

// ---------------------------------------------------------------------------
// TIFF and the raw formats on it (CR2, NEF, DNG, ARW …): every IFD reached
// from the header (the chain, SubIFDs, EXIF, GPS, interoperability) and the
// extents of every value, strip, tile and embedded JPEG it names; the file
// ends at the last of them.

namespace {

size_t tiffTypeSize(uint16_t type) {
    switch (type) {
    case 1: case 2: case 6: case 7: return 1;
    case 3: case 8: return 2;
    case 4: case 9: case 11: case 13: return 4;
    case 5: case 10: case 12: case 16: case 17: case 18: return 8;
    default: return 0;
    }
}

struct TiffWalk {
    explicit TiffWalk(Source& src) : s(src) {}
    Source& s;
    Endian e;
    uint64_t end = 8;
    std::vector<uint64_t> queue, seen;
    std::string make;
    bool dng = false;
    int reads = 0;

    // The idx-th value (SHORT or LONG) of an entry.
    bool value(const uint8_t* entry, uint64_t idx, uint64_t& out) {
        uint16_t type = e.u16(entry + 2);
        uint32_t count = e.u32(entry + 4);
        size_t w = type == 3 ? 2 : (type == 4 || type == 13) ? 4 : 0;
        if (!w || idx >= count) return false;
        const uint8_t* p;
        if (uint64_t{count} * w <= 4) {
            p = entry + 8 + idx * w;
        } else {
            if (++reads > (1 << 21)) return false;
            p = s.view(sum(e.u32(entry + 8), idx * w), w);
            if (!p) return false;
        }
        out = w == 2 ? e.u16(p) : e.u32(p);
        return true;
    }

    void push(uint64_t off) {
        if (off < 8 || off >= s.limit() || seen.size() >= 256) return;
        if (std::find(seen.begin(), seen.end(), off) != seen.end()) return;
        seen.push_back(off);
        queue.push_back(off);
    }

    // The largest offset + count over a pair of offset / byte-count arrays.
    void extents(const uint8_t* offs, const uint8_t* counts) {
        uint32_t n = std::min(e.u32(offs + 4), e.u32(counts + 4));
        for (uint32_t i = 0; i < n && i < (1u << 20); ++i) {
            uint64_t o, c;
            if (!value(offs, i, o) || !value(counts, i, c)) return;
            end = std::max(end, sum(o, c));
        }
    }

    bool ifd(uint64_t off) {
        const uint8_t* c = s.view(off, 2);
        if (!c) return false;
        uint16_t n = e.u16(c);
        if (n == 0 || n > 4096) return false;
        end = std::max(end, off + 2 + 12u * n + 4);
        std::array<uint8_t, 12> offsets{}, counts{}, jpegOff{}, jpegLen{}, tileOff{}, tileLen{};
        bool haveOff = false, haveCount = false, haveJo = false, haveJl = false, haveTo = false, haveTl = false;
        std::array<uint8_t, 12> jxrOff[2]{}, jxrLen[2]{};  // JPEG XR image and alpha planes
        bool haveXo[2]{}, haveXl[2]{};
        int known = 0;
        for (uint16_t i = 0; i < n; ++i) {
            const uint8_t* en = s.view(off + 2 + 12u * i, 12);
            if (!en) return false;
            std::array<uint8_t, 12> entry;
            std::memcpy(entry.data(), en, 12);
            const uint16_t tag = e.u16(en), type = e.u16(en + 2);
            const uint32_t count = e.u32(en + 4);
            const size_t w = tiffTypeSize(type);
            if (!w) continue;
            ++known;
            const uint64_t bytes = product(count, w);
            if (bytes > 4) end = std::max(end, sum(e.u32(en + 8), bytes));
            switch (tag) {
            case 273: offsets = entry; haveOff = true; break;
            case 279: counts = entry; haveCount = true; break;
            case 324: tileOff = entry; haveTo = true; break;
            case 325: tileLen = entry; haveTl = true; break;
            case 513: jpegOff = entry; haveJo = true; break;
            case 48320: case 48322: jxrOff[tag == 48322] = entry; haveXo[tag == 48322] = true; break;
            case 48321: case 48323: jxrLen[tag == 48323] = entry; haveXl[tag == 48323] = true; break;
            case 514: jpegLen = entry; haveJl = true; break;
            case 271:
                if (type == 2) {
                    const uint8_t* t = bytes <= 4 ? entry.data() + 8 : s.view(e.u32(en + 8), std::min<uint64_t>(bytes, 32));
                    if (t) make.assign(reinterpret_cast<const char*>(t), std::min<uint64_t>(bytes, bytes <= 4 ? 4 : 32));
                }
                break;
            case 50706: dng = true; break;
            case 330: case 34665: case 34853: case 40965:
                for (uint32_t k = 0; k < count && k < 32; ++k) {
                    uint64_t v;
                    if (value(entry.data(), k, v)) push(v);
                }
                break;
            default:
                if (type == 13)
                    for (uint32_t k = 0; k < count && k < 32; ++k) {
                        uint64_t v;
                        if (value(entry.data(), k, v)) push(v);
                    }
            }
        }
        if (known == 0) return false;
        if (haveOff && haveCount) extents(offsets.data(), counts.data());
        if (haveTo && haveTl) extents(tileOff.data(), tileLen.data());
        for (int k = 0; k < 2; ++k)
            if (haveXo[k] && haveXl[k]) extents(jxrOff[k].data(), jxrLen[k].data());
        if (haveJo && haveJl) {
            uint64_t o, l;
            if (value(jpegOff.data(), 0, o) && value(jpegLen.data(), 0, l)) end = std::max(end, sum(o, l));
        }
        if (const uint8_t* next = s.view(off + 2 + 12u * n, 4)) push(e.u32(next));
        return true;
    }
};

}  // namespace

EndResult findTiffEnd(Source& s) {
    const uint8_t* h = s.view(0, 16);
    if (!h) return invalid();
    TiffWalk w(s);
    const char* variant = nullptr;  // the layouts on TIFF's with another magic number
    if (same(h, "MM\0*", 4)) w.e.big = true;
    else if (same(h, "IIRO", 4) || same(h, "IIRS", 4)) variant = "orf";
    else if (same(h, "MMOR", 4)) w.e.big = true, variant = "orf";
    else if (same(h, "IIU\0", 4)) variant = "rw2";
    else if (same(h, "II\xBC\x01", 4)) variant = "jxr";
    else if (!same(h, "II*\0", 4)) return invalid();
    const uint32_t first = w.e.u32(h + 4);
    const bool cr2 = first == 16 && same(h + 8, "CR", 2);
    w.push(first);
    bool firstOk = false;
    for (size_t i = 0; i < w.queue.size() && !s.stopped(); ++i) {
        bool ok = w.ifd(w.queue[i]);
        if (i == 0) {
            if (!ok) return invalid();
            firstOk = true;
        }
    }
    if (!firstOk || s.stopped()) return invalid();
    const char* type = nullptr;
    auto makeIs = [&](const char* m) { return w.make.rfind(m, 0) == 0; };
    if (variant) type = variant;
    else if (cr2) type = "cr2";
    else if (w.dng) type = "dng";
    else if (makeIs("NIKON")) type = "nef";
    else if (makeIs("SONY")) type = "arw";
    else if (makeIs("PENTAX")) type = "pef";
    else if (makeIs("OLYMPUS")) type = "orf";
    else type = "tif";
    EndResult r = w.end > s.limit() ? truncated(s.limit(), w.end, type) : complete(w.end, type);
    r.label = exifLabel(s, 0);
    return r;
}

}  // namespace brantlow::raw
