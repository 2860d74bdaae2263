#include "fs/ext/ext_probe.h"

#include "base/bytes.h"

namespace brantlow {

namespace {

constexpr size_t kSb = 1024;

struct ExtGeometry {
    uint64_t blocks = 0;
    uint64_t blockSize = 0;
    uint64_t blocksPerGroup = 0;
    uint64_t firstDataBlock = 0;
    uint32_t group = 0;  // the group whose superblock this is (0: the primary)
};

// The superblock at head + 1024, when its fields agree with one another.
bool readGeometry(const uint8_t* head, size_t len, ExtGeometry& g) {
    if (len < kSb + 512 || le16(head, len, kSb + 56) != 0xEF53) return false;
    const uint32_t logBlock = le32(head, len, kSb + 24);
    if (logBlock > 6) return false;
    g.blockSize = 1024ull << logBlock;
    g.blocks = le32(head, len, kSb + 4);
    if (le32(head, len, kSb + 96) & 0x80) g.blocks |= static_cast<uint64_t>(le32(head, len, kSb + 336)) << 32;
    g.blocksPerGroup = le32(head, len, kSb + 32);
    g.firstDataBlock = le32(head, len, kSb + 20);
    g.group = le16(head, len, kSb + 90);
    const uint64_t inodes = le32(head, len, kSb + 0);
    const uint64_t inodesPerGroup = le32(head, len, kSb + 40);
    const uint32_t rev = le32(head, len, kSb + 76);
    if (g.blocks == 0 || g.blocks >= (1ull << 50)) return false;
    if (g.firstDataBlock != (g.blockSize == 1024 ? 1u : 0u) || g.blocks <= g.firstDataBlock) return false;
    if (g.blocksPerGroup < 8 || g.blocksPerGroup % 8 != 0) return false;
    if (inodesPerGroup == 0 || inodesPerGroup > 8 * g.blockSize) return false;
    if (rev > 1) return false;
    if (rev == 1) {
        const uint32_t inodeSize = le16(head, len, kSb + 88);
        if (inodeSize < 128 || (inodeSize & (inodeSize - 1)) != 0 || inodeSize > g.blockSize) return false;
    }
    const uint64_t groups = (g.blocks - g.firstDataBlock + g.blocksPerGroup - 1) / g.blocksPerGroup;
    uint64_t want = 0;
    if (mulOverflows(groups, inodesPerGroup, &want) || want != inodes) return false;
    return g.group < groups;
}

}  // namespace

bool probeExt(const uint8_t* head, size_t len, ProbeResult& out) {
    if (len < kSb + 512 || le16(head, len, kSb + 56) != 0xEF53) return false;
    out.fileSystem = "extX";
    uint64_t blocks = le32(head, len, kSb + 4);
    uint32_t logBlock = le32(head, len, kSb + 24);
    if (le32(head, len, kSb + 96) & 0x80) blocks |= static_cast<uint64_t>(le32(head, len, kSb + 336)) << 32;
    out.sizeSectors = logBlock <= 6 && blocks < (1ull << 50) ? blocks << (logBlock + 1) : 0;
    // The file system's UUID (byte 104 of the superblock).
    bool any = false;
    for (size_t i = 0; i < 16; ++i) any = any || head[kSb + 104 + i] != 0;
    if (any) out.identity.assign(reinterpret_cast<const char*>(head + kSb + 104), 16);
    return true;
}

bool extGeometryPlausible(const uint8_t* head, size_t len) {
    ExtGeometry g;
    return readGeometry(head, len, g);
}

bool extCopyAt(const uint8_t* head, size_t len, CopyResult& out) {
    ExtGeometry g;
    if (!readGeometry(head, len, g) || g.group == 0) return false;
    // The copy of group g starts block g x blocks-per-group + first data block.
    uint64_t block = 0, pos = 0;
    if (mulOverflows(g.group, g.blocksPerGroup, &block) || addOverflows(block, g.firstDataBlock, &block) ||
        mulOverflows(block, g.blockSize, &pos) || pos < kSb)
        return false;
    out.sectorsIn = (pos - kSb) / 512;
    out.certain = true;
    return true;
}

}  // namespace brantlow
