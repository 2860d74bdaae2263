// Names from what a file holds, read while its finder walks it: the date
// and camera of a photo's EXIF data, the artist and title of an MP3's ID3
// tag.
#include <algorithm>
#include <string>
#include <vector>

#include "base/texts.h"
#include "raw/finder_util.h"

namespace brantlow::raw::finder {

namespace {

// Printable text only, blanks folded, at most 60 bytes.
std::string tidy(const std::string& in) {
    std::string out;
    for (unsigned char c : in) {
        if (c == 0) break;
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') c = ' ';
        if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
        out += static_cast<char>(c);
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    if (out.size() > 60) {
        size_t cut = 60;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out.resize(cut);
    }
    return out;
}

// An ASCII value of an IFD entry (its bytes inline or at an offset from base).
std::string ascii(Source& s, uint64_t base, const uint8_t* entry, const Endian& e) {
    const uint32_t count = e.u32(entry + 4);
    if (e.u16(entry + 2) != 2 || count == 0 || count > 256) return {};
    const uint8_t* p = count <= 4 ? entry + 8 : s.view(sum(base, e.u32(entry + 8)), count);
    if (!p) return {};
    return std::string(reinterpret_cast<const char*>(p), count);
}

}  // namespace

std::string exifLabel(Source& s, uint64_t base) {
    const uint8_t* h = s.view(base, 8);
    if (!h) return {};
    Endian e;
    if (same(h, "MM\0*", 4)) e.big = true;
    else if (!same(h, "II*\0", 4)) return {};
    std::string make, model, date;
    uint64_t ifd = sum(base, e.u32(h + 4)), exif = 0;
    for (int pass = 0; pass < 2 && ifd; ++pass) {
        const uint8_t* c = s.view(ifd, 2);
        if (!c) break;
        const uint16_t n = std::min<uint16_t>(e.u16(c), 128);
        const uint8_t* ev = s.view(ifd + 2, 12u * n);
        if (!ev) break;
        const std::vector<uint8_t> copy(ev, ev + 12u * n);  // views hold until the next one
        const uint8_t* entries = copy.data();
        for (uint16_t i = 0; i < n; ++i) {
            const uint8_t* en = entries + 12 * i;
            switch (e.u16(en)) {
            case 0x010F: make = ascii(s, base, en, e); break;
            case 0x0110: model = ascii(s, base, en, e); break;
            case 0x0132: if (date.empty()) date = ascii(s, base, en, e); break;
            case 0x9003: date = ascii(s, base, en, e); break;  // DateTimeOriginal
            case 0x8769: exif = sum(base, e.u32(en + 8)); break;
            default: break;
            }
        }
        ifd = pass == 0 ? exif : 0;
    }
    make = tidy(make);
    model = tidy(model);
    date = tidy(date);
    std::string label;
    // "2023:05:06 07:08:09" → "2023-05-06 07.08.09"
    if (date.size() >= 19 && date[4] == ':' && date[7] == ':' && date.substr(0, 4) != "0000") {
        label = date.substr(0, 4) + "-" + date.substr(5, 2) + "-" + date.substr(8, 2) + " " + date.substr(11, 2) +
                "." + date.substr(14, 2) + "." + date.substr(17, 2);
    }
    // The model usually names the make ("Canon EOS 80D"); when not, both.
    std::string camera = model;
    if (!make.empty()) {
        const std::string firstWord = make.substr(0, make.find(' '));
        if (camera.empty()) camera = make;
        else if (asciiLower(camera).find(asciiLower(firstWord)) == std::string::npos) camera = firstWord + " " + camera;
    }
    if (!camera.empty()) label += (label.empty() ? "" : " ") + camera;
    return label;
}

std::string id3Label(Source& s) {
    const uint8_t* h = s.view(0, 10);
    if (!h || !same(h, "ID3", 3)) return {};
    const unsigned v = h[3];
    const uint64_t tagEnd = 10 + ((uint64_t{h[6]} << 21) | (h[7] << 14) | (h[8] << 7) | h[9]);
    uint64_t pos = 10;
    if (v >= 3 && (h[5] & 0x40)) {  // extended header
        const uint8_t* x = s.view(10, 4);
        if (!x) return {};
        pos += v == 4 ? ((x[0] << 21) | (x[1] << 14) | (x[2] << 7) | x[3]) : be32(x, 4, 0) + 4;
    }
    std::string artist, title;
    for (int n = 0; n < 64 && pos + 10 <= tagEnd && (artist.empty() || title.empty()); ++n) {
        const uint8_t* f = s.view(pos, 10);
        if (!f || f[0] == 0) break;
        const unsigned head = v == 2 ? 6 : 10;
        uint32_t size;
        if (v == 2) size = (f[3] << 16) | (f[4] << 8) | f[5];
        else if (v == 4) size = (f[4] << 21) | (f[5] << 14) | (f[6] << 7) | f[7];
        else size = be32(f, 10, 4);
        const std::string id(reinterpret_cast<const char*>(f), v == 2 ? 3 : 4);
        const bool isArtist = id == "TPE1" || id == "TP1", isTitle = id == "TIT2" || id == "TT2";
        if ((isArtist || isTitle) && size >= 2 && size <= 1024) {
            const uint8_t* t = s.view(pos + head, size);
            if (t) {
                std::string text;
                const uint8_t enc = t[0];
                if (enc == 0) {
                    for (uint32_t i = 1; i < size && t[i]; ++i) {
                        if (t[i] < 0x80) text += static_cast<char>(t[i]);
                        else text += static_cast<char>(0xC0 | (t[i] >> 6)), text += static_cast<char>(0x80 | (t[i] & 0x3F));
                    }
                } else if (enc == 3) {
                    text.assign(reinterpret_cast<const char*>(t + 1), size - 1);
                } else {
                    const uint8_t* u = t + 1;
                    size_t units = (size - 1) / 2;
                    bool big = enc == 2;
                    if (enc == 1 && units > 0 && ((u[0] == 0xFE && u[1] == 0xFF) || (u[0] == 0xFF && u[1] == 0xFE))) {
                        big = u[0] == 0xFE;
                        u += 2;
                        --units;
                    }
                    std::u16string w;
                    for (size_t i = 0; i < units; ++i) {
                        const char16_t c = big ? static_cast<char16_t>(u[2 * i] << 8 | u[2 * i + 1])
                                               : static_cast<char16_t>(u[2 * i + 1] << 8 | u[2 * i]);
                        if (!c) break;
                        w += c;
                    }
                    text = utf16ToUtf8(w);
                }
                (isArtist ? artist : title) = tidy(text);
            }
        }
        pos += head + size;
    }
    if (!artist.empty() && !title.empty()) return artist + " - " + title;
    return artist.empty() ? title : artist;
}

}  // namespace brantlow::raw::finder
