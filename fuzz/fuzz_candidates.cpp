// The search for earlier file systems on hostile volumes: the input is laid
// out four times over a 4 MiB volume (so that records, folders and
// superblock copies point at each other), every matcher sees it in one pass
// and then reads what its candidates need. Everything must end, stay in
// bounds and give scores between 0 and 1.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fs/candidate_search.h"
#include "fuzz/piece_reader.h"

using namespace brantlow;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    auto r = std::make_shared<PieceReader>();
    r->bytes.assign(4u << 20, 0);
    for (size_t at = 0; at + size <= r->bytes.size() && size; at += 1u << 20) std::memcpy(r->bytes.data() + at, data, size);
    const VolumeView view(r, 0, r->bytes.size());
    for (const FileSystemCandidate& c : findFileSystemCandidates(view, nullptr, nullptr)) {
        if (!(c.score >= 0 && c.score <= 1) || c.samples.size() > kMaxSamples || c.agreeing > c.found ||
            c.linked > c.folders || c.signatureGood > c.signatureChecked)
            __builtin_trap();
        (void)candidateFigures(c);
    }
    return 0;
}
