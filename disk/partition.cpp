#include "disk/partition.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fs/common/bytes.h"
#include "fs/common/texts.h"

namespace brantlow {

namespace {

constexpr uint64_t kSector = 512;
constexpr int kMaxExtendedRecords = 50;
constexpr int kMaxGptEntries = 72;
constexpr size_t kGptArrayBytes = 10240;  // 80 entries of 128 bytes

bool isPow2(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Reads count bytes at sector lba of the whole disk. An LBA beyond the disk
// or an overflowing position counts as a failed read.
bool readAt(readWriteInterface& r, uint64_t lba, void* buf, size_t count, int* err = nullptr) {
    std::memset(buf, 0, count);
    uint64_t off = 0;
    uint64_t total = r.sizeBytes();
    if (mulOverflows(lba, kSector, &off) || (total && off >= total)) {
        if (err) *err = EINVAL;
        return false;
    }
    long long n = r.readAbsolute(off, buf, count);
    if (n < static_cast<long long>(count)) {
        if (n > 0) std::memset(static_cast<char*>(buf) + n, 0, count - static_cast<size_t>(n));
        if (err) *err = n < 0 ? (errno ? errno : EIO) : EIO;
        return false;
    }
    return true;
}

std::string fmt(const char* f, long long v) {
    char b[64];
    std::snprintf(b, sizeof b, f, v);
    return b;
}

bool jumpOk(const uint8_t* bs) { return bs[0] == 0xEB && (bs[1] == 0x3C || bs[1] == 0x58 || bs[1] == 0x76); }

const char* fatName(FatKind k) {
    switch (k) {
        case FatKind::Fat12: return "FAT12";
        case FatKind::Fat16: return "FAT16";
        case FatKind::Fat32: return "FAT32";
        default: return "";
    }
}

}  // namespace

std::string sizeTextMbSpaces3(uint64_t mib) { return fmt("%lld   MB", static_cast<long long>(mib)); }
std::string sizeTextMbSpaces2(uint64_t mib) { return fmt("%lld  MB", static_cast<long long>(mib)); }

FatGeometry classifyFatBootSector(const uint8_t* bs, size_t len) {
    FatGeometry g;
    if (len < 512) return g;
    bool jump = jumpOk(bs) || bs[0] == 0xE9;
    if (!jump) return g;
    if (bytesAt(bs, len, 3, "EXFAT   ", 8) || bytesAt(bs, len, 3, "NTFS    ", 8)) return g;
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
    bool oem = bytesAt(bs, len, 3, "MSDO", 4);
    bool plausible = g.bytesPerSector >= 512 && g.bytesPerSector <= 4096 && isPow2(g.bytesPerSector) &&
                     isPow2(g.sectorsPerCluster) && g.reservedSectors >= 1 && g.fatCount >= 1 && g.fatCount <= 2 &&
                     le8(bs, len, 510) == 0x55 && le8(bs, len, 511) == 0xAA;
    if (!plausible && !oem) return g;
    if (g.bytesPerSector == 0 || g.sectorsPerCluster == 0 || g.sectorsPerFat == 0 || g.totalSectors == 0) return g;
    uint64_t rootSectors = (static_cast<uint64_t>(g.rootEntries) * 32 + g.bytesPerSector - 1) / g.bytesPerSector;
    uint64_t meta = g.reservedSectors + g.fatCount * g.sectorsPerFat + rootSectors;
    if (meta >= g.totalSectors) return g;
    g.clusterCount = (g.totalSectors - meta) / g.sectorsPerCluster;
    if (g.clusterCount < 4085)
        g.kind = FatKind::Fat12;
    else if (g.clusterCount < 65525)
        g.kind = FatKind::Fat16;
    else
        g.kind = FatKind::Fat32;
    // A FAT32 volume keeps sectors-per-FAT at byte 36 and no fixed root.
    if (g.kind == FatKind::Fat32 && (spf16 != 0 || g.rootEntries != 0) && !oem) g.kind = FatKind::Fat16;
    return g;
}

bool isNtfsBootSector(const uint8_t* bs, size_t len) {
    return len >= 512 && bs[0] == 0xEB && bs[1] == 0x52 && le16(bs, len, 11) == 512;
}

bool isExfatBootSectorBytes(const uint8_t* bs, size_t len) {
    return len >= 512 && jumpOk(bs) && bytesAt(bs, len, 3, "EXFA", 4);
}

bool IsExfatBootSector(readWriteInterface& reader, uint64_t sector) {
    uint8_t bs[512];
    if (!readAt(reader, sector, bs, sizeof bs)) return false;
    return isExfatBootSectorBytes(bs, sizeof bs);
}

bool IsHfsPlusVolume(readWriteInterface& reader, uint64_t sector) {
    uint8_t b[512];
    uint64_t s = 0;
    if (addOverflows(sector, 2, &s) || !readAt(reader, s, b, sizeof b)) return false;
    return b[0] == 'H' && b[1] == '+' && b[2] == 0;
}

bool IsExtVolume(readWriteInterface& reader, uint64_t sector) {
    uint8_t b[512];
    uint64_t s = 0;
    if (addOverflows(sector, 2, &s) || !readAt(reader, s, b, sizeof b)) return false;
    return le16(b, sizeof b, 56) == 0xEF53;
}

Identified identifyVolume(readWriteInterface& reader, uint64_t sector) {
    Identified id;
    uint8_t bs[512];
    if (!readAt(reader, sector, bs, sizeof bs)) return id;
    if (isNtfsBootSector(bs, sizeof bs)) {
        id.fileSystem = "NTFS";
        id.sizeSectors = le64(bs, sizeof bs, 40);
        return id;
    }
    if (isExfatBootSectorBytes(bs, sizeof bs)) {
        id.fileSystem = "FAT64";
        uint64_t len = le64(bs, sizeof bs, 72);
        unsigned shift = le8(bs, sizeof bs, 108);
        if (shift >= 9 && shift <= 12 && len < (1ull << (63 - shift))) len = (len << shift) / 512;
        id.sizeSectors = len;
        return id;
    }
    FatGeometry g = classifyFatBootSector(bs, sizeof bs);
    if (g.kind != FatKind::None) {
        id.fileSystem = fatName(g.kind);
        uint64_t bytes = 0;
        if (!mulOverflows(g.totalSectors, g.bytesPerSector, &bytes)) id.sizeSectors = bytes / 512;
        return id;
    }
    uint8_t sb[512];
    uint64_t s2 = 0;
    if (!addOverflows(sector, 2, &s2) && readAt(reader, s2, sb, sizeof sb)) {
        if (le16(sb, sizeof sb, 56) == 0xEF53) {
            id.fileSystem = "extX";
            uint64_t blocks = le32(sb, sizeof sb, 4);
            uint32_t logBlock = le32(sb, sizeof sb, 24);
            if (le32(sb, sizeof sb, 96) & 0x80) blocks |= static_cast<uint64_t>(le32(sb, sizeof sb, 336)) << 32;
            if (logBlock <= 6) id.sizeSectors = blocks << (logBlock + 1);
            return id;
        }
        if (sb[0] == 'H' && sb[1] == '+' && sb[2] == 0) {
            id.fileSystem = "HFS+";
            uint64_t blockSize = be32(sb, sizeof sb, 40), blocks = be32(sb, sizeof sb, 44);
            uint64_t bytes = 0;
            if (!mulOverflows(blockSize, blocks, &bytes)) id.sizeSectors = bytes / 512;
            return id;
        }
    }
    return id;
}

namespace {

// One volume at sector 0 when sector 0 is itself a volume's first sector.
bool walkBareVolume(readWriteInterface& reader, Partition& p) {
    Identified id = identifyVolume(reader, 0);
    if (id.fileSystem.empty()) return false;
    uint64_t total = reader.sizeBytes() / 512;
    uint64_t sectors = id.sizeSectors ? id.sizeSectors : total;
    if (total && sectors > total) sectors = total;
    VolumeEntry e;
    e.fileSystem = id.fileSystem;
    e.volumeNumber = "0";
    e.sizeText = sizeTextMbSpaces2(sectors / 2048);
    e.startSector = 0;
    e.sizeSectors = sectors;
    p.add(e);
    return true;
}

struct Walk {
    readWriteInterface& reader;
    Partition& p;
    int volumeNumber = 0;
    int ntfsCounter = 0;

