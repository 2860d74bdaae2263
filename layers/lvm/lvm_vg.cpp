#include "layers/lvm/lvm_vg.h"

#include <algorithm>
#include <set>

#include "base/bytes.h"
#include "disk/segment_reader.h"
#include "layers/api/raid_reader.h"

namespace brantlow::lvm {

namespace {

std::string noDashes(const std::string& s) {
    std::string o;
    for (char c : s)
        if (c != '-') o += c;
    return o;
}

bool positive(int64_t v) { return v > 0; }

Decoded<Segment> decodeSegment(const Value& s, const std::string& lv) {
    using D = Decoded<Segment>;
    Segment seg;
    const int64_t start = s.integerAt("start_extent", -1), count = s.integerAt("extent_count", -1);
    if (start < 0 || !positive(count)) return D::refused("LV " + lv + ": " + s.key + " has no extents");
    seg.start = static_cast<uint64_t>(start);
    seg.count = static_cast<uint64_t>(count);
    seg.type = s.stringAt("type");
    const int64_t stripe = s.integerAt("stripe_size", 0);
    seg.stripeSize = stripe > 0 ? static_cast<uint64_t>(stripe) : 0;
    const int64_t offset = s.integerAt("data_offset", 0);
    seg.dataOffset = offset > 0 ? static_cast<uint64_t>(offset) : 0;
    const char* listKey = seg.type == "striped" ? "stripes" : seg.type == "mirror" ? "mirrors" : "raids";
    const Value* list = s.find(listKey);
    if (!list || list->kind != Value::Kind::List) {
        if (seg.type == "striped" || seg.type == "mirror" || seg.type.rfind("raid", 0) == 0)
            return D::refused("LV " + lv + ": " + s.key + " lists no " + listKey);
        return D::ok(std::move(seg));  // a type not read: no areas needed
    }
    const bool pairs = seg.type == "striped" || seg.type == "mirror";
    for (size_t i = 0; i < list->items.size(); ++i) {
        const Value& name = list->items[i];
        if (name.kind != Value::Kind::String) return D::refused("LV " + lv + ": " + s.key + " names a non-string area");
        uint64_t first = 0;
        if (pairs) {
            if (i + 1 >= list->items.size() || list->items[i + 1].kind != Value::Kind::Integer ||
                list->items[i + 1].integer < 0)
                return D::refused("LV " + lv + ": " + s.key + " has an area without its first extent");
            first = static_cast<uint64_t>(list->items[++i].integer);
        }
        seg.areas.push_back({name.text, first});
    }
    if (seg.areas.empty()) return D::refused("LV " + lv + ": " + s.key + " has no areas");
    return D::ok(std::move(seg));
}

// The RAID level and layout of an LV segment type; false when not read.
bool raidType(const std::string& type, int& level, int& layout, std::string& why) {
    static const struct {
        const char* name;
        int level, layout;
    } types[] = {
        {"raid0", 0, 0},           {"raid0_meta", 0, 0},          {"raid1", 1, 0},
        {"raid4", 5, kParityFirst}, {"raid5_n", 5, kParityLast},   {"raid5", 5, kLeftSymmetric},
        {"raid5_ls", 5, kLeftSymmetric}, {"raid5_la", 5, kLeftAsymmetric}, {"raid5_rs", 5, kRightSymmetric},
        {"raid5_ra", 5, kRightAsymmetric}, {"raid6_n_6", 6, kParityLast}, {"raid6_ls_6", 6, kLeftSymmetric6},
        {"raid6_la_6", 6, kLeftAsymmetric6}, {"raid6_rs_6", 6, kRightSymmetric6}, {"raid6_ra_6", 6, kRightAsymmetric6},
        {"raid10", 10, 0},
    };
    for (const auto& t : types)
        if (type == t.name) {
            level = t.level;
            layout = t.layout;
            return true;
        }
    why = "segments of type " + type + " are not read";
    return false;
}

struct Builder {
    const Vg& vg;
    const std::map<std::string, VolumeView>& given;
    std::map<std::string, const Pv*> pvByName;
    std::map<std::string, const Lv*> lvByName;
    std::set<std::string> missing;  // PV names not given
    uint64_t extentBytes = 0;

