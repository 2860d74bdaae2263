// Reading the 32-byte entries of an exFAT directory: entry sets (File,
// Stream Extension, File Name; live or deleted), the allocation bitmap,
// up-case table and volume label entries, and the test the advanced scan
// applies to a set found anywhere on the volume.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/decoded.h"
#include "fs/exfat/exfat_entry.h"

namespace brantlow {

struct ParsedSet {
    ExFatEntry entry;     // File and Stream Extension fields and the name
    size_t offset = 0;    // of the File entry in the buffer
    size_t entries = 0;   // entries consumed (File, Stream, names)
    bool hasStream = false;
    bool cut = false;     // the buffer ended before the set did
};

struct ParsedDirectory {
    std::vector<ParsedSet> sets;
    // Allocation bitmap and up-case table entries (first of each; root only).
    uint32_t bitmapCluster = 0;
    uint64_t bitmapLength = 0;
    bool hasBitmap = false;
    uint32_t upcaseCluster = 0;
    uint64_t upcaseLength = 0;
    uint32_t upcaseChecksum = 0;
    bool hasUpcase = false;
    std::string label;
    // How many of sets are cut, and how many have no Stream Extension.
    uint32_t cutSets = 0;
    uint32_t missingStreams = 0;
};

// One entry set whose File entry (0x85, or 0x05 deleted) is at off: the File
// entry, its Stream Extension and File Name entries. Refused when off holds
// no File entry. Kept, with the fact in the set's flags: a set cut by the
// end of the buffer, and a set without a Stream Extension (its stream
// fields stay 0). Directories hold thousands of sets: the words are made
// only when asked for, by entrySetDamage. (The SetChecksum is not
// verified: over every byte of every set it would cost a tenth of the
// walk.)
Decoded<ParsedSet> decodeEntrySet(const uint8_t* buf, size_t len, size_t off);
// What is wrong with a decoded set, in words (empty when nothing is).
std::string entrySetDamage(const ParsedSet& s);

// Every entry set of a directory's contents (its clusters in chain order,
// as one buffer), in order. Entries of
// other types, 0x00 included, are stepped over one at a time.
void parseDirectory(const uint8_t* buf, size_t len, ParsedDirectory& out);

// The advanced scan's test of a File entry at off and the entries after it
// (attribute, reserved bytes, a Stream Extension with AllocationPossible,
// File Name entries as many as the name needs). Only reads [0, len).
bool plausibleEntrySet(const uint8_t* buf, size_t len, size_t off);
// A Volume Label entry whose reserved bytes are zero.
bool plausibleLabel(const uint8_t* buf, size_t len, size_t off);

}  // namespace brantlow
