#include "base/times.h"

#include <array>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>

namespace brantlow {

OptTime fromFiletime(uint64_t ft) {
    if (ft == 0) return std::nullopt;
    // Up to year 9999.
    if (ft > 2650467743999999999ULL) return std::nullopt;
    int64_t secs = static_cast<int64_t>(ft / 10000000ULL) - 11644473600LL;
    FileTime t;
    t.sec = secs;
    t.nsec = static_cast<int32_t>((ft % 10000000ULL) * 100);
    return t;
}

OptTime fromUnixSeconds(int64_t s, int32_t nsec) {
    if (s == 0 && nsec == 0) return std::nullopt;
    if (nsec < 0 || nsec > 999999999) nsec = 0;
    return FileTime{s, nsec};
}

OptTime fromHfsSeconds(uint32_t s) {
    if (s == 0) return std::nullopt;
    return FileTime{static_cast<int64_t>(s) - 2082844800LL, 0};
}

bool dosFieldsValid(uint16_t date, uint16_t time) {
    int month = (date >> 5) & 0x0F, day = date & 0x1F;
    int hour = time >> 11, minute = (time >> 5) & 0x3F, two = time & 0x1F;
    return month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour < 24 && minute < 60 && two < 30;
}

static void dosToTm(uint16_t date, uint16_t time, struct tm* t) {
    t->tm_year = 80 + (date >> 9);
    t->tm_mon = ((date >> 5) & 0x0F) - 1;
    t->tm_mday = date & 0x1F;
    t->tm_hour = time >> 11;
    t->tm_min = (time >> 5) & 0x3F;
    t->tm_sec = (time & 0x1F) * 2;
}

OptTime fromDosLocal(uint16_t date, uint16_t time, uint8_t cs) {
    if (!dosFieldsValid(date, time)) return std::nullopt;
    // mktime looks at the zone afresh at every call (with TZ unset it asks
    // for /etc/localtime's status each time): a listing's or a save's
    // thousands of times would spend most of their time there. The zone's
    // offset is the same for every second of a minute of local time (zones
    // change on whole minutes), so it is kept per minute, per thread, for
    // the zone TZ names.
    struct Memo {
        uint32_t key = 0;
        int64_t offset = 0;
    };
    thread_local std::array<Memo, 1024> memo{};
    thread_local std::string memoZone;
    const char* tz = std::getenv("TZ");
    const std::string_view zone = tz ? std::string_view(tz) : std::string_view("\1unset");
    if (zone != memoZone) {
        memo.fill(Memo{});
        memoZone.assign(zone);
    }
    const uint32_t key = (static_cast<uint32_t>(date) << 11) | (time >> 5);  // never 0: the month is
    Memo& m = memo[(key * 2654435761u) >> 22];
    const int64_t asUtc = fromDosAsUtc(date, time)->sec;
    if (m.key != key) {
        struct tm t {};
        dosToTm(date, time, &t);
        t.tm_isdst = -1;
        time_t v = mktime(&t);
        if (v == static_cast<time_t>(-1)) return std::nullopt;
        m.key = key;
        m.offset = static_cast<int64_t>(v) - asUtc;
    }
    FileTime ft{asUtc + m.offset, 0};
    if (cs < 200) {
        ft.sec += cs / 100;
        ft.nsec = (cs % 100) * 10000000;
    }
    return ft;
}

// Days from 1970-01-01 to the first of a month, for the years 1980 to 2107
// a DOS date holds (every fourth year a leap year, 2000 included).
static int64_t daysToMonth(unsigned year, unsigned month) {
    static const uint16_t before[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const unsigned y = year - 1969;  // leap days before year: (y + 1968) / 4 - 492, 2100 aside
    unsigned leaps = y / 4 - (year > 2100);
    if (month > 2 && year % 4 == 0 && year != 2100) ++leaps;
    return static_cast<int64_t>(365u * (year - 1970) + leaps + before[month - 1]);
}

OptTime fromDosAsUtc(uint16_t date, uint16_t time, uint8_t cs) {
    if (!dosFieldsValid(date, time)) return std::nullopt;
    // As timegm counts it: a day past the month's end runs into the next.
    const int64_t days = daysToMonth(1980 + (date >> 9), (date >> 5) & 0x0F) + (date & 0x1F) - 1;
    FileTime ft{days * 86400 + (time >> 11) * 3600 + ((time >> 5) & 0x3F) * 60 + (time & 0x1F) * 2, 0};
    if (cs < 200) {
        ft.sec += cs / 100;
        ft.nsec = (cs % 100) * 10000000;
    }
    return ft;
}

}  // namespace brantlow
