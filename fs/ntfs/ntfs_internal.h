// Helpers shared by the NTFS parser's source files.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fs/ntfs/ntfs.h"

namespace brantlow {

// Reads the fixed-up record with the given MFT record number.
using RecordLookup = std::function<bool(uint64_t recno, std::vector<uint8_t>& rec)>;

// Describes the data stream (unnamed when streamName is null) of a fixed-up
// record; extents named by its attribute list are fetched through lookup and
// must belong to the record recno.
bool planFromRecord(const std::vector<uint8_t>& rec, uint64_t recno, const std::string* streamName,
                    const RecordLookup& lookup, DataPlan& plan, const VolumeView* volume = nullptr,
                    uint64_t clusterSize = 0);

// Maps a byte offset within an attribute's runs to a volume offset.
bool volumeOffsetInRuns(const std::vector<NtfsRun>& runs, uint64_t clusterSize, uint64_t byte, uint64_t* out);

// Largest attribute list value we read (a real one is a few KiB).
constexpr uint64_t kMaxAttrListBytes = 4u << 20;

}  // namespace brantlow
