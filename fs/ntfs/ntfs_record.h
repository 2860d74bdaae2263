// NTFS on-disk structures read from memory: boot-sector geometry, MFT
// record fixups, the attribute walk, run lists and LZNT1. Everything here is
// bounded by the buffer it is given; nothing reads past it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brantlow {

// One run of a non-resident attribute: lcn is the first cluster (0 with
// sparse set for a hole), length in clusters.
struct NtfsRun {
    int64_t lcn = 0;
    uint64_t length = 0;
    bool sparse = false;
};

struct NtfsGeometry {
    bool intact = false;        // "NTFS" at byte 3
    uint32_t bytesPerSector = 512;
    uint64_t clusterSize = 4096;
    uint32_t recordSize = 1024;
    uint64_t volumeSize = 0;    // bytes
    uint64_t mftCluster = 0;
};

// Decodes the geometry of a 512-byte boot sector. Invalid fields fall back
// to 512-byte sectors, 4096-byte clusters and 1024-byte records.
NtfsGeometry decodeBootSector(const uint8_t* boot, size_t len);

// Copies a record into dest (same size) and puts back the last two bytes of
// every 512-byte stride from the update sequence array. The sequence number
// is not compared: a torn record is taken as it is.
void applyFixups(const uint8_t* raw, uint8_t* dest, size_t size);

// Attribute types.
enum : uint32_t {
    kAttrStandardInfo = 0x10,
    kAttrAttributeList = 0x20,
    kAttrFileName = 0x30,
    kAttrData = 0x80,
    kAttrEnd = 0xFFFFFFFF,
};

// One attribute of a record, bounded by the record.
struct NtfsAttribute {
    uint32_t type = 0;
    uint32_t offset = 0;  // of the attribute in the record
    uint32_t length = 0;  // clipped to the record
    bool nonResident = false;
    uint16_t flags = 0;
    uint8_t nameLength = 0;  // UTF-16 units
    uint16_t nameOffset = 0;
    // resident
    uint32_t valueOffset = 0;  // in the record, clipped
    uint32_t valueLength = 0;  // clipped
    // non-resident
    uint64_t firstVcn = 0, lastVcn = 0;
    uint16_t runOffset = 0;   // from the attribute start
    uint16_t unitExponent = 0;
    uint64_t allocatedSize = 0, realSize = 0, initializedSize = 0;
};

// Walks the attributes of a (fixed-up) record from the first-attribute
// offset. Calls f(attr) for each; f returns false to stop.
template <typename F>
void forEachAttribute(const uint8_t* rec, size_t size, F&& f);

bool parseAttributeAt(const uint8_t* rec, size_t size, size_t off, NtfsAttribute& a, size_t* next);

// The attribute's name as UTF-8 (empty for the unnamed one).
std::string attributeName(const uint8_t* rec, size_t size, const NtfsAttribute& a);

// Decodes a run list of len bytes. Runs are kept while the total stays within
// maxClusters (last VCN - first VCN + 1); a field crossing the end, a nibble
// above 8 or an LCN overflow ends the list.
std::vector<NtfsRun> decodeRunList(const uint8_t* p, size_t len, uint64_t maxClusters);

// Runs of a non-resident attribute inside a record.
std::vector<NtfsRun> attributeRuns(const uint8_t* rec, size_t size, const NtfsAttribute& a);

// LZNT1: decodes one compression unit. Returns the bytes produced (at most
// capacity). Stops at an end header, at the end of the input, at a chunk that
// runs past the input or at a back reference before the chunk start.
size_t decompressUnit(const uint8_t* in, size_t inLen, uint8_t* out, size_t capacity);

// Record header fields.
inline bool isRecordSignature(const uint8_t* rec) {
    return rec[0] == 'F' && rec[1] == 'I' && rec[2] == 'L' && rec[3] == 'E';
}

// ----- template implementation -----
template <typename F>
void forEachAttribute(const uint8_t* rec, size_t size, F&& f) {
    if (size < 24) return;
    size_t off = static_cast<size_t>(rec[20] | (rec[21] << 8));
    for (size_t guard = 0; guard < size / 8 + 1 && off + 8 <= size; ++guard) {
        NtfsAttribute a;
        size_t next = 0;
        if (!parseAttributeAt(rec, size, off, a, &next)) return;
        if (!f(a)) return;
        if (next <= off || next >= size) return;
        off = next;
    }
}

}  // namespace brantlow
