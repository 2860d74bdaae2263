#include "disk/partition.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "base/bytes.h"
#include "base/texts.h"

namespace brantlow {

namespace {

constexpr int kMaxExtendedRecords = 50;
constexpr int kMaxGptEntries = 72;
constexpr size_t kGptArrayBytes = 10240;  // 80 entries of 128 bytes

// Reads count bytes at logical block lba of the whole disk (blocks of the
// reader's logical sector size). An LBA beyond the disk or an overflowing
// position counts as a failed read.
bool readAt(readWriteInterface& r, uint64_t lba, void* buf, size_t count, int* err = nullptr) {
    uint64_t off = 0;
    uint64_t total = r.sizeBytes();
    if (mulOverflows(lba, static_cast<uint64_t>(r.sectorSize()), &off) || (total && off >= total)) {
        std::memset(buf, 0, count);
        if (err) *err = EINVAL;
        return false;
    }
    errno = 0;
    if (readZeroFill(r, off, buf, count) < count) {
        if (err) *err = errno ? errno : EIO;
        return false;
    }
    return true;
}

std::string fmt(const char* f, long long v) {
    char b[128];  // the longest text, "a partition entry starts beyond…", is 91 bytes
    std::snprintf(b, sizeof b, f, v);
    return b;
}

}  // namespace

std::string sizeTextMbSpaces3(uint64_t mib) { return fmt("%lld   MB", static_cast<long long>(mib)); }
std::string sizeTextMbSpaces2(uint64_t mib) { return fmt("%lld  MB", static_cast<long long>(mib)); }

namespace {

// One volume at sector 0 when sector 0 is itself a volume's first sector.
bool walkBareVolume(readWriteInterface& reader, Partition& p, const ProbeTable& probes) {
    ProbeResult id = identifyVolume(reader, 0, probes);
    if (id.fileSystem.empty()) return false;
    uint64_t total = reader.sizeBytes() / 512;
    uint64_t sectors = id.sizeSectors ? id.sizeSectors : total;
    VolumeEntry e;
    e.fileSystem = id.fileSystem;
    e.volumeNumber = "0";
    e.sizeText = sizeTextMbSpaces2(sectors / 2048);
    e.startSector = 0;
    e.sizeSectors = sectors;
    e.alsoLooksLike = std::move(id.alsoLooksLike);
    p.add(e);
    return true;
}

struct Walk {
    readWriteInterface& reader;
    Partition& p;
    const ProbeTable& probes;
    int volumeNumber = 0;
    // 512-byte units per logical block: tables count in logical blocks, the
    // volume list in 512-byte sectors.
    uint64_t unit = reader.sectorSize() / 512;

    // A logical block number (or count) in 512-byte sectors; false on overflow.
    bool to512(uint64_t lba, uint64_t* out) const { return !mulOverflows(lba, unit, out); }

    // Running counts of the volumes of each kind found (the "%d" of their
    // status texts).
    std::map<std::string, long long> counts;

    std::string nextNumber() { return fmt("%d", volumeNumber++); }

    // Shows a kind's status text, counting the volume first when the text
    // carries the running count.
    void foundStatus(const std::string& name, const std::string& text, bool counted) {
        if (counted) ++counts[name];
        if (!text.empty()) p.status(countedText(text, counts[name]));
    }

    // What an MBR slot is called: the row that recognised its first bytes
    // is asked first, then the others in table order.
    bool claimSlot(uint8_t type, bool logical, const std::string& probed, MbrSlotName& out) const {
        const ProbeRow* recognised = probed.empty() ? nullptr : findProbeRow(probes, probed);
        auto ask = [&](const ProbeRow& row) {
            if (row.claimMbrSlot) return row.claimMbrSlot(type, logical, probed, out);
            if (&row != recognised) return false;
            const VolumeKind* kind = findVolumeKind(probes, probed);
            out.name = probed;
            out.status = kind ? kind->foundText : std::string();
            out.counted = out.status.find("%d") != std::string::npos;
            return true;
        };
        if (recognised && ask(*recognised)) return true;
        for (const ProbeRow& row : probes)
            if (&row != recognised && ask(row)) return true;
        return false;
    }

