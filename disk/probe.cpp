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
    // The file systems recognised here, each with its row and whether its
    // structure lies in the first bytes (the head probes) or further in.
    struct Found {
        ProbeResult r;
        const ProbeRow* row;
        bool head;
    };
    std::vector<Found> found;
    for (const ProbeRow& row : probes) {
        ProbeResult r;
        if (!row.probeVolume || !size || !row.probeVolume(reader, off, size, r) || r.fileSystem.empty()) continue;
        if (!row.fileSystem) {
            if (found.empty()) return r;
            continue;
        }
        found.push_back({std::move(r), &row, false});
    }
    std::vector<uint8_t> head(kProbeBytes, 0);
    size_t n = readZeroFill(reader, off, head.data(), head.size());
    if (n >= 512) {
        for (const ProbeRow& row : probes) {
            ProbeResult r;
            if (!row.probe || !row.probe(head.data(), n, r) || r.fileSystem.empty()) continue;
            if (!row.fileSystem) {
                if (found.empty()) return r;
                continue;
            }
            bool again = false;
            for (const Found& f : found) again = again || f.row == &row;
            if (!again) found.push_back({std::move(r), &row, true});
        }
    }
    if (found.empty()) return {};
    if (found.size() == 1) return std::move(found.front().r);
    // Several: the one whose structures check out further. Its first
    // structure in place beats one known only from a copy; one in the first
    // bytes beats one further in (a format whose structure lies further in
    // clears what lies before it: the structure nearer the start is the
    // later format's); a placement check that fails demotes. A few small
    // reads.
    constexpr uint64_t kCheckBudget = 1u << 20;
    auto score = [&](const Found& f) {
        int s = (f.r.fromCopy ? 0 : 4) + (f.head ? 2 : 0);
        if (f.row->placementCheck) {
            const PlacementCheck c = f.row->placementCheck(reader, off, size, kCheckBudget);
            if (c.looked == 0 || c.placed * 2 >= c.looked) ++s;
        } else {
            ++s;
        }
        return s;
    };
    size_t best = 0;
    int bestScore = -1;
    for (size_t i = 0; i < found.size(); ++i) {
        const int s = score(found[i]);
        if (s > bestScore) {
            best = i;
            bestScore = s;
        }
    }
    ProbeResult out = std::move(found[best].r);
    for (size_t i = 0; i < found.size(); ++i)
        if (i != best && found[i].r.fileSystem != out.fileSystem)
            out.alsoLooksLike.push_back({found[i].r.fileSystem, found[i].r.sizeSectors});
    return out;
}

}  // namespace brantlow
