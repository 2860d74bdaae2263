// Helpers of the advanced-mode tests: damaged copies of fixture images and
// the comparison of a listing and a recovery with a manifest.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/fixtures.h"

namespace brantlow::test {

// Copies src to dst and zeroes the given [offset, length) byte ranges.
bool damagedCopy(const std::string& src, const std::string& dst,
                 const std::vector<std::pair<uint64_t, uint64_t>>& zeroRanges);

// What a listing and a recovery show of a manifest's entries.
struct Coverage {
    int entries = 0;     // entries considered
    int byPath = 0;      // listed under their own path
    int byName = 0;      // listed under their own name somewhere
    int byContent = 0;   // some recovered file has their exact content
    std::vector<std::string> missing;  // not recovered, by path
};

// Lists and recovers the volume at sector 0 as fs in mode (extra arguments
// appended) and compares with the manifest entries of the given state
// ("previous_fs", "live", ...), intact content only unless anyContent.
Coverage measure(const std::string& image, const std::string& manifestName, const std::string& fs,
                 const std::string& mode, const std::string& state, const std::vector<std::string>& extra = {});

}  // namespace brantlow::test
