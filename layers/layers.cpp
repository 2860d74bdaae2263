#include "layers/layers.h"

#include "layers/luks/luks.h"
#include "layers/lvm/lvm_row.h"
#include "layers/md/md_row.h"
#include "layers/rawraid/rawraid_row.h"
#include "layers/testlayer/testlayer.h"

namespace brantlow {

const std::vector<LayerRow>& layerTable() {
    static const std::vector<LayerRow> rows = {luksRow(), mdRow(), lvmRow(), rawRaidRow(), testLayerRow()};
    return rows;
}

const ProbeTable& layerProbeTable() {
    static const ProbeTable probes = [] {
        ProbeTable t;
        for (const LayerRow& row : layerTable()) t.push_back(row.probe);
        return t;
    }();
    return probes;
}

std::vector<std::string> layerNames() {
    std::vector<std::string> out;
    for (const LayerRow& row : layerTable()) {
        for (const VolumeKind& k : row.probe.kinds) out.push_back(k.listName);
    }
    return out;
}

}  // namespace brantlow
