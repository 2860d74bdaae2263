#include "layers/api/raid_reader.h"

#include <algorithm>
#include <cstring>

namespace brantlow {

namespace {

// GF(2^8) over x^8 + x^4 + x^3 + x^2 + 1 (0x11d), generator 2: RAID 6's Q.
struct Gf {
    uint8_t exp[512];
    uint8_t log[256];
    Gf() {
        unsigned x = 1;
        for (int i = 0; i < 255; ++i) {
            exp[i] = static_cast<uint8_t>(x);
            log[x] = static_cast<uint8_t>(i);
            x <<= 1;
            if (x & 0x100) x ^= 0x11d;
        }
        for (int i = 255; i < 512; ++i) exp[i] = exp[i - 255];
        log[0] = 0;
    }
    uint8_t mul(uint8_t a, uint8_t b) const { return a && b ? exp[log[a] + log[b]] : 0; }
    uint8_t div(uint8_t a, uint8_t b) const { return a && b ? exp[log[a] + 255 - log[b]] : 0; }
    uint8_t pow2(int k) const { return exp[k % 255]; }
};

const Gf& gf() {
    static const Gf g;
    return g;
}

bool parityLevel(int level) { return level == 4 || level == 5 || level == 6; }

constexpr size_t kRebuildSlice = 256 * 1024;

bool knownParityLayout(int level, int layout) {
    if (level == 4) return true;  // md puts RAID 4's parity on the last member whatever the word says
    if (layout >= kLeftAsymmetric && layout <= kParityLast) return true;
    return level == 6 && layout >= kLeftAsymmetric6 && layout <= kParityFirst6;
}

int minMembers(int level) {
    switch (level) {
        case 4:
        case 5:
        case 10: return 2;
        case 6: return 4;
        default: return 1;
    }
}

// The roles of one stripe of a parity level: parity P, Q (-1: none), the
// role holding each data chunk, and each role's place in Q's sum.
struct Stripe {
    int p = -1, q = -1;
    int dataRole[kMaxRaidMembers];
    int qSlot[kMaxRaidMembers];
};

void stripeRoles(const RaidGeometry& g, uint64_t stripe, Stripe& s) {
    const int n = static_cast<int>(g.members.size());
    if (g.level == 4 || g.level == 5) {
        const int d = n - 1;
        const int rot = static_cast<int>(stripe % static_cast<uint64_t>(n));
        const int layout = g.level == 4 ? kParityLast : g.layout;
        switch (layout) {
            case kLeftAsymmetric: s.p = d - rot; break;
            case kRightAsymmetric: s.p = rot; break;
            case kLeftSymmetric: s.p = d - rot; break;
            case kRightSymmetric: s.p = rot; break;
            case kParityFirst: s.p = 0; break;
            default: s.p = d; break;
        }
        for (int k = 0; k < d; ++k) {
            if (layout == kLeftSymmetric || layout == kRightSymmetric)
                s.dataRole[k] = (s.p + 1 + k) % n;
            else
                s.dataRole[k] = k >= s.p ? k + 1 : k;
        }
        return;
    }
    // RAID 6.
    const int d = n - 2;
    const int rot = static_cast<int>(stripe % static_cast<uint64_t>(n));
    const int rot1 = static_cast<int>(stripe % static_cast<uint64_t>(n - 1));
    switch (g.layout) {
        case kLeftAsymmetric:
        case kRightAsymmetric:
            s.p = g.layout == kLeftAsymmetric ? n - 1 - rot : rot;
            s.q = s.p + 1;
            if (s.p == n - 1) {
                s.q = 0;
                for (int k = 0; k < d; ++k) s.dataRole[k] = k + 1;
            } else {
                for (int k = 0; k < d; ++k) s.dataRole[k] = k >= s.p ? k + 2 : k;
            }
            break;
        case kLeftSymmetric:
        case kRightSymmetric:
            s.p = g.layout == kLeftSymmetric ? n - 1 - rot : rot;
            s.q = (s.p + 1) % n;
            for (int k = 0; k < d; ++k) s.dataRole[k] = (s.p + 2 + k) % n;
            break;
        case kParityFirst:
            s.p = 0;
            s.q = 1;
            for (int k = 0; k < d; ++k) s.dataRole[k] = k + 2;
            break;
        case kParityLast:
            s.p = d;
            s.q = d + 1;
            for (int k = 0; k < d; ++k) s.dataRole[k] = k;
            break;
        case kLeftAsymmetric6:
        case kRightAsymmetric6:
            s.p = g.layout == kLeftAsymmetric6 ? d - rot1 : rot1;
            for (int k = 0; k < d; ++k) s.dataRole[k] = k >= s.p ? k + 1 : k;
            s.q = n - 1;
            break;
        case kLeftSymmetric6:
        case kRightSymmetric6:
            s.p = g.layout == kLeftSymmetric6 ? d - rot1 : rot1;
            for (int k = 0; k < d; ++k) s.dataRole[k] = (s.p + 1 + k) % (n - 1);
            s.q = n - 1;
            break;
        default:  // kParityFirst6
            s.p = 0;
            for (int k = 0; k < d; ++k) s.dataRole[k] = k + 1;
            s.q = n - 1;
            break;
    }
    // Q sums the data in the order md walks the members: from the one
    // after Q (the first when Q is last), skipping P and Q.
    const int d0 = s.q == n - 1 ? 0 : s.q + 1;
    int slot = 0;
    for (int i = 0, r = d0; i < n; ++i, r = (r + 1) % n) {
        s.qSlot[r] = -1;
        if (r != s.p && r != s.q) s.qSlot[r] = slot++;
    }
}

// RAID 0's zones: members of different sizes stripe over all of them up
// to the smallest, then over the larger ones, and so on.
struct Zone {
    uint64_t arrayStart = 0, arrayEnd = 0;  // array bytes
    uint64_t memberStart = 0;               // offset on each member of the zone
    std::vector<int> roles;
};

std::vector<Zone> raid0Zones(const RaidGeometry& g) {
    std::vector<uint64_t> sizes;
    for (const RaidMember& m : g.members) sizes.push_back(m.dataBytes / g.chunkBytes * g.chunkBytes);
    std::vector<uint64_t> bounds(sizes);
    std::sort(bounds.begin(), bounds.end());
    bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
    std::vector<Zone> zones;
    uint64_t prev = 0, arrayAt = 0;
    for (uint64_t b : bounds) {
        if (b <= prev) continue;
        Zone z;
        z.memberStart = prev;
        for (size_t r = 0; r < sizes.size(); ++r)
            if (sizes[r] >= b) z.roles.push_back(static_cast<int>(r));
        z.arrayStart = arrayAt;
        uint64_t bytes = 0;
        if (__builtin_mul_overflow(b - prev, static_cast<uint64_t>(z.roles.size()), &bytes) ||
            __builtin_add_overflow(arrayAt, bytes, &arrayAt))
            break;
        z.arrayEnd = arrayAt;
        zones.push_back(std::move(z));
        prev = b;
    }
    return zones;
}

// The smallest data area of the members there (a missing member's is not
// known).
uint64_t minData(const RaidGeometry& g) {
    uint64_t m = UINT64_MAX;
    for (const RaidMember& x : g.members)
        if (x.reader) m = std::min(m, x.dataBytes);
    return m == UINT64_MAX ? 0 : m;
}

// RAID 10: where each copy of array chunk `chunk` lies (role, member byte
// of the chunk's start).
struct Copy {
    int role;
    uint64_t at;
};

void copiesOf(const RaidGeometry& g, uint64_t chunk, std::vector<Copy>& out) {
    out.clear();
    const Raid10Copies c = raid10Copies(g.layout);
    const uint64_t n = g.members.size();
    const uint64_t devChunks = minData(g) / g.chunkBytes;
    const uint64_t stride = c.offset ? g.chunkBytes : devChunks / static_cast<uint64_t>(c.farCopies) * g.chunkBytes;
    const uint64_t first = chunk * static_cast<uint64_t>(c.nearCopies);
    uint64_t row = first / n;
    uint64_t dev = first % n;
    if (c.offset) row *= static_cast<uint64_t>(c.farCopies);
    uint64_t base = row * g.chunkBytes;
    for (int k = 0; k < c.nearCopies; ++k) {
        uint64_t d = dev, s = base;
        out.push_back({static_cast<int>(d), s});
        for (int f = 1; f < c.farCopies; ++f) {
            d = (d + static_cast<uint64_t>(c.nearCopies)) % n;
            s += stride;
            out.push_back({static_cast<int>(d), s});
        }
        if (++dev >= n) {
            dev = 0;
            base += g.chunkBytes;
        }
    }
}

std::string chunkText(uint64_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

class RaidReader : public readWriteInterface {
public:
    RaidReader(RaidGeometry g, uint64_t size) : g_(std::move(g)), size_(size) {
        if (g_.level == 0) zones_ = raid0Zones(g_);
    }
    bool Open(const std::string&) override { return false; }
    uint64_t sizeBytes() const override { return size_; }
    void adviseSequential() override {
        for (const RaidMember& m : g_.members)
            if (m.reader) m.reader->adviseSequential();
    }

    long long readAbsolute(uint64_t offset, void* buffer, size_t count) override {
        if (count > kMaxReadBytes) return -1;
        if (offset >= size_ || count == 0) return 0;
        const uint64_t want = std::min<uint64_t>(count, size_ - offset);
        auto* out = static_cast<uint8_t*>(buffer);
        uint64_t done = 0;
        while (done < want) {
            const uint64_t n = piece(offset + done, want - done);
            if (!readPiece(offset + done, out + done, static_cast<size_t>(n))) break;
            done += n;
        }
        return done ? static_cast<long long>(done) : -1;
    }

private:
    // The bytes from `at` that lie on one member (or one stripe row).
    uint64_t piece(uint64_t at, uint64_t left) const {
        if (g_.level == 1) return left;
        if (g_.level == kRaidLinear) {
            uint64_t start = 0;
            for (const RaidMember& m : g_.members) {
                if (at < start + m.dataBytes) return std::min(left, start + m.dataBytes - at);
                start += m.dataBytes;
            }
            return left;
        }
        return std::min(left, g_.chunkBytes - at % g_.chunkBytes);
    }

    bool readMember(int role, uint64_t at, uint8_t* out, size_t n) const {
        if (role < 0 || static_cast<size_t>(role) >= g_.members.size()) return false;
        const RaidMember& m = g_.members[static_cast<size_t>(role)];
        uint64_t abs = 0;
        if (!m.reader || at > m.dataBytes || n > m.dataBytes - at || __builtin_add_overflow(m.dataStart, at, &abs))
            return false;
        return readZeroFill(*m.reader, abs, out, n) == n;
    }

    bool readPiece(uint64_t at, uint8_t* out, size_t n) const {
        switch (g_.level) {
            case kRaidLinear: {
                uint64_t start = 0;
                for (size_t r = 0; r < g_.members.size(); ++r) {
                    const uint64_t len = g_.members[r].dataBytes;
                    if (at < start + len) return readMember(static_cast<int>(r), at - start, out, n);
                    start += len;
                }
                return false;
            }
            case 0: return readRaid0(at, out, n);
            case 1:
                for (size_t r = 0; r < g_.members.size(); ++r)
                    if (readMember(static_cast<int>(r), at, out, n)) return true;
                return false;
            case 10: {
                std::vector<Copy> copies;
                copiesOf(g_, at / g_.chunkBytes, copies);
                for (const Copy& c : copies)
                    if (readMember(c.role, c.at + at % g_.chunkBytes, out, n)) return true;
                return false;
            }
            default: return readParity(at, out, n);
        }
    }

    bool readRaid0(uint64_t at, uint8_t* out, size_t n) const {
        for (const Zone& z : zones_) {
            if (at < z.arrayStart || at >= z.arrayEnd) continue;
            const uint64_t c = g_.chunkBytes;
            const uint64_t inZone = at - z.arrayStart;
            const uint64_t nb = z.roles.size();
            // Which member: counted from the array's start in the original
            // layout, from the zone's in the alternate one.
            const uint64_t counted = g_.layout == kRaid0AlternateLayout ? inZone : at;
            const int role = z.roles[static_cast<size_t>((counted / c) % nb)];
            const uint64_t memberAt = z.memberStart + inZone / (nb * c) * c + at % c;
            return readMember(role, memberAt, out, n);
        }
        return false;
    }

    bool readParity(uint64_t at, uint8_t* out, size_t n) const {
        const uint64_t c = g_.chunkBytes;
        const int members = static_cast<int>(g_.members.size());
        const int d = members - (g_.level == 6 ? 2 : 1);
        const uint64_t chunk = at / c;
        const uint64_t stripe = chunk / static_cast<uint64_t>(d);
        const int k = static_cast<int>(chunk % static_cast<uint64_t>(d));
        Stripe s;
        stripeRoles(g_, stripe, s);
        const uint64_t memberAt = stripe * c + at % c;
        const int role = s.dataRole[k];
        if (readMember(role, memberAt, out, n)) return true;
        // Rebuilt a slice at a time: the other members' bytes are held
        // only for one slice.
        for (size_t done = 0; done < n; done += kRebuildSlice)
            if (!rebuild(s, role, memberAt + done, out + done, std::min(kRebuildSlice, n - done))) return false;
        return true;
    }

    // A data chunk whose member is missing (or unreadable here), from the
    // other members of its stripe.
    bool rebuild(const Stripe& s, int lost, uint64_t memberAt, uint8_t* out, size_t n) const {
        const int members = static_cast<int>(g_.members.size());
        std::vector<uint8_t> buf(n);
        // Every other member but Q is read; at most one more may fail.
        std::vector<int> failed;
        std::vector<std::vector<uint8_t>> data(static_cast<size_t>(members));
        for (int r = 0; r < members; ++r) {
            if (r == lost) continue;
            if (readMember(r, memberAt, buf.data(), n)) {
                data[static_cast<size_t>(r)] = buf;
            } else {
                failed.push_back(r);
            }
        }
        auto have = [&](int r) { return r >= 0 && !data[static_cast<size_t>(r)].empty(); };
        const bool pOk = have(s.p);
        // P and every other data member: XOR.
        bool othersOk = true;
        for (int r = 0; r < members; ++r)
            if (r != lost && r != s.q && !have(r)) othersOk = false;
        if (othersOk && pOk) {
            std::memset(out, 0, n);
            for (int r = 0; r < members; ++r) {
                if (r == lost || r == s.q) continue;
                const uint8_t* x = data[static_cast<size_t>(r)].data();
                for (size_t i = 0; i < n; ++i) out[i] ^= x[i];
            }
            return true;
        }
        if (g_.level != 6 || !have(s.q) || failed.size() > 1) return false;
        const Gf& f = gf();
        const int x = s.qSlot[lost];
        if (!pOk) {
            // P lost too: Q and the other data.
            std::vector<uint8_t> acc(data[static_cast<size_t>(s.q)]);
            for (int r = 0; r < members; ++r) {
                if (r == lost || r == s.p || r == s.q) continue;
                if (!have(r)) return false;
                const uint8_t coef = f.pow2(s.qSlot[r]);
                const uint8_t* v = data[static_cast<size_t>(r)].data();
                for (size_t i = 0; i < n; ++i) acc[i] ^= f.mul(coef, v[i]);
            }
            const uint8_t inv = f.pow2(x);
            for (size_t i = 0; i < n; ++i) out[i] = f.div(acc[i], inv);
            return true;
        }
        // Two data members lost: P and Q together.
        const int other = failed.empty() ? -1 : failed[0];
        if (other < 0 || other == s.p || other == s.q) return false;
        const int y = s.qSlot[other];
        std::vector<uint8_t> pxy(data[static_cast<size_t>(s.p)]), qxy(data[static_cast<size_t>(s.q)]);
        for (int r = 0; r < members; ++r) {
            if (r == lost || r == other || r == s.p || r == s.q) continue;
            const uint8_t coef = f.pow2(s.qSlot[r]);
            const uint8_t* v = data[static_cast<size_t>(r)].data();
            for (size_t i = 0; i < n; ++i) {
                pxy[i] ^= v[i];
                qxy[i] ^= f.mul(coef, v[i]);
            }
        }
        // pxy = Dx + Dy, qxy = g^x Dx + g^y Dy.
        const uint8_t gx = f.pow2(x), gy = f.pow2(y);
        const uint8_t denom = static_cast<uint8_t>(gx ^ gy);
        for (size_t i = 0; i < n; ++i) out[i] = f.div(static_cast<uint8_t>(qxy[i] ^ f.mul(gy, pxy[i])), denom);
        return true;
    }

    RaidGeometry g_;
    uint64_t size_;
    std::vector<Zone> zones_;
};

}  // namespace

Raid10Copies raid10Copies(int layout) {
    Raid10Copies c;
    c.nearCopies = layout & 0xff;
    c.farCopies = (layout >> 8) & 0xff;
    c.offset = (layout & 0x10000) != 0;
    return c;
}

std::string raidProblem(const RaidGeometry& g) {
    const size_t n = g.members.size();
    if (g.level != kRaidLinear && g.level != 0 && g.level != 1 && !parityLevel(g.level) && g.level != 10)
        return "RAID level " + std::to_string(g.level) + " is not read";
    if (n == 0 || n > kMaxRaidMembers)
        return std::to_string(n) + " members (at most " + std::to_string(kMaxRaidMembers) + " are read)";
    if (static_cast<int>(n) < minMembers(g.level))
        return "RAID" + std::to_string(g.level) + " of " + std::to_string(n) + " members cannot hold data";
    const bool striped = g.level == 0 || parityLevel(g.level) || g.level == 10;
    if (striped && (g.chunkBytes < kMinRaidChunk || g.chunkBytes > kMaxRaidChunk || g.chunkBytes % 512))
        return "chunk size of " + std::to_string(g.chunkBytes) + " bytes";
    if (parityLevel(g.level) && !knownParityLayout(g.level, g.layout))
        return "parity layout " + std::to_string(g.layout) + " is not read";
    size_t missing = 0;
    for (const RaidMember& m : g.members) missing += m.reader ? 0 : 1;
    if (g.level == 10) {
        const Raid10Copies c = raid10Copies(g.layout);
        if (c.nearCopies < 1 || c.farCopies < 1 || static_cast<size_t>(c.nearCopies) * c.farCopies > n ||
            (g.layout & ~0x1ffff))
            return "RAID10 layout " + std::to_string(g.layout) + " is not read";
        // Every chunk needs a copy on a member that is there (the pattern
        // repeats within two rounds of the members).
        std::vector<Copy> copies;
        for (uint64_t k = 0; k < 2 * n * static_cast<uint64_t>(c.nearCopies); ++k) {
            copiesOf(g, k, copies);
            if (std::none_of(copies.begin(), copies.end(),
                             [&](const Copy& x) { return g.members[static_cast<size_t>(x.role)].reader != nullptr; }))
                return "every copy of some chunks is on a missing member";
        }
    }
    const size_t tolerated = g.level == 1 ? n - 1 : g.level == 6 ? 2 : parityLevel(g.level) ? 1 : g.level == 10 ? n : 0;
    if (missing > tolerated)
        return std::to_string(missing) + " of " + std::to_string(n) + " members missing";
    if (raidArrayBytes(g) == 0) return "the members hold no data";
    return {};
}

uint64_t raidArrayBytes(const RaidGeometry& g) {
    const uint64_t n = g.members.size();
    if (n == 0 || n > kMaxRaidMembers) return 0;
    const uint64_t c = g.chunkBytes;
    const uint64_t m = minData(g);
    uint64_t total = 0;
    switch (g.level) {
        case kRaidLinear:
            for (const RaidMember& x : g.members)
                if (__builtin_add_overflow(total, x.dataBytes, &total)) return 0;
            return total;
        case 1: return m;
        case 0: {
            if (!c) return 0;
            const std::vector<Zone> z = raid0Zones(g);
            return z.empty() ? 0 : z.back().arrayEnd;
        }
        case 4:
        case 5:
        case 6: {
            if (!c) return 0;
            const uint64_t d = n - (g.level == 6 ? 2 : 1);
            if (d == 0 || __builtin_mul_overflow(m / c * c, d, &total)) return 0;
            return total;
        }
        case 10: {
            if (!c) return 0;
            const Raid10Copies k = raid10Copies(g.layout);
            if (k.nearCopies < 1 || k.farCopies < 1) return 0;
            uint64_t chunks = m / c / static_cast<uint64_t>(k.farCopies);
            if (__builtin_mul_overflow(chunks, n, &chunks)) return 0;
            chunks /= static_cast<uint64_t>(k.nearCopies);
            if (__builtin_mul_overflow(chunks, c, &total)) return 0;
            return total;
        }
        default: return 0;
    }
}

std::string raidLayoutName(int level, int layout) {
    if (level == 10) {
        const Raid10Copies c = raid10Copies(layout);
        std::string s;
        if (c.nearCopies > 1) s = "near " + std::to_string(c.nearCopies);
        if (c.farCopies > 1) {
            if (!s.empty()) s += ", ";
            s += (c.offset ? "offset " : "far ") + std::to_string(c.farCopies);
        }
        return s;
    }
    if (!parityLevel(level)) return {};
    if (level == 4) return "parity-last";
    switch (layout) {
        case kLeftAsymmetric: return "left-asymmetric";
        case kRightAsymmetric: return "right-asymmetric";
        case kLeftSymmetric: return "left-symmetric";
        case kRightSymmetric: return "right-symmetric";
        case kParityFirst: return "parity-first";
        case kParityLast: return "parity-last";
        case kLeftAsymmetric6: return "left-asymmetric-6";
        case kRightAsymmetric6: return "right-asymmetric-6";
        case kLeftSymmetric6: return "left-symmetric-6";
        case kRightSymmetric6: return "right-symmetric-6";
        case kParityFirst6: return "parity-first-6";
        default: return "layout " + std::to_string(layout);
    }
}

int raidLayoutByName(const std::string& name) {
    for (int l : {0, 1, 2, 3, 4, 5, 16, 17, 18, 19, 20})
        if (raidLayoutName(6, l) == name) return l;
    static const std::pair<const char*, int> shortNames[] = {{"ls", kLeftSymmetric}, {"la", kLeftAsymmetric},
                                                             {"rs", kRightSymmetric}, {"ra", kRightAsymmetric}};
    for (const auto& [s, l] : shortNames)
        if (name == s) return l;
    return -1;
}

std::string raidDescription(const RaidGeometry& g) {
    const size_t n = g.members.size();
    std::string s = (g.level == kRaidLinear ? std::string("linear") : "RAID" + std::to_string(g.level)) + " of " +
                    std::to_string(n);
    if (g.level == 0 || parityLevel(g.level) || g.level == 10) s += ", " + chunkText(g.chunkBytes);
    const std::string layout = raidLayoutName(g.level, g.layout);
    if (!layout.empty() && !(g.level == 5 && g.layout == kLeftSymmetric) && !(g.level == 4))
        s += ", " + layout;
    std::string missing;
    for (size_t r = 0; r < n; ++r)
        if (!g.members[r].reader) missing += (missing.empty() ? "" : ", ") + std::to_string(r);
    if (!missing.empty())
        s += std::string("; role") + (missing.find(',') == std::string::npos ? " " : "s ") + missing + " missing" +
             (parityLevel(g.level) ? ", rebuilt from parity" : g.level == 1 || g.level == 10 ? ", read from a copy" : "");
    return s;
}

std::shared_ptr<readWriteInterface> makeRaidReader(const RaidGeometry& g) {
    if (!raidProblem(g).empty()) return nullptr;
    auto r = std::make_shared<RaidReader>(g, raidArrayBytes(g));
    for (const RaidMember& m : g.members)
        if (m.reader) {
            r->setSectorSize(m.reader->sectorSize());
            break;
        }
    return r;
}

bool raidLocate(const RaidGeometry& g, uint64_t offset, int& role, uint64_t& memberOffset) {
    if (!raidProblem(g).empty() || offset >= raidArrayBytes(g)) return false;
    const uint64_t c = g.chunkBytes;
    switch (g.level) {
        case kRaidLinear: {
            uint64_t start = 0;
            for (size_t r = 0; r < g.members.size(); ++r) {
                if (offset < start + g.members[r].dataBytes) {
                    role = static_cast<int>(r);
                    memberOffset = offset - start;
                    return true;
                }
                start += g.members[r].dataBytes;
            }
            return false;
        }
        case 1:
            role = 0;
            memberOffset = offset;
            return true;
        case 0:
            for (const Zone& z : raid0Zones(g)) {
                if (offset >= z.arrayEnd) continue;
                const uint64_t inZone = offset - z.arrayStart, nb = z.roles.size();
                const uint64_t counted = g.layout == kRaid0AlternateLayout ? inZone : offset;
                role = z.roles[static_cast<size_t>((counted / c) % nb)];
                memberOffset = z.memberStart + inZone / (nb * c) * c + offset % c;
                return true;
            }
            return false;
        case 10: {
            std::vector<Copy> copies;
            copiesOf(g, offset / c, copies);
            role = copies[0].role;
            memberOffset = copies[0].at + offset % c;
            return true;
        }
        default: {
            const uint64_t d = g.members.size() - (g.level == 6 ? 2 : 1);
            const uint64_t chunk = offset / c, stripe = chunk / d;
            Stripe s;
            stripeRoles(g, stripe, s);
            role = s.dataRole[chunk % d];
            memberOffset = stripe * c + offset % c;
            return true;
        }
    }
}

}  // namespace brantlow
