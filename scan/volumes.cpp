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

Assembly assembleSources(const std::vector<std::shared_ptr<readWriteInterface>>& sources,
                         const std::vector<std::string>& names, const LayerAsk& ask) {
    Assembly out;
    std::vector<VolumeEntry> all;
    std::vector<std::string> origin;  // each volume's source and number, for the descriptions
    for (size_t k = 0; k < sources.size(); ++k) {
        if (!sources[k]) continue;
        Collect c;
        Partition p;
        p.owner = &c;
        ReadPartitionTables(*sources[k], p, volumeProbeTable());
        const std::string name = k < names.size() ? names[k] : "source " + std::to_string(k);
        for (VolumeEntry& e : c.entries) {
            e.reader = sources[k];
            origin.push_back(c.entries.size() == 1 && e.startSector == 0 ? name : name + " volume " + e.volumeNumber);
            all.push_back(std::move(e));
        }
    }
    for (const OpenedSet& set : openSets(all, layerTable(), ask)) {
        std::string from;
        for (size_t i : set.members) from += (from.empty() ? "" : ", ") + origin[i];
        if (set.volumes.empty()) {
            out.notes.push_back(set.layer + " on " + from + ": " + set.error);
            continue;
        }
        for (const LayeredVolume& lv : set.volumes) {
            if (lv.reader)
                out.disks.push_back({lv.reader, lv.description + " from " + from});
            else
                out.notes.push_back(lv.description + " on " + from + ": " + lv.note);
        }
    }
    return out;
}

namespace {
// The row that reads sets without metadata.
const LayerRow* searchRow() {
    for (const LayerRow& row : layerTable())
        if (row.search) return &row;
    return nullptr;
}

std::vector<VolumeView> wholeViews(const std::vector<std::shared_ptr<readWriteInterface>>& sources) {
    std::vector<VolumeView> v;
    for (const auto& s : sources) v.emplace_back(s, 0, s ? s->sizeBytes() : 0);
    return v;
}
}  // namespace

SetSearchResult searchSetParameters(const std::vector<std::shared_ptr<readWriteInterface>>& sources,
                                    const std::atomic<bool>* stop, ProgressSink* progress, size_t maxCandidates) {
    const LayerRow* row = searchRow();
    if (!row) return {{}, "no layer reads sets without metadata"};
    SetSearchContext ctx;
    ctx.probes = &volumeProbeTable();
    ctx.stop = stop;
    ctx.progress = progress;
    ctx.maxCandidates = maxCandidates;
    return row->search(wholeViews(sources), ctx);
}

AssembledDisk assembleWithParameters(const std::vector<std::shared_ptr<readWriteInterface>>& sources,
                                     const std::vector<std::string>& names, const std::string& parameters,
                                     std::string& error) {
    const LayerRow* row = searchRow();
    if (!row) {
        error = "no layer reads sets without metadata";
        return {};
    }
    LayerAnswers answers;
    if (!parseSetParameters(parameters, answers.parameters, error)) return {};
    LayerOpen r = row->open(wholeViews(sources), answers);
    if (r.volumes.empty() || !r.volumes[0].reader) {
        error = r.error.empty() ? "the set cannot be put together" : r.error;
        return {};
    }
    std::string from;
    for (const std::string& n : names) from += (from.empty() ? "" : ", ") + n;
    r.volumes[0].reader->setSectorSize(sources.empty() || !sources[0] ? 512 : sources[0]->sectorSize());
    return {r.volumes[0].reader, r.volumes[0].description + " from " + from};
}

std::vector<VolumeEntry> listDisks(const std::vector<AssembledDisk>& disks, bool gpt, const LayerAsk& ask) {
    if (disks.size() == 1) return listVolumes(disks[0].reader, gpt, ask);
    std::vector<VolumeEntry> out;
    for (size_t k = 0; k < disks.size(); ++k) {
        const std::string prefix = std::to_string(k) + ":";
        for (VolumeEntry& e : listVolumes(disks[k].reader, gpt, ask)) {
            if (!e.reader) e.reader = disks[k].reader;
            e.volumeNumber = prefix + e.volumeNumber;
            if (!e.parent.empty()) e.parent = prefix + e.parent;
            if (!e.memberOf.empty()) e.memberOf = prefix + e.memberOf;
            if (!e.within.empty()) {
                // "... on 0" names the parent by its number.
                const size_t on = e.within.rfind(" on ");
                if (on != std::string::npos) e.within = e.within.substr(0, on + 4) + prefix + e.within.substr(on + 4);
            }
            out.push_back(std::move(e));
        }
    }
    return out;
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
