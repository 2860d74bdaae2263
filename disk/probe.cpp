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

namespace {
bool sameNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}
}  // namespace

const VolumeKind* findVolumeKind(const ProbeTable& probes, const std::string& listName) {
    for (const ProbeRow& row : probes)
        for (const VolumeKind& k : row.kinds)
            if (sameNoCase(k.listName, listName)) return &k;
    return nullptr;
}

const ProbeRow* findProbeRow(const ProbeTable& probes, const std::string& listName) {
    for (const ProbeRow& row : probes)
        for (const VolumeKind& k : row.kinds)
            if (sameNoCase(k.listName, listName)) return &row;
    return nullptr;
}

std::string countedText(const std::string& text, long long count) {
    const size_t at = text.find("%d");
    if (at == std::string::npos) return text;
    return text.substr(0, at) + std::to_string(count) + text.substr(at + 2);
}

ProbeResult identifyVolume(readWriteInterface& reader, uint64_t sector, const ProbeTable& probes,
                           uint64_t sizeSectors) {
    uint64_t off = 0;
    if (__builtin_mul_overflow(sector, 512ull, &off)) return {};
    const uint64_t total = reader.sizeBytes();
    uint64_t size = 0;
    if (total > off) {
        size = total - off;
        uint64_t want = 0;
        if (sizeSectors && !__builtin_mul_overflow(sizeSectors, 512ull, &want) && want < size) size = want;
    }
    for (const ProbeRow& row : probes) {
        ProbeResult r;
        if (row.probeVolume && size && row.probeVolume(reader, off, size, r) && !r.fileSystem.empty()) return r;
    }
    std::vector<uint8_t> head(kProbeBytes, 0);
    size_t n = readZeroFill(reader, off, head.data(), head.size());
    if (n < 512) return {};
    return identifyBytes(head.data(), n, probes);
}

}  // namespace brantlow
