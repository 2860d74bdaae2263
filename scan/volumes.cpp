#include "scan/volumes.h"

#include "disk/sector_scan.h"
#include "fs/filesystems.h"
#include "layers/api/expand.h"
#include "layers/layers.h"
#include "scan/scan_job.h"

namespace brantlow {

namespace {
class Collect : public PartitionOwner {
public:
    std::vector<VolumeEntry> entries;
    void addEntry(const VolumeEntry& e) override { entries.push_back(e); }
};
}  // namespace

const ProbeTable& volumeProbeTable() {
    static const ProbeTable probes = [] {
        ProbeTable t = probeTable();
        const ProbeTable& l = layerProbeTable();
        t.insert(t.end(), l.begin(), l.end());
        return t;
    }();
    return probes;
}

std::vector<VolumeEntry> listVolumes(const std::shared_ptr<readWriteInterface>& source, bool gpt,
                                     const LayerAsk& ask) {
    Collect c;
    if (!source) return {};
    Partition p;
    p.owner = &c;
    p.useGpt = gpt;
    ReadPartitionTables(*source, p, volumeProbeTable());
    openLayers(c.entries, source, ask);
    return std::move(c.entries);
}

void openLayers(std::vector<VolumeEntry>& volumes, const std::shared_ptr<readWriteInterface>& source,
                const LayerAsk& ask, const FindInside& find) {
    expandLayers(volumes, source, volumeProbeTable(), layerTable(), ask, find);
}

FindInside scanInside(const Partition& like) {
    const bool skip = like.skipFoundVolumes;
    ProgressSink* progress = like.progress;
    PauseGate* pause = like.pause;
    const std::atomic<bool>* stop = &like.stopRequested;
    return [skip, progress, pause, stop](readWriteInterface& reader) {
        Collect c;
        Partition p;
        p.owner = &c;
        p.progress = progress;
        p.pause = pause;
        p.skipFoundVolumes = skip;
        p.outerStop = stop;
        ScanForFileSystems(reader, p, volumeProbeTable());
        return std::move(c.entries);
    };
}

bool isLayerName(const std::string& fileSystem) { return findLayerRow(layerTable(), fileSystem) != nullptr; }

std::shared_ptr<readWriteInterface> volumeReader(const VolumeEntry& v,
                                                 const std::shared_ptr<readWriteInterface>& source) {
    return v.reader ? v.reader : source;
}

VolumeView volumeView(const VolumeEntry& v, const std::shared_ptr<readWriteInterface>& source) {
    std::shared_ptr<readWriteInterface> reader = volumeReader(v, source);
    if (!reader) return {};
    uint64_t start = 0;
    if (__builtin_mul_overflow(v.startSector, 512ull, &start)) start = reader->sizeBytes();
    return VolumeView(reader, start, volumeSizeBytes(v, reader->sizeBytes()));
}

}  // namespace brantlow
