#include "fs/hfsplus/hfsplus_probe.h"

#include "base/bytes.h"

namespace brantlow {

bool probeHfsPlus(const uint8_t* head, size_t len, ProbeResult& out) {
    constexpr size_t kHeader = 1024;
    // "H+" version 4 (HFS+) or "HX" version 5 (HFSX, case-sensitive names).
    if (len < kHeader + 512 || head[kHeader] != 'H' || (head[kHeader + 1] != '+' && head[kHeader + 1] != 'X') ||
        head[kHeader + 2] != 0)
        return false;
    out.fileSystem = "HFS+";
    uint64_t blockSize = be32(head, len, kHeader + 40), blocks = be32(head, len, kHeader + 44);
    uint64_t bytes = 0;
    out.sizeSectors = mulOverflows(blockSize, blocks, &bytes) ? 0 : bytes / 512;
    return true;
}

}  // namespace brantlow