    // A run of extents on a PV, checked against the PV's extents and bytes.
    bool pvPiece(const std::string& pvName, uint64_t firstExtent, uint64_t extents, SegmentReader::Segment& out,
                 std::string& why) {
        auto p = pvByName.find(pvName);
        if (p == pvByName.end()) {
            why = "a segment names " + pvName + ", which the volume group does not list";
            return false;
        }
        const Pv& pv = *p->second;
        uint64_t end = 0, bytes = 0, at = 0, peStart = 0;
        if (addOverflows(firstExtent, extents, &end) || end > pv.peCount || mulOverflows(extents, extentBytes, &bytes) ||
            mulOverflows(firstExtent, extentBytes, &at) || mulOverflows(pv.peStart, 512, &peStart) ||
            addOverflows(at, peStart, &at)) {
            why = "a segment lies outside " + pvName + " (extents " + std::to_string(firstExtent) + "+" +
                  std::to_string(extents) + " of " + std::to_string(pv.peCount) + ")";
            return false;
        }
        auto v = given.find(pv.id);
        if (v == given.end()) {
            missing.insert(pvName);
            out = {nullptr, 0, bytes};
            return true;
        }
        const VolumeView& view = v->second;
        if (at > view.sizeBytes() || bytes > view.sizeBytes() - at) {
            why = "a segment lies beyond the end of " + pvName;
            return false;
        }
        out = {view.readerPtr(), view.startByte() + at, bytes};
        return true;
    }

    std::shared_ptr<readWriteInterface> lvReader(const Lv& lv, int depth, std::set<std::string>& path,
                                                 std::string& why) {
        if (depth > kMaxLvDepth || path.count(lv.name)) {
            why = "LV " + lv.name + " is made of itself (its metadata loops)";
            return nullptr;
        }
        path.insert(lv.name);
        struct Leave {
            std::set<std::string>& path;
            const std::string& name;
            ~Leave() { path.erase(name); }
        } leave{path, lv.name};
        std::vector<SegmentReader::Segment> pieces;
        uint64_t next = 0;
        for (const Segment& s : lv.segments) {
            uint64_t bytes = 0;
            if (s.start != next || mulOverflows(s.count, extentBytes, &bytes)) {
                why = "LV " + lv.name + ": its segments overlap or leave a gap at extent " + std::to_string(next);
                return nullptr;
            }
            next += s.count;
            SegmentReader::Segment piece;
            if (!segmentPiece(s, bytes, depth, path, piece, why)) {
                if (why.rfind("LV ", 0) != 0) why = "LV " + lv.name + ": " + why;
                return nullptr;
            }
            pieces.push_back(piece);
        }
        return std::make_shared<SegmentReader>(std::move(pieces));
    }

    const Lv* subLv(const std::string& name, std::string& why) {
        auto it = lvByName.find(name);
        if (it == lvByName.end()) why = "it names LV " + name + ", which the volume group does not list";
        return it == lvByName.end() ? nullptr : it->second;
    }

    bool segmentPiece(const Segment& s, uint64_t bytes, int depth, std::set<std::string>& path,
                      SegmentReader::Segment& out, std::string& why) {
        if (s.type == "striped") {
            const uint64_t n = s.areas.size();
            if (n == 1) return pvPiece(s.areas[0].first, s.areas[0].second, s.count, out, why);
            if (s.count % n || s.stripeSize == 0) {
                why = "a striped segment of " + std::to_string(s.count) + " extents over " + std::to_string(n) +
                      " stripes of " + std::to_string(s.stripeSize) + " sectors";
                return false;
            }
            RaidGeometry g;
            g.level = 0;
            g.chunkBytes = s.stripeSize * 512;
            for (const auto& [pv, first] : s.areas) {
                SegmentReader::Segment p;
                if (!pvPiece(pv, first, s.count / n, p, why)) return false;
                if (!p.reader) {
                    why = "a stripe lies on " + pv + ", which is missing";
                    return false;
                }
                g.members.push_back({p.reader, p.offset, p.length});
            }
            return raidPiece(g, bytes, out, why);
        }
        if (s.type == "mirror" || s.type == "raid1") {
            // One healthy leg: the first whose PVs are all given.
            std::string legWhy;
            for (size_t i = 0; i < s.areas.size(); ++i) {
                const bool image = s.type == "mirror" || i % 2 == 1;  // raid1: metadata, image, metadata, image
                if (!image) continue;
                const Lv* leg = subLv(s.areas[i].first, why);
                if (!leg) return false;
                const std::set<std::string> before = missing;
                auto r = lvReader(*leg, depth + 1, path, legWhy);
                if (!r || missing != before) {  // a leg with holes: try the next
                    missing = before;
                    continue;
                }
                uint64_t at = 0;
                const uint64_t firstExtent = s.type == "mirror" ? s.areas[i].second : s.start;
                if (mulOverflows(firstExtent, extentBytes, &at)) continue;
                out = {r, at, bytes};
                return true;
            }
            why = legWhy.empty() ? "no leg of the mirror has all its physical volumes" : legWhy;
            return false;
        }
        if (s.type.rfind("raid", 0) == 0) {
            RaidGeometry g;
            if (!raidType(s.type, g.level, g.layout, why)) return false;
            if (s.start != 0) {
                why = "a RAID segment that does not start the LV";
                return false;
            }
            const bool withMeta = s.type != "raid0";
            const size_t images = withMeta ? s.areas.size() / 2 : s.areas.size();
            if (g.level == 10) g.layout = 0x100 | 2;  // near, two copies
            g.chunkBytes = s.stripeSize * 512;
            if (g.level == 1) g.chunkBytes = 0;
            for (size_t i = 0; i < images; ++i) {
                const Lv* img = subLv(s.areas[withMeta ? 2 * i + 1 : i].first, why);
                if (!img) return false;
                const std::set<std::string> before = missing;
                std::string imgWhy;
                auto r = lvReader(*img, depth + 1, path, imgWhy);
                RaidMember m;
                if (!r || missing != before) {
                    missing = before;  // an image with holes is a missing member
                } else {
                    m.reader = r;
                    m.dataStart = s.dataOffset * 512;
                    m.dataBytes = r->sizeBytes() > m.dataStart ? r->sizeBytes() - m.dataStart : 0;
                }
                g.members.push_back(m);
            }
            return raidPiece(g, bytes, out, why);
        }
        why = "segments of type " + (s.type.empty() ? std::string("(none)") : s.type) + " are not read";
        return false;
    }

