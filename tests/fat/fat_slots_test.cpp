// Directory slots that real tools rarely write: every short-name form, long
// names at the 20-slot limit, stale long names, buffers cut mid-run.
#include <gtest/gtest.h>

#include <cstring>

#include "fs/fat/fat_slots.h"

using namespace brantlow;

namespace {

std::vector<uint8_t> shortSlot(const char* name11, uint8_t attr, uint8_t nt = 0) {
    std::vector<uint8_t> s(32, 0);
    std::memcpy(s.data(), name11, 11);
    s[11] = attr;
    s[12] = nt;
    return s;
}

// The long-name slots for name (UTF-16), in disk order, for the short slot.
std::vector<uint8_t> longSlots(const std::u16string& name, const std::vector<uint8_t>& shortS, bool deleted = false) {
    static const size_t offs[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    const size_t n = (name.size() + 12) / 13;
    const uint8_t sum = fatShortNameChecksum(shortS.data());
    std::vector<uint8_t> out;
    for (size_t k = n; k-- > 0;) {
        std::vector<uint8_t> s(32, 0xFF);
        s[0] = deleted ? 0xE5 : static_cast<uint8_t>((k + 1) | (k + 1 == n ? 0x40 : 0));
        s[11] = 0x0F;
        s[12] = 0;
        s[13] = sum;
        s[26] = s[27] = 0;
        for (size_t i = 0; i < 13; ++i) {
            size_t at = k * 13 + i;
            char16_t u = at < name.size() ? name[at] : (at == name.size() ? 0 : 0xFFFF);
            s[offs[i]] = static_cast<uint8_t>(u & 0xFF);
            s[offs[i] + 1] = static_cast<uint8_t>(u >> 8);
        }
        out.insert(out.end(), s.begin(), s.end());
    }
    return out;
}

std::vector<ParsedSlot> parse(const std::vector<uint8_t>& buf, SlotParseOptions opt = {}) {
    std::vector<ParsedSlot> out;
    parseDirectorySlots(buf.data(), buf.size(), opt, out);
    return out;
}

TEST(FatShortNames, TrimJoinCaseBitsAndDeletedMark) {
    EXPECT_EQ(fatShortName(shortSlot("README  TXT", 0x20).data()), "README.TXT");
    EXPECT_EQ(fatShortName(shortSlot("README  TXT", 0x20, 0x18).data()), "readme.txt");
    EXPECT_EQ(fatShortName(shortSlot("MAIN    C  ", 0x20, 0x08).data()), "main.C");
    EXPECT_EQ(fatShortName(shortSlot("README     ", 0x20).data()), "README");
    EXPECT_EQ(fatShortName(shortSlot("FOO        ", 0x20).data()), "FOO");
    EXPECT_EQ(fatShortName(shortSlot("DATA    BAK", 0x10).data()), "DATA.BAK");
    EXPECT_EQ(fatShortName(shortSlot("\xE5" "EADME  TXT", 0x20).data()), "\xCF\x83" "EADME.TXT");
    EXPECT_EQ(fatShortName(shortSlot("\x05" "EADME  TXT", 0x20).data()), "\xCF\x83" "EADME.TXT");
    EXPECT_EQ(fatShortName(shortSlot("CAF\x82    TXT", 0x20).data()), "CAF\xC3\xA9.TXT");  // code page 437
}

TEST(FatLongNames, UpToTwentySlotsAndOnlyForTheirOwnShortSlot) {
    std::u16string n255(251, u'x');
    n255 = u"\u65E5" + n255.substr(1) + u".txt";
    ASSERT_EQ(n255.size(), 255u);
    auto s1 = shortSlot("XXXXXX~1TXT", 0x20);
    auto buf = longSlots(n255, s1);
    EXPECT_EQ(buf.size(), 20u * 32);
    buf.insert(buf.end(), s1.begin(), s1.end());
    // A stale long name (another checksum) before a live short slot.
    auto s2 = shortSlot("OTHER   TXT", 0x20);
    auto stale = longSlots(u"Not this name.txt", shortSlot("STALE   TXT", 0x20));
    buf.insert(buf.end(), stale.begin(), stale.end());
    buf.insert(buf.end(), s2.begin(), s2.end());
    // A deleted long name before its deleted short slot.
    auto s3 = shortSlot("\xE5OTES~1 TXT", 0x20);
    auto del = longSlots(u"Deleted notes.txt", s3, true);
    buf.insert(buf.end(), del.begin(), del.end());
    buf.insert(buf.end(), s3.begin(), s3.end());
    // A live file written over the tail of a deleted name's slots.
    auto s4 = shortSlot("NEWER   TXT", 0x20);
    auto oldDel = longSlots(u"An old deleted long name.txt", shortSlot("\xE5NOLDD~1TXT", 0x20), true);
    auto fresh = longSlots(u"Newer file.txt", s4);
    buf.insert(buf.end(), oldDel.begin(), oldDel.end());
    buf.insert(buf.end(), fresh.begin(), fresh.end());
    buf.insert(buf.end(), s4.begin(), s4.end());
    // A run cut by the end of the buffer.
    auto tail = longSlots(u"cut off", shortSlot("CUT     TXT", 0x20));
    buf.insert(buf.end(), tail.begin(), tail.end());
    auto out = parse(buf);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[3].entry.name, "Newer file.txt");
    EXPECT_EQ(out[3].entry.deleted, 0);
    EXPECT_EQ(out[0].entry.name.size(), 254u + 3);  // one 3-byte character
    EXPECT_EQ(out[0].entry.name.substr(0, 3), "\xE6\x97\xA5");
    EXPECT_EQ(out[1].entry.name, "OTHER.TXT");
    EXPECT_EQ(out[2].entry.name, "Deleted notes.txt");
    EXPECT_EQ(out[2].entry.deleted, 1);
    EXPECT_EQ(out[0].entry.deleted, 0);
}

TEST(FatSlots, ZeroSlotsDotsAndClusterEnds) {
    std::vector<uint8_t> buf;
    auto add = [&](const std::vector<uint8_t>& s) { buf.insert(buf.end(), s.begin(), s.end()); };
    add(shortSlot(".          ", 0x10));
    add(shortSlot("..         ", 0x10));
    add(std::vector<uint8_t>(32, 0));
    add(shortSlot("AFTER   TXT", 0x20));  // same 128-byte cluster, after a 0 slot
    add(shortSlot("NEXT    TXT", 0x20));  // next cluster
    auto fat16 = parse(buf);
    ASSERT_EQ(fat16.size(), 4u);
    EXPECT_TRUE(fat16[0].dot);
    EXPECT_TRUE(fat16[1].dot);
    SlotParseOptions o;
    o.zeroEndsCluster = true;
    o.clusterSize = 128;
    auto fat32 = parse(buf, o);
    ASSERT_EQ(fat32.size(), 3u);
    EXPECT_EQ(fat32[2].entry.name, "NEXT.TXT");
}

}  // namespace

TEST(FatSlots, GarbageNamesAndSizesBeyondTheVolumeAreNotFiles) {
    // A deleted slot whose name bytes hold NULs (a long-name fragment read
    // as a short slot), a name with a forbidden character, one beginning
    // with a blank, and a file larger than the volume; a real file beside.
    std::vector<uint8_t> buf;
    for (auto s : {shortSlot("\xE5\0f\0i\0l\0e.", 0x00), shortSlot("A*B     TXT", 0x20), shortSlot(" AB     TXT", 0x20),
                   shortSlot("HUGE    BIN", 0x20), shortSlot("GOOD    TXT", 0x20)})
        buf.insert(buf.end(), s.begin(), s.end());
    std::memset(&buf[3 * 32 + 28], 0xFF, 4);  // HUGE.BIN: 4 GiB - 1
    SlotParseOptions opt;
    opt.volumeBytes = 32u << 20;
    auto slots = parse(buf, opt);
    ASSERT_EQ(slots.size(), 1u);
    EXPECT_EQ(slots[0].entry.name, "GOOD.TXT");
    EXPECT_EQ(parse(buf).size(), 2u);  // without a volume size, HUGE.BIN stays
}
