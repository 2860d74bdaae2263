// LVM2 as a volume layer: a physical volume is recognised by its label;
// the volume group's newest metadata text names the logical volumes, each
// yielded as a volume ("LV vg0/home"). The physical volumes of a group
// spread over several disks are opened together; logical volumes that
// older metadata texts still describe but the newest does not are listed
// as removed.
#pragma once

#include "layers/api/layer_row.h"

namespace brantlow {

LayerRow lvmRow();

}  // namespace brantlow
