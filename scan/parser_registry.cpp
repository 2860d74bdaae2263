#include "scan/parser_registry.h"

namespace brantlow {

const std::vector<ParserRow>& parserRows() {
    static const std::vector<ParserRow> rows = {
        // File systems are added here as their parsers land.
    };
    return rows;
}

}  // namespace brantlow
