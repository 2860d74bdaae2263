// Log records: any bytes as one record (header sectors and operations),
// with the volume's UUID put into the header so that it is taken; every
// inode item handed over decodes to a core of the geometry.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fs/xfs/xfs_log.h"
#include "fuzz/xfs_fuzz_geometry.h"

using namespace brantlow::xfs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 512) return 0;
    Superblock sb = brantlow::fuzz::xfsGeometry(true);
    std::vector<uint8_t> rec(data, data + size);
    std::memcpy(sb.uuid, rec.data() + 304, 16);
    decodeLogRecord(rec.data(), rec.size(), sb, [&](const LoggedInode& l) {
        if (l.core.version != 3 || l.fork.size() > 256 * 1024) __builtin_trap();
    });
    return 0;
}
