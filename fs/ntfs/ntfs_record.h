// NTFS on-disk structures read from memory: the boot sector, MFT record
// headers with their update sequence, attribute headers, the values of
// $STANDARD_INFORMATION, $FILE_NAME and $ATTRIBUTE_LIST, run lists and
// LZNT1. Each decoder checks sizes and invariants first and returns the
// value or why it refused it, saying which fields it cut or replaced to go
// on. Everything here is bounded by the buffer it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/decoded.h"

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
    uint64_t volumeSize = 0;    // bytes; 0 when the sector count is 0 or overflows
    uint64_t mftCluster = 0;
};

// The boot sector (512 bytes at byte 0). Refused without "NTFS" at byte 3.
// Bytes per sector, the cluster size and the MFT record size that make no
// sense are replaced by 512, 4096 and 1024, each said so; a total sector
// count of 0 (or one that overflows) leaves volumeSize 0.
Decoded<NtfsGeometry> decodeNtfsBootSector(const uint8_t* boot, size_t len);
// The geometry alone: intact false (and the defaults) when refused.
NtfsGeometry decodeBootSector(const uint8_t* boot, size_t len);

// The header of an MFT record ("FILE", or "BAAD" when the volume marked the
// record damaged).
struct NtfsRecordHeader {
    bool baad = false;
    uint16_t usaOffset = 0, usaCount = 0;  // update sequence array
    uint16_t sequence = 0;
    uint16_t firstAttribute = 0;
    uint16_t flags = 0;      // 0x0001 in use, 0x0002 directory
    uint64_t base = 0;       // base record number (low 48 bits); 0 for a base record
    bool hasNumber = false;  // the header carries its own record number (offset 44)
    uint32_t number = 0;
    uint32_t fixedSectors = 0;  // strides the update sequence array put back
    uint32_t tornSectors = 0;   // bit k-1: stride k ended otherwise than the sequence number
};

// Copies a record of size bytes (a multiple of 512) into dest (raw and dest
// may be the same) and puts back the last two bytes of every 512-byte
// stride from the update sequence array, checking each against the update
// sequence number. Refused: no "FILE" or "BAAD" signature, a header cut
// short, a first attribute outside the record. Kept and said so: a torn
// record (a stride whose last two bytes are not the sequence number: fixed
// up all the same), an array that does not fit the record or covers fewer
// strides than the record has (fixed up as far as it goes), "BAAD".
Decoded<NtfsRecordHeader> applyFixups(const uint8_t* raw, uint8_t* dest, size_t size);

// What fixRecord found, as bits.
enum : uint32_t {
    kRecordTooShort = 1,      // refused
    kRecordNoSignature = 2,   // refused
    kRecordFirstAttribute = 4,  // refused
    kRecordBaad = 8,
    kRecordArrayShort = 16,
    kRecordTorn = 32,
};
constexpr uint32_t kRecordRefused = kRecordTooShort | kRecordNoSignature | kRecordFirstAttribute;
// applyFixups without the words: fixes up, fills h and returns the problems
// (0: none). The MFT walk calls it for every record; recordDecoded says the
// problems in words.
uint32_t fixRecord(const uint8_t* raw, uint8_t* dest, size_t size, NtfsRecordHeader& h);
Decoded<NtfsRecordHeader> recordDecoded(const NtfsRecordHeader& h, uint32_t problems, size_t size);

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
    uint32_t next = 0;    // offset of the next attribute (0: none in the record)
    bool nonResident = false;
    uint16_t flags = 0;
    uint8_t nameLength = 0;  // UTF-16 units as recorded (the name read is cut to the attribute)
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

// The attribute header at off of a (fixed-up) record. Refused when fewer
// than 16 bytes are left or the length is below 16 (the walk ends there).
// A length running past the record, a resident value or a name running past
// the attribute, a non-resident header cut short and a run list that lies
// outside the attribute are cut to what is there (no runs for the last),
// each said so.
Decoded<NtfsAttribute> decodeAttribute(const uint8_t* rec, size_t size, size_t off);

// What readAttribute found, as bits.
enum : uint32_t {
    kAttrRefused = 1,
    kAttrLengthCut = 2,
    kAttrNameCut = 4,
    kAttrValueCut = 8,
    kAttrHeaderCut = 16,
    kAttrNoRuns = 32,
};
// The decoder's body without the words: fills a and returns the problems
// (0: none). The attribute walks call it (a record holds several attributes
// and a volume millions of records); decodeAttribute says them in words.
uint32_t readAttribute(const uint8_t* rec, size_t size, size_t off, NtfsAttribute& a);

