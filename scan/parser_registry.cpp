#include "scan/parser_registry.h"

#include "fs/ntfs/ntfs.h"

namespace brantlow {

const std::vector<ParserRow>& parserRows() {
    static const std::vector<ParserRow> rows = {
        // File systems are added here as their parsers land.
        {{"ntfs"}, "ntfs partition selected....", [] { return std::make_unique<ntfs>(); },
         [](ScanMode m) { return m == ScanMode::Standard || m == ScanMode::Deep; }},
    };
    return rows;
}

}  // namespace brantlow
