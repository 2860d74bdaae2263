// Whether an NTFS volume's MFT records are where their own numbers say
// (and the mirror's first records too): only a volume read in the right
// order finds them in place; it ranks the ways a set of disks can be put
// together.
#pragma once

#include <cstdint>

#include "disk/probe.h"

namespace brantlow {

PlacementCheck ntfsPlacementCheck(readWriteInterface& reader, uint64_t startByte, uint64_t sizeBytes,
                                  uint64_t budgetBytes);

}  // namespace brantlow
