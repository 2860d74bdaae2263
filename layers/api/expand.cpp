#include "layers/api/expand.h"

#include <algorithm>
#include <cctype>

#include "disk/segment_reader.h"

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

// Opens one layer volume (with the other members of its set), asking as
// often as the layer wants (three tries at most). Fills e.layerNote when
// nothing was yielded.
std::vector<LayeredVolume> openLayer(const LayerRow& row, VolumeEntry& e, const std::vector<VolumeView>& views,
                                     const LayerAsk& ask) {
    LayerAnswers answers;
    LayerOpen r = row.open(views, answers);
    for (int attempt = 0; r.volumes.empty() && r.needsAnswer && ask && attempt < kLayerAskTries; ++attempt) {
        LayerQuestion q = r.question;
        q.attempt = attempt;
        const size_t at = q.prompt.find("%s");
        if (at != std::string::npos) q.prompt.replace(at, 2, e.volumeNumber);
        if (!ask(q, answers)) break;
        r = row.open(views, answers);
    }
    if (r.volumes.empty())
        e.layerNote = !r.error.empty()  ? r.error
                      : r.needsAnswer   ? (r.question.kind == LayerQuestion::Kind::Passphrase ? "a passphrase is needed"
                                                                                              : "an answer is needed")
                                        : "nothing inside";
    return std::move(r.volumes);
}

// The bytes of a volume of the list (on its layer's reader, else on the
// source); false when it lies beyond them.
bool viewOf(const VolumeEntry& e, const std::shared_ptr<readWriteInterface>& source, VolumeView& out) {
    const std::shared_ptr<readWriteInterface> reader = e.reader ? e.reader : source;
    if (!reader) return false;
    uint64_t start = 0, size = 0;
    const uint64_t total = reader->sizeBytes();
    if (__builtin_mul_overflow(e.startSector, 512ull, &start) || start >= total) return false;
    if (!e.sizeSectors || __builtin_mul_overflow(e.sizeSectors, 512ull, &size) || size > total - start)
        size = total - start;
    out = VolumeView(reader, start, size);
    return true;
}

// The other members of volume i's set among the volumes after it (their
// indexes), with their views.
std::vector<size_t> setMembers(const std::vector<VolumeEntry>& volumes, size_t i, const LayerRow& row,
                               const std::string& key, const std::shared_ptr<readWriteInterface>& source,
                               const std::vector<LayerRow>& layers, std::vector<VolumeView>& views) {
    std::vector<size_t> out;
    for (size_t j = i + 1; j < volumes.size() && out.size() < kMaxSetMembers; ++j) {
        const VolumeEntry& m = volumes[j];
        VolumeView v;
        if (!m.memberOf.empty() || findLayerRow(layers, m.fileSystem) != &row || !viewOf(m, source, v)) continue;
        if (row.setKey(v) != key) continue;
        out.push_back(j);
        views.push_back(v);
    }
    return out;
}

// The volumes a layer yields, each walked like a disk (or searched by find).
std::vector<VolumeEntry> walkInside(const VolumeEntry& parent, const std::vector<LayeredVolume>& inside,
                                    const ProbeTable& probes, const FindInside& find) {
    std::vector<VolumeEntry> out;
    int number = 0;
    for (const LayeredVolume& lv : inside) {
        if (!lv.reader) {
            if (lv.note.empty()) continue;
            VolumeEntry u;
            u.fileSystem = "Unknown";
            u.sizeText = sizeText(0);
            u.parent = parent.volumeNumber;
            u.within = lv.description + " on " + parent.volumeNumber;
            u.layerNote = lv.note;
            u.reader = std::make_shared<SegmentReader>(std::vector<SegmentReader::Segment>{});  // nothing to read
            u.volumeNumber = parent.volumeNumber + "/" + std::to_string(number++);
            out.push_back(std::move(u));
            continue;
        }
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
        if (!row || !row->open || !e.memberOf.empty() || depthOf(e.volumeNumber) >= kMaxLayerDepth) continue;
        VolumeView view;
        if (!viewOf(e, source, view)) continue;
        std::vector<VolumeView> views{view};
        std::vector<size_t> others;
        if (row->setKey) {
            const std::string key = row->setKey(view);
            if (!key.empty()) others = setMembers(volumes, i, *row, key, source, layers, views);
        }
        std::vector<LayeredVolume> inside = openLayer(*row, volumes[i], views, ask);
        for (size_t j : others) volumes[j].memberOf = volumes[i].volumeNumber;
        for (LayeredVolume& lv : inside)
            if (lv.reader) lv.reader->setSectorSize(view.reader()->sectorSize());
        std::vector<VolumeEntry> children = walkInside(volumes[i], inside, probes, find);
        volumes.insert(volumes.begin() + static_cast<std::ptrdiff_t>(i) + 1, children.begin(), children.end());
    }
}

std::vector<OpenedSet> openSets(const std::vector<VolumeEntry>& volumes, const std::vector<LayerRow>& layers,
                                const LayerAsk& ask) {
    std::vector<OpenedSet> out;
    std::vector<bool> taken(volumes.size(), false);
    for (size_t i = 0; i < volumes.size(); ++i) {
        const LayerRow* row = findLayerRow(layers, volumes[i].fileSystem);
        VolumeView view;
        if (taken[i] || !row || !row->open || !row->setKey || !viewOf(volumes[i], nullptr, view)) continue;
        const std::string key = row->setKey(view);
        if (key.empty()) continue;
        std::vector<VolumeView> views{view};
        OpenedSet set;
        set.layer = volumes[i].fileSystem;
        set.members.push_back(i);
        for (size_t j : setMembers(volumes, i, *row, key, nullptr, layers, views)) {
            if (taken[j]) continue;
            set.members.push_back(j);
        }
        for (size_t j : set.members) taken[j] = true;
        VolumeEntry first = volumes[i];
        set.volumes = openLayer(*row, first, views, ask);
        set.error = first.layerNote;
        for (LayeredVolume& lv : set.volumes)
            if (lv.reader) lv.reader->setSectorSize(view.reader()->sectorSize());
        out.push_back(std::move(set));
    }
    return out;
}

}  // namespace brantlow