// Damage met inside a record: what, and whether the part was kept (cut or
// replaced) or refused.
struct RecordNote {
    std::string what;
    bool kept = false;
};
// Appends what a decoder refused or replaced.
template <typename T>
void noteDecoded(const Decoded<T>& d, std::vector<RecordNote>& notes) {
    if (!d) notes.push_back({d.reason(), false});
    for (const std::string& r : d.replaced()) notes.push_back({r, true});
}

// Walks the attributes of a (fixed-up) record from the first-attribute
// offset to the end marker. Calls f(attr) for each; f returns false to stop.
// With notes, what the headers' decoder refused or cut is appended there.
template <typename F>
void forEachAttribute(const uint8_t* rec, size_t size, F&& f, std::vector<RecordNote>* notes = nullptr);

// The attribute's name as UTF-8 (empty for the unnamed one).
std::string attributeName(const uint8_t* rec, size_t size, const NtfsAttribute& a);

// $STANDARD_INFORMATION: the four times (FILETIME) and the DOS attributes.
struct NtfsStandardInfo {
    uint64_t created = 0, modified = 0, recordChanged = 0, accessed = 0;
    uint32_t fileAttributes = 0;  // 0 when the value stops before them
};
// Refused when non-resident or shorter than the four times (32 bytes).
Decoded<NtfsStandardInfo> decodeStandardInfo(const uint8_t* rec, size_t size, const NtfsAttribute& a);
// Its body without the words (for every record of the MFT walk): false
// when refused.
bool readStandardInfo(const uint8_t* rec, size_t size, const NtfsAttribute& a, NtfsStandardInfo& si);

// $FILE_NAME.
struct NtfsFileName {
    int64_t parent = 0;  // record number: the reference's low 48 bits, sign-extended from bit 47
    uint16_t parentSequence = 0;
    uint64_t allocatedSize = 0;
    uint32_t flags = 0;  // file attribute flags; 0x10000000 a directory
    uint8_t nameSpace = 0;  // 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
    uint32_t nameOffset = 0;  // of the name in the record
    uint32_t nameUnits = 0;   // UTF-16 units that lie inside the value
    bool directory() const { return flags & 0x10000000u; }
    // Which name a record shows: Win32 names before POSIX ones before DOS
    // aliases.
    int rank() const { return (nameSpace == 1 || nameSpace == 3) ? 3 : nameSpace == 0 ? 2 : 1; }
};
// Refused when non-resident or shorter than its fixed part (66 bytes); a
// name running past the value is cut to it and said so.
Decoded<NtfsFileName> decodeFileName(const uint8_t* rec, size_t size, const NtfsAttribute& a);
// Its body without the words (for every record of the MFT walk): the
// problems as bits, 0 for none.
enum : uint32_t { kFileNameRefused = 1, kFileNameCut = 2 };
uint32_t readFileName(const uint8_t* rec, size_t size, const NtfsAttribute& a, NtfsFileName& fn);

// One entry of an $ATTRIBUTE_LIST value.
struct NtfsListEntry {
    uint32_t type = 0;
    uint16_t length = 0;
    uint8_t nameLength = 0;  // UTF-16 units
    uint8_t nameOffset = 0;
    bool nameInside = true;  // the name lies inside the entry
    uint64_t startVcn = 0;
    uint64_t record = 0;     // low 48 bits of the reference
};
// The entry at off of a list value of size bytes. Refused (the list ends):
// the end (type 0 or the end marker), fewer than 26 bytes left, a length
// below 26 or past the value.
Decoded<NtfsListEntry> decodeListEntry(const uint8_t* value, size_t size, size_t off);

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
void forEachAttribute(const uint8_t* rec, size_t size, F&& f, std::vector<RecordNote>* notes) {
    if (size < 24) return;
    size_t off = static_cast<size_t>(rec[20] | (rec[21] << 8));
    for (size_t guard = 0; guard < size / 16 + 1 && off + 4 <= size; ++guard) {
        if (le32(rec, size, off) == kAttrEnd) return;
        NtfsAttribute a;
        const uint32_t problems = readAttribute(rec, size, off, a);
        if (problems && notes) noteDecoded(decodeAttribute(rec, size, off), *notes);
        if ((problems & kAttrRefused) || !f(a) || a.next == 0) return;
        off = a.next;
    }
}

}  // namespace brantlow
