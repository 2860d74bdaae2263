#include "tests/support/raid_sets.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>

#include "tests/support/memory_reader.h"

namespace brantlow::test {

namespace {

void put16(Bytes& b, size_t at, uint16_t v, bool big = false) {
    for (int i = 0; i < 2; ++i) b[at + i] = static_cast<uint8_t>(v >> (big ? 8 * (1 - i) : 8 * i));
}
void put32(Bytes& b, size_t at, uint32_t v, bool big = false) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (big ? 8 * (3 - i) : 8 * i));
}
void put64(Bytes& b, size_t at, uint64_t v, bool big = false) {
    for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (big ? 8 * (7 - i) : 8 * i));
}
uint32_t get32(const Bytes& b, size_t at, bool big = false) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(b[at + i]) << (big ? 8 * (3 - i) : 8 * i);
    return v;
}

// GF(2^8), polynomial 0x11d, generator 2 (the RAID 6 field).
uint8_t gfMul(uint8_t a, uint8_t b) {
    uint8_t r = 0;
    while (b) {
        if (b & 1) r ^= a;
        a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1d : 0));
        b >>= 1;
    }
    return r;
}
uint8_t gfPow2(int k) {
    uint8_t r = 1;
    for (int i = 0; i < k; ++i) r = gfMul(r, 2);
    return r;
}

uint64_t roundUp(uint64_t v, uint64_t to) { return (v + to - 1) / to * to; }

// Where md keeps P and Q of stripe s (the data roles come from the
// reader's layout, checked against md's tables elsewhere).
void parityRoles(const MdSetup& setup, uint64_t s, int& p, int& q) {
    const int n = setup.members;
    q = -1;
    if (setup.level == 4) {
        p = n - 1;
        return;
    }
    const int rot = static_cast<int>(s % n), rot1 = static_cast<int>(s % (n - 1));
    const int d = n - (setup.level == 6 ? 2 : 1);
    switch (setup.layout) {
        case kLeftAsymmetric:
        case kLeftSymmetric: p = setup.level == 6 ? n - 1 - rot : d - rot; break;
        case kRightAsymmetric:
        case kRightSymmetric: p = rot; break;
        case kParityFirst: p = 0; break;
        case kParityLast: p = d; break;
        case kLeftAsymmetric6:
        case kLeftSymmetric6: p = d - rot1; break;
        case kRightAsymmetric6:
        case kRightSymmetric6: p = rot1; break;
        default: p = 0; break;  // kParityFirst6
    }
    if (setup.level != 6) return;
    if (setup.layout >= kLeftAsymmetric6) q = n - 1;
    else if (setup.layout == kParityFirst) q = 1;
    else if (setup.layout == kParityLast) q = d + 1;
    else if (setup.layout == kLeftSymmetric || setup.layout == kRightSymmetric) q = (p + 1) % n;
    else q = p == n - 1 ? 0 : p + 1;
}

}  // namespace

Bytes fileBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

std::string writeBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

Bytes volumeBytes(size_t bytes, uint32_t seed) {
    Bytes v(bytes);
    std::mt19937 rng(seed);
    for (size_t i = 0; i < bytes; i += 4) {
        const uint32_t x = rng();
        std::memcpy(v.data() + i, &x, std::min<size_t>(4, bytes - i));
    }
    // Zero and repeated blocks, as volumes have.
    for (size_t at = 0; at + 4096 <= bytes; at += 4096 * 7) std::memset(v.data() + at, 0, 4096);
    for (size_t at = 4096 * 3; at + 4096 <= bytes; at += 4096 * 11) std::memset(v.data() + at, 0xA5, 4096);
    return v;
}

