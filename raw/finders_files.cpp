// End finders for documents, archives, databases and programs: the ZIP
// family (named from its entries), PDF, SQLite, ELF and PE.
#include <algorithm>
#include <cstring>

#include "raw/finder_util.h"

namespace brantlow::raw {

using namespace finder;

// ---------------------------------------------------------------------------
// ZIP (PKWARE APPNOTE): local entries by their sizes, the central directory,
// the end record and its comment. Entries whose size is only in a trailing
// data descriptor are passed by looking for an end record whose central
// directory ends right before it. The entry names name the type.

namespace {

constexpr uint32_t kLocal = 0x04034b50, kCentral = 0x02014b50, kEnd = 0x06054b50, kEnd64 = 0x06064b50,
                   kLocator64 = 0x07064b50, kDescriptor = 0x08074b50;

struct ZipNames {
    bool contentTypes = false, word = false, xl = false, ppt = false, manifest = false, android = false;
    bool iwork = false, keynote = false, numbers = false, visio = false, xps = false, ipa = false, appx = false,
         model3d = false;
    const char* mime = nullptr;

    void add(const uint8_t* p, size_t n) {
        auto is = [&](const char* t) { return n == std::strlen(t) && std::memcmp(p, t, n) == 0; };
        auto starts = [&](const char* t) { return n >= std::strlen(t) && std::memcmp(p, t, std::strlen(t)) == 0; };
        if (is("[Content_Types].xml")) contentTypes = true;
        else if (starts("word/")) word = true;
        else if (starts("xl/")) xl = true;
        else if (starts("ppt/")) ppt = true;
        else if (is("META-INF/MANIFEST.MF")) manifest = true;
        else if (is("AndroidManifest.xml")) android = true;
        else if (starts("Index/")) {
            // iWork: the archive's index names what it holds.
            iwork = true;
            if (starts("Index/Slide") || starts("Index/MasterSlide")) keynote = true;
            if (starts("Index/CalculationEngine") || starts("Index/Tables/")) numbers = true;
        } else if (is("index.apxl")) keynote = iwork = true;
        else if (starts("visio/")) visio = true;
        else if (is("FixedDocSeq.fdseq") || is("FixedDocumentSequence.fdseq")) xps = true;
        else if (starts("Payload/")) ipa = true;
        else if (is("AppxManifest.xml")) appx = true;
        else if (is("3D/3dmodel.model")) model3d = true;
    }
    void mimetype(const uint8_t* p, size_t n) {
        static const std::pair<const char*, const char*> kinds[] = {
            {"application/vnd.oasis.opendocument.text", "odt"},
            {"application/vnd.oasis.opendocument.spreadsheet", "ods"},
            {"application/vnd.oasis.opendocument.presentation", "odp"},
            {"application/vnd.oasis.opendocument.graphics", "odg"},
            {"application/epub+zip", "epub"},
            {"application/vnd.oasis.opendocument.formula", "odf"},
            {"application/vnd.sun.xml.writer", "sxw"},
            {"application/vnd.sun.xml.calc", "sxc"},
            {"application/vnd.sun.xml.impress", "sxi"},
            {"application/x-krita", "kra"},
            {"image/openraster", "ora"},
        };
        for (const auto& [text, ext] : kinds)
            if (n == std::strlen(text) && std::memcmp(p, text, n) == 0) mime = ext;
    }
    const char* type() const {
        if (mime) return mime;
        if (android) return "apk";
        if (contentTypes && word) return "docx";
        if (contentTypes && xl) return "xlsx";
        if (contentTypes && ppt) return "pptx";
        if (contentTypes && visio) return "vsdx";
        if (xps) return "xps";
        if (model3d) return "3mf";
        if (appx) return "appx";
        if (iwork) return keynote ? "key" : numbers ? "numbers" : "pages";
        if (ipa) return "ipa";
        if (manifest) return "jar";
        return "zip";
    }
};

bool methodOk(uint16_t m) { return m <= 20 || (m >= 93 && m <= 99); }

// Names from the central directory at cd (up to its end at stop).
void centralNames(Source& s, uint64_t cd, uint64_t stop, ZipNames& names) {
    for (int i = 0; i < 65536 && cd + 46 <= stop; ++i) {
        const uint8_t* c = s.view(cd, 46);
        if (!c || le32(c, 46, 0) != kCentral) return;
        const uint16_t n = le16(c, 46, 28), m = le16(c, 46, 30), k = le16(c, 46, 32);
        if (const uint8_t* nm = s.view(cd + 46, std::min<size_t>(n, 512)); nm && n) names.add(nm, std::min<size_t>(n, 512));
        cd += 46u + n + m + k;
    }
}

// An end record at e whose central directory ends right before it (or
// before its ZIP64 records).
bool endRecordFits(Source& s, uint64_t e, uint64_t& cdStart) {
    const uint8_t* v = s.view(e, 22);
    if (!v) return false;
    const uint32_t cdSize = le32(v, 22, 12), cdOff = le32(v, 22, 16);
    if (cdOff != 0xFFFFFFFFu && cdSize != 0xFFFFFFFFu) {
        cdStart = cdOff;
        return uint64_t{cdOff} + cdSize == e && le16(v, 22, 4) == 0;
    }
    if (e < 20) return false;
    const uint8_t* loc = s.view(e - 20, 20);
    if (!loc || le32(loc, 20, 0) != kLocator64) return false;
    const uint64_t z = le64(loc, 20, 8);
    const uint8_t* r = z < e ? s.view(z, 56) : nullptr;
    if (!r || le32(r, 56, 0) != kEnd64) return false;
    cdStart = le64(r, 56, 48);
    return sum(cdStart, le64(r, 56, 40)) == z;
}

EndResult zipByEndRecord(Source& s, uint64_t from, ZipNames& names) {
    static const uint8_t sig[4] = {'P', 'K', 5, 6};
    for (uint64_t pos = from;;) {
        uint64_t e = s.find(pos, s.limit(), sig, 4);
        if (e == Source::kNotFound) return truncated(s.limit(), from, names.type());
        uint64_t cd = 0;
        if (endRecordFits(s, e, cd)) {
            centralNames(s, cd, e, names);
            const uint8_t* v = s.view(e, 22);
            uint64_t end = e + 22 + (v ? le16(v, 22, 20) : 0);
            if (end > s.limit()) return truncated(s.limit(), e + 22, names.type());
            return complete(end, names.type());
        }
        pos = e + 1;
    }
}

}  // namespace

EndResult findZipEnd(Source& s) {
    const uint8_t* h = s.view(0, 30);
    if (!h || le32(h, 30, 0) != kLocal) return invalid();
    ZipNames names;
    uint64_t pos = 0, entries = 0, lastData = 0;
    auto stop = [&](uint64_t at) -> EndResult {
        if (!entries) return invalid();
        return truncated(at, lastData, names.type());
    };
    for (uint64_t guard = 0; guard < (1u << 24); ++guard) {
        const uint8_t* p = s.view(pos, 4);
        if (!p) return entries ? truncated(s.limit(), lastData, names.type()) : invalid();
        const uint32_t sig = le32(p, 4, 0);
        if (sig == kLocal) {
            const uint8_t* l = s.view(pos, 30);
            if (!l) return truncated(s.limit(), pos, names.type());
            const uint16_t version = le16(l, 30, 4), flags = le16(l, 30, 6), method = le16(l, 30, 8);
            uint64_t csize = le32(l, 30, 18);
            const uint32_t usize = le32(l, 30, 22);
            const uint16_t n = le16(l, 30, 26), e = le16(l, 30, 28);
            if ((version & 0xFF) > 100 || n == 0 || !methodOk(method)) return stop(pos);
            const size_t shown = std::min<size_t>(n, 512);
            if (const uint8_t* nm = s.view(pos + 30, shown)) names.add(nm, shown);
            const uint64_t dataStart = pos + 30 + n + e;
            bool zip64 = false;
            if (csize == 0xFFFFFFFFu || usize == 0xFFFFFFFFu) {
                // ZIP64 extra field: the 8-byte sizes, those that overflowed, in order.
                const uint8_t* x = e ? s.view(pos + 30 + n, std::min<size_t>(e, Source::kMaxView)) : nullptr;
                for (size_t at = 0; x && at + 4 <= e && at + 4 <= Source::kMaxView;) {
                    const uint16_t id = le16(x, e, at), len = le16(x, e, at + 2);
                    if (id == 1) {
                        size_t f = at + 4;
                        if (usize == 0xFFFFFFFFu) f += 8;
                        if (csize == 0xFFFFFFFFu && f + 8 <= at + 4 + len) csize = le64(x, e, f);
                        zip64 = true;
                        break;
                    }
                    at += 4u + len;
                }
                if (!zip64) return zipByEndRecord(s, dataStart, names);
            }
            if (entries == 0 && n == 8 && method == 0 && csize <= 100) {
                const uint8_t* nm = s.view(pos + 30, 8);
                const bool mimetype = nm && same(nm, "mimetype", 8);  // a view holds until the next one
                const uint8_t* m = mimetype && csize ? s.view(dataStart, static_cast<size_t>(csize)) : nullptr;
                if (m) names.mimetype(m, static_cast<size_t>(csize));
            }
            lastData = dataStart;
            ++entries;
            if ((flags & 8) && csize == 0) return zipByEndRecord(s, dataStart, names);
            uint64_t next = sum(dataStart, csize);
            if (flags & 8) {
                const uint8_t* d = s.view(next, 4);
                if (d && le32(d, 4, 0) == kDescriptor) next += 4;
                next += zip64 ? 20 : 12;
            }
            if (next > s.limit()) return truncated(s.limit(), dataStart, names.type());
            pos = next;
            continue;
        }
        if (sig == kCentral) {
            const uint64_t cdStart = pos;
            while (true) {
                const uint8_t* c = s.view(pos, 46);
                if (!c) return truncated(s.limit(), cdStart, names.type());
                if (le32(c, 46, 0) != kCentral) break;
                const uint16_t n = le16(c, 46, 28), m = le16(c, 46, 30), k = le16(c, 46, 32);
                const size_t shown = std::min<size_t>(n, 512);
                if (const uint8_t* nm = s.view(pos + 46, shown); nm && n) names.add(nm, shown);
                pos += 46u + n + m + k;
            }
            const uint8_t* z = s.view(pos, 12);
            if (z && le32(z, 12, 0) == kEnd64) pos = sum(pos, sum(12, le64(z, 12, 4)));
            const uint8_t* loc = s.view(pos, 4);
            if (loc && le32(loc, 4, 0) == kLocator64) pos += 20;
            const uint8_t* v = s.view(pos, 22);
            if (!v) return truncated(s.limit(), cdStart, names.type());
            if (le32(v, 22, 0) != kEnd) return truncated(pos, cdStart, names.type());
            const uint64_t end = pos + 22 + le16(v, 22, 20);
            if (end > s.limit()) return truncated(s.limit(), pos + 22, names.type());
            return complete(end, names.type());
        }
        if (sig == kEnd) {
            const uint8_t* v = s.view(pos, 22);
            if (!v) return truncated(s.limit(), pos, names.type());
            const uint64_t end = pos + 22 + le16(v, 22, 20);
            if (end > s.limit()) return truncated(s.limit(), pos + 22, names.type());
            return complete(end, names.type());
        }
        return stop(pos);
    }
    return stop(pos);
}

// ---------------------------------------------------------------------------
// PDF (ISO 32000): the "%%EOF" that follows a "startxref" whose offset points
// at a cross-reference section or stream; an incremental update (or the rest
// of a linearized file) after it moves the end to its own "%%EOF".

namespace {

bool isSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == 0; }

// "N G obj" at p (n bytes held).
bool objectHeader(const uint8_t* p, size_t n) {
    size_t i = 0, d = 0;
    while (i < n && isDigit(p[i]) && d < 10) ++i, ++d;
    if (!d || i >= n || p[i] != ' ') return false;
    ++i, d = 0;
    while (i < n && isDigit(p[i]) && d < 5) ++i, ++d;
    return d && i + 4 <= n && std::memcmp(p + i, " obj", 4) == 0;
}

// The "startxref N" just before the "%%EOF" at e names a cross-reference.
bool startxrefOk(Source& s, uint64_t e) {
    const uint64_t from = e > 64 ? e - 64 : 0;
    const uint8_t* w = s.view(from, static_cast<size_t>(e - from));
    if (!w) return false;
    const size_t n = static_cast<size_t>(e - from);
    size_t at = SIZE_MAX;
    for (size_t i = 0; i + 9 <= n; ++i)
        if (std::memcmp(w + i, "startxref", 9) == 0) at = i;
    if (at == SIZE_MAX) return false;
    size_t i = at + 9;
    while (i < n && isSpace(w[i])) ++i;
    uint64_t off = 0;
    size_t digits = 0;
    while (i < n && isDigit(w[i]) && digits < 19) off = off * 10 + (w[i++] - '0'), ++digits;
    if (!digits || off >= e) return false;
    const uint8_t* t = s.view(off, 24);
    if (!t) return false;
    return same(t, "xref", 4) || objectHeader(t, 24);
}

// After an "%%EOF": an incremental update or the rest of the file?
bool continues(Source& s, uint64_t at) {
    for (int k = 0; k < 256; ++k) {
        uint8_t c;
        if (!s.byteAt(at, c)) return false;
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '\f') break;
        ++at;
    }
    const uint8_t* p = s.view(at, 24);
    if (!p) return false;
    if (same(p, "xref", 4) || same(p, "trailer", 7) || same(p, "startxref", 9)) return true;
    if (p[0] == '%' && isPrintable(p[1]) && p[1] != '%') return true;  // a comment line
    return objectHeader(p, 24);
}

}  // namespace

