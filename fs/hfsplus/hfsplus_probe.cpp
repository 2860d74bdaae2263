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

bool hfsPlusCopyAt(const uint8_t* head, size_t len, CopyResult& out) {
    ProbeResult r;
    // The probe looks 1024 bytes before the header; the alternate header
    // starts 1024 bytes before the volume's end.
    if (!probeHfsPlus(head, len, r) || r.sizeSectors <= 4) return false;
    out.sectorsIn = r.sizeSectors - 4;
    out.certain = false;
    return true;
}

bool hfsPlusConfirm(readWriteInterface& reader, uint64_t startSector, const uint8_t* head, size_t len) {
    constexpr size_t kHeader = 1024;
    ProbeResult r;
    if (!probeHfsPlus(head, len, r)) return false;
    const uint64_t blockSize = be32(head, len, kHeader + 40);
    if (blockSize < 512 || (blockSize & (blockSize - 1)) != 0) return false;
    uint64_t base = 0;
    if (mulOverflows(startSector, 512, &base)) return false;
    // First extents of the catalog file (fork at 0x110) and of the extents
    // overflow file (fork at 0xC0); each starts with its header node.
    for (size_t fork : {size_t{0x110}, size_t{0xC0}}) {
        const uint64_t startBlock = be32(head, len, kHeader + fork + 16);
        uint64_t off = 0;
        if (startBlock == 0 || mulOverflows(startBlock, blockSize, &off) || addOverflows(off, base, &off)) continue;
        uint8_t node[14] = {};
        if (readZeroFill(reader, off, node, sizeof node) != sizeof node) continue;
        // Node descriptor: kind 1 (header node), height 0, three records.
        if (node[8] == 1 && node[9] == 0 && be16(node, sizeof node, 10) == 3) return true;
    }
    return false;
}

}  // namespace brantlow
