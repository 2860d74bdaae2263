// RAID sets without metadata as a volume layer: the disks of a hardware
// RAID, or md members whose superblocks are gone. Nothing on them says
// what they are, so the row recognises nothing by itself; its search ranks
// the ways the member sources fit together (level, chunk size, member
// order, parity layout, where the data starts) and `open` puts them
// together with the parameters chosen or typed.
#pragma once

#include "layers/api/layer_row.h"

namespace brantlow {

LayerRow rawRaidRow();

}  // namespace brantlow
