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
    return true;
}

}  // namespace brantlow
