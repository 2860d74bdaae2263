#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

#include "base/names.h"
#include "base/texts.h"
#include "base/times.h"

using namespace brantlow;

TEST(SizeText, UnitsAndBoundaries) {
    EXPECT_EQ(formatSizeText(0), "0 Bytes");
    EXPECT_EQ(formatSizeText(1023), "1023 Bytes");
    EXPECT_EQ(formatSizeText(1024), "1.00 KB");
    EXPECT_EQ(formatSizeText(1048575), "1024.00 KB");
    EXPECT_EQ(formatSizeText(1048576), "1.00 MB");
    EXPECT_EQ(formatSizeText(1073741824ull), "1.00 GB");
    EXPECT_EQ(formatSizeText(5ull << 40), "5120.00 GB");
}

TEST(DateText, TwelveHourClockAsTheListShowsIt) {
    EXPECT_EQ(formatDateText({2024, 3, 5, 0, 7, 0}), "03/05/2024  00:07 AM");
    EXPECT_EQ(formatDateText({2024, 3, 5, 12, 0, 0}), "03/05/2024  12:00 AM");
    EXPECT_EQ(formatDateText({2024, 3, 5, 13, 30, 0}), "03/05/2024  01:30 PM");
    EXPECT_EQ(formatDateText({1999, 12, 31, 23, 59, 0}), "12/31/1999  11:59 PM");
}

TEST(Times, FiletimeDosAndLimits) {
    // 2020-01-01T00:00:00Z
    auto t = fromFiletime(132223104000000000ULL);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->sec, 1577836800);
    EXPECT_FALSE(fromFiletime(0));
    EXPECT_FALSE(fromFiletime(~0ull));
    // DOS 2019-11-25 13:47:34
    uint16_t date = static_cast<uint16_t>(((2019 - 1980) << 9) | (11 << 5) | 25);
    uint16_t time = static_cast<uint16_t>((13 << 11) | (47 << 5) | 17);
    auto u = fromDosAsUtc(date, time);
    ASSERT_TRUE(u);
    EXPECT_EQ(isoUtc(u->sec), "2019-11-25T13:47:34Z");
    EXPECT_FALSE(fromDosAsUtc(0, 0));                   // month 0
    EXPECT_FALSE(fromDosAsUtc(date, (24 << 11)));       // hour 24
    EXPECT_FALSE(fromDosAsUtc(date, (1 << 5) * 60));    // minute 60
    EXPECT_EQ(isoUtc(fromHfsSeconds(2082844800u + 86400)->sec), "1970-01-02T00:00:00Z");
    EXPECT_FALSE(localFields(INT64_MAX));
}

TEST(Times, DosAsUtcCountsEveryDateAsTimegmDoes) {
    // Every date a DOS field holds (days past a month's end included),
    // against the C library's calendar.
    for (unsigned y = 0; y < 128; ++y)
        for (unsigned m = 1; m <= 12; ++m)
            for (unsigned d = 1; d <= 31; ++d) {
                const uint16_t date = static_cast<uint16_t>((y << 9) | (m << 5) | d);
                const uint16_t time = static_cast<uint16_t>(((d % 24) << 11) | ((m * 4) << 5) | (y % 30));
                struct tm t {};
                t.tm_year = static_cast<int>(80 + y);
                t.tm_mon = static_cast<int>(m - 1);
                t.tm_mday = static_cast<int>(d);
                t.tm_hour = static_cast<int>(d % 24);
                t.tm_min = static_cast<int>(m * 4);
                t.tm_sec = static_cast<int>(y % 30) * 2;
                auto u = fromDosAsUtc(date, time);
                ASSERT_TRUE(u);
                ASSERT_EQ(u->sec, static_cast<int64_t>(timegm(&t))) << y << " " << m << " " << d;
            }
}

TEST(Times, DosLocalFollowsTheZone) {
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    uint16_t date = static_cast<uint16_t>(((2021 - 1980) << 9) | (1 << 5) | 15);
    uint16_t time = static_cast<uint16_t>(10 << 11);
    setenv("TZ", "UTC0", 1);
    tzset();
    auto utc = fromDosLocal(date, time);
    setenv("TZ", "EST5", 1);
    tzset();
    auto est = fromDosLocal(date, time);
    if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
    tzset();
    ASSERT_TRUE(utc && est);
    EXPECT_EQ(est->sec - utc->sec, 5 * 3600);
}

// Local DOS times are what mktime gives, in zones with summer time (and
// one whose clocks move by half an hour), around the changes.
TEST(Times, DosLocalIsWhatMktimeGivesAroundZoneChanges) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    int checked = 0;
    for (const char* zone : {"Europe/Berlin", "Australia/Lord_Howe", "America/New_York"}) {
        if (!std::ifstream(std::string("/usr/share/zoneinfo/") + zone)) continue;
        setenv("TZ", zone, 1);
        tzset();
        for (unsigned year = 2019; year <= 2021; ++year)
            for (unsigned month = 1; month <= 12; ++month)
                for (unsigned day = 1; day <= 31; day += 1)
                    for (unsigned minute = 0; minute < 4 * 60; minute += 3) {
                        const auto date = static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
                        const auto time = static_cast<uint16_t>(((minute / 60) << 11) | ((minute % 60) << 5) | (minute % 30));
                        struct tm t {};
                        t.tm_year = static_cast<int>(year) - 1900;
                        t.tm_mon = static_cast<int>(month) - 1;
                        t.tm_mday = static_cast<int>(day);
                        t.tm_hour = static_cast<int>(minute / 60);
                        t.tm_min = static_cast<int>(minute % 60);
                        t.tm_sec = static_cast<int>(minute % 30) * 2;
                        t.tm_isdst = -1;
                        const time_t want = mktime(&t);
                        const auto got = fromDosLocal(date, time);
                        ASSERT_TRUE(got);
                        ASSERT_EQ(got->sec, static_cast<int64_t>(want)) << zone << " " << year << "-" << month << "-" << day << " " << minute;
                        ++checked;
                    }
    }
    if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
    tzset();
    if (checked == 0) GTEST_SKIP() << "no zone files in /usr/share/zoneinfo";
}

