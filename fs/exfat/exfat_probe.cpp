#include "fs/exfat/exfat_probe.h"

#include "base/bytes.h"

namespace brantlow {

bool isExfatBootSector(const uint8_t* bs, size_t len) {
    return len >= 512 && bs[0] == 0xEB && (bs[1] == 0x3C || bs[1] == 0x58 || bs[1] == 0x76) &&
           bytesAt(bs, len, 3, "EXFA", 4);
}

bool probeExfat(const uint8_t* head, size_t len, ProbeResult& out) {
    if (!isExfatBootSector(head, len)) return false;
    out.fileSystem = "FAT64";
    uint64_t sectors = le64(head, len, 72);
    unsigned shift = le8(head, len, 108);
    if (shift >= 9 && shift <= 12 && sectors < (1ull << (63 - shift))) sectors = (sectors << shift) / 512;
    out.sizeSectors = sectors;
    return true;
}

}  // namespace brantlow
