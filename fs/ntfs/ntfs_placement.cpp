#include "fs/ntfs/ntfs_placement.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/bytes.h"
#include "fs/ntfs/ntfs_probe.h"
#include "fs/ntfs/ntfs_record.h"

namespace brantlow {

namespace {

constexpr uint32_t kMaxPlacementRecords = 4096;

// Counts the record slots of buf, each expected to hold a record carrying
// its own number (NTFS 3.1: the update sequence at 0x30, the number at
// 0x2C); a slot holding anything else is looked at and not in place.
void countRecords(const std::vector<uint8_t>& buf, uint32_t recordSize, uint32_t firstNumber, uint32_t slots,
                  PlacementCheck& out) {
    for (size_t off = 0; off + recordSize <= buf.size() && off / recordSize < slots; off += recordSize) {
        const uint8_t* r = buf.data() + off;
        ++out.looked;
        if (std::memcmp(r, "FILE", 4) == 0 && le16(r, recordSize, 4) == 0x30 &&
            le32(r, recordSize, 0x2C) == firstNumber + off / recordSize)
            ++out.placed;
    }
}

// The records the MFT holds formatted: its $DATA's initialized size (0
// when record 0 does not say; then record 0 alone is looked at).
uint64_t initializedRecords(const std::vector<uint8_t>& first, uint32_t recordSize) {
    if (first.size() < recordSize || std::memcmp(first.data(), "FILE", 4) != 0) return 0;
    std::vector<uint8_t> rec(recordSize);
    applyFixups(first.data(), rec.data(), recordSize);
    uint64_t init = 0;
    forEachAttribute(rec.data(), rec.size(), [&](const NtfsAttribute& a) {
        if (a.type == kAttrData && a.nonResident && a.nameLength == 0) {
            init = a.initializedSize;
            return false;
        }
        return true;
    });
    return init / recordSize;
}

}  // namespace

PlacementCheck ntfsPlacementCheck(readWriteInterface& reader, uint64_t startByte, uint64_t sizeBytes,
                                  uint64_t budgetBytes) {
    PlacementCheck out;
    uint8_t boot[512];
    if (sizeBytes < sizeof boot || readZeroFill(reader, startByte, boot, sizeof boot) != sizeof boot ||
        !isNtfsBootSector(boot, sizeof boot))
        return out;
    const NtfsGeometry g = decodeBootSector(boot, sizeof boot);
    const uint32_t rs = g.recordSize;
    uint64_t mft = 0, mirror = 0;
    if (mulOverflows(g.mftCluster, g.clusterSize, &mft) || mulOverflows(le64(boot, sizeof boot, 0x38), g.clusterSize, &mirror))
        return out;
    auto readAt = [&](uint64_t at, std::vector<uint8_t>& buf) {
        if (at > sizeBytes || buf.size() > sizeBytes - at || buf.size() > budgetBytes) return false;
        budgetBytes -= buf.size();
        return readZeroFill(reader, startByte + at, buf.data(), buf.size()) == buf.size();
    };
    // The MFT's formatted records from its start, 64 at a time.
    const uint32_t batch = 64;
    std::vector<uint8_t> buf(static_cast<size_t>(rs) * batch);
    if (!readAt(mft, buf)) return out;
    const uint64_t records = std::min<uint64_t>(std::max<uint64_t>(initializedRecords(buf, rs), 1), kMaxPlacementRecords);
    for (uint32_t n = 0; n < records; n += batch) {
        if (n && !readAt(mft + static_cast<uint64_t>(n) * rs, buf)) break;
        countRecords(buf, rs, n, static_cast<uint32_t>(records - n), out);
    }
    // The mirror of the first four records, further into the volume.
    std::vector<uint8_t> mirrorBuf(static_cast<size_t>(rs) * 4);
    if (mirror != mft && readAt(mirror, mirrorBuf)) countRecords(mirrorBuf, rs, 0, 4, out);
    return out;
}

}  // namespace brantlow
