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

namespace {
// log2 of bytes per sector (9..12), or 0.
unsigned exfatSectorShift(const uint8_t* head, size_t len) {
    unsigned shift = le8(head, len, 108);
    return shift >= 9 && shift <= 12 ? shift : 0;
}
}  // namespace

bool exfatCopyAt(const uint8_t* head, size_t len, CopyResult& out) {
    const unsigned shift = exfatSectorShift(head, len);
    if (!isExfatBootSector(head, len) || shift == 0) return false;
    out.sectorsIn = 12ull << (shift - 9);
    out.certain = false;
    return true;
}

bool exfatConfirm(readWriteInterface& reader, uint64_t startSector, const uint8_t* head, size_t len) {
    const unsigned shift = exfatSectorShift(head, len);
    if (!isExfatBootSector(head, len) || shift == 0) return false;
    uint64_t off = 0;
    const uint64_t fatOffset = static_cast<uint64_t>(le32(head, len, 80)) << shift;
    if (fatOffset == 0 || mulOverflows(startSector, 512, &off) || addOverflows(off, fatOffset, &off)) return false;
    uint8_t b[4] = {};
    return readZeroFill(reader, off, b, sizeof b) == sizeof b && b[0] == 0xF8 && b[1] == 0xFF && b[2] == 0xFF &&
           b[3] == 0xFF;
}

}  // namespace brantlow
