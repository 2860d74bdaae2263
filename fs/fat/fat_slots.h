// Directory slots: the 32-byte short entries with their long names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// Parses every short slot in buf (long-name slots are gathered, up to 20,
// and attached to the short slot that follows them). Slots whose first
// byte is 0 are skipped, and so are file and folder slots whose name bytes
// are not a short name or whose file size is beyond the volume. Bounded by
// len; never reads past it.
void parseDirectorySlots(const uint8_t* buf, size_t len, const SlotParseOptions& opt, std::vector<ParsedSlot>& out);

}  // namespace brantlow
