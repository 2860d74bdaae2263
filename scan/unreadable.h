// Files that sit on sectors an image's map does not mark finished: read
// through that map, their content has holes the disk never gave up. Such a
// file gets a state of its own, "unreadable sectors" with their count, in
// the list, the search filter, the save's report and the exit status.
#pragma once

#include <cstdint>

#include "disk/mapped_reader.h"
#include "disk/volume_view.h"
#include "fs/api/parser.h"

namespace brantlow {

class UnreadableSectors {
public:
    // Answers 0 for every file unless the volume is read through a map.
    explicit UnreadableSectors(const VolumeView& volume);
    bool active() const { return map_ != nullptr; }
    // 512-byte sectors of the file's content (its writer's ranges) that
    // the map does not mark finished.
    uint64_t of(const VolumeParser& parser, EntryId id) const;

private:
    const MappedReader* map_ = nullptr;
    uint64_t start_ = 0, size_ = 0;
};

// The state a file shows: "unreadable sectors" where any of its content
// is (any file, live or deleted), else for deleted files whether its
// clusters are still its own; live files without unreadable sectors are
// Unknown (not asked).
RecoveryEstimate fileEstimate(const VolumeParser& parser, EntryId id, const EntryInfo& info,
                              const UnreadableSectors* unreadable);

}  // namespace brantlow