EndResult findPdfEnd(Source& s) {
    const uint8_t* h = s.view(0, 8);
    if (!h || !same(h, "%PDF-", 5) || !isDigit(h[5]) || h[6] != '.' || !isDigit(h[7])) return invalid();
    uint64_t pos = 8, end = 0;
    while (true) {
        // The next "%%EOF", unless another PDF's header comes first.
        uint64_t e = Source::kNotFound;
        for (uint64_t at = pos;;) {
            uint64_t q = s.findByte(at, s.limit(), '%');
            if (q == Source::kNotFound) break;
            const uint8_t* p = s.view(q, 5);
            if (!p) break;
            if (same(p, "%%EOF", 5)) {
                e = q;
                break;
            }
            if (end && same(p, "%PDF-", 5)) break;
            at = q + 1;
        }
        if (e == Source::kNotFound) break;
        uint64_t after = e + 5;
        uint8_t c;
        if (s.byteAt(after, c) && c == '\r') ++after;
        if (s.byteAt(after, c) && c == '\n') ++after;
        if (!startxrefOk(s, e)) {
            if (end) break;  // an update that does not hold together
            pos = e + 5;
            continue;
        }
        end = after;
        if (!continues(s, after)) break;
        pos = after;
    }
    if (!end) return truncated(s.limit(), 8);
    return complete(end);
}

