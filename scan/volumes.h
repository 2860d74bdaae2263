// The volume list of a source as every front end shows it: the partition
// walk named through the file systems' and the layers' probes, each layer
// opened and what it holds listed under it; and the view a parser reads a
// chosen volume through.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "disk/partition.h"
#include "disk/volume_view.h"
#include "layers/api/expand.h"
#include "layers/api/layer_row.h"

namespace brantlow {

// The file systems' probes, then the layers'.
const ProbeTable& volumeProbeTable();

// The partition walk of source (GPT entries when gpt or when the MBR is
// only protective), then every layer opened (see openLayers).
std::vector<VolumeEntry> listVolumes(const std::shared_ptr<readWriteInterface>& source, bool gpt,
                                     const LayerAsk& ask = {});
// Opens the layers among volumes (in place: each layer's volumes follow it,
// numbered under it). ask may be empty: a layer that needs an answer then
// stays shut with a note. What a layer holds is found by the partition
// walk, or by find (scanInside: the sector scan).
void openLayers(std::vector<VolumeEntry>& volumes, const std::shared_ptr<readWriteInterface>& source,
                const LayerAsk& ask = {}, const FindInside& find = {});
// The sector scan as openLayers' find: every volume it finds inside what a
// layer yields, with the options of `like` (skipping, progress, pause); the
// stop of `like` ends it too.
FindInside scanInside(const Partition& like);

// Whether a volume of this name is a layer (opened, not parsed).
bool isLayerName(const std::string& fileSystem);

// The reader a volume lies on: its layer's, else the source.
std::shared_ptr<readWriteInterface> volumeReader(const VolumeEntry& v,
                                                 const std::shared_ptr<readWriteInterface>& source);
// The bytes a parser reads for the volume (its size as volumeSizeBytes
// gives it).
VolumeView volumeView(const VolumeEntry& v, const std::shared_ptr<readWriteInterface>& source);

}  // namespace brantlow
