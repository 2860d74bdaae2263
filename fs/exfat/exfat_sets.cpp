#include "fs/exfat/exfat_sets.h"

#include <algorithm>

#include "base/bytes.h"
#include "base/texts.h"

namespace brantlow {

namespace {

constexpr size_t kEntry = 32;
// A set has at most 18 secondary entries (stream + 17 names for 255
// characters).
constexpr size_t kMaxNameEntries = 17;

bool isFile(uint8_t t) { return t == 0x85 || t == 0x05; }
bool isStream(uint8_t t) { return t == 0xC0 || t == 0x40; }
bool isName(uint8_t t) { return t == 0xC1 || t == 0x41; }

// The decoder's body, for a File entry at off that fits the buffer. The
// directory walk calls it directly: a directory holds thousands of sets.
void readEntrySet(const uint8_t* buf, size_t len, size_t off, ParsedSet& out) {
    out.offset = off;
    ExFatEntry& e = out.entry;
    const uint8_t* f = buf + off;
    e.entryType = f[0];
    e.secondaryCount = f[1];
    e.fileAttributes = le16(f, kEntry, 4);
    e.createTimestamp = le32(f, kEntry, 8);
    e.lastModifiedTimestamp = le32(f, kEntry, 12);
    e.lastAccessedTimestamp = le32(f, kEntry, 16);
    e.create10msIncrement = f[20];
    e.lastModified10msIncrement = f[21];
    e.createUtcOffset = f[22];
    e.lastModifiedUtcOffset = f[23];
    e.lastAccessedUtcOffset = f[24];
    size_t pos = off + kEntry;
    out.entries = 1;
    const size_t secondaries = e.secondaryCount;
    size_t names = 0;
    if (secondaries == 0) {
        // No room for a stream in this set: the stream fields stay empty.
    } else if (!fieldFits(len, pos, kEntry)) {
        out.cut = true;
    } else if (isStream(buf[pos])) {
        const uint8_t* s = buf + pos;
        e.streamEntryType = s[0];
        e.generalSecondaryFlags = s[1];
        e.nameLength = s[3];
        e.validDataLength = le64(s, kEntry, 8);
        e.firstCluster = le32(s, kEntry, 20);
        e.dataLength = le64(s, kEntry, 24);
        out.hasStream = true;
        pos += kEntry;
        ++out.entries;
        // The name entries the set and the name length both allow.
        names = std::min<size_t>(secondaries - 1, (e.nameLength + 14u) / 15u);
    } else {
        // A damaged set: no stream, so no name length; take the name entries
        // that follow, as many as the set counts.
        names = std::min(secondaries, kMaxNameEntries);
    }
    std::u16string name;
    size_t want = out.hasStream ? e.nameLength : 255;
    for (size_t i = 0; i < names; ++i) {
        if (!fieldFits(len, pos, kEntry)) {
            out.cut = true;
            break;
        }
        if (!isName(buf[pos])) break;
        bool ended = false;
        for (size_t k = 0; k < 15 && name.size() < want; ++k) {
            char16_t ch = static_cast<char16_t>(le16(buf + pos, kEntry, 2 + 2 * k));
            if (ch == 0) {
                ended = true;
                break;
            }
            name.push_back(ch);
        }
        pos += kEntry;
        ++out.entries;
        if (ended) break;
    }
    e.name = utf16ToUtf8(name);
}

}  // namespace

Decoded<ParsedSet> decodeEntrySet(const uint8_t* buf, size_t len, size_t off) {
    if (!fieldFits(len, off, kEntry) || !isFile(buf[off])) return Decoded<ParsedSet>::refused("no File entry");
    Decoded<ParsedSet> d = Decoded<ParsedSet>::ok(ParsedSet{});
    readEntrySet(buf, len, off, *d);
    return d;
}

std::string entrySetDamage(const ParsedSet& s) {
    std::string out;
    auto add = [&out](const char* what) { out += (out.empty() ? "" : "; ") + std::string(what); };
    if (s.cut) add("cut by the end of its directory");
    if (!s.hasStream) add("no Stream Extension");
    return out;
}

void parseDirectory(const uint8_t* buf, size_t len, ParsedDirectory& out) {
    size_t off = 0;
    while (off + kEntry <= len) {
        const uint8_t t = buf[off];
        if (isFile(t)) {
            ParsedSet s;
            readEntrySet(buf, len, off, s);
            if (s.cut) ++out.cutSets;
            if (!s.hasStream) ++out.missingStreams;
            off += s.entries * kEntry;
            out.sets.push_back(std::move(s));
            continue;
        }
        const uint8_t* p = buf + off;
        if (t == 0x81 && !out.hasBitmap) {
            out.hasBitmap = true;
            out.bitmapCluster = le32(p, kEntry, 20);
            out.bitmapLength = le64(p, kEntry, 24);
        } else if (t == 0x82 && !out.hasUpcase) {
            out.hasUpcase = true;
            out.upcaseChecksum = le32(p, kEntry, 4);
            out.upcaseCluster = le32(p, kEntry, 20);
            out.upcaseLength = le64(p, kEntry, 24);
        } else if (t == 0x83 && out.label.empty()) {
            size_t n = std::min<size_t>(p[1], 11);
            out.label = utf16leToUtf8(p + 2, n, true);
        }
        off += kEntry;
    }
}

bool plausibleEntrySet(const uint8_t* buf, size_t len, size_t off) {
    if (!fieldFits(len, off, 2 * kEntry)) return false;
    const uint8_t* f = buf + off;
    if (!isFile(f[0])) return false;
    switch (f[4]) {
        case 0x10: case 0x11: case 0x12: case 0x13: case 0x15: case 0x20: case 0x30: break;
        default: return false;
    }
    if (f[6] || f[7]) return false;
    for (size_t i = 25; i < 32; ++i)
        if (f[i]) return false;
    const uint8_t* s = f + kEntry;
    if (!isStream(s[0]) || s[2] || s[6] || s[7]) return false;
    if (s[16] || s[17] || s[18] || s[19]) return false;
    if (s[1] != 1 && s[1] != 3) return false;
    const size_t names = (s[3] + 14u) / 15u;
    size_t pos = off + 2 * kEntry;
    for (size_t i = 0; i < names; ++i, pos += kEntry) {
        if (!fieldFits(len, pos, kEntry)) return false;
        if (!isName(buf[pos]) || buf[pos + 1] > 3) return false;
    }
    return true;
}

bool plausibleLabel(const uint8_t* buf, size_t len, size_t off) {
    if (!fieldFits(len, off, kEntry) || buf[off] != 0x83) return false;
    for (size_t i = 24; i < 32; ++i)
        if (buf[off + i]) return false;
    return true;
}

}  // namespace brantlow
