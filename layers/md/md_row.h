// Linux md RAID as a volume layer: a member is recognised by its
// superblock (0.90, 1.0, 1.1, 1.2), members are grouped by the set's UUID
// and the array they make (linear, RAID 0, 1, 4, 5, 6, 10, with a missing
// member rebuilt where the level allows) is yielded as one volume.
#pragma once

#include "layers/api/layer_row.h"

namespace brantlow {

LayerRow mdRow();

}  // namespace brantlow
