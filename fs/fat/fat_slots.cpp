#include "fs/fat/fat_slots.h"

#include <string>

#include "base/bytes.h"
#include "base/texts.h"

namespace brantlow {

namespace {

constexpr size_t kSlot = 32;
constexpr size_t kMaxLongSlots = 20;  // 255 characters

size_t trimmedLength(const uint8_t* p, size_t n) {
    while (n > 0 && p[n - 1] == ' ') --n;
    return n;
}

// The 13 UTF-16 units of one long-name slot, up to its first NUL.
void appendLongPart(const uint8_t* slot, std::u16string& out) {
    static const size_t offs[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (size_t o : offs) {
        char16_t u = static_cast<char16_t>(slot[o] | (slot[o + 1] << 8));
        if (u == 0) return;
        out.push_back(u);
    }
}

}  // namespace

std::string fatShortName(const uint8_t* slot) {
    uint8_t base[8], ext[3];
    for (int i = 0; i < 8; ++i) base[i] = slot[i];
    for (int i = 0; i < 3; ++i) ext[i] = slot[8 + i];
    if (base[0] == 0x05) base[0] = 0xE5;
    const uint8_t nt = slot[12];
    auto lower = [](uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (p[i] >= 'A' && p[i] <= 'Z') p[i] = static_cast<uint8_t>(p[i] + 32);
    };
    if (nt & 0x08) lower(base, 8);
    if (nt & 0x10) lower(ext, 3);
    size_t bn = trimmedLength(base, 8), en = trimmedLength(ext, 3);
    std::string name = cp437ToUtf8(base, bn);
    if (en) {
        name += '.';
        name += cp437ToUtf8(ext, en);
    }
    return name;
}

bool fatShortNameValid(const uint8_t* slot) {
    if (slot[0] == ' ') return false;
    for (int i = 0; i < 11; ++i) {
        const uint8_t c = slot[i];
        if (i == 0 && (c == 0x05 || c == 0xE5)) continue;
        if (c < 0x20 || c == 0x7F || c == '.') return false;
        switch (c) {
            case '"': case '*': case '/': case ':': case '<': case '>': case '?': case '\\': case '|':
                return false;
            default: break;
        }
    }
    return true;
}

uint8_t fatShortNameChecksum(const uint8_t* slot) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + slot[i]);
    return sum;
}

