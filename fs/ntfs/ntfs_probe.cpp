#include "fs/ntfs/ntfs_probe.h"

#include "base/bytes.h"

namespace brantlow {

namespace {

// Bytes per sector at byte 11: a power of two from 512 to 4096 (disks with
// 4096-byte logical sectors carry NTFS volumes formatted for them).
uint32_t ntfsSectorBytes(const uint8_t* bs, size_t len) {
    const uint32_t bps = le16(bs, len, 11);
    return (bps >= 512 && bps <= 4096 && (bps & (bps - 1)) == 0) ? bps : 0;
}

}  // namespace

bool isNtfsBootSector(const uint8_t* bs, size_t len) {
    return len >= 512 && bs[0] == 0xEB && bs[1] == 0x52 && ntfsSectorBytes(bs, len) != 0;
}

bool probeNtfs(const uint8_t* head, size_t len, ProbeResult& out) {
    if (!isNtfsBootSector(head, len)) return false;
    out.fileSystem = "NTFS";
    // Total sectors count the volume's own sectors; the list counts 512 bytes.
    uint64_t bytes = 0;
    out.sizeSectors = mulOverflows(le64(head, len, 40), ntfsSectorBytes(head, len), &bytes) ? 0 : bytes / 512;
    uint64_t span = 0;
    if (out.sizeSectors && !addOverflows(out.sizeSectors, ntfsSectorBytes(head, len) / 512, &span)) out.spanSectors = span;
    return true;
}

bool ntfsCopyAt(const uint8_t* head, size_t len, CopyResult& out) {
    ProbeResult r;
    if (!probeNtfs(head, len, r) || r.sizeSectors == 0) return false;
    out.sectorsIn = r.sizeSectors;
    out.certain = false;
    return true;
}

bool ntfsConfirm(readWriteInterface& reader, uint64_t startSector, const uint8_t* head, size_t len) {
    if (!isNtfsBootSector(head, len)) return false;
    const uint64_t bps = ntfsSectorBytes(head, len);
    uint64_t spc = le8(head, len, 13);
    if (spc > 0x80) spc = (256 - spc) < 32 ? 1ull << (256 - spc) : 0;  // 2^-n: clusters above 64 KiB
    if (spc == 0) return false;
    uint64_t base = 0;
    if (mulOverflows(startSector, 512, &base)) return false;
    for (size_t field : {size_t{48}, size_t{56}}) {  // $MFT, then $MFTMirr
        uint64_t off = 0;
        if (mulOverflows(le64(head, len, field), spc * bps, &off) || addOverflows(off, base, &off)) continue;
        uint8_t rec[4] = {};
        if (readZeroFill(reader, off, rec, sizeof rec) == sizeof rec && bytesAt(rec, 4, 0, "FILE", 4)) return true;
    }
    return false;
}

}  // namespace brantlow
