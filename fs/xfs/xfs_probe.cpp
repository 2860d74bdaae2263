#include "fs/xfs/xfs_probe.h"

#include "base/bytes.h"
#include "fs/xfs/xfs_format.h"

namespace brantlow {

bool probeXfs(const uint8_t* head, size_t len, ProbeResult& out) {
    if (len < 512 || be32(head, len, 0) != xfs::kSuperMagic) return false;
    const int version = be16(head, len, 100) & 0xF;
    if (version != 4 && version != 5) return false;
    out.fileSystem = "XFS";
    auto sb = xfs::decodeSuperblock(head, len);
    if (sb) {
        const uint64_t bytes = sb->dblocks * sb->blockSize;
        out.sizeSectors = bytes / 512;
        out.identity.assign(reinterpret_cast<const char*>(sb->uuid), 16);
    }
    return true;
}

bool xfsGeometryPlausible(const uint8_t* head, size_t len) { return xfs::decodeSuperblock(head, len).accepted(); }

bool xfsCopyAt(const uint8_t* head, size_t len, CopyResult& out) {
    auto sb = xfs::decodeSuperblock(head, len);
    if (!sb || static_cast<size_t>(sb->sectSize) + 16 > len) return false;
    const uint32_t ag = be32(head, len, sb->sectSize + 8);
    if (be32(head, len, sb->sectSize) != xfs::kAgfMagic || ag == 0 || ag >= sb->agCount) return false;
    uint64_t bytes = 0;
    if (mulOverflows(static_cast<uint64_t>(ag) * sb->agBlocks, sb->blockSize, &bytes)) return false;
    out.sectorsIn = bytes / 512;
    out.certain = true;
    return true;
}

}  // namespace brantlow
