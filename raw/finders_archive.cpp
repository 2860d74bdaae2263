// End finders for archives and compressed streams (7z, RAR 4 and 5, gzip,
// bzip2, xz, zstd, lz4, tar, cpio, ar/deb, CAB, WIM, ISO 9660) and for disk
// images and system files (VHD, VMDK, QCOW2, VDI, EWF, event logs, registry
// hives, pcap, prefetch).
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "raw/finder_util.h"

namespace brantlow::raw {

using namespace finder;

// ---------------------------------------------------------------------------
// 7z: the signature header names the next header's offset and size; its CRC
// is checked.

EndResult find7zEnd(Source& s) {
    const uint8_t* h = s.view(0, 32);
    if (!h || !same(h, "7z\xBC\xAF\x27\x1C", 6) || h[6] != 0) return invalid();
    if (crc32Update(0, h + 12, 20) != le32(h, 32, 8)) return invalid();
    const uint64_t off = le64(h, 32, 12), size = le64(h, 32, 20);
    if (size == 0 || size > (1ull << 40) || off > (1ull << 48)) return invalid();
    return upTo(s, sum(32, sum(off, size)), nullptr, 32);
}

// ---------------------------------------------------------------------------
// RAR 4: blocks (CRC, type, flags, size, and the packed data a file header
// or a block with the long-block flag carries) to the end-of-archive block.

EndResult findRar4End(Source& s) {
    const uint8_t* h = s.view(0, 7);
    if (!h || !same(h, "Rar!\x1A\x07\x00", 7)) return invalid();
    uint64_t pos = 7;
    bool files = false;
    for (int n = 0; n < (1 << 22); ++n) {
        const uint8_t* b = s.view(pos, 11);
        if (!b) return files ? truncated(s.limit(), pos) : invalid();
        const uint8_t type = b[2];
        const uint16_t flags = le16(b, 11, 3), size = le16(b, 11, 5);
        if (type < 0x72 || type > 0x7B || size < 7) return files ? complete(pos) : invalid();
        uint64_t total = size;
        if (type == 0x74 || (flags & 0x8000)) {
            uint64_t add = le32(b, 11, 7);
            if (type == 0x74 && (flags & 0x100)) {
                const uint8_t* x = s.view(pos + 32, 8);
                if (x) add |= uint64_t{le32(x, 8, 4)} << 32;
            }
            total = sum(total, add);
            if (type == 0x74) files = true;
        }
        if (type == 0x7B) return upTo(s, pos + size);
        pos = sum(pos, total);
        if (pos > s.limit()) return truncated(s.limit(), 7);
    }
    return invalid();
}

// ---------------------------------------------------------------------------
// RAR 5: headers with variable-length sizes; data areas skipped; the end of
// archive header (type 5) ends the file.

namespace {
bool vint(Source& s, uint64_t& pos, uint64_t& v) {
    v = 0;
    for (int i = 0; i < 10; ++i) {
        uint8_t b;
        if (!s.byteAt(pos++, b)) return false;
        v |= uint64_t{b & 0x7Fu} << (7 * i);
        if (!(b & 0x80)) return true;
    }
    return false;
}
}  // namespace

EndResult findRar5End(Source& s) {
    const uint8_t* h = s.view(0, 8);
    if (!h || !same(h, "Rar!\x1A\x07\x01\x00", 8)) return invalid();
    uint64_t pos = 8;
    bool any = false;
    for (int n = 0; n < (1 << 22); ++n) {
        const uint64_t start = pos;
        uint64_t q = pos + 4, hsize, type, flags, extra = 0, data = 0;
        if (!vint(s, q, hsize)) return any ? truncated(s.limit(), start) : invalid();
        const uint64_t body = q;
        if (hsize < 2 || hsize > (2u << 20) || !vint(s, q, type) || !vint(s, q, flags)) return any ? complete(start) : invalid();
        if (type < 1 || type > 5) return any ? complete(start) : invalid();
        if (flags & 1) vint(s, q, extra);
        if (flags & 2) vint(s, q, data);
        // The header CRC covers the size field and the header.
        if (const uint8_t* c = s.view(start, 4)) {
            const uint32_t stored = le32(c, 4, 0);  // views hold until the next one
            const size_t n = static_cast<size_t>(hsize + (body - start - 4));
            const uint8_t* hb = n <= Source::kMaxView ? s.view(start + 4, n) : nullptr;
            if (hb && crc32Update(0, hb, n) != stored) return any ? complete(start) : invalid();
        }
        any = true;
        pos = sum(sum(body, hsize), data);
        if (type == 5) return upTo(s, pos);
        if (pos > s.limit()) return truncated(s.limit(), 8);
    }
    return invalid();
}

// ---------------------------------------------------------------------------
// gzip (RFC 1952): the header, the deflate stream inflated to its end, the
// trailer's length checked; members that follow each other are one file. A
// tar inside names it "tgz".

EndResult findGzipEnd(Source& s) {
    const uint8_t* h = s.view(0, 10);
    if (!h || h[0] != 0x1F || h[1] != 0x8B || h[2] != 8 || (h[3] & 0xE0)) return invalid();
    const char* type = nullptr;
    uint64_t pos = 0, end = 0;
    std::vector<uint8_t> out(64 * 1024);
    for (int member = 0; member < 4096; ++member) {
        const uint8_t* m = s.view(pos, 10);
        if (!m || m[0] != 0x1F || m[1] != 0x8B || m[2] != 8 || (m[3] & 0xE0)) break;
        const uint8_t flags = m[3];
        uint64_t q = pos + 10;
        if (flags & 4) {
            const uint8_t* x = s.view(q, 2);
            if (!x) break;
            q += 2 + le16(x, 2, 0);
        }
        for (int field : {8, 16})
            if (flags & field) {
                const uint64_t z = s.findByte(q, sum(q, 65536), 0);
                if (z == Source::kNotFound) return end ? complete(end, type) : invalid();
                q = z + 1;
            }
        if (flags & 2) q += 2;
        z_stream z{};
        if (inflateInit2(&z, -15) != Z_OK) break;
        uint64_t total = 0;
        int rc = Z_OK;
        bool first = true;
        while (rc == Z_OK) {
            size_t n = 0;
            const uint8_t* p = s.span(q, n);
            if (!p) break;
            n = std::min<size_t>(n, 1u << 20);
            z.next_in = const_cast<Bytef*>(p);
            z.avail_in = static_cast<uInt>(n);
            while (z.avail_in > 0 && rc == Z_OK) {
                z.next_out = out.data();
                z.avail_out = static_cast<uInt>(out.size());
                rc = inflate(&z, Z_NO_FLUSH);
                const size_t made = out.size() - z.avail_out;
                if (first && member == 0 && made >= 263) {
                    if (std::memcmp(out.data() + 257, "ustar", 5) == 0) type = "tgz";
                    first = false;
                }
                total += made;
                if (rc == Z_BUF_ERROR && made > 0) rc = Z_OK;
            }
            q += n - z.avail_in;
        }
        inflateEnd(&z);
        if (rc != Z_STREAM_END) {
            if (s.stopped()) return invalid();
            // Cut off (or not deflate after all): valid as far as it inflated.
            return member == 0 ? (q > 10 ? truncated(std::min(q, s.limit()), 10, type) : invalid())
                               : complete(end, type);
        }
        const uint8_t* t = s.view(q, 8);
        if (!t) return truncated(s.limit(), q, type);
        if (le32(t, 8, 4) != static_cast<uint32_t>(total)) return member == 0 ? invalid() : complete(end, type);
        end = pos = q + 8;
    }
    return end ? complete(end, type) : invalid();
}

// ---------------------------------------------------------------------------
// bzip2: blocks are bit-aligned; the stream ends with the 48-bit end marker
// and the combined CRC, padded to a byte. Streams that follow each other
// (parallel compressors) are one file.

EndResult findBzip2End(Source& s) {
    const uint8_t* h = s.view(0, 10);
    if (!h || !same(h, "BZh", 3) || h[3] < '1' || h[3] > '9' || !same(h + 4, "\x31\x41\x59\x26\x53\x59", 6))
        return invalid();
    constexpr uint64_t kEos = 0x177245385090ull, kMask = (1ull << 48) - 1;
    uint64_t pos = 4, end = 0, reg = 0;
    while (true) {
        size_t n = 0;
        const uint8_t* p = s.span(pos, n);
        if (!p) return end ? complete(end) : truncated(s.limit(), 4);
        for (size_t i = 0; i < n; ++i) {
            reg = reg << 8 | p[i];
            for (unsigned sh = 0; sh < 8; ++sh) {
                if (((reg >> sh) & kMask) != kEos) continue;
                // The marker's last bit is bit (7 - sh) of this byte; 32 CRC bits follow.
                const uint64_t lastBit = (pos + i) * 8 + (7 - sh) + 32;
                end = lastBit / 8 + 1;
                const uint8_t* next = s.view(end, 10);
                if (next && same(next, "BZh", 3) && next[3] >= '1' && next[3] <= '9' &&
                    same(next + 4, "\x31\x41\x59\x26\x53\x59", 6)) {
                    pos = end + 4;
                    reg = 0;
                    goto nextStream;
                }
                return upTo(s, end);
            }
        }
        pos += n;
        continue;
    nextStream:;
    }
}

// ---------------------------------------------------------------------------
// xz: the stream footer ("YZ" at a multiple of 4 bytes, its CRC and the
// header's flags) whose backward size points at an index.

EndResult findXzEnd(Source& s) {
    const uint8_t* h = s.view(0, 12);
    if (!h || !same(h, "\xFD" "7zXZ\0", 6) || h[6] != 0 || h[7] > 0x0F) return invalid();
    if (crc32Update(0, h + 6, 2) != le32(h, 12, 8)) return invalid();
    const uint8_t flags[2] = {h[6], h[7]};  // views hold until the next one
    for (uint64_t from = 12;;) {
        const uint64_t y = s.find(from, s.limit(), "YZ", 2);
        if (y == Source::kNotFound) return truncated(s.limit(), 12);
        from = y + 1;
        if ((y + 2) % 4 || y < 22) continue;
        const uint8_t* f = s.view(y - 10, 12);
        if (!f || f[8] != flags[0] || f[9] != flags[1] || crc32Update(0, f + 4, 6) != le32(f, 12, 0)) continue;
        const uint64_t index = y - 10 - (uint64_t{le32(f, 12, 4)} + 1) * 4;
        uint8_t b;
        if (index < 12 || index >= y || !s.byteAt(index, b) || b != 0) continue;
        return complete(y + 2);
    }
}

// ---------------------------------------------------------------------------
// Zstandard (RFC 8878): frames by their header and block sizes (the content
// checksum after the last block); skippable frames and further frames that
// follow directly are part of the file.

EndResult findZstdEnd(Source& s) {
    uint64_t pos = 0;
    int frames = 0;
    for (; frames < 65536; ++frames) {
        const uint8_t* m = s.view(pos, 4);
        if (!m) break;
        const uint32_t magic = le32(m, 4, 0);
        if ((magic & 0xFFFFFFF0u) == 0x184D2A50u) {  // skippable frame
            const uint8_t* k = s.view(pos, 8);
            if (!k || frames == 0) break;
            pos = sum(pos + 8, le32(k, 8, 4));
            continue;
        }
        if (magic != 0xFD2FB528u) break;
        const uint8_t* d = s.view(pos + 4, 1);
        if (!d || (d[0] & 0x08)) break;  // reserved bit
        const unsigned fcs = d[0] >> 6, single = (d[0] >> 5) & 1, checksum = (d[0] >> 2) & 1, dict = d[0] & 3;
        static const unsigned dictBytes[4] = {0, 1, 2, 4}, fcsBytes[4] = {0, 2, 4, 8};
        uint64_t q = pos + 5 + (single ? 0 : 1) + dictBytes[dict] + (fcs == 0 && single ? 1 : fcsBytes[fcs]);
        bool last = false;
        for (int b = 0; !last && b < (1 << 22); ++b) {
            const uint8_t* bh = s.view(q, 3);
            if (!bh) return frames ? complete(pos) : truncated(s.limit(), 4);
            const uint32_t v = bh[0] | bh[1] << 8 | bh[2] << 16;
            last = v & 1;
            const unsigned type = (v >> 1) & 3;
            const uint32_t size = v >> 3;
            if (type == 3 || size > (128u << 10)) return frames ? complete(pos) : invalid();
            q += 3 + (type == 1 ? 1 : size);
        }
        if (!last) break;
        pos = q + (checksum ? 4 : 0);
        if (pos > s.limit()) return truncated(s.limit(), 4);
    }
    return frames ? upTo(s, pos) : invalid();
}

// ---------------------------------------------------------------------------
// LZ4 frames: descriptor, blocks by their sizes to the end mark, checksums.

EndResult findLz4End(Source& s) {
    uint64_t pos = 0;
    int frames = 0;
    for (; frames < 65536; ++frames) {
        const uint8_t* f = s.view(pos, 7);
        if (!f || le32(f, 7, 0) != 0x184D2204u || (f[4] >> 6) != 1) break;
        const uint8_t flg = f[4];
        uint64_t q = pos + 4 + 2 + ((flg & 8) ? 8 : 0) + ((flg & 1) ? 4 : 0) + 1;
        for (int b = 0;; ++b) {
            const uint8_t* bs = s.view(q, 4);
            if (!bs || b > (1 << 22)) return frames ? complete(pos) : truncated(s.limit(), 7);
            const uint32_t size = le32(bs, 4, 0) & 0x7FFFFFFFu;
            q += 4;
            if (size == 0) break;
            if (size > (4u << 20)) return frames ? complete(pos) : invalid();
            q += size + ((flg & 0x10) ? 4 : 0);
        }
        pos = q + ((flg & 4) ? 4 : 0);
    }
    return frames ? upTo(s, pos) : invalid();
}

// ---------------------------------------------------------------------------
// tar (POSIX ustar and GNU): 512-byte headers with their checksums and the
// sizes of what follows them, two zero blocks, and the zeros that pad the
// archive to its record size (10240 bytes). The signature "ustar" sits at
// 257 in the first header.

namespace {
bool octal(const uint8_t* p, size_t n, uint64_t& v) {
    v = 0;
    if (p[0] & 0x80) {  // base-256
        for (size_t i = 1; i < n; ++i) v = v << 8 | p[i];
        return true;
    }
    size_t i = 0;
    while (i < n && p[i] == ' ') ++i;
    bool any = false;
    for (; i < n && p[i] >= '0' && p[i] <= '7'; ++i) v = v * 8 + (p[i] - '0'), any = true;
    for (; i < n; ++i)
        if (p[i] != 0 && p[i] != ' ') return false;
    return any;
}
bool tarHeader(const uint8_t* p, uint64_t& size) {
    uint64_t want;
    if (!octal(p + 148, 8, want)) return false;
    uint64_t sum = 8 * ' ';
    for (size_t i = 0; i < 512; ++i)
        if (i < 148 || i >= 156) sum += p[i];
    return sum == want && octal(p + 124, 12, size);
}
}  // namespace

EndResult findTarEnd(Source& s) {
    uint64_t pos = 0, size = 0;
    int headers = 0;
    while (headers < (1 << 22)) {
        const uint8_t* p = s.view(pos, 512);
        if (!p) return headers ? truncated(s.limit(), pos) : invalid();
        bool zero = true;
        for (size_t i = 0; i < 512 && zero; ++i) zero = p[i] == 0;
        if (zero) {
            // The end: two zero blocks, then zeros to the record's end.
            uint64_t end = pos + 512;
            const uint8_t* z = s.view(end, 512);
            bool second = z != nullptr;
            for (size_t i = 0; z && i < 512 && second; ++i) second = z[i] == 0;
            if (!second) return headers ? complete(end) : invalid();
            end += 512;
            while (end % 10240) {
                const uint8_t* q = s.view(end, 512);
                bool pad = q != nullptr;
                for (size_t i = 0; q && i < 512 && pad; ++i) pad = q[i] == 0;
                if (!pad) break;
                end += 512;
            }
            return complete(end);
        }
        if (!tarHeader(p, size)) return headers ? complete(pos) : invalid();
        ++headers;
        pos = sum(pos + 512, sum(size, 511) & ~uint64_t{511});
        if (pos > s.limit()) return truncated(s.limit(), 512);
    }
    return invalid();
}

// ---------------------------------------------------------------------------
// cpio (new ASCII "070701"/"070702" and old portable "070707"): entries by
// their name and file sizes to "TRAILER!!!", then the zeros that pad the
// archive to a 512-byte block.

namespace {
bool number(const uint8_t* p, size_t n, unsigned base, uint64_t& v) {
    v = 0;
    for (size_t i = 0; i < n; ++i) {
        unsigned d;
        if (p[i] >= '0' && p[i] <= '9') d = p[i] - '0';
        else if (base == 16 && (p[i] | 0x20) >= 'a' && (p[i] | 0x20) <= 'f') d = (p[i] | 0x20) - 'a' + 10;
        else return false;
        if (d >= base) return false;
        v = v * base + d;
    }
    return true;
}
}  // namespace

EndResult findCpioEnd(Source& s) {
    uint64_t pos = 0;
    for (int n = 0; n < (1 << 22); ++n) {
        const uint8_t* h = s.view(pos, 110);
        if (!h) return n ? truncated(s.limit(), pos) : invalid();
        uint64_t nameSize, fileSize, hdr;
        bool newc = same(h, "070701", 6) || same(h, "070702", 6);
        if (newc) {
            if (!number(h + 94, 8, 16, nameSize) || !number(h + 54, 8, 16, fileSize)) return n ? complete(pos) : invalid();
            hdr = 110;
        } else if (same(h, "070707", 6)) {
            if (!number(h + 59, 6, 8, nameSize) || !number(h + 65, 11, 8, fileSize)) return n ? complete(pos) : invalid();
            hdr = 76;
        } else {
            return n ? complete(pos) : invalid();
        }
        if (nameSize == 0 || nameSize > 4096) return n ? complete(pos) : invalid();
        const uint8_t* name = s.view(pos + hdr, static_cast<size_t>(nameSize));
        const bool trailer = name && nameSize == 11 && same(name, "TRAILER!!!", 10);
        uint64_t at = pos + hdr + nameSize;
        if (newc) at = (at + 3) & ~uint64_t{3};
        at = sum(at, fileSize);
        if (newc) at = (at + 3) & ~uint64_t{3};
        pos = at;
        if (trailer) {
            while (pos % 512) {
                uint8_t b;
                if (!s.byteAt(pos, b) || b != 0) break;
                ++pos;
            }
            return upTo(s, pos);
        }
        if (pos > s.limit()) return truncated(s.limit(), hdr);
    }
    return invalid();
}

// ---------------------------------------------------------------------------
// ar (Unix archives, Debian packages): "!<arch>", members with 60-byte
// headers and decimal sizes, padded to even.

EndResult findArEnd(Source& s) {
    const uint8_t* h = s.view(0, 8);
    if (!h || !same(h, "!<arch>\n", 8)) return invalid();
    uint64_t pos = 8;
    const char* type = nullptr;
    int n = 0;
    for (; n < (1 << 20); ++n) {
        const uint8_t* m = s.view(pos, 60);
        if (!m || m[58] != 0x60 || m[59] != 0x0A) break;
        uint64_t size = 0;
        size_t i = 48;
        for (; i < 58 && isDigit(m[i]); ++i) size = size * 10 + (m[i] - '0');
        if (i == 48) break;
        if (n == 0 && same(m, "debian-binary", 13)) type = "deb";
        pos = sum(pos + 60, size + (size & 1));
    }
    if (n == 0) return invalid();
    return upTo(s, pos, type ? type : "a");
}

// ---------------------------------------------------------------------------
// CAB: the cabinet's size from its header, checked against the version and
// the position of the file entries.

EndResult findCabEnd(Source& s) {
    const uint8_t* h = s.view(0, 36);
    if (!h || !same(h, "MSCF\0\0\0\0", 8)) return invalid();
    const uint32_t size = le32(h, 36, 8), files = le32(h, 36, 16);
    if (le16(h, 36, 24) != 0x0103 || files < 36 || files >= size || le16(h, 36, 26) == 0) return invalid();
    return upTo(s, size);
}

// ---------------------------------------------------------------------------
// WIM: the furthest of the resources the header names (lookup table, XML
// data, boot metadata, integrity table).

EndResult findWimEnd(Source& s) {
    const uint8_t* h = s.view(0, 148);
    if (!h || !same(h, "MSWIM\0\0\0", 8) || le32(h, 148, 8) < 148) return invalid();
    uint64_t end = 0;
    for (size_t at : {48, 72, 96, 124}) {
        const uint64_t size = le64(h, 148, at) & 0x00FFFFFFFFFFFFFFull, off = le64(h, 148, at + 8);
        if (size) end = std::max(end, sum(off, size));
    }
    return end >= 208 ? upTo(s, end) : invalid();
}

// ---------------------------------------------------------------------------
// ISO 9660: the primary volume descriptor at 32768 gives the volume's size
// in logical blocks (both byte orders must agree).

EndResult findIsoEnd(Source& s) {
    const uint8_t* d = s.view(32768, 136);
    if (!d || d[0] != 1 || !same(d + 1, "CD001", 5) || d[6] != 1) return invalid();
    const uint32_t blocks = le32(d, 136, 80), blocksBe = be32(d, 136, 84);
    const uint16_t bs = le16(d, 136, 128), bsBe = be16(d, 136, 130);
    if (blocks != blocksBe || bs != bsBe || (bs != 512 && bs != 1024 && bs != 2048) || blocks < 17) return invalid();
    return upTo(s, uint64_t{blocks} * bs);
}

// ---------------------------------------------------------------------------
// VHD (dynamic and differencing): the BAT's furthest block, then the footer
// copy that ends the file.

EndResult findVhdEnd(Source& s) {
    const uint8_t* f = s.view(0, 512);
    if (!f || !same(f, "conectix", 8)) return invalid();
    const uint32_t kind = be32(f, 512, 60);
    if (kind != 3 && kind != 4) return unchecked();
    const uint64_t dyn = be64(f, 512, 16);
    const uint8_t* d = s.view(dyn, 40);
    if (!d || !same(d, "cxsparse", 8)) return invalid();
    const uint64_t bat = be64(d, 40, 16);
    const uint32_t entries = be32(d, 40, 28), block = be32(d, 40, 32);
    if (block == 0 || (block & 511) || entries > (1u << 24)) return invalid();
    const uint64_t bitmap = ((uint64_t{block} / 512 / 8 + 511) / 512) * 512;
    uint64_t end = ((sum(bat, uint64_t{entries} * 4) + 511) / 512) * 512;
    end = std::max(end, sum(dyn, 1024));
    for (uint32_t i = 0; i < entries; i += 128) {
        const uint32_t k = std::min<uint32_t>(128, entries - i);
        const uint8_t* e = s.view(bat + uint64_t{i} * 4, k * 4);
        if (!e) return truncated(s.limit(), 512);
        for (uint32_t j = 0; j < k; ++j) {
            const uint32_t sec = be32(e, k * 4, j * 4);
            if (sec != 0xFFFFFFFFu) end = std::max(end, uint64_t{sec} * 512 + bitmap + block);
        }
    }
    const uint8_t* tail = s.view(end, 8);
    if (tail && same(tail, "conectix", 8)) return complete(end + 512, kind == 4 ? "avhd" : "vhd");
    return upTo(s, end + 512, "vhd", 512);
}

// ---------------------------------------------------------------------------
// VMDK sparse extents: the furthest grain that the grain tables name, the
// tables themselves and the metadata before the grains.

EndResult findVmdkEnd(Source& s) {
    const uint8_t* h = s.view(0, 80);
    if (!h || !same(h, "KDMV", 4) || le32(h, 80, 4) == 0 || le32(h, 80, 4) > 3) return invalid();
    const uint64_t capacity = le64(h, 80, 12), grain = le64(h, 80, 20), gd = le64(h, 80, 56), over = le64(h, 80, 64);
    const uint32_t perGt = le32(h, 80, 44);
    if (grain == 0 || perGt == 0 || perGt > 4096 || gd == ~0ull || capacity == 0) return unchecked();
    const uint64_t gts = (capacity / grain + perGt - 1) / perGt;
    if (gts > (1u << 22)) return invalid();
    uint64_t end = over * 512;
    for (uint64_t i = 0; i < gts; ++i) {
        const uint8_t* g = s.view(product(gd, 512) + i * 4, 4);
        if (!g) return truncated(s.limit(), 512);
        const uint32_t gt = le32(g, 4, 0);
        if (!gt) continue;
        end = std::max(end, sum(uint64_t{gt} * 512, uint64_t{perGt} * 4));
        for (uint32_t j = 0; j < perGt; j += 512) {
            const uint32_t k = std::min<uint32_t>(512, perGt - j);
            const uint8_t* e = s.view(uint64_t{gt} * 512 + uint64_t{j} * 4, k * 4);
            if (!e) return truncated(s.limit(), 512);
            for (uint32_t x = 0; x < k; ++x)
                if (uint32_t sec = le32(e, k * 4, x * 4); sec > 1) end = std::max(end, (sec + grain) * 512);
        }
    }
    return upTo(s, end, nullptr, 512);
}

// ---------------------------------------------------------------------------
// QCOW2: the last cluster in use per the refcount table (16-bit refcounts).

EndResult findQcowEnd(Source& s) {
    const uint8_t* h = s.view(0, 104);
    if (!h || !same(h, "QFI\xFB", 4)) return invalid();
    const uint32_t version = be32(h, 104, 4), bits = be32(h, 104, 20);
    if (version < 2 || version > 3 || bits < 9 || bits > 21) return version == 1 ? unchecked() : invalid();
    if (version == 3 && be32(h, 104, 96) != 4) return unchecked();
    const uint64_t cluster = 1ull << bits, table = be64(h, 104, 48);
    const uint32_t tableClusters = be32(h, 104, 56);
    if (tableClusters == 0 || tableClusters > 4096 || table % cluster) return invalid();
    uint64_t last = 0;
    const uint64_t perBlock = cluster / 2;
    for (uint64_t i = 0; i < tableClusters * cluster / 8; ++i) {
        const uint8_t* e = s.view(table + i * 8, 8);
        if (!e) return truncated(s.limit(), cluster);
        const uint64_t block = be64(e, 8, 0) & 0x00FFFFFFFFFFFE00ull;
        if (!block) continue;
        for (uint64_t j = 0; j < perBlock; j += 2048) {
            const size_t k = static_cast<size_t>(std::min<uint64_t>(2048, perBlock - j));
            const uint8_t* r = s.view(block + j * 2, k * 2);
            if (!r) return truncated(s.limit(), cluster);
            for (size_t x = k; x-- > 0;)
                if (be16(r, k * 2, x * 2)) {
                    last = std::max(last, i * perBlock + j + x + 1);
                    break;
                }
        }
    }
    return last ? upTo(s, last * cluster, "qcow2", cluster) : invalid();
}

// ---------------------------------------------------------------------------
// VDI: the data area and the blocks allocated in it.

EndResult findVdiEnd(Source& s) {
    const uint8_t* h = s.view(0, 400);
    if (!h || le32(h, 400, 64) != 0xBEDA107Fu || le16(h, 400, 70) != 1) return invalid();
    const uint32_t data = le32(h, 400, 344), block = le32(h, 400, 376), extra = le32(h, 400, 380),
                   allocated = le32(h, 400, 388);
    if (block == 0 || data < 512) return invalid();
    return upTo(s, sum(data, product(allocated, uint64_t{block} + extra)), nullptr, data);
}

// ---------------------------------------------------------------------------
// EWF (E01) segments: sections by their "next" offsets to "next" or "done".

EndResult findEwfEnd(Source& s) {
    const uint8_t* h = s.view(0, 13);
    if (!h || !same(h, "EVF\x09\x0D\x0A\xFF\x00", 8)) return invalid();
    uint64_t pos = 13;
    for (int n = 0; n < (1 << 20); ++n) {
        const uint8_t* d = s.view(pos, 76);
        if (!d) return truncated(s.limit(), 13);
        if (same(d, "done", 5) || same(d, "next", 5)) return complete(pos + 76);
        const uint64_t next = le64(d, 76, 16);
        if (next <= pos) return n ? truncated(pos, 13) : invalid();
        pos = next;
    }
    return invalid();
}

// ---------------------------------------------------------------------------
// Windows files whose header holds their size: event logs (EVTX: chunks of
// 64 KiB after a 4 KiB header; EVT: the log's maximum size), registry hives
// (the hive bins' size after the 4 KiB base block), prefetch files.

EndResult findEvtxEnd(Source& s) {
    const uint8_t* h = s.view(0, 128);
    if (!h || !same(h, "ElfFile\0", 8) || le16(h, 128, 38) != 3 || le16(h, 128, 40) != 4096) return invalid();
    const uint16_t chunks = le16(h, 128, 42);
    return chunks ? upTo(s, 4096 + uint64_t{chunks} * 65536, nullptr, 4096) : invalid();
}

EndResult findEvtEnd(Source& s) {
    const uint8_t* h = s.view(0, 48);
    if (!h || le32(h, 48, 0) != 0x30 || !same(h + 4, "LfLe", 4) || le32(h, 48, 8) != 1) return invalid();
    const uint32_t size = le32(h, 48, 32);
    return size >= 48 ? upTo(s, size, nullptr, 48) : invalid();
}

EndResult findRegfEnd(Source& s) {
    const uint8_t* h = s.view(0, 512);
    if (!h || !same(h, "regf", 4) || le32(h, 512, 20) != 1 || le32(h, 512, 28) != 0 || le32(h, 512, 32) != 1)
        return invalid();
    const uint32_t bins = le32(h, 512, 40);
    if (bins % 4096) return invalid();
    const uint8_t* first = s.view(4096, 4);
    if (!first || !same(first, "hbin", 4)) return invalid();
    return upTo(s, 4096 + uint64_t{bins}, nullptr, 4096);
}

EndResult findPrefetchEnd(Source& s) {
    const uint8_t* h = s.view(0, 16);
    if (!h || !same(h + 4, "SCCA", 4)) return invalid();
    const uint32_t v = le32(h, 16, 0), size = le32(h, 16, 12);
    if ((v != 17 && v != 23 && v != 26 && v != 30 && v != 31) || size < 84) return invalid();
    return upTo(s, size);
}

// ---------------------------------------------------------------------------
// Captures: pcap records by their captured lengths; pcapng blocks by their
// lengths (repeated at each block's end).

EndResult findPcapEnd(Source& s) {
    const uint8_t* h = s.view(0, 24);
    if (!h) return invalid();
    Endian e;
    const uint32_t magic = le32(h, 24, 0);
    if (magic == 0xA1B2C3D4u || magic == 0xA1B23C4Du) e.big = false;
    else if (magic == 0xD4C3B2A1u || magic == 0x4D3CB2A1u) e.big = true;
    else return invalid();
    const uint32_t snap = e.u32(h + 16);
    if (e.u16(h + 4) != 2 || snap == 0) return invalid();
    uint64_t pos = 24;
    int n = 0;
    for (; n < (1 << 26); ++n) {
        const uint8_t* r = s.view(pos, 16);
        if (!r) break;
        const uint32_t incl = e.u32(r + 8), orig = e.u32(r + 12);
        if (incl > snap || incl > orig || incl > (1u << 18) || e.u32(r + 4) >= 1000000000u) break;
        pos += 16 + incl;
    }
    if (n == 0) return invalid();
    return upTo(s, pos, nullptr, 24);
}

EndResult findPcapngEnd(Source& s) {
    uint64_t pos = 0;
    int n = 0;
    for (; n < (1 << 26); ++n) {
        const uint8_t* b = s.view(pos, 12);
        if (!b) break;
        const uint32_t type = le32(b, 12, 0), len = le32(b, 12, 4);
        if (n == 0 && (type != 0x0A0D0D0Au || le32(b, 12, 8) != 0x1A2B3C4Du)) return invalid();
        if (n > 0 && type == 0x0A0D0D0Au) break;  // another capture's section
        if (len < 12 || len % 4 || len > (16u << 20)) break;
        const uint8_t* t = s.view(pos + len - 4, 4);
        if (!t || le32(t, 4, 0) != len) break;
        pos += len;
    }
    if (n == 0) return invalid();
    return upTo(s, pos);
}

}  // namespace brantlow::raw
