// File times: conversions from each file system's stored form to UTC
// seconds, validated. An invalid or zero time is "none".
#pragma once

#include <cstdint>
#include <optional>

namespace brantlow {

struct FileTime {
    int64_t sec = 0;   // seconds since 1970-01-01 UTC
    int32_t nsec = 0;  // 0..999999999
};
using OptTime = std::optional<FileTime>;

// NTFS FILETIME: 100 ns units since 1601-01-01 UTC. Zero gives none.
OptTime fromFiletime(uint64_t ft);
// Unix seconds (ext); zero gives none.
OptTime fromUnixSeconds(int64_t s, int32_t nsec = 0);
// HFS+ seconds since 1904-01-01 UTC; zero gives none.
OptTime fromHfsSeconds(uint32_t s);

// DOS date and time fields validated (month 1-12, day 1-31, hour < 24,
// minute < 60, two-second count < 30).
bool dosFieldsValid(uint16_t date, uint16_t time);
// DOS date/time as local wall time (mktime, DST decided by the zone): the
// instant an output file gets. centiseconds adds 10 ms units (0-199).
OptTime fromDosLocal(uint16_t date, uint16_t time, uint8_t centiseconds = 0);
// The same wall-clock fields read as if they were UTC (for listings that
// report the stored value itself).
OptTime fromDosAsUtc(uint16_t date, uint16_t time, uint8_t centiseconds = 0);

}  // namespace brantlow
