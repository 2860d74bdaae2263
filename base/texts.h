// Texts shared by every parser's list: sizes, dates, and UTF conversions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brantlow {

// "%.2f GB" / "%.2f MB" / "%.2f KB" / "%lld Bytes".
std::string formatSizeText(uint64_t bytes);

// Calendar fields as a parser found or computed them.
struct DateFields {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// "%02d/%02d/%d  %02d:%02d AM|PM": month, day, year, 12-hour clock as the
// list shows it (13-23 → PM with hour-12; 0-12 → AM unchanged).
std::string formatDateText(const DateFields& d);

// Local calendar time of UTC seconds since 1970 (localtime_r), or nullopt.
std::optional<DateFields> localFields(int64_t unixSeconds);
// UTC calendar time, or nullopt.
std::optional<DateFields> utcFields(int64_t unixSeconds);

// ISO 8601 UTC, "YYYY-MM-DDTHH:MM:SSZ" (empty out of range).
std::string isoUtc(int64_t unixSeconds);
// The same appended to out, without a formatting call per field; false
// (nothing appended) out of range.
bool appendIsoUtc(std::string& out, int64_t unixSeconds);

// UTF-16 (little-endian bytes) to UTF-8; unpaired surrogates become U+FFFD.
// Stops at the first NUL when stopAtNul is set.
std::string utf16leToUtf8(const void* data, size_t units, bool stopAtNul = false);
std::string utf16ToUtf8(const std::u16string& s);
std::u16string utf8ToUtf16(const std::string& s);
// Appends one code point as UTF-8.
void appendUtf8(std::string& out, uint32_t cp);
// Code page 437 bytes to UTF-8.
std::string cp437ToUtf8(const void* data, size_t len);
// Bytes shown as UTF-8: valid sequences as they are, otherwise Latin-1.
std::string displayUtf8(const std::string& bytes);
bool isValidUtf8(const std::string& s);

// Paths as the tools print them and --path reads them back: names joined
// by "/", each name escaped so that every name, whatever bytes it holds,
// comes back exactly: "\\" is a backslash, "\/" a "/" inside the name,
// "\xHH" one byte (control characters below 0x20, 0x7F, the C1 controls
// U+0080-U+009F byte by byte, and bytes that are not UTF-8); everything
// else stands for itself.
void appendShownName(std::string& out, const std::string& name);
// The names of a shown path, unescaped; empty names (leading, doubled or
// trailing "/") are left out. A backslash before any other character
// stands for itself.
std::vector<std::string> splitShownPath(const std::string& path);

// The DOS attribute bits as the FAT family's lists show them: "-R" (0x01),
// "-H" (0x02), "-S" (0x04), "-A" (0x20), in that order; empty when none.
std::string dosAttributeText(uint16_t attr);

// ASCII-only case folding, as the parser selection compares names.
std::string asciiLower(std::string s);

}  // namespace brantlow
