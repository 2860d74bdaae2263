// LVM2's on-disk headers: the physical volume's label ("LABELONE" in one
// of its first four sectors) with its header (the PV's UUID, size, data
// and metadata areas), and each metadata area: a header naming where the
// newest text lies in the area's ring, the older texts still behind it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/decoded.h"
#include "disk/reader.h"

namespace brantlow::lvm {

constexpr size_t kMaxAreas = 8;          // data or metadata areas a header may list
constexpr uint64_t kMaxAreaBytes = 16u << 20;  // older texts are looked for in this much of a ring
constexpr size_t kMaxCopies = 64;        // metadata texts kept from one ring

// The CRC LVM2 puts on its label, its metadata area headers and texts.
uint32_t lvmCrc(const void* data, size_t n);

struct Area {
    uint64_t offset = 0;  // bytes from the PV's start
    uint64_t size = 0;    // bytes (0: to the end of the device, for a data area)
};

struct PvLabel {
    uint64_t labelSector = 0;
    std::string uuid;         // 32 characters, without dashes
    uint64_t deviceBytes = 0;
    std::vector<Area> dataAreas;
    std::vector<Area> metadataAreas;
};

// The label in the first 2048 bytes of a PV (`head`).
Decoded<PvLabel> decodeLabel(const uint8_t* head, size_t len);

// One metadata text found in an area.
struct MetadataText {
    std::string text;
    bool current = false;    // the one the area's header names
    bool checksumOk = false; // the header's checksum matches (current only)
    uint64_t areaOffset = 0; // where it starts in the area
};

// The texts of the metadata area at `area` of the PV starting at byte
// `pvStart`: the current one first (read across the ring's end where it
// wraps; at most kMaxTextBytes), then older ones still found in the ring.
Decoded<std::vector<MetadataText>> readMetadataArea(readWriteInterface& reader, uint64_t pvStart, const Area& area,
                                                    uint64_t pvBytes);

}  // namespace brantlow::lvm
