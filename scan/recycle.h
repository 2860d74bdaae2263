// Files in the Windows recycle bin keep their data in "$R…" and their
// former path in a "$I…" partner. After a scan, the "$R" entries of every
// top-level recycle-bin folder are shown and saved under their former names.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "fs/api/parser.h"

namespace brantlow {

// A "$I" record: versions 1 (path at 24, 520 bytes) and 2 (length at 24,
// path at 28).
struct RecycleRecord {
    std::string originalPath;  // UTF-8, as recorded ("C:\Users\x\report.txt")
    std::string name;          // the part after the last "\"
    OptTime deletedAt;
    uint64_t originalSize = 0;
};

// Larger "$I" files are not records.
constexpr size_t kMaxRecycleRecordBytes = 2047;

// Decodes a "$I" file's bytes; nullopt for another version, a short or
// oversized record, or a path that gives no name.
std::optional<RecycleRecord> parseRecycleRecord(const uint8_t* data, size_t len);

// Gives every "$R" entry of the recycle-bin folders at the top of the tree
// ("$RECYCLE.BIN" or "$RECYCLEBIN", in any letter case; one folder per
// user inside) the name its "$I" partner records. The "$I" files are read
// through the parser's own writer, into memory. Returns the number of
// entries renamed.
size_t restoreRecycleNames(VolumeParser& parser, const std::atomic<bool>* stop = nullptr);

}  // namespace brantlow
