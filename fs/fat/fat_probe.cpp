#include "fs/fat/fat_probe.h"

#include <string>

#include "base/bytes.h"

namespace brantlow {

namespace {

bool isPow2(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }
bool jumpOk(const uint8_t* bs) { return bs[0] == 0xEB && (bs[1] == 0x3C || bs[1] == 0x58 || bs[1] == 0x76); }

}  // namespace

Decoded<FatGeometry> decodeFatBootSector(const uint8_t* bs, size_t len) {
    using D = Decoded<FatGeometry>;
    if (len < 512) return D::refused("only " + std::to_string(len) + " bytes");
    bool jump = jumpOk(bs) || bs[0] == 0xE9;
    if (!jump) return D::refused("no jump instruction at byte 0");
    if (bytesAt(bs, len, 3, "EXFAT   ", 8)) return D::refused("an exFAT boot sector");
    if (bytesAt(bs, len, 3, "NTFS    ", 8)) return D::refused("an NTFS boot sector");
    FatGeometry g;
    g.bytesPerSector = le16(bs, len, 11);
    g.sectorsPerCluster = le8(bs, len, 13);
    g.reservedSectors = le16(bs, len, 14);
    g.fatCount = le8(bs, len, 16);
    g.rootEntries = le16(bs, len, 17);
    uint64_t total16 = le16(bs, len, 19);
    uint64_t spf16 = le16(bs, len, 22);
    uint64_t total32 = le32(bs, len, 32);
    uint64_t spf32 = le32(bs, len, 36);
    g.totalSectors = total16 ? total16 : total32;
    g.sectorsPerFat = spf16 ? spf16 : spf32;
    // A boot sector that names itself "MSDO..." is taken with odd values.
    const bool oem = bytesAt(bs, len, 3, "MSDO", 4);
    if (!oem) {
        if (g.bytesPerSector < 512 || g.bytesPerSector > 4096 || !isPow2(g.bytesPerSector))
            return D::refused("bytes per sector " + std::to_string(g.bytesPerSector));
        if (!isPow2(g.sectorsPerCluster))
            return D::refused("sectors per cluster " + std::to_string(g.sectorsPerCluster));
        if (g.reservedSectors < 1) return D::refused("no reserved sectors");
        if (g.fatCount < 1 || g.fatCount > 2) return D::refused(std::to_string(g.fatCount) + " FATs");
        if (le8(bs, len, 510) != 0x55 || le8(bs, len, 511) != 0xAA) return D::refused("no 55 AA signature");
    }
    if (g.bytesPerSector == 0 || g.sectorsPerCluster == 0) return D::refused("sector or cluster size 0");
    if (g.sectorsPerFat == 0) return D::refused("sectors per FAT 0");
    if (g.totalSectors == 0) return D::refused("total sectors 0");
    uint64_t rootSectors = (static_cast<uint64_t>(g.rootEntries) * 32 + g.bytesPerSector - 1) / g.bytesPerSector;
    uint64_t meta = g.reservedSectors + g.fatCount * g.sectorsPerFat + rootSectors;
    if (meta >= g.totalSectors)
        return D::refused("the FATs and root take " + std::to_string(meta) + " of " + std::to_string(g.totalSectors) +
                          " sectors");
    g.clusterCount = (g.totalSectors - meta) / g.sectorsPerCluster;
    // A FAT32 boot sector keeps sectors-per-FAT at byte 36 (0 at byte 22)
    // and has no fixed root: FAT32 whatever its cluster count (mkfs.fat
    // -F 32 makes small ones, and they mount). Otherwise the count decides.
    if (spf16 == 0 && spf32 != 0 && g.rootEntries == 0)
        g.kind = FatKind::Fat32;
    else if (g.clusterCount < 4085)
        g.kind = FatKind::Fat12;
    else if (g.clusterCount < 65525)
        g.kind = FatKind::Fat16;
    else
        g.kind = FatKind::Fat32;
    if (g.kind == FatKind::Fat32 && (spf16 != 0 || g.rootEntries != 0) && !oem) g.kind = FatKind::Fat16;
    return D::ok(g);
}

FatGeometry classifyFatBootSector(const uint8_t* bs, size_t len) {
    Decoded<FatGeometry> d = decodeFatBootSector(bs, len);
    return d ? *d : FatGeometry{};
}

bool probeFat(const uint8_t* head, size_t len, ProbeResult& out) {
    FatGeometry g = classifyFatBootSector(head, len);
    switch (g.kind) {
        case FatKind::Fat12: out.fileSystem = "FAT12"; break;
        case FatKind::Fat16: out.fileSystem = "FAT16"; break;
        case FatKind::Fat32: out.fileSystem = "FAT32"; break;
        default: return false;
    }
    uint64_t bytes = 0;
    out.sizeSectors = mulOverflows(g.totalSectors, g.bytesPerSector, &bytes) ? 0 : bytes / 512;
    return true;
}

bool fatCopyAt(const uint8_t* head, size_t len, CopyResult& out) {
    FatGeometry g = classifyFatBootSector(head, len);
    if (g.kind != FatKind::Fat32) return false;
    const uint32_t backup = le16(head, len, 50);
    if (backup == 0 || backup == 0xFFFF || backup >= g.reservedSectors) return false;
    out.sectorsIn = static_cast<uint64_t>(backup) * g.bytesPerSector / 512;
    out.certain = false;
    return out.sectorsIn != 0;
}

bool fatConfirm(readWriteInterface& reader, uint64_t startSector, const uint8_t* head, size_t len) {
    FatGeometry g = classifyFatBootSector(head, len);
    if (g.kind == FatKind::None) return false;
    uint64_t off = 0, fat = 0;
    if (mulOverflows(startSector, 512, &off) ||
        addOverflows(off, static_cast<uint64_t>(g.reservedSectors) * g.bytesPerSector, &fat))
        return false;
    uint8_t b[4] = {};
    if (readZeroFill(reader, fat, b, sizeof b) != sizeof b) return false;
    const uint8_t media = le8(head, len, 21);
    return (b[0] == media || b[0] == 0xF8) && b[0] >= 0xF0 && b[1] == 0xFF && b[2] == 0xFF;
}

}  // namespace brantlow
