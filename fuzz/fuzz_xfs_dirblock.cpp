// Directory decoders: any bytes as a directory block of 4, 8 or 16 KiB
// (single-block or data block form, v4 or v5), and as a short-form folder
// in an inode fork with its recorded size. Every name lies inside the
// buffer and every inode number names an inode of the volume (or, where
// only its low half survived, is marked so).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/xfs_fuzz_geometry.h"

using namespace brantlow::xfs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const bool v5 = data[0] & 1;
    Superblock sb = brantlow::fuzz::xfsGeometry(v5);
    sb.dirBlockLog = static_cast<uint8_t>((data[0] >> 1) % 3);
    if (!v5 && (data[0] & 8)) sb.features2 = 0;  // no file types
    const size_t n = sb.dirBlockSize();
    std::vector<uint8_t> b(data + 1, data + size);
    b.resize(n, 0);
    auto db = decodeDirBlock(b.data(), n, sb, v5 ? 131 : 0);
    if (db)
        for (const DirName& d : db->names) {
            if (d.nameLength == 0 || d.nameOffset + d.nameLength > n) __builtin_trap();
            if (!d.lowOnly && !sb.validIno(d.ino)) __builtin_trap();
        }
    const size_t fork = std::min<size_t>(size - 1, 336);
    const uint64_t recorded = data[size - 1] * 2u;
    auto sd = decodeShortDir(data + 1, fork, recorded, sb, data[0] & 16);
    if (sd)
        for (const DirName& d : sd->names) {
            if (d.nameLength == 0 || d.nameOffset + d.nameLength > fork) __builtin_trap();
            if (!sb.validIno(d.ino)) __builtin_trap();
        }
    return 0;
}
