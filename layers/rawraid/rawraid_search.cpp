#include "layers/rawraid/rawraid_search.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <set>

#include "base/bytes.h"
#include "layers/api/raid_reader.h"
#include "layers/rawraid/rawraid_params.h"

namespace brantlow::rawraid {

namespace {

constexpr uint64_t kBlock = 4096;
constexpr uint64_t kRegion = 64ull << 20;  // looked at on each member
constexpr uint64_t kStep = 1ull << 20;
constexpr size_t kMaxHitsPerMember = 16;
constexpr size_t kMaxStarts = 6;
constexpr uint64_t kPlacementBudget = 8ull << 20;
constexpr uint64_t kFirstLookBudget = 512u << 10;
constexpr size_t kFinalists = 16;
constexpr size_t kBoundaries = 128;
constexpr const char* kPartitionTable = "a partition table";

bool stopped(const SetSearchContext& c) { return c.stop && c.stop->load(std::memory_order_relaxed); }

bool allZero(const uint8_t* b, size_t n) {
    for (size_t i = 0; i < n; i += 8) {
        uint64_t w;
        std::memcpy(&w, b + i, 8);
        if (w) return false;
    }
    return true;
}

// An MBR with a plausible entry, or a GPT header behind its protective MBR.
bool partitionTable(const uint8_t* b, size_t n) {
    if (n < 1024 || b[510] != 0x55 || b[511] != 0xAA) return false;
    if (std::memcmp(b + 512, "EFI PART", 8) == 0) return true;
    bool any = false;
    for (int i = 0; i < 4; ++i) {
        const uint8_t* e = b + 446 + 16 * i;
        if (e[4] == 0) continue;
        if ((e[0] != 0 && e[0] != 0x80) || le32(e, 16, 8) == 0 || le32(e, 16, 12) == 0) return false;
        any = true;
    }
    return any;
}

std::string recognise(const uint8_t* b, size_t n, const ProbeTable* probes) {
    if (probes) {
        const ProbeResult r = identifyBytes(b, n, *probes);
        if (!r.fileSystem.empty()) return r.fileSystem;
    }
    return partitionTable(b, n) ? kPartitionTable : std::string();
}

struct Hit {
    size_t member;
    uint64_t offset;
};

// What one pass over the members' first bytes shows.
struct Survey {
    uint64_t blocks = 0;
    std::vector<std::vector<uint8_t>> zero;  // [member][block]: 1 when the block is all zeros
    std::vector<uint8_t> informative;        // [block]: some member's block is not
    std::vector<Hit> hits;
    uint64_t informativeRows = 0, parityRows = 0, equalRows = 0;
};

bool survey(const std::vector<VolumeView>& m, uint64_t region, const SetSearchContext& ctx, Survey& s) {
    const size_t n = m.size();
    s.blocks = region / kBlock;
    s.zero.assign(n, std::vector<uint8_t>(static_cast<size_t>(s.blocks), 0));
    s.informative.assign(static_cast<size_t>(s.blocks), 0);
    std::vector<std::vector<uint8_t>> buf(n, std::vector<uint8_t>(kStep));
    std::vector<size_t> hitsOf(n, 0);
    std::vector<uint64_t> x(kBlock / 8);
    for (uint64_t off = 0; off < region; off += kStep) {
        if (stopped(ctx)) return false;
        if (ctx.progress) ctx.progress->position(static_cast<int64_t>(off * 600 / region));
        const size_t len = static_cast<size_t>(std::min(kStep, region - off));
        for (size_t k = 0; k < n; ++k) m[k].read(off, buf[k].data(), len);
        for (size_t at = 0; at + kBlock <= len; at += kBlock) {
            const uint64_t b = (off + at) / kBlock;
            bool any = false;
            for (size_t k = 0; k < n; ++k) {
                const bool z = allZero(buf[k].data() + at, kBlock);
                s.zero[k][b] = z;
                any |= !z;
            }
            s.informative[b] = any;
            if (!any) continue;
            ++s.informativeRows;
            std::fill(x.begin(), x.end(), 0);
            bool equal = true;
            for (size_t k = 0; k < n; ++k) {
                const uint8_t* p = buf[k].data() + at;
                for (size_t w = 0; w < x.size(); ++w) {
                    uint64_t v;
                    std::memcpy(&v, p + w * 8, 8);
                    x[w] ^= v;
                }
                if (k && std::memcmp(p, buf[0].data() + at, kBlock) != 0) equal = false;
            }
            if (std::all_of(x.begin(), x.end(), [](uint64_t v) { return v == 0; })) ++s.parityRows;
            if (equal) ++s.equalRows;
            for (size_t k = 0; k < n; ++k) {
                if (s.zero[k][b] || hitsOf[k] >= kMaxHitsPerMember) continue;
                if (!recognise(buf[k].data() + at, kBlock, ctx.probes).empty()) {
                    s.hits.push_back({k, off + at});
                    ++hitsOf[k];
                }
            }
        }
    }
    return true;
}

struct Candidate {
    Params p;
    double parityFit = 1;  // RAID 5: the share of rows whose parity member is not a zero block
    double score = 0;
    std::string description;
};

// RAID 5 with chunk c from start x: for each stripe residue and member,
// the rows where that member's block is all zeros beside data. Parity is
// zero only where the data blocks XOR to zero (equal blocks of a fill
// pattern), so the member holding parity usually has the fewest; the
// count is a tie break, the placement check decides.
struct Rotation {
    std::vector<std::vector<uint64_t>> zeroBeside;  // [residue][member]
    uint64_t rows = 0;
    double fit(const std::vector<int>& parityMember) const {
        uint64_t bad = 0;
        for (size_t r = 0; r < parityMember.size(); ++r) bad += zeroBeside[r][static_cast<size_t>(parityMember[r])];
        return rows ? 1.0 - static_cast<double>(bad) / static_cast<double>(rows) : 1.0;
    }
};

Rotation parityRotation(const Survey& s, size_t n, uint64_t x, uint64_t c) {
    Rotation rot;
    rot.zeroBeside.assign(n, std::vector<uint64_t>(n, 0));
    for (uint64_t b = x / kBlock; b < s.blocks; ++b) {
        if (!s.informative[b]) continue;
        const uint64_t r = ((b * kBlock - x) / c) % n;
        ++rot.rows;
        for (size_t j = 0; j < n; ++j) rot.zeroBeside[r][j] += s.zero[j][b];
    }
    return rot;
}

// How alike the bytes on both sides of the array's chunk boundaries are:
// classes of bytes (zero, text, other low, high) compared.
double continuity(readWriteInterface& r, uint64_t chunk, uint64_t size) {
    const uint64_t limit = std::min(size, kRegion);
    const uint64_t bounds = limit / chunk;
    if (bounds < 2) return 0.5;
    const uint64_t step = std::max<uint64_t>(1, bounds / kBoundaries);
    double sum = 0;
    int count = 0;
    uint8_t a[512], b[512];
    auto classes = [](const uint8_t* p, int h[4]) {
        for (int i = 0; i < 512; ++i) {
            const uint8_t c = p[i];
            ++h[c == 0 ? 0 : (c >= 0x20 && c < 0x7f) || c == '\n' || c == '\r' || c == '\t' ? 1 : c < 0x80 ? 2 : 3];
        }
    };
    for (uint64_t k = 1; k < bounds; k += step) {
        const uint64_t at = k * chunk;
        if (readZeroFill(r, at - 512, a, 512) != 512 || readZeroFill(r, at, b, 512) != 512) continue;
        if (allZero(a, 512) && allZero(b, 512)) continue;
        int ha[4] = {}, hb[4] = {};
        classes(a, ha);
        classes(b, hb);
        int same = 0;
        for (int i = 0; i < 4; ++i) same += std::min(ha[i], hb[i]);
        sum += same / 512.0;
        ++count;
    }
    return (sum + 0.5) / (count + 1);
}

// What the candidate holds at its start, and how much of it is in place
// (reading at most `budget` bytes for the placement checks); with `full`,
// the boundary likeness too, and the description.
void score(Candidate& c, const std::vector<VolumeView>& members, const SetSearchContext& ctx, uint64_t budget,
           bool full) {
    const RaidGeometry g = geometryOf(c.p, members);
    auto reader = makeRaidReader(g);
    if (!reader) return;
    const uint64_t size = reader->sizeBytes();
    std::vector<uint8_t> head(kBlock);
    if (readZeroFill(*reader, 0, head.data(), head.size()) != head.size()) return;
    const std::string what = recognise(head.data(), head.size(), ctx.probes);
    PlacementCheck pc;
    auto check = [&](const std::string& name, uint64_t at) {
        const ProbeRow* row = ctx.probes ? findProbeRow(*ctx.probes, name) : nullptr;
        if (!row || !row->placementCheck || at >= size) return;
        const PlacementCheck p = row->placementCheck(*reader, at, size - at, budget);
        pc.looked += p.looked;
        pc.placed += p.placed;
    };
    if (what == kPartitionTable) {
        // Each partition must start with a volume, itself in place.
        std::vector<uint64_t> starts;
        if (std::memcmp(head.data() + 512, "EFI PART", 8) == 0) {
            std::vector<uint8_t> entries(4096);
            readZeroFill(*reader, 1024, entries.data(), entries.size());
            for (size_t i = 0; i < entries.size() / 128 && starts.size() < 8; ++i) {
                const uint64_t first = le64(entries.data(), entries.size(), i * 128 + 32);
                if (first) starts.push_back(first);
            }
        } else {
            for (int i = 0; i < 4; ++i)
                if (head[446 + 16 * i + 4]) starts.push_back(le32(head.data(), head.size(), 446 + 16 * i + 8));
        }
        for (uint64_t s : starts) {
            ++pc.looked;
            if (!ctx.probes || s >= size / 512) continue;
            const std::string inside = identifyVolume(*reader, s, *ctx.probes).fileSystem;
            if (inside.empty()) continue;
            ++pc.placed;
            check(inside, s * 512);
        }
    } else if (!what.empty()) {
        check(what, 0);
    }
    const double placed = (pc.placed + 0.5) / (pc.looked + 1.0);
    const double cont = !full || c.p.level == 1 ? 0.5 : continuity(*reader, c.p.chunkBytes, size);
    c.score = placed * 1000 + std::min<uint32_t>(pc.placed, 1000) * 0.05 + c.parityFit * 20 + cont * 20;
    if (!full) return;
    c.description = raidDescription(g) + ", data from byte " + std::to_string(c.p.start) + ": " +
                    (what.empty() ? "nothing recognised at the start" : what + " at the start");
    if (pc.looked)
        c.description += ", " + std::to_string(pc.placed) + " of " + std::to_string(pc.looked) + " structures in place";
    if (c.p.level == 5) {
        char fit[32];
        std::snprintf(fit, sizeof fit, "%.1f", c.parityFit * 100);
        c.description += std::string(", parity placement fits ") + fit + "% of rows";
    }
}

}  // namespace

SetSearchResult searchSet(const std::vector<VolumeView>& members, const SetSearchContext& ctx) {
    SetSearchResult out;
    const size_t n = members.size();
    if (n < 2 || n > kMaxSearchMembers) {
        out.error = "the search takes from 2 to " + std::to_string(kMaxSearchMembers) + " member sources";
        return out;
    }
    uint64_t smallest = UINT64_MAX;
    for (const VolumeView& v : members) smallest = std::min(smallest, v.reader() ? v.sizeBytes() : 0);
    if (smallest < kStep) {
        out.error = "a member is smaller than 1 MiB";
        return out;
    }
    if (ctx.progress) ctx.progress->range(1000);
    Survey s;
    if (!survey(members, std::min(smallest, kRegion) / kBlock * kBlock, ctx, s)) {
        out.error = "stopped";
        return out;
    }
    // Where the data may start: the first offsets where a member holds a
    // volume's start, with the member (-1: none found, try the start).
    std::vector<std::pair<uint64_t, int>> starts;
    for (const Hit& h : s.hits) {
        if (std::none_of(starts.begin(), starts.end(), [&](const auto& x) { return x.first == h.offset && x.second == static_cast<int>(h.member); }))
            starts.push_back({h.offset, static_cast<int>(h.member)});
    }
    std::sort(starts.begin(), starts.end());
    if (starts.size() > kMaxStarts) starts.resize(kMaxStarts);
    if (starts.empty()) starts.push_back({0, -1});
    // The levels the rows allow.
    const double rows = static_cast<double>(std::max<uint64_t>(s.informativeRows, 1));
    const bool few = s.informativeRows < 16;
    std::vector<int> levels;
    if (n == 2 && !few && s.equalRows / rows >= 0.95)
        levels = {1};
    else if (n >= 3 && !few && s.parityRows / rows >= 0.95)
        levels = {5};
    else if (few && n >= 3)
        levels = {0, 5};
    else
        levels = {0};
    if (n > kMaxSearchOrderMembers && levels != std::vector<int>{1}) {
        out.error = "the member order is searched over at most " + std::to_string(kMaxSearchOrderMembers) +
                    " members: type the parameters";
        return out;
    }
    std::vector<Candidate> cands;
    for (const auto& [x, m0] : starts) {
        if (std::count(levels.begin(), levels.end(), 1)) {
            Candidate c;
            c.p.level = 1;
            c.p.order = {0, 1};
            c.p.start = x;
            cands.push_back(c);
            continue;
        }
        for (uint64_t chunk = 4096; chunk <= (1u << 20); chunk *= 2) {
            if (x + chunk > smallest) break;
            if (std::count(levels.begin(), levels.end(), 5)) {
                const Rotation rot = parityRotation(s, n, x, chunk);
                for (int layout : {kLeftSymmetric, kLeftAsymmetric, kRightSymmetric, kRightAsymmetric}) {
                    const bool left = layout == kLeftSymmetric || layout == kLeftAsymmetric;
                    std::vector<int> order(n);
                    std::iota(order.begin(), order.end(), 0);
                    do {
                        // The first data chunk lies on role 0 (left) or 1 (right).
                        if (m0 >= 0 && order[left ? 0 : 1] != m0) continue;
                        std::vector<int> parity(n);
                        for (size_t r = 0; r < n; ++r) parity[r] = order[left ? n - 1 - r : r];
                        Candidate c;
                        c.p.level = 5;
                        c.p.layout = layout;
                        c.p.chunkBytes = chunk;
                        c.p.start = x;
                        c.p.order = order;
                        c.parityFit = rot.fit(parity);
                        cands.push_back(c);
                    } while (std::next_permutation(order.begin(), order.end()));
                }
            }
            if (std::count(levels.begin(), levels.end(), 0)) {
                std::vector<int> order(n);
                std::iota(order.begin(), order.end(), 0);
                do {
                    if (m0 >= 0 && order[0] != m0) continue;
                    Candidate c;
                    c.p.level = 0;
                    c.p.chunkBytes = chunk;
                    c.p.start = x;
                    c.p.order = order;
                    cands.push_back(c);
                } while (std::next_permutation(order.begin(), order.end()));
            }
        }
    }
    // A first look at every candidate with a small read budget, then a
    // full one at the best.
    for (size_t i = 0; i < cands.size(); ++i) {
        if (stopped(ctx)) {
            out.error = "stopped";
            return out;
        }
        if (ctx.progress) ctx.progress->position(600 + static_cast<int64_t>(i * 300 / cands.size()));
        score(cands[i], members, ctx, kFirstLookBudget, false);
    }
    std::stable_sort(cands.begin(), cands.end(), [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
    const size_t finals = std::min(cands.size(), std::max<size_t>(ctx.maxCandidates, kFinalists));
    for (size_t i = 0; i < finals; ++i) {
        if (stopped(ctx)) {
            out.error = "stopped";
            return out;
        }
        if (ctx.progress) ctx.progress->position(900 + static_cast<int64_t>(i * 100 / finals));
        score(cands[i], members, ctx, kPlacementBudget, true);
    }
    cands.resize(finals);
    std::stable_sort(cands.begin(), cands.end(), [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
    for (const Candidate& c : cands) {
        if (out.candidates.size() >= std::max<size_t>(ctx.maxCandidates, 1)) break;
        if (c.description.empty()) continue;
        out.candidates.push_back({paramsMap(c.p), c.description, c.score});
    }
    if (ctx.progress) ctx.progress->position(1000);
    if (out.candidates.empty()) out.error = "no way to put the members together reads as a set";
    return out;
}

}  // namespace brantlow::rawraid