TEST(Utf, Utf16SurrogatesAndCodePage) {
    const uint8_t pair[] = {0x3D, 0xD8, 0x00, 0xDE, 'a', 0};  // U+1F600 then 'a'
    EXPECT_EQ(utf16leToUtf8(pair, 3), "\xF0\x9F\x98\x80" "a");
    const uint8_t lone[] = {0x00, 0xD8, 'b', 0};
    EXPECT_EQ(utf16leToUtf8(lone, 2), "\xEF\xBF\xBD" "b");
    const uint8_t nul[] = {'x', 0, 0, 0, 'y', 0};
    EXPECT_EQ(utf16leToUtf8(nul, 3, true), "x");
    const uint8_t cp[] = {0x82, 'A'};  // é
    EXPECT_EQ(cp437ToUtf8(cp, 2), "\xC3\xA9" "A");
    EXPECT_EQ(displayUtf8(std::string("\xE9t\xE9")), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(utf16ToUtf8(utf8ToUtf16("日本語 ok")), "日本語 ok");
}

TEST(Sanitiser, NothingEscapesTheOutputFolder) {
    EXPECT_EQ(sanitizeComponent(".."), "_..");
    EXPECT_EQ(sanitizeComponent("."), "_.");
    EXPECT_EQ(sanitizeComponent(""), "_");
    EXPECT_EQ(sanitizeComponent("a/../../x"), "a_.._.._x");
    EXPECT_EQ(sanitizeComponent("back\\slash.txt"), "back_slash.txt");
    EXPECT_EQ(sanitizeComponent(std::string("nl\nx\x7f", 5)), "nl_x_");
    EXPECT_EQ(sanitizeComponent("dir "), "dir ");  // trailing blanks stay
    EXPECT_EQ(sanitizeComponent("col:on.txt"), "col:on.txt");
    EXPECT_EQ(sanitizeComponentStrict("col:on?.txt"), "col_on_.txt");
    std::string longName;
    for (int i = 0; i < 255; ++i) longName += "日";
    longName += ".txt";
    std::string cut = sanitizeComponent(longName);
    EXPECT_LE(cut.size(), 255u);
    EXPECT_EQ(cut.substr(cut.size() - 4), ".txt");
    EXPECT_TRUE(isValidUtf8(cut));
    EXPECT_EQ(numberedName("same.txt", 1), "same (1).txt");
    EXPECT_EQ(numberedName("noext", 2), "noext (2)");
    EXPECT_LE(numberedName(cut, 12).size(), 255u);
}

// Shown paths: "/" and "\" inside a name, control characters (C1 too) and
// bytes that are not UTF-8 are escaped; every name comes back exactly.
TEST(ShownPath, EscapesAndReadsBack) {
    auto shown = [](const std::string& name) {
        std::string s;
        appendShownName(s, name);
        return s;
    };
    EXPECT_EQ(shown("12/30 notes.txt"), "12\\/30 notes.txt");
    EXPECT_EQ(shown("a\\b"), "a\\\\b");
    EXPECT_EQ(shown("bell\x07tab\t\x7F"), "bell\\x07tab\\x09\\x7F");
    EXPECT_EQ(shown("caf\xE9"), "caf\\xE9");
    EXPECT_EQ(shown("\xC2\x85 next line"), "\\xC2\\x85 next line");
    EXPECT_EQ(shown("Caf\xC3\xA9 \xE6\x97\xA5\xF0\x9F\x98\x80"), "Caf\xC3\xA9 \xE6\x97\xA5\xF0\x9F\x98\x80");
    EXPECT_EQ(shown("x41"), "x41");

    EXPECT_EQ(splitShownPath("ROOT/a\\/b//c\\\\d/"), (std::vector<std::string>{"ROOT", "a/b", "c\\d"}));
    EXPECT_EQ(splitShownPath("caf\\xe9"), (std::vector<std::string>{"caf\xE9"}));
    // A backslash before anything else stands for itself.
    EXPECT_EQ(splitShownPath("a\\b\\x4"), (std::vector<std::string>{"a\\b\\x4"}));

    std::srand(7);
    for (int round = 0; round < 2000; ++round) {
        std::vector<std::string> names(1 + std::rand() % 3);
        std::string path;
        for (std::string& n : names) {
            n.resize(1 + std::rand() % 12);
            for (char& c : n) c = static_cast<char>(std::rand() % 3 ? "/\\x0a\xC2\x85"[std::rand() % 7] : std::rand());
            if (!path.empty()) path += '/';
            appendShownName(path, n);
        }
        ASSERT_TRUE(isValidUtf8(path));
        for (char c : path) ASSERT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7F) << path;
        ASSERT_EQ(splitShownPath(path), names) << path;
    }
}
