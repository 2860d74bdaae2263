#include "fs/ntfs/ntfs_probe.h"

#include "base/bytes.h"

namespace brantlow {

bool isNtfsBootSector(const uint8_t* bs, size_t len) {
    return len >= 512 && bs[0] == 0xEB && bs[1] == 0x52 && le16(bs, len, 11) == 512;
}

bool probeNtfs(const uint8_t* head, size_t len, ProbeResult& out) {
    if (!isNtfsBootSector(head, len)) return false;
    out.fileSystem = "NTFS";
    out.sizeSectors = le64(head, len, 40);
    return true;
}

}  // namespace brantlow
