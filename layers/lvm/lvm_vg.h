// A volume group as its metadata text describes it: the physical volumes
// and the logical volumes with their segments; and the reader of each
// logical volume over the physical volumes given (linear and striped
// segments, mirror and RAID 1 legs, RAID 0/4/5/6/10 images).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/decoded.h"
#include "disk/volume_view.h"
#include "layers/lvm/lvm_text.h"

namespace brantlow::lvm {

constexpr size_t kMaxPvs = 256;
constexpr size_t kMaxLvs = 4096;
constexpr size_t kMaxSegments = 10000;  // per logical volume
constexpr int kMaxLvDepth = 8;          // a leg of a leg of ...

struct Pv {
    std::string name;  // "pv0"
    std::string id;    // the UUID without dashes
    uint64_t peStart = 0;  // sectors from the PV's start
    uint64_t peCount = 0;
};

struct Segment {
    uint64_t start = 0, count = 0;  // extents of the LV
    std::string type;               // "striped", "mirror", "raid1", "raid5_ls", ...
    uint64_t stripeSize = 0;        // sectors
    uint64_t dataOffset = 0;        // sectors into each RAID image
    // Areas: a PV name and its first extent ("striped"), an LV name and
    // its first extent ("mirror"), LV names ("raid*": metadata and image
    // LVs in turn, images only for "raid0").
    std::vector<std::pair<std::string, uint64_t>> areas;
};

struct Lv {
    std::string name, id;
    bool visible = false;
    std::vector<Segment> segments;  // in extent order
};

struct Vg {
    std::string name, id;
    int64_t seqno = 0;
    uint64_t extentSectors = 0;
    std::vector<Pv> pvs;
    std::vector<Lv> lvs;
};

// The volume group of a metadata text (its first section).
Decoded<Vg> decodeVg(const Value& root);

// A logical volume's bytes, or why they cannot be read. `pvs` maps PV
// UUIDs (without dashes) to the bytes of the PVs given; a PV not given
// reads as zeros and is named in `note`.
struct LvReader {
    std::shared_ptr<readWriteInterface> reader;
    std::string error;  // why there is no reader
    std::string note;   // what the reader lacks (missing PVs)
};
LvReader readLv(const Vg& vg, const Lv& lv, const std::map<std::string, VolumeView>& pvs);

}  // namespace brantlow::lvm
