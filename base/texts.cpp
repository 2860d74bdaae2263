#include "base/texts.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/bytes.h"

namespace brantlow {

std::string formatSizeText(uint64_t bytes) {
    char buf[64];
    double s = static_cast<double>(bytes);
    if (s >= 1073741824.0)
        std::snprintf(buf, sizeof buf, "%.2f GB", s / 1073741824.0);
    else if (s >= 1048576.0)
        std::snprintf(buf, sizeof buf, "%.2f MB", s / 1048576.0);
    else if (s >= 1024.0)
        std::snprintf(buf, sizeof buf, "%.2f KB", s / 1024.0);
    else
        std::snprintf(buf, sizeof buf, "%lld Bytes", static_cast<long long>(bytes));
    return buf;
}

std::string formatDateText(const DateFields& d) {
    char buf[64];
    if (d.hour >= 13 && d.hour <= 23)
        std::snprintf(buf, sizeof buf, "%02d/%02d/%d  %02d:%02d PM", d.month, d.day, d.year, d.hour - 12, d.minute);
    else
        std::snprintf(buf, sizeof buf, "%02d/%02d/%d  %02d:%02d AM", d.month, d.day, d.year, d.hour, d.minute);
    return buf;
}

static std::optional<DateFields> fromTm(const struct tm* t) {
    if (!t) return std::nullopt;
    DateFields d;
    d.year = t->tm_year + 1900;
    d.month = t->tm_mon + 1;
    d.day = t->tm_mday;
    d.hour = t->tm_hour;
    d.minute = t->tm_min;
    d.second = t->tm_sec;
    return d;
}

// Years past 9999 and before 1 are not shown.
static bool timeInRange(int64_t s) { return s >= -62135596800LL && s <= 253402300799LL; }

std::optional<DateFields> localFields(int64_t unixSeconds) {
    if (!timeInRange(unixSeconds)) return std::nullopt;
    time_t t = static_cast<time_t>(unixSeconds);
    struct tm tmv {};
    return fromTm(localtime_r(&t, &tmv));
}

namespace {

// The proleptic Gregorian date of a day count from 1970-01-01 (the same
// calendar gmtime uses), by whole 400-year eras.
void civilFromDays(int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

}  // namespace

std::optional<DateFields> utcFields(int64_t unixSeconds) {
    if (!timeInRange(unixSeconds)) return std::nullopt;
    int64_t days = unixSeconds / 86400, rest = unixSeconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    DateFields d;
    civilFromDays(days, d.year, d.month, d.day);
    d.hour = static_cast<int>(rest / 3600);
    d.minute = static_cast<int>(rest / 60 % 60);
    d.second = static_cast<int>(rest % 60);
    return d;
}

bool appendIsoUtc(std::string& out, int64_t unixSeconds) {
    if (!timeInRange(unixSeconds)) return false;
    int64_t days = unixSeconds / 86400, rest = unixSeconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // A listing's times fall on few days: the last day's date is kept.
    struct Day {
        int64_t days = INT64_MIN;
        DateFields date;
    };
    thread_local Day last;
    if (last.days != days) {
        last.days = days;
        civilFromDays(days, last.date.year, last.date.month, last.date.day);
    }
    DateFields fields = last.date;
    fields.hour = static_cast<int>(rest / 3600);
    fields.minute = static_cast<int>(rest / 60 % 60);
    fields.second = static_cast<int>(rest % 60);
    const DateFields* f = &fields;
    char b[20] = {'0', '0', '0', '0', '-', '0', '0', '-', '0', '0', 'T', '0', '0', ':', '0', '0', ':', '0', '0', 'Z'};
    auto two = [&](int at, int v) {
        b[at] = static_cast<char>('0' + v / 10);
        b[at + 1] = static_cast<char>('0' + v % 10);
    };
    two(0, f->year / 100);  // years 1 to 9999: four digits
    two(2, f->year % 100);
    two(5, f->month);
    two(8, f->day);
    two(11, f->hour);
    two(14, f->minute);
    two(17, f->second);
    out.append(b, sizeof b);
    return true;
}

std::string isoUtc(int64_t unixSeconds) {
    std::string s;
    appendIsoUtc(s, unixSeconds);
    return s;
}

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

template <typename Get>
static std::string utf16Generic(size_t units, bool stopAtNul, Get get) {
    // Names are mostly ASCII: a leading run of it is copied straight in.
    std::string out(units, '\0');
    size_t i = 0;
    for (; i < units; ++i) {
        const uint32_t u = get(i);
        if (u >= 0x80 || (u == 0 && stopAtNul)) break;
        out[i] = static_cast<char>(u);
    }
    out.resize(i);
    for (; i < units; ++i) {
        uint32_t u = get(i);
        if (u == 0 && stopAtNul) break;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            uint32_t lo = get(i + 1);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                ++i;
                continue;
            }
        }
        appendUtf8(out, u);  // unpaired surrogates become U+FFFD there
    }
    return out;
}