std::vector<Bytes> makeMdMembers(const Bytes& volume, const MdSetup& setup) {
    const int n = setup.members;
    const uint64_t c = setup.chunkBytes;
    const bool v090 = setup.version.rfind("0.90", 0) == 0;
    const bool atEnd = v090 || setup.version == "1.0";
    const uint64_t dataOffset = atEnd ? 0 : setup.dataOffset;
    const int parityCount = setup.level == 6 ? 2 : (setup.level == 4 || setup.level == 5) ? 1 : 0;
    const int d = n - parityCount;
    uint64_t dataBytes = 0;
    const uint64_t chunks = roundUp(volume.size(), c) / c;
    if (setup.level == 1) {
        dataBytes = roundUp(volume.size(), 4096);
    } else if (setup.level == kRaidLinear) {
        dataBytes = roundUp(roundUp(volume.size(), n) / n, 4096);
    } else if (setup.level == 10) {
        const Raid10Copies k = raid10Copies(setup.layout);
        dataBytes = static_cast<uint64_t>(k.farCopies) * roundUp(chunks * k.nearCopies, n) / n * c;
    } else {
        dataBytes = roundUp(chunks, d) / d * c;
    }
    uint64_t memberBytes = dataOffset + dataBytes;
    if (v090) memberBytes = roundUp(dataBytes, 65536) + 65536;
    if (setup.version == "1.0") memberBytes = roundUp(dataBytes + 8192, 4096);
    std::vector<Bytes> members(static_cast<size_t>(n), Bytes(memberBytes, 0));
    auto at = [&](int role, uint64_t off) { return members[static_cast<size_t>(role)].data() + dataOffset + off; };

    if (setup.level == 1) {
        for (Bytes& m : members) std::memcpy(m.data() + dataOffset, volume.data(), volume.size());
    } else if (setup.level == 10) {
        // md's RAID 10: near copies on neighbouring members, far copies a
        // section further on the next ones, offset copies a row further.
        const Raid10Copies k = raid10Copies(setup.layout);
        const uint64_t stride = k.offset ? c : dataBytes / c / k.farCopies * c;
        for (uint64_t chunk = 0; chunk < chunks; ++chunk) {
            const uint64_t len = std::min<uint64_t>(c, volume.size() - chunk * c);
            for (int j = 0; j < k.nearCopies; ++j) {
                const uint64_t slot = chunk * k.nearCopies + j;
                uint64_t row = slot / n * (k.offset ? k.farCopies : 1);
                for (int f = 0; f < k.farCopies; ++f) {
                    const int dev = static_cast<int>((slot % n + static_cast<uint64_t>(f) * k.nearCopies) % n);
                    std::memcpy(at(dev, row * c + f * stride), volume.data() + chunk * c, len);
                }
            }
        }
    } else {
        RaidGeometry g;
        g.level = setup.level;
        g.layout = setup.layout;
        g.chunkBytes = c;
        for (int r = 0; r < n; ++r) g.members.push_back({std::make_shared<MemoryReader>(Bytes{}), 0, dataBytes});
        for (uint64_t off = 0; off < volume.size(); off += std::min<uint64_t>(c, volume.size() - off)) {
            int role = 0;
            uint64_t mo = 0;
            if (!raidLocate(g, off, role, mo)) break;
            const uint64_t len = std::min<uint64_t>(c - off % c, volume.size() - off);
            std::memcpy(at(role, mo), volume.data() + off, len);
        }
        if (parityCount) {
            for (uint64_t s = 0; s < dataBytes / c; ++s) {
                int p = 0, q = 0;
                parityRoles(setup, s, p, q);
                const int d0 = q == n - 1 ? 0 : q + 1;
                for (uint64_t i = 0; i < c; ++i) {
                    uint8_t pv = 0, qv = 0;
                    int slot = 0;
                    for (int k = 0, r = d0; k < n; ++k, r = (r + 1) % n) {
                        if (r == p || r == q) continue;
                        const uint8_t v = *at(r, s * c + i);
                        pv ^= v;
                        qv ^= gfMul(gfPow2(slot++), v);
                    }
                    *at(p, s * c + i) = pv;
                    if (q >= 0) *at(q, s * c + i) = qv;
                }
            }
        }
    }
    if (setup.level == kRaidLinear)
        for (int r = 0; r < n; ++r) {
            const uint64_t from = static_cast<uint64_t>(r) * dataBytes;
            if (from < volume.size())
                std::memcpy(at(r, 0), volume.data() + from, std::min<uint64_t>(dataBytes, volume.size() - from));
        }
    for (int r = 0; r < n; ++r) {
        if (v090)
            writeMd090(members[static_cast<size_t>(r)], setup, r, dataBytes, setup.version == "0.90be");
        else if (!setup.version.empty())
            writeMdV1(members[static_cast<size_t>(r)], setup, r, dataBytes);
    }
    return members;
}

