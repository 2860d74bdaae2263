// Byte-level cases real tools do not make: names after slot reuse, runs of
// File Name entries, sets without a stream, chains with loops and marks,
// time stamps with UTC offsets, and the candidate searches' bounds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "fs/exfat/exfat_parser.h"
#include "tests/support/memory_reader.h"

using namespace brantlow;

namespace {

struct Dir {
    std::vector<uint8_t> b;
    uint8_t* slot(size_t i) {
        if (b.size() < (i + 1) * 32) b.resize((i + 1) * 32, 0);
        return b.data() + i * 32;
    }
    // A File entry, its stream and the name split over File Name entries.
    void set(size_t at, const std::u16string& name, uint8_t secondaries, bool deleted = false,
             uint32_t cluster = 10, uint64_t size = 100) {
        uint8_t* f = slot(at);
        f[0] = deleted ? 0x05 : 0x85;
        f[1] = secondaries;
        f[4] = 0x20;
        uint8_t* s = slot(at + 1);
        s[0] = deleted ? 0x40 : 0xC0;
        s[1] = 3;
        s[3] = static_cast<uint8_t>(name.size());
        for (int i = 0; i < 8; ++i) s[8 + i] = static_cast<uint8_t>(size >> (8 * i));
        for (int i = 0; i < 4; ++i) s[20 + i] = static_cast<uint8_t>(cluster >> (8 * i));
        for (int i = 0; i < 8; ++i) s[24 + i] = static_cast<uint8_t>(size >> (8 * i));
        for (size_t k = 0; k * 15 < name.size(); ++k) {
            uint8_t* n = slot(at + 2 + k);
            n[0] = deleted ? 0x41 : 0xC1;
            for (size_t c = 0; c < 15 && k * 15 + c < name.size(); ++c) {
                n[2 + 2 * c] = static_cast<uint8_t>(name[k * 15 + c]);
                n[3 + 2 * c] = static_cast<uint8_t>(name[k * 15 + c] >> 8);
            }
        }
    }
};

TEST(ExfatSets, NamesFollowNameLengthAndSecondaryCount) {
    Dir d;
    // A long name deleted, then a short one written over its first slots:
    // the stale 0x41 entries stay behind the new set.
    d.set(0, u"a_longer_name_number_5.txt", 3, true);
    d.set(0, u"a.txt", 2);
    d.slot(3)[0] = 0x41;
    ParsedDirectory out;
    parseDirectory(d.b.data(), d.b.size(), out);
    ASSERT_EQ(out.sets.size(), 1u);
    EXPECT_EQ(out.sets[0].entry.name, "a.txt");
    EXPECT_FALSE(out.sets[0].entry.deleted());

    // 20 characters over two entries; a run of 40 File Name entries takes
    // only what the name needs.
    Dir e;
    e.set(0, u"twenty_characters_ab", 3);
    for (size_t i = 4; i < 42; ++i) e.slot(i)[0] = 0xC1;
    ParsedDirectory o2;
    parseDirectory(e.b.data(), e.b.size(), o2);
    ASSERT_EQ(o2.sets.size(), 1u);
    EXPECT_EQ(o2.sets[0].entry.name, "twenty_characters_ab");
    EXPECT_EQ(o2.sets[0].entries, 4u);
}

TEST(ExfatSets, SetWithoutStreamKeepsNoOtherSetsFields) {
    Dir d;
    d.set(0, u"first.bin", 2, false, 77, 5000);
    d.slot(3)[0] = 0x85;  // a File entry whose stream is missing
    d.slot(3)[1] = 1;
    ParsedDirectory out;
    parseDirectory(d.b.data(), d.b.size(), out);
    ASSERT_EQ(out.sets.size(), 2u);
    EXPECT_EQ(out.sets[1].entry.firstCluster, 0u);
    EXPECT_EQ(out.sets[1].entry.validDataLength, 0u);
    EXPECT_EQ(out.missingStreams, 1u);
    // Zero entries do not end the directory.
    Dir z;
    z.set(4, u"after_zeros.txt", 2);
    ParsedDirectory oz;
    parseDirectory(z.b.data(), z.b.size(), oz);
    ASSERT_EQ(oz.sets.size(), 1u);
    EXPECT_EQ(oz.sets[0].entry.name, "after_zeros.txt");
}

TEST(ExfatSets, SetCutByTheEndOfTheBuffer) {
    Dir d;
    d.set(0, u"cut_name_that_needs_two_entries", 4);
    ParsedDirectory out;
    parseDirectory(d.b.data(), 3 * 32, out);
    ASSERT_EQ(out.sets.size(), 1u);
    EXPECT_TRUE(out.sets[0].cut);
    EXPECT_EQ(out.cutSets, 1u);
    EXPECT_EQ(out.sets[0].entry.name, "cut_name_that_n");
    // The advanced test does not read past the buffer either.
    EXPECT_FALSE(plausibleEntrySet(d.b.data(), 3 * 32, 0));
    EXPECT_TRUE(plausibleEntrySet(d.b.data(), d.b.size(), 0));
    d.b[26] = 1;  // a non-zero reserved byte of the File entry
    EXPECT_FALSE(plausibleEntrySet(d.b.data(), d.b.size(), 0));
}

TEST(ExfatChain, LoopsMarksAndBounds) {
    std::vector<uint32_t> fat(64, 0);
    auto next = [&](uint32_t c) { return c < fat.size() ? fat[c] : kExfatEnd; };
    // 2 -> 3 -> 4 -> 10 -> 11 -> end
    fat[2] = 3, fat[3] = 4, fat[4] = 10, fat[10] = 11, fat[11] = kExfatEnd;
    Chain c = followChain(next, 2, 63, 100);
    EXPECT_EQ(c.end, ChainEnd::EndMark);
    ASSERT_EQ(c.runs.size(), 2u);
    EXPECT_EQ(c.clusters, 5u);
    // Back into an earlier run, into the current run, onto itself.
    fat[11] = 3;
    EXPECT_EQ(followChain(next, 2, 63, 100).end, ChainEnd::Loop);
    fat[11] = 10;
    EXPECT_EQ(followChain(next, 2, 63, 100).end, ChainEnd::Loop);
    fat[20] = 20;
    Chain self = followChain(next, 20, 63, 100);
    EXPECT_EQ(self.end, ChainEnd::Loop);
    EXPECT_EQ(self.clusters, 1u);
    // Bad mark, free entry, outside the heap, and the wanted length.
    fat[11] = kExfatBad;
    EXPECT_EQ(followChain(next, 2, 63, 100).end, ChainEnd::Bad);
    fat[11] = 0;
    EXPECT_EQ(followChain(next, 2, 63, 100).end, ChainEnd::Free);
    fat[11] = 64;
    EXPECT_EQ(followChain(next, 2, 63, 100).end, ChainEnd::OutOfRange);
    EXPECT_EQ(followChain(next, 2, 63, 3).end, ChainEnd::Complete);
    EXPECT_EQ(followChain(next, 0, 63, 3).end, ChainEnd::OutOfRange);
    EXPECT_EQ(contiguousChain(60, 63, 10).clusters, 4u);
    EXPECT_EQ(contiguousChain(60, 63, 10).end, ChainEnd::OutOfRange);
}

TEST(ExfatTimes, OffsetTenMillisecondsAndLocalTime) {
    // 2021-03-04 05:06:58 (two-second count 29), + 1.5 s in 10 ms units.
    const uint32_t ts = ((2021u - 1980) << 25) | (3u << 21) | (4u << 16) | (5u << 11) | (6u << 5) | 29u;
    OptTime utc = exfatInstant(ts, 150, 0x80, false);
    ASSERT_TRUE(utc);
    struct tm t {};
    t.tm_year = 121, t.tm_mon = 2, t.tm_mday = 4, t.tm_hour = 5, t.tm_min = 6, t.tm_sec = 59;
    EXPECT_EQ(utc->sec, timegm(&t));
    EXPECT_EQ(utc->nsec, 500000000);
    // +5:30 is 22 steps; -5:00 is -20 (0x6C in 7 bits).
    EXPECT_EQ(exfatInstant(ts, 0, 0x80 | 22, false)->sec, utc->sec - 1 - 19800);
    EXPECT_EQ(exfatInstant(ts, 0, 0x80 | 0x6C, false)->sec, utc->sec - 1 + 18000);
    // No valid offset: local time for output files, the stored value for listings.
    const char* old = std::getenv("TZ");
    setenv("TZ", "IST-5:30", 1);
    tzset();
    EXPECT_EQ(exfatInstant(ts, 0, 0, false)->sec, utc->sec - 1 - 19800);
    EXPECT_EQ(exfatInstant(ts, 0, 0, true)->sec, utc->sec - 1);
    if (old)
        setenv("TZ", old, 1);
    else
        unsetenv("TZ");
    tzset();
    // Zero and invalid stamps give no time at all.
    EXPECT_FALSE(exfatInstant(0, 0, 0x80, false));
    EXPECT_FALSE(exfatInstant(ts | (13u << 21), 0, 0x80, false));
}

TEST(ExfatTexts, ListTextsAsTheListShowsThem) {
    ExFatEntry e;
    e.lastModifiedTimestamp = ((2019u - 1980) << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5);
    e.lastAccessedTimestamp = ((2019u - 1980) << 25) | (1u << 21) | (2u << 16) | (12u << 11) | (5u << 5);
    e.fileAttributes = 0x27;
    e.validDataLength = 1048575;
    e.dataLength = 2 << 20;
    ListTexts t = Fat64Class::formatListItem(e);
    EXPECT_EQ(t.modified, "12/31/2019  11:59 PM");
    EXPECT_EQ(t.accessed, "01/02/2019  12:05 AM");
    EXPECT_EQ(t.attributes, "-R-H-S-A");
    EXPECT_EQ(t.size, "1024.00 KB");
    EXPECT_TRUE(isExfatDirectory(0x10));
    EXPECT_TRUE(isExfatDirectory(0x32));
    EXPECT_TRUE(isExfatDirectory(0x37));
    EXPECT_FALSE(isExfatDirectory(0x20));
    EXPECT_FALSE(isExfatDirectory(0x18));
    EXPECT_FALSE(isExfatDirectory(0x110));
}

TEST(ExfatCandidates, SearchBoundsAndChoices) {
    std::vector<uint8_t> disk(64 * 512, 0);
    for (int s : {3, 9, 20, 30}) std::fill(disk.begin() + s * 512, disk.begin() + s * 512 + 8, 0xFF);
    for (int s : {5, 7, 11, 13}) {
        disk[s * 512] = 0xF8;
        std::fill(disk.begin() + s * 512 + 1, disk.begin() + s * 512 + 8, 0xFF);
    }
    auto reader = std::make_shared<test::MemoryReader>(disk);
    VolumeView v(reader, 0, disk.size());
    ExfatCandidates c = findExfatCandidates(v, 3, nullptr, nullptr);
    EXPECT_EQ(c.fats, (std::vector<uint64_t>{5 * 512, 7 * 512, 11 * 512}));
    EXPECT_EQ(c.heaps.size(), 4u);  // maximum + 1
    std::atomic<bool> stop{true};
    EXPECT_TRUE(findExfatCandidates(v, 3, nullptr, &stop).fats.empty());
    EXPECT_EQ(exfatClusterShiftChoices(3), (std::vector<int>{3, 8, 9, 10, 11, 0, 1, 2, 4, 5, 6, 7}));
    EXPECT_EQ(exfatClusterShiftChoices(-1).size(), 12u);
}

}  // namespace