    std::string nextNumber() { return fmt("%d", volumeNumber++); }

    // Refines a FAT type byte by the boot sector itself (cluster count).
    std::string fatByBootSector(uint64_t start, const char* fallback) {
        uint8_t bs[512];
        if (readAt(reader, start, bs, sizeof bs)) {
            FatGeometry g = classifyFatBootSector(bs, sizeof bs);
            if (g.kind != FatKind::None) return fatName(g.kind);
        }
        return fallback;
    }

    void statusForName(const std::string& name) {
        if (name == "FAT16") p.status("found FAT 16...");
        else if (name == "FAT32") p.status("found FAT 32...");
    }

    // Adds one MBR slot (primary or logical) as a volume.
    void addSlot(uint8_t type, uint64_t start, uint64_t count, bool logical) {
        VolumeEntry e;
        e.startSector = start;
        e.sizeSectors = count;
        e.sizeText = logical ? fmt("%d   MB", static_cast<long long>(count / 2048)) : sizeTextMbSpaces3(count / 2048);
        switch (type) {
            case 0x01:
                e.fileSystem = fatByBootSector(start, "FAT12");
                statusForName(e.fileSystem);
                break;
            case 0x04: case 0x06: case 0x0E:
            case 0x0B: case 0x0C:
                e.fileSystem = fatByBootSector(start, (type == 0x0B || type == 0x0C) ? "FAT32" : "FAT16");
                statusForName(e.fileSystem);
                break;
            case 0x07:
                if (IsExfatBootSector(reader, start)) {
                    e.fileSystem = "FAT64";
                    p.status("found FAT64...");
                } else {
                    e.fileSystem = "NTFS";
                    if (logical) {
                        p.status("found NTFS...");
                    } else {
                        ++ntfsCounter;
                        p.status(fmt("found NTFS %d...", ntfsCounter));
                    }
                }
                break;
            case 0x42:
                if (logical) {
                    e.fileSystem = "Unknown";
                    p.status("found UNKNOWN...");
                } else {
                    e.fileSystem = "NTFS";
                    p.status("NTFS...");
                }
                break;
            case 0x83:
                e.fileSystem = "extX";
                p.status(logical ? "found extx..." : "found ext2...");
                break;
            default:
                e.fileSystem = "Unknown";
                p.status("found UNKNOWN...");
                break;
        }
        e.volumeNumber = nextNumber();
        p.add(e);
    }