std::string utf16leToUtf8(const void* data, size_t units, bool stopAtNul) {
    const size_t len = units * 2;
    return utf16Generic(units, stopAtNul, [&](size_t i) { return static_cast<uint32_t>(le16(data, len, i * 2)); });
}

std::string utf16ToUtf8(const std::u16string& s) {
    return utf16Generic(s.size(), false, [&](size_t i) { return static_cast<uint32_t>(s[i]); });
}

// Decodes one UTF-8 sequence at i; returns false when it is not valid.
static bool decodeUtf8(const std::string& s, size_t& i, uint32_t& cp) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size();
    unsigned char c = p[i];
    int extra;
    if (c < 0x80) { cp = c; ++i; return true; }
    if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; extra = 1; }
    else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; extra = 2; }
    else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; extra = 3; }
    else return false;
    if (i + static_cast<size_t>(extra) >= n) return false;
    for (int k = 1; k <= extra; ++k) {
        unsigned char cc = p[i + k];
        if ((cc & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (cc & 0x3F);
    }
    static const uint32_t minFor[] = {0, 0x80, 0x800, 0x10000};
    if (cp < minFor[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += 1 + static_cast<size_t>(extra);
    return true;
}

bool isValidUtf8(const std::string& s) {
    size_t i = 0;
    uint32_t cp;
    while (i < s.size()) {
        // ASCII, the common case, eight bytes at a time.
        uint64_t v;
        if (i + 8 <= s.size() && (std::memcpy(&v, s.data() + i, 8), (v & 0x8080808080808080ull) == 0)) {
            i += 8;
            continue;
        }
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            ++i;
            continue;
        }
        if (!decodeUtf8(s, i, cp)) return false;
    }
    return true;
}

std::u16string utf8ToUtf16(const std::string& s) {
    std::u16string out;
    size_t i = 0;
    while (i < s.size()) {
        uint32_t cp;
        if (!decodeUtf8(s, i, cp)) {
            cp = static_cast<unsigned char>(s[i]);
            ++i;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

void appendShownName(std::string& out, const std::string& name) {
    static const char hexDigits[] = "0123456789ABCDEF";
    auto hex = [&](unsigned char c) {
        const char b[4] = {'\\', 'x', hexDigits[c >> 4], hexDigits[c & 15]};
        out.append(b, sizeof b);
    };
    const auto* p = reinterpret_cast<const unsigned char*>(name.data());
    const size_t n = name.size();
    size_t i = 0;
    while (i < n) {
        // Plain printable ASCII goes in as one run.
        size_t j = i;
        while (j < n && p[j] >= 0x20 && p[j] < 0x7F && p[j] != '\\' && p[j] != '/') ++j;
        if (j > i) {
            out.append(name, i, j - i);
            i = j;
            if (i == n) break;
        }
        const unsigned char c = p[i];
        if (c == '\\' || c == '/') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (c < 0x80) {  // a control character
            hex(c);
            ++i;
            continue;
        }
        size_t k = i;
        uint32_t cp = 0;
        if (decodeUtf8(name, k, cp) && cp >= 0xA0) {
            out.append(name, i, k - i);
            i = k;
        } else if (k > i) {  // a C1 control: both bytes
            for (; i < k; ++i) hex(p[i]);
        } else {
            hex(c);
            ++i;
        }
    }
}

std::vector<std::string> splitShownPath(const std::string& path) {
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::vector<std::string> names;
    std::string cur;
    const size_t n = path.size();
    for (size_t i = 0; i < n; ++i) {
        const char c = path[i];
        if (c == '/') {
            if (!cur.empty()) names.push_back(std::move(cur));
            cur.clear();
        } else if (c == '\\' && i + 1 < n && (path[i + 1] == '\\' || path[i + 1] == '/')) {
            cur += path[++i];
        } else if (c == '\\' && i + 3 < n && path[i + 1] == 'x' && hexValue(path[i + 2]) >= 0 &&
                   hexValue(path[i + 3]) >= 0) {
            cur += static_cast<char>(hexValue(path[i + 2]) * 16 + hexValue(path[i + 3]));
            i += 3;
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) names.push_back(std::move(cur));
    return names;
}

std::string displayUtf8(const std::string& bytes) {
    if (isValidUtf8(bytes)) return bytes;
    std::string out;
    for (unsigned char c : bytes) appendUtf8(out, c);
    return out;
}

std::string cp437ToUtf8(const void* data, size_t len) {
    static const uint16_t high[128] = {
        0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
        0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
        0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
        0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
        0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
        0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
        0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
        0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
        0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
        0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};
    std::string out;
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = p[i];
        if (c < 0x80)
            out += static_cast<char>(c);
        else
            appendUtf8(out, high[c - 0x80]);
    }
    return out;
}

std::string asciiLower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string dosAttributeText(uint16_t attr) {
    std::string a;
    if (attr & 0x01) a += "-R";
    if (attr & 0x02) a += "-H";
    if (attr & 0x04) a += "-S";
    if (attr & 0x20) a += "-A";
    return a;
}

}  // namespace brantlow
