#include "layers/rawraid/rawraid_row.h"

#include <algorithm>

#include "layers/rawraid/rawraid_params.h"
#include "layers/rawraid/rawraid_search.h"

namespace brantlow {

namespace {

constexpr const char* kName = "RAID without metadata";

LayerOpen open(const std::vector<VolumeView>& sources, const LayerAnswers& answers) {
    LayerOpen r;
    if (answers.parameters.empty()) {
        r.needsAnswer = true;
        r.question.kind = LayerQuestion::Kind::Parameters;
        r.question.prompt = "How the members fit together (level=5,chunk=64K,layout=left-symmetric,order=0:1:2,start=1M)";
        return r;
    }
    rawraid::Params p;
    if (!rawraid::parseParams(answers.parameters, sources.size(), p, r.error)) return r;
    uint64_t smallest = UINT64_MAX;
    for (int o : p.order)
        if (o >= 0) smallest = std::min(smallest, sources[static_cast<size_t>(o)].sizeBytes());
    if (smallest != UINT64_MAX && p.start >= smallest) {
        r.error = "start lies beyond the end of a member";
        return r;
    }
    const RaidGeometry g = rawraid::geometryOf(p, sources);
    const std::string problem = raidProblem(g);
    if (!problem.empty()) {
        r.error = problem;
        return r;
    }
    LayeredVolume lv;
    lv.reader = makeRaidReader(g);
    lv.description = raidDescription(g) + ", without metadata";
    r.volumes.push_back(std::move(lv));
    return r;
}

SetSearchResult search(const std::vector<VolumeView>& members, const SetSearchContext& context) {
    return rawraid::searchSet(members, context);
}

}  // namespace

LayerRow rawRaidRow() {
    LayerRow row;
    // Nothing on a member says it belongs to such a set: no probe.
    row.probe = {"rawraid", nullptr};
    row.probe.kinds = {{kName, "", "", false, false, false, 0}};
    row.open = open;
    row.search = search;
    return row;
}

}  // namespace brantlow