    static bool isExtended(uint8_t t) { return t == 0x05 || t == 0x0F; }

    int mbr(const uint8_t* sector0) {
        int64_t extendedStart = -1;
        for (int i = 0; i < 4; ++i) {
            const size_t off = 446 + 16 * i;
            uint8_t type = le8(sector0, 512, off + 4);
            if (type == 0) continue;
            uint64_t start = le32(sector0, 512, off + 8);
            uint64_t count = le32(sector0, 512, off + 12);
            if (isExtended(type)) {
                if (extendedStart < 0) extendedStart = static_cast<int64_t>(start);
                continue;
            }
            addSlot(type, start, count, false);
        }
        if (extendedStart < 0) return 0;
        const uint64_t e = static_cast<uint64_t>(extendedStart);
        uint64_t r = 0;
        uint8_t ebr[512];
        for (int rec = 0; rec < kMaxExtendedRecords; ++rec) {
            if (p.stopRequested.load(std::memory_order_relaxed)) return 0;
            reader.baseOffset = 0;
            uint64_t lba = 0;
            int err = 0;
            if (addOverflows(e, r, &lba) || !readAt(reader, lba, ebr, sizeof ebr, &err)) return err ? err : EINVAL;
            bool next = false;
            int volumes = 0;
            for (int i = 0; i < 4; ++i) {
                const size_t off = 446 + 16 * i;
                uint8_t type = le8(ebr, 512, off + 4);
                uint64_t first = le32(ebr, 512, off + 8);
                uint64_t count = le32(ebr, 512, off + 12);
                if (type == 0) return 0;
                if (isExtended(type)) {
                    r = first;
                    next = true;
                    break;
                }
                uint64_t start = 0;
                if (addOverflows(lba, first, &start)) return EINVAL;
                addSlot(type, start, count, true);
                ++volumes;
            }
            if (!next || volumes == 4) return 0;
        }
        return 0;
    }