// ---------------------------------------------------------------------------
// SQLite: the header's page size times its page count (valid when the
// change counter matches the "version valid for" field).

EndResult findSqliteEnd(Source& s) {
    const uint8_t* h = s.view(0, 108);
    if (!h || std::memcmp(h, "SQLite format 3\0", 16) != 0) return invalid();
    uint32_t page = be16(h, 108, 16);
    if (page == 1) page = 65536;
    if (page < 512 || (page & (page - 1))) return invalid();
    if (h[18] < 1 || h[18] > 2 || h[19] < 1 || h[19] > 2 || h[21] != 64 || h[22] != 32 || h[23] != 32)
        return invalid();
    if (h[100] != 0x0D && h[100] != 0x05) return invalid();  // page 1: the schema table's b-tree
    const uint32_t pages = be32(h, 108, 28);
    if (pages == 0 || be32(h, 108, 24) != be32(h, 108, 92)) return unchecked();  // size not kept (old writers)
    const uint64_t size = uint64_t{pages} * page;
    if (size > s.limit()) return truncated(s.limit(), page);
    return complete(size);
}

// ---------------------------------------------------------------------------
// ELF: the furthest of the headers, the program and section header tables
// and every segment and section with bytes in the file.

EndResult findElfEnd(Source& s) {
    const uint8_t* id = s.view(0, 64);
    if (!id || !same(id, "\x7F" "ELF", 4) || (id[4] != 1 && id[4] != 2) || (id[5] != 1 && id[5] != 2) || id[6] != 1)
        return invalid();
    const bool wide = id[4] == 2;
    Endian e;
    e.big = id[5] == 2;
    const uint64_t phoff = wide ? e.u64(id + 32) : e.u32(id + 28);
    const uint64_t shoff = wide ? e.u64(id + 40) : e.u32(id + 32);
    const uint8_t* t = id + (wide ? 52 : 40);
    const uint16_t ehsize = e.u16(t), phent = e.u16(t + 2), phnum = e.u16(t + 4), shent = e.u16(t + 6);
    uint32_t shnum = e.u16(t + 8);
    if (ehsize != (wide ? 64 : 52) || e.u32(id + 20) != 1) return invalid();
    if (phnum && phent != (wide ? 56 : 32)) return invalid();
    if ((shnum || shoff) && shent != (wide ? 64 : 40)) return invalid();
    uint64_t end = ehsize;
    for (uint32_t i = 0; i < phnum; ++i) {
        const uint8_t* p = s.view(sum(phoff, uint64_t{i} * phent), phent);
        if (!p) return i ? truncated(s.limit(), end) : invalid();
        const uint64_t off = wide ? e.u64(p + 8) : e.u32(p + 4);
        const uint64_t filesz = wide ? e.u64(p + 32) : e.u32(p + 16);
        if (e.u32(p) != 0) end = std::max(end, sum(off, filesz));
    }
    end = std::max(end, sum(phoff, uint64_t{phnum} * phent));
    if (shoff) {
        const uint8_t* s0 = s.view(shoff, shent);
        if (!s0) return truncated(s.limit(), end);
        if (shnum == 0) shnum = static_cast<uint32_t>(std::min<uint64_t>(wide ? e.u64(s0 + 32) : e.u32(s0 + 20), 1u << 20));
        end = std::max(end, sum(shoff, uint64_t{shnum} * shent));
        for (uint32_t i = 1; i < shnum; ++i) {
            const uint8_t* p = s.view(sum(shoff, uint64_t{i} * shent), shent);
            if (!p) return truncated(s.limit(), end);
            const uint32_t type = e.u32(p + 4);
            const uint64_t off = wide ? e.u64(p + 24) : e.u32(p + 16);
            const uint64_t size = wide ? e.u64(p + 32) : e.u32(p + 20);
            if (type != 0 && type != 8) end = std::max(end, sum(off, size));  // NOBITS holds nothing
        }
    }
    if (end > s.limit()) return truncated(s.limit(), s.limit());
    return complete(end);
}