    // Adds one MBR slot (primary or logical) as a volume; start and count
    // in 512-byte sectors.
    void addSlot(uint8_t type, uint64_t start, uint64_t count, bool logical) {
        // An entry that starts beyond the disk is not a volume on it.
        const uint64_t total = reader.sizeBytes() / 512;
        if (total && start >= total) {
            p.status(fmt("a partition entry starts beyond the end of the disk (sector %lld); skipped",
                         static_cast<long long>(start)));
            return;
        }
        VolumeEntry e;
        e.startSector = start;
        e.sizeSectors = count;
        e.sizeText = logical ? fmt("%d   MB", static_cast<long long>(count / 2048)) : sizeTextMbSpaces3(count / 2048);
        MbrSlotName slot;
        ProbeResult id = identifyVolume(reader, start, probes, count);
        if (!claimSlot(type, logical, id.fileSystem, slot)) {
            slot.name = "Unknown";
            slot.status = "found UNKNOWN...";
            slot.counted = false;
        } else if (slot.name == id.fileSystem) {
            e.alsoLooksLike = std::move(id.alsoLooksLike);
        }
        e.fileSystem = slot.name;
        foundStatus(slot.name, slot.status, slot.counted);
        e.volumeNumber = nextNumber();
        p.add(e);
    }

    static bool isExtended(uint8_t t) { return t == 0x05 || t == 0x0F; }

    static bool signed55AA(const uint8_t* sector) { return sector[510] == 0x55 && sector[511] == 0xAA; }

    int mbr(const uint8_t* sector0) {
        // Without the boot signature sector 0 is no partition table.
        if (!signed55AA(sector0)) {
            p.status("no partition table: sector 0 has no boot signature");
            return 0;
        }
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
            addSlot(type, start * unit, count * unit, false);
        }
        if (extendedStart < 0) return 0;
        const uint64_t e = static_cast<uint64_t>(extendedStart);
        uint64_t r = 0;
        uint8_t ebr[512];
        for (int rec = 0; rec < kMaxExtendedRecords; ++rec) {
            if (p.stopRequested.load(std::memory_order_relaxed)) return 0;
            uint64_t lba = 0;
            int err = 0;
            if (addOverflows(e, r, &lba) || !readAt(reader, lba, ebr, sizeof ebr, &err)) return err ? err : EINVAL;
            if (!signed55AA(ebr)) return 0;
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
                if (addOverflows(lba, first, &start) || !to512(start, &start)) return EINVAL;
                addSlot(type, start, count * unit, true);
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
        for (const Collected& c : entries) {
            if (p.stopRequested.load(std::memory_order_relaxed)) return 0;
            uint8_t first[512];
            bool ok = readAt(reader, c.start, first, sizeof first, &err);
            if (c.name == "Microsoft reserved partition") continue;
            if (!ok) return err ? err : EIO;
            uint64_t start512 = 0, partSectors = 0;
            if (!to512(c.start, &start512)) return EINVAL;
            if (c.end >= c.start && !to512(c.end - c.start + 1, &partSectors)) partSectors = 0;
            ProbeResult id = identifyVolume(reader, start512, probes, partSectors);
            const VolumeKind* kind = id.fileSystem.empty() ? nullptr : findVolumeKind(probes, id.fileSystem);
            if (kind && kind->gptUsesOwnSize) {
                // Listed with the size its own header records.
                std::string number = kind->gptSkipTakesNumber ? nextNumber() : std::string();
                foundStatus(kind->listName, kind->gptFoundText, kind->gptFoundText.find("%d") != std::string::npos);
                if (id.sizeSectors >= 2048) {
                    if (number.empty()) number = nextNumber();
                    const std::string size = kind->threeSpaceSize ? sizeTextMbSpaces3(id.sizeSectors / 2048)
                                                                  : sizeTextMbSpaces2(id.sizeSectors / 2048);
                    VolumeEntry e{kind->listName, "", number, size, start512, id.sizeSectors};
                    e.alsoLooksLike = std::move(id.alsoLooksLike);
                    p.add(e);
                }
                continue;
            }
            // A recognised volume by its own name, anything else by the entry's.
            const std::string name = kind ? kind->listName : c.name;
            // (End - Start) / 2048, counted in 512-byte sectors.
            const uint64_t span = partSectors ? (partSectors - 1) / 2048 : 0;
            VolumeEntry e{name, "", nextNumber(), fmt("%lld", static_cast<long long>(span)), start512, partSectors};
            if (kind) e.alsoLooksLike = std::move(id.alsoLooksLike);
            p.add(e);
        }
        return 0;
    }
};

}  // namespace

int ReadPartitionTables(readWriteInterface& reader, Partition& partition, const ProbeTable& probes) {
    uint8_t two[1024];
    int err = 0;
    if (!readAt(reader, 0, two, 512, &err)) return err ? err : EIO;
    bool haveSector1 = readAt(reader, 1, two + 512, 512);
    if (walkBareVolume(reader, partition, probes)) return 0;

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
    Walk w{reader, partition, probes};
    if (gptSignature && (partition.useGpt || protectiveOnly)) return w.gpt(two + 512);
    return w.mbr(two);
}

}  // namespace brantlow
