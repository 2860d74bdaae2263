#include "scan/parser_registry.h"

#include "fs/fat/fat_parser.h"
#include "fs/ntfs/ntfs.h"

namespace brantlow {

const std::vector<ParserRow>& parserRows() {
    static const std::vector<ParserRow> rows = {
        // File systems are added here as their parsers land.
        {{"ntfs"}, "ntfs partition selected....", [] { return std::make_unique<ntfs>(); },
         [](ScanMode m) { return m == ScanMode::Standard || m == ScanMode::Deep; }},
        {{"fat32"}, nullptr, [] { return std::make_unique<Fat32Class>(); },
         [](ScanMode m) { return m == ScanMode::Standard; }},
        {{"fat16", "fat"}, nullptr, [] { return std::make_unique<Fat16Class>(); },
         [](ScanMode m) { return m == ScanMode::Standard; }},
    };
    return rows;
}

}  // namespace brantlow