namespace {

// A file slot recording more bytes than the volume holds is garbage.
bool sizeBeyond(const ParsedSlot& p, const SlotParseOptions& opt) {
    return !isFatDirectory(p.entry.attribute) && opt.volumeBytes && p.entry.fileSize > opt.volumeBytes;
}

// The short-entry decoder's body, without the name (the walk gives the
// entry its long name when it has one, and makes the short one only
// otherwise). True when accepted; why not is made only on refusal.
bool readShortEntry(const uint8_t* s, const SlotParseOptions& opt, ParsedSlot& p) {
    FatEntry& e = p.entry;
    e.attribute = s[11];
    e.createTimeTenth = s[13];
    e.createTime = le16(s, kSlot, 14);
    e.createDate = le16(s, kSlot, 16);
    e.accessDate = le16(s, kSlot, 18);
    e.firstClusterHigh = le16(s, kSlot, 20);
    e.writeTime = le16(s, kSlot, 22);
    e.writeDate = le16(s, kSlot, 24);
    e.firstClusterLow = le16(s, kSlot, 26);
    e.fileSize = le32(s, kSlot, 28);
    p.firstCluster = (static_cast<uint32_t>(e.firstClusterHigh) << 16) | e.firstClusterLow;
    e.deleted = s[0] == 0xE5 ? 1 : 0;
    p.dot = s[0] == '.' && (bytesAt(s, kSlot, 0, ".          ", 11) || bytesAt(s, kSlot, 0, "..         ", 11));
    if (p.dot || isFatLabel(e.attribute)) return true;
    return fatShortNameValid(s) && !sizeBeyond(p, opt);
}

std::string shortRefusal(const ParsedSlot& p, const SlotParseOptions& opt) {
    if (sizeBeyond(p, opt)) return "size " + std::to_string(p.entry.fileSize) + " beyond the volume";
    return "name bytes are not a short name";
}

// The long-name slot decoder's body: null when accepted, else why not.
const char* readLongSlot(const uint8_t* s, FatLongSlot& l) {
    l.slot = s;
    l.deleted = s[0] == 0xE5;
    l.checksum = s[13];
    if (s[12] != 0 || s[26] != 0 || s[27] != 0) return "type or cluster field not 0";
    if (!l.deleted) {
        l.order = s[0] & 0x3F;
        l.last = (s[0] & 0x40) != 0;
        if (l.order == 0 || l.order > kMaxLongSlots || (s[0] & 0x80)) return "part number not 1..20";
    }
    return nullptr;
}

// True when a long-name slot holds the name's end: a 0x0000 or 0xFFFF
// character among its 13.
bool endsName(const uint8_t* s) {
    static const uint8_t at[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (uint8_t o : at) {
        const uint16_t c = static_cast<uint16_t>(s[o] | s[o + 1] << 8);
        if (c == 0x0000 || c == 0xFFFF) return true;
    }
    return false;
}

}  // namespace

Decoded<ParsedSlot> decodeFatShortEntry(const uint8_t* slot, const SlotParseOptions& opt) {
    ParsedSlot p;
    if (!readShortEntry(slot, opt, p)) return Decoded<ParsedSlot>::refused(shortRefusal(p, opt));
    p.entry.name = fatShortName(slot);
    return Decoded<ParsedSlot>::ok(std::move(p));
}

Decoded<FatLongSlot> decodeFatLongNameSlot(const uint8_t* slot) {
    FatLongSlot l;
    if (const char* why = readLongSlot(slot, l)) return Decoded<FatLongSlot>::refused(why);
    return Decoded<FatLongSlot>::ok(l);
}

void parseDirectorySlots(const uint8_t* buf, size_t len, const SlotParseOptions& opt, std::vector<ParsedSlot>& out,
                         std::vector<SlotNote>* notes) {
    // Pending long-name slots, in physical order (last part first).
    FatLongSlot pending[kMaxLongSlots];
    size_t npending = 0;
    size_t pendingAt = 0;  // offset of the first pending slot
    auto refuse = [&](size_t off, const char* structure, std::string why) {
        if (notes) notes->push_back({off, structure, std::move(why)});
    };
    for (size_t off = 0; off + kSlot <= len; off += kSlot) {
        const uint8_t* s = buf + off;
        const uint8_t first = s[0];
        const uint8_t attr = s[11];
        if (first == 0x00) {
            npending = 0;
            if (opt.zeroEndsCluster) {
                // Go on at the next cluster.
                size_t cs = opt.clusterSize ? opt.clusterSize : len;
                size_t next = (off / cs + 1) * cs;
                if (next <= off) break;
                off = next - kSlot;
            }
            continue;
        }
        if (isFatLongNameSlot(attr)) {
            FatLongSlot l;
            if (const char* why = readLongSlot(s, l)) {
                refuse(off, "FAT long-name slot", why);
                npending = 0;
                continue;
            }
            // A new run starts at a slot marked "last part" (0x40), or where
            // the state changes: what was pending belongs to no short slot.
            if (npending && (l.deleted != pending[npending - 1].deleted || (!l.deleted && l.last))) npending = 0;
            if (npending == kMaxLongSlots) {
                for (size_t i = 1; i < kMaxLongSlots; ++i) pending[i - 1] = pending[i];
                --npending;
            }
            if (npending == 0) pendingAt = off;
            pending[npending++] = l;
            continue;
        }
        ParsedSlot p;
        if (!readShortEntry(s, opt, p)) {
            refuse(off, "FAT directory entry", shortRefusal(p, opt));
            npending = 0;
            continue;
        }
        p.offset = off;
        FatEntry& e = p.entry;
        const bool deleted = e.deleted != 0;
        // A long name belongs to this slot when its slots are in the same
        // state; live ones must also carry this slot's checksum (a stale
        // deleted name before a reused slot is not this file's name).
        bool useLong = npending > 0 && !p.dot;
        if (useLong) {
            const uint8_t sum = fatShortNameChecksum(s);
            for (size_t i = 0; i < npending && useLong; ++i) {
                if (pending[i].deleted != deleted) {
                    useLong = false;
                } else if (!deleted && pending[i].checksum != sum) {
                    useLong = false;
                    refuse(pendingAt, "FAT long-name slot", "checksum does not match the short entry that follows");
                }
            }
        }
        // A deleted run at the very start of the buffer may have lost its
        // first parts to the cluster before (a folder cluster read alone):
        // taken only when its last part ends the name.
        if (useLong && deleted && pendingAt == 0 && !endsName(pending[0].slot)) useLong = false;
        if (useLong) {
            std::u16string name;
            for (size_t i = npending; i-- > 0;) appendLongPart(pending[i].slot, name);
            e.name = utf16ToUtf8(name);
            if (e.name.empty()) {
                e.name = fatShortName(s);
                e.firstLetterLost = deleted;
            }
        } else {
            e.name = fatShortName(s);
            e.firstLetterLost = deleted && !p.dot;
        }
        if (e.name.empty()) e.name = fatShortName(s);
        npending = 0;
        out.push_back(std::move(p));
    }
}

}  // namespace brantlow
