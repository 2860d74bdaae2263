// Superblock, AG headers and the probe: any bytes as the first 4 KiB of a
// volume (superblock, AGF, AGI sectors), then the geometry's arithmetic on
// inode and block numbers from the input.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/bytes.h"
#include "fs/xfs/xfs_format.h"
#include "fs/xfs/xfs_probe.h"

using namespace brantlow;
using namespace brantlow::xfs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> head(data, data + std::min<size_t>(size, 4096));
    head.resize(4096, 0);
    ProbeResult pr;
    probeXfs(head.data(), head.size(), pr);
    CopyResult cr;
    xfsCopyAt(head.data(), head.size(), cr);
    auto sb = decodeSuperblock(head.data(), head.size());
    if (!sb) return 0;
    if (sb->blockSize < 512 || sb->blockSize > 65536 || sb->agCount == 0) __builtin_trap();
    for (uint32_t ag = 0; ag < 3 && ag < sb->agCount; ++ag) {
        (void)decodeAgf(head.data() + 512, 512, *sb, ag);
        (void)decodeAgi(head.data() + 1024, 512, *sb, ag);
    }
    // Numbers from the input's tail through the geometry.
    for (size_t o = 4096; o + 8 <= size; o += 8) {
        const uint64_t v = be64(data, size, o);
        uint64_t at = 0;
        if (sb->inodePosition(v, at)) {
            if (at >= sb->dblocks * sb->blockSize) __builtin_trap();
            if (sb->inodeAt(at) != v) __builtin_trap();
        }
        if (sb->linear(v, at) && at >= sb->dblocks) __builtin_trap();
        if (sb->linearRun(v, v & 0xFFFF, at) && at + (v & 0xFFFF) > sb->dblocks) __builtin_trap();
    }
    return 0;
}