void writeMdV1(Bytes& member, const MdSetup& setup, int role, uint64_t dataBytes, uint64_t events) {
    const uint64_t size = member.size();
    uint64_t at = setup.version == "1.1" ? 0 : setup.version == "1.2" ? 4096 : ((size / 512 - 16) & ~uint64_t{7}) * 512;
    const uint32_t maxDev = static_cast<uint32_t>(std::min(setup.members, 382)) + 2;
    Bytes sb(256 + 2 * maxDev, 0);
    put32(sb, 0, 0xa92b4efc);
    put32(sb, 4, 1);
    std::memset(sb.data() + 16, setup.uuidByte, 16);
    std::memcpy(sb.data() + 32, "test:set", 8);
    put32(sb, 72, static_cast<uint32_t>(setup.level));
    put32(sb, 76, static_cast<uint32_t>(setup.layout));
    put64(sb, 80, setup.level == 0 || setup.level == kRaidLinear ? 0 : dataBytes / 512);
    put32(sb, 88, setup.chunkBytes / 512);
    put32(sb, 92, static_cast<uint32_t>(setup.members));
    put64(sb, 128, setup.version == "1.0" ? 0 : setup.dataOffset / 512);
    put64(sb, 136, dataBytes / 512);
    put64(sb, 144, at / 512);
    put32(sb, 160, static_cast<uint32_t>(role));
    std::memset(sb.data() + 168, 0x10 + role, 16);
    put64(sb, 200, events);
    put32(sb, 220, maxDev);
    for (uint32_t i = 0; i < maxDev; ++i) put16(sb, 256 + 2 * i, i < static_cast<uint32_t>(setup.members) ? i : 0xffff);
    uint64_t sum = 0;
    for (size_t i = 0; i + 4 <= sb.size(); i += 4) sum += get32(sb, i);
    if (sb.size() % 4) sum += static_cast<uint32_t>(sb[sb.size() - 2] | sb[sb.size() - 1] << 8);
    put32(sb, 216, static_cast<uint32_t>((sum & 0xffffffff) + (sum >> 32)));
    std::memcpy(member.data() + at, sb.data(), sb.size());
}

void writeMd090(Bytes& member, const MdSetup& setup, int role, uint64_t dataBytes, bool big) {
    const uint64_t at = (member.size() & ~uint64_t{65535}) - 65536;
    Bytes sb(4096, 0);
    auto w = [&](size_t word, uint32_t v) { put32(sb, word * 4, v, big); };
    w(0, 0xa92b4efc);
    w(1, 0);
    w(2, 90);
    uint32_t uuid = 0;
    std::memset(&uuid, setup.uuidByte, 4);
    w(5, uuid);
    w(13, uuid);
    w(14, uuid);
    w(15, uuid);
    w(7, static_cast<uint32_t>(setup.level));
    w(8, static_cast<uint32_t>(dataBytes / 1024));
    w(9, static_cast<uint32_t>(setup.members));
    w(10, static_cast<uint32_t>(setup.members));
    put64(sb, 39 * 4, 7, big);  // events
    w(64, static_cast<uint32_t>(setup.layout));
    w(65, setup.chunkBytes);
    w(992, static_cast<uint32_t>(role));
    w(992 + 3, static_cast<uint32_t>(role));
    w(992 + 4, 6);  // active, in sync
    uint64_t sum = 0;
    for (size_t i = 0; i < 1024; ++i) sum += get32(sb, i * 4, big);
    w(38, static_cast<uint32_t>((sum & 0xffffffff) + (sum >> 32)));
    std::memcpy(member.data() + at, sb.data(), sb.size());
}

namespace {

uint32_t lvmCrcOf(const uint8_t* p, size_t n) {
    uLong c = ~0xf597a6cfu & 0xffffffffu;
    c = crc32(c, p, static_cast<uInt>(n));
    return static_cast<uint32_t>(~c);
}

}  // namespace

Bytes makeLvmPv(uint64_t bytes, const std::string& pvId, const std::vector<std::string>& texts, uint64_t areaBytes) {
    Bytes pv(bytes, 0);
    // Label, sector 1.
    Bytes l(512, 0);
    std::memcpy(l.data(), "LABELONE", 8);
    put64(l, 8, 1);
    put32(l, 20, 32);
    std::memcpy(l.data() + 24, "LVM2 001", 8);
    std::memcpy(l.data() + 32, pvId.data(), std::min<size_t>(32, pvId.size()));
    put64(l, 64, bytes);
    put64(l, 72, 1 << 20);  // data area
    put64(l, 80, 0);
    put64(l, 104, 4096);  // metadata area
    put64(l, 112, areaBytes);
    put32(l, 16, lvmCrcOf(l.data() + 20, 512 - 20));
    std::memcpy(pv.data() + 512, l.data(), 512);
    // Metadata area: its header, then the texts in the ring, 512-aligned.
    const size_t area = 4096;
    uint64_t at = 512, lastAt = 0, lastSize = 0;
    for (const std::string& t : texts) {
        std::memcpy(pv.data() + area + at, t.data(), t.size());
        lastAt = at;
        lastSize = t.size();
        at = roundUp(at + t.size() + 1, 512);
    }
    Bytes h(512, 0);
    std::memcpy(h.data() + 4, " LVM2 x[5A%r0N*>", 16);
    put32(h, 20, 1);
    put64(h, 24, area);
    put64(h, 32, areaBytes);
    if (!texts.empty()) {
        put64(h, 40, lastAt);
        put64(h, 48, lastSize);
        put32(h, 56, lvmCrcOf(pv.data() + area + lastAt, lastSize));
    }
    put32(h, 0, lvmCrcOf(h.data() + 4, 508));
    std::memcpy(pv.data() + area, h.data(), 512);
    return pv;
}

}  // namespace brantlow::test