// ---------------------------------------------------------------------------
// PE (EXE, DLL): the headers, the furthest section's raw data, the COFF
// symbol and string tables and the certificate table (kept at the end).

EndResult findPeEnd(Source& s) {
    const uint8_t* mz = s.view(0, 64);
    if (!mz || mz[0] != 'M' || mz[1] != 'Z') return invalid();
    const uint32_t lfanew = le32(mz, 64, 0x3C);
    if (lfanew < 64 || lfanew > 65536) return invalid();
    const uint8_t* pe = s.view(lfanew, 24);
    if (!pe || !same(pe, "PE\0\0", 4)) return invalid();
    const uint16_t sections = le16(pe, 24, 6), optSize = le16(pe, 24, 20), flags = le16(pe, 24, 22);
    const uint32_t symbols = le32(pe, 24, 12), nsym = le32(pe, 24, 16);
    if (sections == 0 || sections > 96 || optSize < 96 || optSize > 4096) return invalid();
    const uint8_t* opt = s.view(lfanew + 24, optSize);
    if (!opt) return invalid();
    const uint16_t magic = le16(opt, optSize, 0);
    if (magic != 0x10B && magic != 0x20B) return invalid();
    uint64_t end = le32(opt, optSize, 60);  // SizeOfHeaders
    const size_t dirs = magic == 0x20B ? 112 : 96;
    const uint32_t ndirs = le32(opt, optSize, dirs - 4);
    if (ndirs > 4 && dirs + 8 * 5 <= optSize) {
        const uint32_t certOff = le32(opt, optSize, dirs + 32), certSize = le32(opt, optSize, dirs + 36);
        if (certOff && certSize) end = std::max(end, sum(certOff, certSize));  // a file offset, not an RVA
    }
    const uint64_t table = uint64_t{lfanew} + 24 + optSize;
    end = std::max(end, table + 40u * sections);
    for (uint16_t i = 0; i < sections; ++i) {
        const uint8_t* sec = s.view(table + 40u * i, 40);
        if (!sec) return invalid();
        const uint32_t rawSize = le32(sec, 40, 16), rawPtr = le32(sec, 40, 20);
        if (rawSize && rawPtr) end = std::max(end, sum(rawPtr, rawSize));
    }
    if (symbols && nsym) {
        const uint64_t strings = sum(symbols, uint64_t{nsym} * 18);
        const uint8_t* st = s.view(strings, 4);
        end = std::max(end, sum(strings, st ? le32(st, 4, 0) : 4));
    }
    const char* type = (flags & 0x2000) ? "dll" : "exe";
    if (end > s.limit()) return truncated(s.limit(), s.limit(), type);
    return complete(end, type);
}

}  // namespace brantlow::raw
