// One FAT directory entry as the parsers keep it, and the attribute tests
// shared by the walk, the tree and the save.
#pragma once

#include <cstdint>
#include <string>

namespace brantlow {

constexpr uint32_t kNoEntry = 0xFFFFFFFFu;

struct FatEntry {
    uint8_t attribute = 0;
    uint8_t createTimeTenth = 0;
    uint16_t createTime = 0;
    uint16_t createDate = 0;
    uint16_t accessDate = 0;
    uint16_t firstClusterHigh = 0;
    uint16_t writeTime = 0;
    uint16_t writeDate = 0;
    uint16_t firstClusterLow = 0;
    uint32_t fileSize = 0;
    uint8_t deleted = 0;
    bool inDeletedTree = false;  // deleted itself, or below a deleted folder
    bool orphan = false;         // under ORPHAN ENTRY: its folder's own entry is gone
    bool firstLetterLost = false;  // a deleted short name: its first byte is the deletion mark
    std::string name;            // UTF-8
    uint32_t parentIndex = 0;
    uint32_t ownIndex = 0;
    uint32_t firstChild = kNoEntry;   // indexes into the parser's entries
    uint32_t nextSibling = kNoEntry;
};

// A directory: the directory bit, not a label, not a long-name slot. This
// covers every combination of read-only, hidden, system and archive.
inline bool isFatDirectory(uint8_t attr) { return (attr & 0x10) && !(attr & 0x08) && attr != 0x0F; }
inline bool isFatLongNameSlot(uint8_t attr) { return (attr & 0x3F) == 0x0F; }
// Volume labels (and other entries with the label bit) get no tree item.
inline bool isFatLabel(uint8_t attr) { return (attr & 0x08) && !isFatLongNameSlot(attr); }

}  // namespace brantlow
