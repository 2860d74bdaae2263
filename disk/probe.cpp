#include "disk/probe.h"

#include <vector>

namespace brantlow {

ProbeResult identifyBytes(const uint8_t* head, size_t len, const ProbeTable& probes) {
    for (const ProbeRow& row : probes) {
        ProbeResult r;
        if (row.probe && row.probe(head, len, r) && !r.fileSystem.empty()) return r;
    }
    return {};
}

ProbeResult identifyVolume(readWriteInterface& reader, uint64_t sector, const ProbeTable& probes) {
    uint64_t off = 0;
    if (__builtin_mul_overflow(sector, 512ull, &off)) return {};
    std::vector<uint8_t> head(kProbeBytes, 0);
    size_t n = readZeroFill(reader, off, head.data(), head.size());
    if (n < 512) return {};
    return identifyBytes(head.data(), n, probes);
}

}  // namespace brantlow
