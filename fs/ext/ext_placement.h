// Whether an ext volume's folders are where its inodes say: each live
// folder's first block begins with "." naming the folder itself. Reading
// the inode tables through the group descriptors and the folder blocks
// through the inodes' maps, only a volume read in the right order finds
// them; it ranks the ways a set of disks can be put together.
#pragma once

#include <cstdint>

#include "disk/probe.h"

namespace brantlow {

PlacementCheck extPlacementCheck(readWriteInterface& reader, uint64_t startByte, uint64_t sizeBytes,
                                 uint64_t budgetBytes);

}  // namespace brantlow
