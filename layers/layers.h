// The volume layers this program opens: one row each
// (layers/api/layer_row.h), listed here. Adding a layer is a folder under
// layers/ plus its row in layerTable(); nothing above layers/ names one.
#pragma once

#include <string>
#include <vector>

#include "layers/api/layer_row.h"

namespace brantlow {

const std::vector<LayerRow>& layerTable();
// The rows' probes, in recognition order.
const ProbeTable& layerProbeTable();
// Every name the table knows a layer by, for checks that no other folder
// spells one out.
std::vector<std::string> layerNames();

}  // namespace brantlow
