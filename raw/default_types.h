// The types of the default settings file "FileSetting.txt", as a table.
#pragma once

#include <cstdint>
#include <vector>

#include "raw/settings.h"

namespace brantlow::raw {

struct DefaultType {
    const char* extension;
    const char* start;      // hexadecimal bytes, comma-separated (2A matches any byte)
    const char* end;        // "" when the format has no end marker
    uint32_t bytesAfterEnd;
    int32_t sizeOffset;     // 0 when the header holds no usable size
    int32_t sizeLength;
    int32_t headerSize;
    bool sizeIncludesHeader;
    int64_t approximateSize;
    int64_t skipSize;
    const char* category;
    const char* source;     // where the bytes come from
    bool startRepeats = false;
    bool dropInvalid = false;
    bool byContent = false;  // recognised by content, not by the start signature
};

const std::vector<DefaultType>& defaultTypeTable();
// The records of the default file, indexes 0, 1, 2 …
std::vector<SettingsRecord> defaultRecords();

}  // namespace brantlow::raw
