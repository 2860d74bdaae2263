// One exFAT entry set (File, Stream Extension and File Name entries) as the
// parser keeps it, and the directory test shared by the walk, the tree, the
// save and the advanced scan.
#pragma once

#include <cstdint>
#include <string>

namespace brantlow {

constexpr uint32_t kNoExfatEntry = 0xFFFFFFFFu;

struct ExFatEntry {
    uint8_t entryType = 0;  // 0x85, or 0x05 when deleted
    uint16_t fileAttributes = 0;
    uint32_t createTimestamp = 0;
    uint32_t lastModifiedTimestamp = 0;
    uint32_t lastAccessedTimestamp = 0;
    uint8_t create10msIncrement = 0;
    uint8_t lastModified10msIncrement = 0;
    uint8_t createUtcOffset = 0;
    uint8_t lastModifiedUtcOffset = 0;
    uint8_t lastAccessedUtcOffset = 0;
    uint8_t streamEntryType = 0;  // 0xC0, 0x40 when deleted, 0 when the set has none
    uint8_t generalSecondaryFlags = 0;  // bit 0 AllocationPossible, bit 1 NoFatChain
    uint8_t nameLength = 0;
    uint8_t secondaryCount = 0;
    bool inDeletedTree = false;  // deleted itself, or below a deleted folder
    bool orphan = false;         // listed under ORPHAN ENTRY (advanced mode)
    uint64_t validDataLength = 0;
    uint32_t firstCluster = 0;
    uint64_t dataLength = 0;
    uint64_t position = 0;  // byte offset of the File entry in the volume
    std::string name;       // UTF-8
    uint32_t parentIndex = 0;
    uint32_t ownIndex = 0;
    uint32_t firstChild = kNoExfatEntry;  // indexes into the parser's entries
    uint32_t nextSibling = kNoExfatEntry;

    bool deleted() const { return entryType == 0x05; }
    bool noFatChain() const { return generalSecondaryFlags & 0x02; }
};

// A directory: the directory bit and none of the reserved bits (read-only,
// hidden, system and archive may be set alongside).
inline bool isExfatDirectory(uint16_t attr) { return (attr & 0x10) && (attr & 0xFFC8) == 0; }

}  // namespace brantlow
