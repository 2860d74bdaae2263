#include "layers/md/md_superblock.h"

#include <cstdio>
#include <cstring>

#include "base/bytes.h"

namespace brantlow::md {

namespace {

constexpr size_t kV1Header = 256;
constexpr uint32_t kMaxDevRoles = 384;  // md's own limit (1920 bytes of role table)
constexpr size_t kV090Bytes = 4096;
constexpr uint64_t kV090Reserved = 64 * 1024;

// md's checksum: 32-bit words summed into 64 bits, the carry folded in
// once; the checksum field counts as zero.
uint32_t foldedSum(const uint8_t* b, size_t bytes, size_t csumAt, bool bigEndian) {
    uint64_t sum = 0;
    size_t i = 0;
    for (; i + 4 <= bytes; i += 4) {
        if (i == csumAt) continue;
        sum += bigEndian ? be32(b, bytes, i) : le32(b, bytes, i);
    }
    if (bytes - i == 2) sum += bigEndian ? be16(b, bytes, i) : le16(b, bytes, i);
    return static_cast<uint32_t>((sum & 0xffffffffu) + (sum >> 32));
}

bool sizeOk(uint64_t sectors, uint64_t* bytes) { return !mulOverflows(sectors, 512, bytes); }

std::string hex(const char* fmt, uint64_t v) {
    char b[32];
    std::snprintf(b, sizeof b, fmt, static_cast<unsigned long long>(v));
    return b;
}

}  // namespace

std::string Superblock::uuidText() const {
    std::string s;
    for (int i = 0; i < 16; ++i) {
        if (i && i % 4 == 0) s += ':';
        char b[3];
        std::snprintf(b, sizeof b, "%02x", uuid[i]);
        s += b;
    }
    return s;
}

std::string Superblock::versionText() const { return major == 0 ? "0.90" : "1." + std::to_string(minor); }

uint64_t v090Offset(uint64_t deviceBytes) {
    if (deviceBytes < 2 * kV090Reserved) return UINT64_MAX;
    return (deviceBytes & ~(kV090Reserved - 1)) - kV090Reserved;
}

uint64_t v10Offset(uint64_t deviceBytes) {
    const uint64_t sectors = deviceBytes / 512;
    if (sectors < 24) return UINT64_MAX;
    return ((sectors - 16) & ~uint64_t{7}) * 512;
}

Decoded<Superblock> decodeV1(const uint8_t* b, size_t len, uint64_t at, uint64_t deviceBytes) {
    using D = Decoded<Superblock>;
    if (len < kV1Header || le32(b, len, 0) != kMagic) return D::refused("no md superblock");
    if (le32(b, len, 4) != 1) return D::refused("md superblock major version " + std::to_string(le32(b, len, 4)));
    const uint32_t maxDev = le32(b, len, 220);
    if (maxDev > kMaxDevRoles) return D::refused("md superblock names " + std::to_string(maxDev) + " member slots");
    const size_t bytes = kV1Header + 2 * static_cast<size_t>(maxDev);
    if (len < bytes) return D::refused("md superblock role table cut short");
    if (foldedSum(b, bytes, 216, false) != le32(b, len, 216))
        return D::refused("md superblock checksum " + hex("%08llx", le32(b, len, 216)) + " does not match");
    Superblock s;
    s.major = 1;
    std::memcpy(s.uuid, b + 16, 16);
    const char* name = reinterpret_cast<const char*>(b + 32);
    s.name.assign(name, strnlen(name, 32));
    s.level = static_cast<int32_t>(le32(b, len, 72));
    s.layout = static_cast<int32_t>(le32(b, len, 76));
    const uint64_t usedSectors = le64(b, len, 80);
    uint64_t chunkSectors = le32(b, len, 88);
    s.chunkBytes = chunkSectors * 512;
    s.raidDisks = le32(b, len, 92);
    s.featureMap = le32(b, len, 0 + 8);
    const uint64_t superSector = le64(b, len, 144);
    if (!sizeOk(superSector, &s.superOffset) || s.superOffset != at)
        return D::refused("md superblock at byte " + std::to_string(at) + " says it lies at sector " +
                          std::to_string(superSector));
    s.minor = at == 0 ? 1 : at == 4096 ? 2 : 0;
    const uint64_t dataSector = le64(b, len, 128);
    const uint64_t dataSectors = le64(b, len, 136);
    if (!sizeOk(dataSector, &s.dataOffset) || s.dataOffset >= deviceBytes)
        return D::refused("md data offset " + std::to_string(dataSector) + " lies beyond the member");
    // The used size when the set records one (it is 0 for RAID 0 and
    // linear), else all the data space.
    uint64_t data = 0;
    if (!sizeOk(usedSectors ? usedSectors : dataSectors, &data)) data = UINT64_MAX;
    const uint64_t room = deviceBytes - s.dataOffset;
    if (data > room) {
        data = room;
    }
    s.dataBytes = data;
    if (s.featureMap & kFeatureRecoveryOffset) {
        uint64_t r = 0;
        s.recoveryOffset = sizeOk(le64(b, len, 152), &r) ? r : 0;
    }
    s.events = le64(b, len, 200);
    const uint32_t devNumber = le32(b, len, 160);
    s.role = -1;
    if (devNumber < maxDev) {
        const uint16_t role = le16(b, len, kV1Header + 2 * devNumber);
        if (role < 0xff00) s.role = role;  // 0xffff spare, 0xfffe faulty, 0xfffd journal
    }
    return D::ok(std::move(s));
}

Decoded<Superblock> decodeV090(const uint8_t* b, size_t len, uint64_t deviceBytes) {
    using D = Decoded<Superblock>;
    if (len < kV090Bytes) return D::refused("md 0.90 superblock cut short");
    bool big = false;
    if (le32(b, len, 0) != kMagic) {
        if (be32(b, len, 0) != kMagic) return D::refused("no md superblock");
        big = true;
    }
    auto w = [&](size_t word) { return big ? be32(b, len, word * 4) : le32(b, len, word * 4); };
    if (w(1) != 0 || w(2) != 90) return D::refused("md superblock version " + std::to_string(w(1)) + "." +
                                                   std::to_string(w(2)));
    if (foldedSum(b, kV090Bytes, 38 * 4, big) != w(38))
        return D::refused("md 0.90 superblock checksum " + hex("%08llx", w(38)) + " does not match");
    Superblock s;
    s.major = 0;
    s.minor = 90;
    s.bigEndian = big;
    // The set's UUID in mdadm's order: words 5, 13, 14, 15.
    const size_t uuidWords[4] = {5, 13, 14, 15};
    for (int i = 0; i < 4; ++i) {
        const uint32_t v = w(uuidWords[i]);
        for (int k = 0; k < 4; ++k) s.uuid[i * 4 + k] = static_cast<uint8_t>(v >> (24 - 8 * k));
    }
    s.level = static_cast<int32_t>(w(7));
    s.raidDisks = w(10);
    s.layout = static_cast<int32_t>(w(64));
    s.chunkBytes = w(65);
    // Events: a 64-bit counter in the writer's byte order.
    s.events = big ? be64(b, len, 39 * 4) : le64(b, len, 39 * 4);
    s.superOffset = v090Offset(deviceBytes);
    s.dataOffset = 0;
    uint64_t used = static_cast<uint64_t>(w(8)) * 1024;
    if (used == 0 || used > s.superOffset) used = s.superOffset;
    s.dataBytes = used;
    // This member's descriptor (word 992): number, major, minor, raid_disk, state.
    const uint32_t raidDisk = w(992 + 3);
    const uint32_t state = w(992 + 4);
    const bool faulty = state & 1;
    s.role = !faulty && raidDisk < s.raidDisks ? static_cast<int>(raidDisk) : -1;
    return D::ok(std::move(s));
}

bool findSuperblock(readWriteInterface& reader, uint64_t start, uint64_t size, Superblock& out, std::string* why) {
    if (why) why->clear();
    uint64_t end = 0;
    if (addOverflows(start, size, &end)) return false;
    uint8_t b[kV090Bytes];
    auto readAt = [&](uint64_t at, size_t n) {
        uint64_t abs = 0;
        if (at > size || n > size - at || addOverflows(start, at, &abs)) return false;
        return readZeroFill(reader, abs, b, n) == n;
    };
    auto note = [&](const std::string& reason) {
        if (why && why->empty() && reason != "no md superblock") *why = reason;
    };
    const size_t v1Bytes = kV1Header + 2 * kMaxDevRoles;
    for (uint64_t at : {uint64_t{4096}, uint64_t{0}, v10Offset(size)}) {
        if (at == UINT64_MAX || !readAt(at, v1Bytes)) continue;
        Decoded<Superblock> s = decodeV1(b, v1Bytes, at, size);
        if (s) {
            out = *s;
            return true;
        }
        note(s.reason());
    }
    const uint64_t at = v090Offset(size);
    if (at != UINT64_MAX && readAt(at, kV090Bytes)) {
        Decoded<Superblock> s = decodeV090(b, kV090Bytes, size);
        if (s) {
            out = *s;
            return true;
        }
        note(s.reason());
    }
    return false;
}

}  // namespace brantlow::md
