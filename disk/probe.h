// Recognising a file system by a volume's first bytes. Each file system
// supplies one probe (in its own folder); the walks, the sector scan and the
// naming of mounted volumes run whatever table they are handed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "disk/reader.h"

namespace brantlow {

// A probe sees this many bytes from the volume's first byte (fewer at the
// end of a source): boot sectors, and superblocks or volume headers at 1024.
constexpr size_t kProbeBytes = 4096;

struct ProbeResult {
    std::string fileSystem;    // the name the volume list shows (one of the row's kinds)
    uint64_t sizeSectors = 0;  // the volume's size in 512-byte sectors by its own header (0: not said)
    // The sectors the volume occupies when more than sizeSectors (NTFS: the
    // backup boot sector follows the sectors its header counts); 0: the same.
    uint64_t spanSectors = 0;
    // Bytes that name this one volume (a UUID), when the probe knows them:
    // the sector scan takes a structure with the identity of a volume it
    // lies in for a copy kept by that volume (superblock copies, journal
    // blocks), not a volume of its own.
    std::string identity;
    // Recognised only by a copy further in (a superblock mirror): the
    // volume's first structure is gone.
    bool fromCopy = false;
    // Other file systems whose structures are found at the same place (a
    // volume formatted over another without wiping), with the size each
    // records; the name above is the one whose structures check out further.
    struct Other {
        std::string fileSystem;
        uint64_t sizeSectors = 0;
    };
    std::vector<Other> alsoLooksLike;
};

// What a copy of a volume's first structure (a backup boot sector, a
// superblock copy, an alternate volume header) says about where its volume
// starts.
struct CopyResult {
    // 512-byte sectors from the volume's first sector to the bytes the probe
    // looked at.
    uint64_t sectorsIn = 0;
    // The copy names itself as one (an ext superblock copy records its
    // group); otherwise its bytes equal the original's and only what the
    // structure points to tells them apart.
    bool certain = false;
};

// How one kind of volume (one name of the FILE_SYSTEM column) shows in the
// partition walks and the sector scan. A "%d" in a status text is replaced
// by a running count of the volumes of this kind found so far.
struct VolumeKind {
    std::string listName;       // the name the volume list shows
    std::string foundText;      // status when the sector scan (or an MBR slot) finds one
    std::string gptFoundText;   // status when a GPT entry holds one ("": none)
    bool threeSpaceSize = false;  // VOLUME_SIZE as "%d   MB" rather than "%d  MB"
    // A GPT entry holding this kind is listed with the size its own header
    // records (and left out below 1 MiB) rather than the entry's span.
    bool gptUsesOwnSize = false;
    // A GPT entry left out for its size still takes a volume number.
    bool gptSkipTakesNumber = false;
    // The sector scan lists none larger than this many MiB (0: no limit),
    // and reports one it does not list only when this is 0.
    uint64_t maxScanMiB = 0;
    // Its header records no size (an encrypted container fills its
    // partition): the sector scan lists it up to the end of the source and
    // looks on behind its first spanSectors.
    bool sizeUnrecorded = false;
};

// What an MBR slot of a given type byte is called.
struct MbrSlotName {
    std::string name;
    std::string status;   // "%d": the running count of this kind
    bool counted = false; // the slot counts towards the running count
};

// What a placement check found (ProbeRow::placementCheck).
struct PlacementCheck {
    uint32_t looked = 0;  // structures read
    uint32_t placed = 0;  // of those, found where they name
};

// A few bytes that lie at a fixed place of a volume's first bytes whenever
// a row's probe recognises them (a magic number, a jump instruction).
struct ScanMark {
    uint16_t at = 0;      // offset in the probe's bytes
    uint8_t length = 0;   // 1 to 8
    uint8_t bytes[8]{};
    // A mark of the first n (at most 8) bytes of s.
    static ScanMark of(uint16_t at, const char* s, size_t n) {
        ScanMark m;
        m.at = at;
        m.length = static_cast<uint8_t>(n < 8 ? n : 8);
        for (size_t i = 0; i < m.length; ++i) m.bytes[i] = static_cast<uint8_t>(s[i]);
        return m;
    }
};

struct ProbeRow {
    const char* family;  // the lower-case family name of the row
    // Recognises a volume's first bytes; leaves out untouched when it
    // returns false (the sector scan runs every row at every sector and
    // clears out only after a row that said yes).
    bool (*probe)(const uint8_t* head, size_t len, ProbeResult& out);
    // Optional, for the sector scan: the bytes `probe` recognised may be a
    // copy kept further into the volume; where would that volume start?
    // False: they cannot be a copy.
    bool (*copyAt)(const uint8_t* head, size_t len, CopyResult& out) = nullptr;
    // Optional, for the sector scan: whether a volume whose first structure
    // reads as `head` really starts at `startSector` (512-byte units of the
    // source): what that structure points to is found there. A few small
    // reads.
    bool (*confirm)(readWriteInterface& reader, uint64_t startSector, const uint8_t* head, size_t len) = nullptr;
    // Optional, for the sector scan, which looks at every sector rather than
    // where a table points: a stricter test the bytes must pass as well (a
    // two-byte magic alone turns up in ordinary data).
    bool (*scanCheck)(const uint8_t* head, size_t len) = nullptr;
    // The names `probe` gives, with their texts.
    std::vector<VolumeKind> kinds;
    // Optional: whether an MBR slot of this type byte is this row's, and
    // what it is called. `probed` is the name the probe table gave the
    // slot's first bytes ("" for none); `logical` for a slot of the extended
    // chain. Without it, the row claims any slot whose bytes it recognised.
    bool (*claimMbrSlot)(uint8_t type, bool logical, const std::string& probed, MbrSlotName& out) = nullptr;
    // Optional: recognition that reads for itself, for a header the first
    // kProbeBytes do not hold (a superblock further in, or at the volume's
    // end). It is tried before the probes on the first bytes: such a header
    // says what the volume is even when its first bytes look like a file
    // system (a mirror member's data starts at its first byte). A few small
    // reads.
    bool (*probeVolume)(readWriteInterface& reader, uint64_t startByte, uint64_t sizeBytes,
                        ProbeResult& out) = nullptr;
    // Optional: how many of the volume's structures that name their own
    // place (a record's own number, a folder whose first entry names the
    // folder) were looked at, and how many read back where they name,
    // within `budgetBytes` of reads. It ranks the ways a set of disks can be
    // put together: only the right one puts every structure in its place.
    PlacementCheck (*placementCheck)(readWriteInterface& reader, uint64_t startByte, uint64_t sizeBytes,
                                     uint64_t budgetBytes) = nullptr;
    // A file system (not a volume layer): where several file systems are
    // recognised at one place, identifyVolume names them all.
    bool fileSystem = false;
    // Optional, for the sector scan: `probe` says yes only where one of
    // these marks holds, so at the other sectors it is not asked (a row
    // without marks is asked at every sector).
    std::vector<ScanMark> scanMarks;
};

using ProbeTable = std::vector<ProbeRow>;

// The kind of this list name (compared without regard to ASCII case), or
// nullptr.
const VolumeKind* findVolumeKind(const ProbeTable& probes, const std::string& listName);
// The row whose kinds hold this list name, or nullptr.
const ProbeRow* findProbeRow(const ProbeTable& probes, const std::string& listName);
// A status text with "%d" replaced by count.
std::string countedText(const std::string& text, long long count);

// Runs the table on the volume at `sector` (512-byte units from the start
// of the source), `sizeSectors` long (0: to the end of the source): the
// rows' own readers first, then the probes on its first bytes. An empty
// name: nothing recognised. A layer's header found by its own reader says
// what the volume is; where several file systems are recognised, the one
// whose structures check out further is named (its first structure in
// place rather than only a copy; its placement check, where the row has
// one, not failing; else table order) and the others go to alsoLooksLike.
ProbeResult identifyVolume(readWriteInterface& reader, uint64_t sector, const ProbeTable& probes,
                           uint64_t sizeSectors = 0);
// The same on bytes already read.
ProbeResult identifyBytes(const uint8_t* head, size_t len, const ProbeTable& probes);

}  // namespace brantlow
