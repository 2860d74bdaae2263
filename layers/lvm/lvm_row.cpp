#include "layers/lvm/lvm_row.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "layers/lvm/lvm_label.h"
#include "layers/lvm/lvm_text.h"
#include "layers/lvm/lvm_vg.h"

namespace brantlow {

namespace {

constexpr const char* kName = "LVM2";
constexpr size_t kLabelBytes = 2048;

// On a volume's first bytes (and at every sector of the sector scan): the
// label where lvm2 writes it, in sector 1.
bool probe(const uint8_t* head, size_t len, ProbeResult& out) {
    if (len < 1024 || std::memcmp(head + 512, "LABELONE", 8) != 0) return false;
    Decoded<lvm::PvLabel> label = lvm::decodeLabel(head, len);
    if (!label) return false;
    out.fileSystem = kName;
    out.sizeSectors = label->deviceBytes / 512;
    return true;
}

// A volume's first four sectors, where lvm2 also looks for a label.
bool probeVolume(readWriteInterface& reader, uint64_t startByte, uint64_t sizeBytes, ProbeResult& out) {
    uint8_t head[kLabelBytes];
    if (sizeBytes < sizeof head || readZeroFill(reader, startByte, head, sizeof head) != sizeof head) return false;
    Decoded<lvm::PvLabel> label = lvm::decodeLabel(head, sizeof head);
    if (!label) return false;
    out.fileSystem = kName;
    out.sizeSectors = sizeBytes / 512;
    return true;
}

// What one physical volume's headers say.
struct PvRead {
    VolumeView view;
    lvm::PvLabel label;
    lvm::Vg current;                   // the group as its newest text describes it
    std::vector<lvm::Vg> older;        // as older texts in the rings describe it
    std::string error;
};

bool readPv(const VolumeView& v, PvRead& out) {
    out.view = v;
    uint8_t head[kLabelBytes];
    if (!v.reader() || v.read(0, head, sizeof head) < 1024) {
        out.error = "the physical volume cannot be read";
        return false;
    }
    Decoded<lvm::PvLabel> label = lvm::decodeLabel(head, sizeof head);
    if (!label) {
        out.error = label.reason();
        return false;
    }
    out.label = *label;
    // Every text of every metadata area, the current ones first.
    std::vector<lvm::MetadataText> texts;
    for (const lvm::Area& a : out.label.metadataAreas) {
        auto area = lvm::readMetadataArea(*v.reader(), v.startByte(), a, v.sizeBytes());
        if (!area) {
            out.error = area.reason();
            continue;
        }
        for (lvm::MetadataText& t : *area) texts.push_back(std::move(t));
    }
    std::stable_sort(texts.begin(), texts.end(), [](const lvm::MetadataText& a, const lvm::MetadataText& b) {
        return (a.current && a.checksumOk) > (b.current && b.checksumOk);
    });
    std::vector<lvm::Vg> parsed;
    for (const lvm::MetadataText& t : texts) {
        Decoded<lvm::Value> root = lvm::parseText(t.text);
        if (!root) {
            if (t.current) out.error = "metadata text: " + root.reason();
            continue;
        }
        Decoded<lvm::Vg> vg = lvm::decodeVg(*root);
        if (!vg) {
            if (t.current) out.error = vg.reason();
            continue;
        }
        parsed.push_back(std::move(*vg));
    }
    if (parsed.empty()) {
        if (out.error.empty()) out.error = "the physical volume holds no volume group metadata";
        return false;
    }
    // The newest: the current text when it checks out, else the highest
    // sequence number found.
    size_t best = 0;
    if (!(texts.size() && texts[0].current && texts[0].checksumOk))
        for (size_t i = 1; i < parsed.size(); ++i)
            if (parsed[i].seqno > parsed[best].seqno) best = i;
    out.current = parsed[best];
    for (size_t i = 0; i < parsed.size(); ++i)
        if (i != best && parsed[i].id == out.current.id && parsed[i].seqno < out.current.seqno)
            out.older.push_back(std::move(parsed[i]));
    return true;
}

std::string setKey(const VolumeView& member) {
    PvRead pv;
    if (!readPv(member, pv)) return {};
    return "lvm " + (pv.current.id.empty() ? pv.current.name : pv.current.id);
}

LayerOpen open(const std::vector<VolumeView>& sources, const LayerAnswers& answers) {
    (void)answers;
    LayerOpen r;
    std::vector<PvRead> pvs;
    for (const VolumeView& v : sources) {
        PvRead pv;
        if (readPv(v, pv)) {
            pvs.push_back(std::move(pv));
        } else if (pvs.empty() && &v == &sources.front()) {
            r.error = pv.error;
            return r;
        }
    }
    if (pvs.empty()) {
        r.error = "no LVM2 physical volume could be read";
        return r;
    }
    // The group of the first PV, as its newest text among the PVs given
    // describes it.
    const std::string id = pvs[0].current.id;
    const lvm::Vg* vg = &pvs[0].current;
    std::map<std::string, VolumeView> given;
    for (const PvRead& pv : pvs) {
        if (pv.current.id != id) continue;
        given[pv.label.uuid] = pv.view;
        if (pv.current.seqno > vg->seqno) vg = &pv.current;
    }
    std::set<std::string> listed;
    auto add = [&](const lvm::Vg& group, const lvm::Lv& lv, const std::string& suffix) {
        LayeredVolume out;
        out.description = "LV " + group.name + "/" + lv.name + suffix;
        lvm::LvReader lr = lvm::readLv(group, lv, given);
        out.reader = lr.reader;
        if (!lr.note.empty()) out.description += " (" + lr.note + ")";
        out.note = lr.error;
        r.volumes.push_back(std::move(out));
        listed.insert(lv.id.empty() ? lv.name : lv.id);
    };
    for (const lvm::Lv& lv : vg->lvs)
        if (lv.visible) add(*vg, lv, "");
    // Logical volumes removed since an older text was written: listed from
    // the newest text that still holds them.
    std::vector<const lvm::Vg*> older;
    for (const PvRead& pv : pvs)
        for (const lvm::Vg& o : pv.older)
            if (o.id == id && o.seqno < vg->seqno) older.push_back(&o);
    std::sort(older.begin(), older.end(), [](const lvm::Vg* a, const lvm::Vg* b) { return a->seqno > b->seqno; });
    for (const lvm::Vg* o : older)
        for (const lvm::Lv& lv : o->lvs)
            if (lv.visible && !listed.count(lv.id.empty() ? lv.name : lv.id) && r.volumes.size() < lvm::kMaxLvs)
                add(*o, lv, ", removed (metadata " + std::to_string(o->seqno) + ")");
    if (r.volumes.empty()) r.error = "volume group " + vg->name + " holds no logical volumes";
    return r;
}

}  // namespace

LayerRow lvmRow() {
    LayerRow row;
    row.probe = {"lvm", probe};
    row.probe.probeVolume = probeVolume;
    row.probe.kinds = {{kName, "found LVM2 physical volume...", "", false, false, false, 0}};
    row.probe.scanMarks = {ScanMark::of(512, "LABELONE", 8)};
    row.open = open;
    row.setKey = setKey;
    return row;
}

}  // namespace brantlow
