// Directory slots: the 32-byte short entries with their long names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/decoded.h"
#include "fs/fat/fat_entry.h"

namespace brantlow {

struct SlotParseOptions {
    // FAT32: a slot whose first byte is 0 ends the rest of its cluster;
    // FAT16 examines the slots after it.
    bool zeroEndsCluster = false;
    size_t clusterSize = 0;  // used with zeroEndsCluster (0: the whole buffer)
    // A file slot recording more bytes than the volume holds is garbage,
    // not a file (0: no check).
    uint64_t volumeBytes = 0;
};

struct ParsedSlot {
    FatEntry entry;       // fields, name and deleted mark; links unset
    uint32_t firstCluster = 0;  // high and low halves joined (FAT32 form)
    size_t offset = 0;    // byte offset of the short slot in the buffer
    bool dot = false;     // "." or ".."
};

// The name of a short slot: base and extension trimmed and joined by a dot
// when the extension is not empty; the NT case bits (byte 12: 0x08 base,
// 0x10 extension) give lower case; code page 437. A leading 0x05 stands
// for 0xE5; a deleted slot keeps its 0xE5 as the code-page character.
std::string fatShortName(const uint8_t* slot);

// Checksum of the 11 short-name bytes, as long-name slots record it.
uint8_t fatShortNameChecksum(const uint8_t* slot);

// True when the 11 name bytes of a short slot can be a name: no control
// characters (a leading 0x05 or deleted mark aside), none of " * / : < >
// ? \ |, no dot inside, and the base does not start with a blank.
bool fatShortNameValid(const uint8_t* slot);

// A short (8.3) directory entry of 32 bytes: its fields, name and deleted
// mark. Refused when a file or folder's name bytes are not a short name or
// a file records more bytes than the volume holds (opt.volumeBytes); "."
// and ".." and labels are taken as they are.
Decoded<ParsedSlot> decodeFatShortEntry(const uint8_t* slot, const SlotParseOptions& opt);

// A long-name slot of 32 bytes: 13 UTF-16 units of a name, in parts
// numbered from 1 (0x40 marks the last part).
struct FatLongSlot {
    const uint8_t* slot = nullptr;
    uint8_t order = 0;      // part number 1..20 (0 when deleted)
    bool last = false;      // the first slot of a run on disk
    bool deleted = false;   // 0xE5
    uint8_t checksum = 0;   // of the short name it belongs to
};
// Refused when its type byte (12) or cluster field (26) is not 0, or a live
// slot's part number is not 1..20.
Decoded<FatLongSlot> decodeFatLongNameSlot(const uint8_t* slot);

// Damage met in a directory: the offset in the buffer, the structure ("FAT
// directory entry", "FAT long-name slot") and why it was refused.
struct SlotNote {
    size_t offset;
    const char* structure;
    std::string what;
};

// Parses every short slot in buf (long-name slots are gathered, up to 20,
// and attached to the short slot that follows them). Slots whose first
// byte is 0 are skipped, and so are the entries and long-name slots their
// decoders refuse, and a live long name whose checksum is not its short
// slot's (each noted in notes when given). Bounded by len; never reads past
// it.
void parseDirectorySlots(const uint8_t* buf, size_t len, const SlotParseOptions& opt, std::vector<ParsedSlot>& out,
                         std::vector<SlotNote>* notes = nullptr);

}  // namespace brantlow
