// A fixed XFS geometry for the decoder fuzz targets: 4 AGs of 4096 blocks,
// 512-byte inodes; v5 (CRC, file types) or v4, by the caller's choice.
#pragma once

#include <cstdint>

#include "fs/xfs/xfs_format.h"

namespace brantlow::fuzz {

inline xfs::Superblock xfsGeometry(bool v5, uint32_t blockLog = 12) {
    xfs::Superblock sb;
    sb.blockLog = static_cast<uint8_t>(blockLog);
    sb.blockSize = 1u << blockLog;
    sb.versionNum = v5 ? 0xB4B5 : 0xB4A4;
    sb.features2 = 0x20A;
    sb.incompat = v5 ? 0x3 : 0;
    sb.sectSize = 512;
    sb.sectLog = 9;
    sb.inodeSize = 512;
    sb.inodeLog = 9;
    sb.inoPerBlockLog = static_cast<uint8_t>(blockLog - 9);
    sb.inodesPerBlock = static_cast<uint16_t>(1u << sb.inoPerBlockLog);
    sb.agBlocks = 4096;
    sb.agBlockLog = 12;
    sb.agCount = 4;
    sb.dblocks = 4 * 4096;
    sb.rootIno = 128;
    return sb;
}

}  // namespace brantlow::fuzz