    int gpt(const uint8_t* header) {
        uint64_t arrayLba = le64(header, 512, 72);
        std::vector<uint8_t> arr(kGptArrayBytes, 0);
        int err = 0;
        if (!readAt(reader, arrayLba, arr.data(), arr.size(), &err)) {
            // A short array at the end of a tiny disk still holds what it holds.
            if (err == EINVAL) return err;
        }
        struct Collected {
            uint64_t start, end;
            std::string name;
        };
        std::vector<Collected> entries;
        for (size_t i = 0; i < kGptArrayBytes / 128 && static_cast<int>(entries.size()) < kMaxGptEntries; ++i) {
            const uint8_t* en = arr.data() + i * 128;
            bool unused = true;
            for (int k = 0; k < 16; ++k)
                if (en[k]) unused = false;
            if (unused) continue;
            if (en[0] == 0x30 || en[1] == 0x30 || en[2] == 0x30 || en[3] == 0x30) continue;
            uint64_t start = le64(en, 128, 32);
            if (start <= 2) continue;
            entries.push_back({start, le64(en, 128, 40), utf16leToUtf8(en + 56, 36, true)});
        }
        uint8_t bs[512];
        for (const Collected& c : entries) {
            if (p.stopRequested.load(std::memory_order_relaxed)) return 0;
            bool ok = readAt(reader, c.start, bs, sizeof bs, &err);
            if (c.name == "Microsoft reserved partition") continue;
            if (!ok) return err ? err : EIO;
            uint64_t partSectors = c.end >= c.start ? c.end - c.start + 1 : 0;
            if (isNtfsBootSector(bs, sizeof bs)) {
                uint64_t sectors = le64(bs, sizeof bs, 40);
                std::string number = nextNumber();
                if (sectors >= 2048) {
                    ++ntfsCounter;
                    VolumeEntry e{"NTFS", "", number, sizeTextMbSpaces3(sectors / 2048), c.start, sectors};
                    p.add(e);
                    p.status(fmt("found NTFS %d...", ntfsCounter));
                }
                continue;
            }
            FatGeometry g = classifyFatBootSector(bs, sizeof bs);
            if (g.kind != FatKind::None || isExfatBootSectorBytes(bs, sizeof bs)) {
                std::string name;
                uint64_t sectors = 0;
                if (g.kind != FatKind::None) {
                    name = fatName(g.kind);
                    uint64_t bytes = 0;
                    if (!mulOverflows(g.totalSectors, g.bytesPerSector, &bytes)) sectors = bytes / 512;
                    if (g.kind == FatKind::Fat12) p.status("found unknown...");
                    else statusForName(name);
                } else {
                    name = "FAT64";
                    sectors = le64(bs, sizeof bs, 72);
                    unsigned shift = bs[108];
                    if (shift >= 9 && shift <= 12 && sectors < (1ull << (63 - shift))) sectors = (sectors << shift) / 512;
                    p.status("found FAT 64...");
                }
                if (sectors >= 2048) {
                    VolumeEntry e{name, "", nextNumber(), sizeTextMbSpaces2(sectors / 2048), c.start, sectors};
                    p.add(e);
                }
                continue;
            }
            std::string name = c.name;
            if (IsExtVolume(reader, c.start))
                name = "extX";
            else if (IsHfsPlusVolume(reader, c.start))
                name = "HFS+";
            VolumeEntry e{name, "", nextNumber(), fmt("%lld", static_cast<long long>(c.end >= c.start ? (c.end - c.start) / 2048 : 0)),
                          c.start, partSectors};
            p.add(e);
        }
        return 0;
    }
};

}  // namespace

int ReadPartitionTables(readWriteInterface& reader, Partition& partition) {
    reader.baseOffset = 0;
    uint8_t two[1024];
    int err = 0;
    if (!readAt(reader, 0, two, 512, &err)) return err ? err : EIO;
    bool haveSector1 = readAt(reader, 1, two + 512, 512);
    if (walkBareVolume(reader, partition)) return 0;

    const bool gptSignature = haveSector1 && bytesAt(two, sizeof two, 512, "EFI PART", 8);
    bool protectiveOnly = false;
    {
        bool any = false, allEE = true;
        for (int i = 0; i < 4; ++i) {
            uint8_t t = two[446 + 16 * i + 4];
            if (t == 0) continue;
            any = true;
            if (t != 0xEE) allEE = false;
        }
        protectiveOnly = any && allEE;
    }
    Walk w{reader, partition};
    if (gptSignature && (partition.useGpt || protectiveOnly)) return w.gpt(two + 512);
    return w.mbr(two);
}

}  // namespace brantlow