    bool raidPiece(const RaidGeometry& g, uint64_t bytes, SegmentReader::Segment& out, std::string& why) {
        const std::string problem = raidProblem(g);
        if (!problem.empty()) {
            why = problem;
            return false;
        }
        auto r = makeRaidReader(g);
        if (!r || r->sizeBytes() < bytes) {
            why = "its stripes hold less than the segment";
            return false;
        }
        out = {r, 0, bytes};
        return true;
    }
};

}  // namespace

Decoded<Vg> decodeVg(const Value& root) {
    using D = Decoded<Vg>;
    const Value* top = nullptr;
    for (const Value& v : root.items)
        if (v.kind == Value::Kind::Section) {
            top = &v;
            break;
        }
    if (!top) return D::refused("the metadata names no volume group");
    Vg vg;
    vg.name = top->key;
    vg.id = noDashes(top->stringAt("id"));
    vg.seqno = top->integerAt("seqno", 0);
    const int64_t extent = top->integerAt("extent_size", 0);
    if (!positive(extent) || extent > (1ll << 32))
        return D::refused("volume group " + vg.name + ": extent size " + std::to_string(extent));
    vg.extentSectors = static_cast<uint64_t>(extent);
    if (const Value* pvs = top->section("physical_volumes")) {
        for (const Value& p : pvs->items) {
            if (p.kind != Value::Kind::Section) continue;
            if (vg.pvs.size() >= kMaxPvs) return D::refused("volume group " + vg.name + " lists too many PVs");
            Pv pv;
            pv.name = p.key;
            pv.id = noDashes(p.stringAt("id"));
            const int64_t start = p.integerAt("pe_start", -1), count = p.integerAt("pe_count", -1);
            if (start < 0 || count < 0) return D::refused("PV " + pv.name + " has no extents");
            pv.peStart = static_cast<uint64_t>(start);
            pv.peCount = static_cast<uint64_t>(count);
            vg.pvs.push_back(pv);
        }
    }
    if (const Value* lvs = top->section("logical_volumes")) {
        for (const Value& l : lvs->items) {
            if (l.kind != Value::Kind::Section) continue;
            if (vg.lvs.size() >= kMaxLvs) return D::refused("volume group " + vg.name + " lists too many LVs");
            Lv lv;
            lv.name = l.key;
            lv.id = noDashes(l.stringAt("id"));
            lv.visible = l.listHas("status", "VISIBLE");
            for (const Value& s : l.items) {
                if (s.kind != Value::Kind::Section || s.key.rfind("segment", 0) != 0) continue;
                if (lv.segments.size() >= kMaxSegments) return D::refused("LV " + lv.name + " has too many segments");
                Decoded<Segment> seg = decodeSegment(s, lv.name);
                if (!seg) return D::refused(seg.reason());
                lv.segments.push_back(*seg);
            }
            std::sort(lv.segments.begin(), lv.segments.end(),
                      [](const Segment& a, const Segment& b) { return a.start < b.start; });
            vg.lvs.push_back(std::move(lv));
        }
    }
    return D::ok(std::move(vg));
}

LvReader readLv(const Vg& vg, const Lv& lv, const std::map<std::string, VolumeView>& pvs) {
    LvReader out;
    Builder b{vg, pvs, {}, {}, {}, vg.extentSectors * 512};
    for (const Pv& p : vg.pvs) b.pvByName[p.name] = &p;
    for (const Lv& l : vg.lvs) b.lvByName[l.name] = &l;
    if (lv.segments.empty()) {
        out.error = "LV " + lv.name + " has no segments";
        return out;
    }
    std::set<std::string> path;
    out.reader = b.lvReader(lv, 0, path, out.error);
    if (!out.reader) return out;
    out.error.clear();
    for (const std::string& m : b.missing) out.note += (out.note.empty() ? "" : ", ") + m;
    if (!out.note.empty()) out.note = "PV " + out.note + " missing: read as zeros";
    return out;
}

}  // namespace brantlow::lvm
