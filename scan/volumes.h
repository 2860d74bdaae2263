// The volume list of a source as every front end shows it: the partition
// walk named through the file systems' and the layers' probes, each layer
// opened and what it holds listed under it; and the view a parser reads a
// chosen volume through.
#pragma once

#include <atomic>
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

// Several sources put together: every set their volumes make (the members
// of a RAID set, the physical volumes of a volume group spread over
// disks), each volume a set yields to be read like a disk.
struct AssembledDisk {
    std::shared_ptr<readWriteInterface> reader;
    std::string description;  // what it is and what it was made of
};
struct Assembly {
    std::vector<AssembledDisk> disks;
    std::vector<std::string> notes;  // sets that yield nothing, and why
};
// names: how each source is called in the descriptions (its path).
Assembly assembleSources(const std::vector<std::shared_ptr<readWriteInterface>>& sources,
                         const std::vector<std::string>& names, const LayerAsk& ask = {});

// Sources that make a set without metadata (RAID members whose
// superblocks are gone, a hardware RAID's disks): the ranked ways to put
// them together, and the set made with chosen or typed parameters
// ("level=5,chunk=64K,layout=left-symmetric,order=0:1:2,start=1M"; order
// counts the sources as given). An empty reader: `error` says why.
SetSearchResult searchSetParameters(const std::vector<std::shared_ptr<readWriteInterface>>& sources,
                                    const std::atomic<bool>* stop = nullptr, ProgressSink* progress = nullptr,
                                    size_t maxCandidates = 10);
AssembledDisk assembleWithParameters(const std::vector<std::shared_ptr<readWriteInterface>>& sources,
                                     const std::vector<std::string>& names, const std::string& parameters,
                                     std::string& error);

// The volume list of several disks (assembled sets): with more than one,
// each volume's number starts with its disk's ("1:0", "1:0/0") and every
// volume carries its reader.
std::vector<VolumeEntry> listDisks(const std::vector<AssembledDisk>& disks, bool gpt, const LayerAsk& ask = {});

// Whether a volume of this name is a layer (opened, not parsed).
bool isLayerName(const std::string& fileSystem);

// The reader a volume lies on: its layer's, else the source.
std::shared_ptr<readWriteInterface> volumeReader(const VolumeEntry& v,
                                                 const std::shared_ptr<readWriteInterface>& source);
// The bytes a parser reads for the volume (its size as volumeSizeBytes
// gives it).
VolumeView volumeView(const VolumeEntry& v, const std::shared_ptr<readWriteInterface>& source);

}  // namespace brantlow
