#include "layers/api/expand.h"

#include <algorithm>
#include <cctype>

namespace brantlow {

namespace {

bool sameNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

int depthOf(const std::string& number) { return static_cast<int>(std::count(number.begin(), number.end(), '/')); }

class Collect : public PartitionOwner {
public:
    std::vector<VolumeEntry> entries;
    void addEntry(const VolumeEntry& e) override { entries.push_back(e); }
};

std::string sizeText(uint64_t sectors) { return sizeTextMbSpaces2(sectors / 2048); }

// Opens one layer volume, asking as often as the layer wants (three tries
// at most). Fills e.layerNote when nothing was yielded.
std::vector<LayeredVolume> openLayer(const LayerRow& row, VolumeEntry& e, const VolumeView& view,
                                     const LayerAsk& ask) {
    LayerAnswers answers;
    LayerOpen r = row.open({view}, answers);
    for (int attempt = 0; r.volumes.empty() && r.needsAnswer && ask && attempt < kLayerAskTries; ++attempt) {
        LayerQuestion q = r.question;
        q.attempt = attempt;
        const size_t at = q.prompt.find("%s");
        if (at != std::string::npos) q.prompt.replace(at, 2, e.volumeNumber);
        if (!ask(q, answers)) break;
        r = row.open({view}, answers);
    }
    if (r.volumes.empty())
        e.layerNote = !r.error.empty()  ? r.error
                      : r.needsAnswer   ? (r.question.kind == LayerQuestion::Kind::Passphrase ? "a passphrase is needed"
                                                                                              : "an answer is needed")
                                        : "nothing inside";
    return std::move(r.volumes);
}

// The volumes a layer yields, each walked like a disk (or searched by find).
std::vector<VolumeEntry> walkInside(const VolumeEntry& parent, const std::vector<LayeredVolume>& inside,
                                    const ProbeTable& probes, const FindInside& find) {
    std::vector<VolumeEntry> out;
    int number = 0;
    for (const LayeredVolume& lv : inside) {
        if (!lv.reader) continue;
        Collect c;
        if (find) {
            c.entries = find(*lv.reader);
        } else {
            Partition p;
            p.owner = &c;
            ReadPartitionTables(*lv.reader, p, probes);
        }
        if (c.entries.empty()) {
            // Nothing this program recognises: listed all the same.
            VolumeEntry u;
            u.fileSystem = "Unknown";
            u.sizeSectors = lv.reader->sizeBytes() / 512;
            u.sizeText = sizeText(u.sizeSectors);
            c.entries.push_back(u);
        }
        for (VolumeEntry& e : c.entries) {
            e.reader = lv.reader;
            e.parent = parent.volumeNumber;
            e.within = lv.description + " on " + parent.volumeNumber;
            // A note of the layer's own, else the one of the layer around it.
            e.outputNote = lv.outputNote.empty() ? parent.outputNote
                                                 : lv.outputNote + " (read through " + e.within + ")";
            e.volumeNumber = parent.volumeNumber + "/" + std::to_string(number++);
            out.push_back(std::move(e));
        }
    }
    return out;
}

}  // namespace

const LayerRow* findLayerRow(const std::vector<LayerRow>& layers, const std::string& name) {
    for (const LayerRow& row : layers)
        for (const VolumeKind& k : row.probe.kinds)
            if (sameNoCase(k.listName, name)) return &row;
    return nullptr;
}

void expandLayers(std::vector<VolumeEntry>& volumes, const std::shared_ptr<readWriteInterface>& source,
                  const ProbeTable& probes, const std::vector<LayerRow>& layers, const LayerAsk& ask,
                  const FindInside& find) {
    // Children go right behind their parent and are looked at in turn, so
    // layers inside layers open too (down to kMaxLayerDepth).
    for (size_t i = 0; i < volumes.size() && volumes.size() < kMaxListedVolumes; ++i) {
        VolumeEntry& e = volumes[i];
        const LayerRow* row = findLayerRow(layers, e.fileSystem);
        if (!row || !row->open || depthOf(e.volumeNumber) >= kMaxLayerDepth) continue;
        const std::shared_ptr<readWriteInterface> reader = e.reader ? e.reader : source;
        if (!reader) continue;
        uint64_t start = 0, size = 0;
        const uint64_t total = reader->sizeBytes();
        if (__builtin_mul_overflow(e.startSector, 512ull, &start) || start >= total) continue;
        if (!e.sizeSectors || __builtin_mul_overflow(e.sizeSectors, 512ull, &size) || size > total - start)
            size = total - start;
        const VolumeView view(reader, start, size);
        std::vector<LayeredVolume> inside = openLayer(*row, e, view, ask);
        for (LayeredVolume& lv : inside)
            if (lv.reader) lv.reader->setSectorSize(reader->sectorSize());
        std::vector<VolumeEntry> children = walkInside(volumes[i], inside, probes, find);
        volumes.insert(volumes.begin() + static_cast<std::ptrdiff_t>(i) + 1, children.begin(), children.end());
    }
}

}  // namespace brantlow
