// The parameters of a set without metadata, as the operator types them or
// the search proposes them: "level=5,chunk=64K,layout=left-symmetric,
// order=0:1:2,start=1M". `order` names, role by role, which member source
// (counted from 0, as given) holds it, "-" for one that is missing;
// `start` is where the data begins on every member.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "disk/volume_view.h"
#include "layers/api/raid_reader.h"

namespace brantlow::rawraid {

struct Params {
    int level = 0;
    uint64_t chunkBytes = 0;
    int layout = 0;           // RAID 4/5/6: a parity layout; RAID 10: md's copies word
    std::vector<int> order;   // source per role; -1 missing
    uint64_t start = 0;
};

// Checks typed parameters against the sources given; false with `error`.
bool parseParams(const std::map<std::string, std::string>& p, size_t sources, Params& out, std::string& error);
// The parameters as `open` takes them.
std::map<std::string, std::string> paramsMap(const Params& p);
// The set the parameters make of the sources.
RaidGeometry geometryOf(const Params& p, const std::vector<VolumeView>& sources);

}  // namespace brantlow::rawraid
