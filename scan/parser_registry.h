// The table of parsers by file-system name (names in lower case).
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "fs/common/parser.h"

namespace brantlow {

struct ParserRow {
    std::vector<const char*> names;  // lower-case file-system names
    const char* statusText;          // shown when chosen, or nullptr
    std::function<std::unique_ptr<VolumeParser>()> make;
    std::function<bool(ScanMode)> supports;
};

// In selection order.
const std::vector<ParserRow>& parserRows();

}  // namespace brantlow
