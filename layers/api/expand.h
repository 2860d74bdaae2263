// Opening the layers of a volume list: every volume whose name is a
// layer's is opened (asking for what it needs), and the volumes inside are
// walked like a disk and listed right after it with their parent.
#pragma once

#include <memory>
#include <vector>

#include "disk/partition.h"
#include "layers/api/layer_row.h"

namespace brantlow {

// Layers inside layers are opened down to this depth.
constexpr int kMaxLayerDepth = 4;
// No more layers are opened once the list holds this many volumes (a
// hostile volume group could name thousands).
constexpr size_t kMaxListedVolumes = 4096;

// A set gathers at most this many members.
constexpr size_t kMaxSetMembers = 64;

// The row whose kinds hold this name, or nullptr.
const LayerRow* findLayerRow(const std::vector<LayerRow>& layers, const std::string& name);

// What lies inside a volume a layer yields, found on its reader (start
// sectors counted on it). Empty: its partition walk.
using FindInside = std::function<std::vector<VolumeEntry>(readWriteInterface& reader)>;

// Opens every layer volume of `volumes` (in place: what each holds follows
// it). source is the reader the top-level volumes lie on; probes the table
// that names what the layers hold (file systems and layers); ask may be
// empty (layers that need an answer stay shut, with a note); find, when
// given, replaces the partition walk inside (the sector scan does).
// The members of a set found in the list (a RAID set's members on one
// disk, a volume group's physical volumes) are opened together under the
// first; the others name it in memberOf.
void expandLayers(std::vector<VolumeEntry>& volumes, const std::shared_ptr<readWriteInterface>& source,
                  const ProbeTable& probes, const std::vector<LayerRow>& layers, const LayerAsk& ask,
                  const FindInside& find = {});

// A set put together from members found on several sources.
struct OpenedSet {
    std::string layer;                   // the members' name in the volume list
    std::vector<size_t> members;         // indexes into the volumes given, the first found first
    std::vector<LayeredVolume> volumes;  // what it yields
    std::string error;                   // why it yields nothing
};
// Groups the set members among `volumes` (each on its own reader: the
// volumes of several sources) by their sets and opens each set.
std::vector<OpenedSet> openSets(const std::vector<VolumeEntry>& volumes, const std::vector<LayerRow>& layers,
                                const LayerAsk& ask);

}  // namespace brantlow
