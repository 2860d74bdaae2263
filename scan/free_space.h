// The free space of a volume the program can parse: what its allocation map
// gives to no file now. Carving only there is faster and finds no copies of
// live files.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "disk/partition.h"
#include "disk/reader.h"
#include "fs/api/parser.h"

namespace brantlow {

struct FreeSpace {
    std::vector<VolumeRange> ranges;  // bytes from the volume start, in order
    uint64_t freeBytes = 0;
    std::string error;            // why there are none ("" when found)
};

// Scans the volume (Standard mode) with the parser its file-system name
// picks, reads its allocation map and returns the free runs. Polls stop.
FreeSpace findFreeSpace(const std::shared_ptr<readWriteInterface>& reader, const VolumeEntry& volume,
                        uint64_t volumeBytes, const std::atomic<bool>* stop = nullptr);

}  // namespace brantlow
