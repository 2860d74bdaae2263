// The superblock (1024 bytes at byte 1024 of the volume, copies at the start
// of later groups) and the group descriptors that follow it.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/bytes.h"
#include "fs/ext/ext_format.h"

namespace brantlow::ext {

namespace {

bool powerOfTwo(uint32_t v) { return v && !(v & (v - 1)); }

std::string hex(uint64_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%llX", static_cast<unsigned long long>(v));
    return b;
}

using std::to_string;

}  // namespace

Decoded<Superblock> decodeSuperblock(const uint8_t* sb, size_t len) {
    using D = Decoded<Superblock>;
    if (len < 1024) return D::refused("only " + to_string(len) + " bytes");
    if (le16(sb, len, 56) != kSuperMagic) return D::refused("magic " + hex(le16(sb, len, 56)) + " is not 0xEF53");
    Superblock s;
    s.logBlockSize = le32(sb, len, 24);
    if (s.logBlockSize > 3) return D::refused("log block size " + to_string(s.logBlockSize) + " above 3 (8 KiB)");
    s.blockSize = 1024u << s.logBlockSize;
    s.blocksPerGroup = le32(sb, len, 32);
    s.inodesPerGroup = le32(sb, len, 40);
    if (s.blocksPerGroup == 0 || s.blocksPerGroup > 8 * s.blockSize)
        return D::refused("blocks per group " + to_string(s.blocksPerGroup) + " outside 1 to 8 x block size");
    if (s.inodesPerGroup == 0 || s.inodesPerGroup > 8 * s.blockSize)
        return D::refused("inodes per group " + to_string(s.inodesPerGroup) + " outside 1 to 8 x block size");
    s.revLevel = le32(sb, len, 76);
    uint32_t firstInode = 11;
    if (s.revLevel == 0) {
        s.inodeSize = 128;
    } else {
        s.inodeSize = le16(sb, len, 88);
        firstInode = le32(sb, len, 84);
    }
    if (!powerOfTwo(s.inodeSize) || s.inodeSize < 128 || s.inodeSize > s.blockSize)
        return D::refused("inode size " + to_string(s.inodeSize) + " is not a power of two from 128 to the block size");
    s.blockGroupNr = le16(sb, len, 90);
    s.compat = le32(sb, len, 92);
    s.incompat = le32(sb, len, 96);
    s.roCompat = le32(sb, len, 100);
    std::memcpy(s.uuid, sb + 104, 16);
    s.journalInode = le32(sb, len, 224);
    s.firstMetaBg = le32(sb, len, 260);
    std::memcpy(s.journalBlocks, sb + 268, sizeof s.journalBlocks);
    s.firstDataBlock = le32(sb, len, 20);
    s.blocksCount = le32(sb, len, 4);
    if (s.incompat & kIncompat64Bit) {
        s.blocksCount |= static_cast<uint64_t>(le32(sb, len, 336)) << 32;
        const uint32_t ds = le16(sb, len, 254);
        s.descSize = std::max<uint32_t>(32, ds);
        if (!powerOfTwo(s.descSize) || s.descSize > 1024 || s.descSize > s.blockSize)
            return D::refused("descriptor size " + to_string(ds) + " is not a power of two up to the block size");
    }
    // Block numbers are 48 bits at most.
    if (s.blocksCount <= s.firstDataBlock || s.blocksCount >= (1ull << 48))
        return D::refused("block count " + to_string(s.blocksCount) + " not between the first data block " +
                          to_string(s.firstDataBlock) + " and 2^48");
    s.groupCount = (s.blocksCount - s.firstDataBlock + s.blocksPerGroup - 1) / s.blocksPerGroup;
    const uint64_t inodes = s.groupCount * s.inodesPerGroup;  // < 2^48 * 2^16: no overflow
    const uint32_t recorded = le32(sb, len, 0);
    s.inodesCount = static_cast<uint32_t>(std::min<uint64_t>({recorded, inodes, 0xFFFFFFFFull}));
    if (s.inodesCount == 0) return D::refused("inode count 0");
    s.firstInode = std::max<uint32_t>(firstInode, 3);
    D d = D::ok(s);
    if (recorded != s.inodesCount)
        d.replace("inode count " + to_string(recorded) + " above what the groups hold: " + to_string(s.inodesCount) +
                  " taken");
    if (firstInode < 3) d.replace("first inode " + to_string(firstInode) + " below 3: 3 taken");
    return d;
}

Decoded<GroupDesc> decodeGroupDesc(const uint8_t* d, size_t len, const Superblock& sb, uint64_t tableBlocks) {
    GroupDesc g;
    g.blockBitmap = le32(d, len, 0);
    g.inodeBitmap = le32(d, len, 4);
    g.inodeTable = le32(d, len, 8);
    g.flags = le16(d, len, 18);
    g.itableUnused = le16(d, len, 28);
    if ((sb.incompat & kIncompat64Bit) && len >= 64) {
        g.blockBitmap |= static_cast<uint64_t>(le32(d, len, 32)) << 32;
        g.inodeBitmap |= static_cast<uint64_t>(le32(d, len, 36)) << 32;
        g.inodeTable |= static_cast<uint64_t>(le32(d, len, 40)) << 32;
        g.itableUnused |= static_cast<uint32_t>(le16(d, len, 50)) << 16;
    }
    std::vector<std::string> replaced;
    if (g.inodeTable == 0 || tableBlocks > sb.blocksCount || g.inodeTable > sb.blocksCount - tableBlocks) {
        replaced.push_back("inode table at block " + to_string(g.inodeTable) +
                           (g.inodeTable ? " runs past the volume's end" : "") + ": its inodes are skipped");
        g.inodeTable = 0;
    }
    if (g.blockBitmap >= sb.blocksCount) {
        replaced.push_back("block bitmap at block " + to_string(g.blockBitmap) + " beyond the volume: taken as unknown");
        g.blockBitmap = 0;
    }
    if (g.inodeBitmap >= sb.blocksCount) {
        replaced.push_back("inode bitmap at block " + to_string(g.inodeBitmap) + " beyond the volume: taken as unknown");
        g.inodeBitmap = 0;
    }
    Decoded<GroupDesc> out = Decoded<GroupDesc>::ok(g);
    for (std::string& r : replaced) out.replace(std::move(r));
    return out;
}

bool groupHasSuper(const Superblock& sb, uint64_t group) {
    if (group <= 1) return true;
    if (!(sb.roCompat & kRoCompatSparseSuper)) return true;
    for (uint64_t base : {3ull, 5ull, 7ull}) {
        uint64_t p = base;
        while (p < group) p *= base;
        if (p == group) return true;
    }
    return false;
}

}  // namespace brantlow::ext
