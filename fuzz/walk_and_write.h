// What the fuzz targets do with a volume once it scanned: walk the whole
// tree asking for each entry's texts, and write the first few small files,
// trapping when a writer gives more bytes than the file's size.
#pragma once

#include <cstddef>
#include <string>

#include "base/content_sink.h"
#include "scan/tree_walk.h"

namespace brantlow {

inline void walkAndWrite(VolumeParser& p) {
    size_t files = 0;
    walkTree(p, kRootId, [&](const std::string&, EntryId id, const EntryInfo& info) {
        p.listTexts(id);
        // Huge sizes are covered by the tests; here the parsing counts.
        if (info.kind != EntryKind::File || info.size > (256u << 10) || ++files > 8) return true;
        MemorySink out(0);
        p.writeContent(id, out);
        if (out.size() > info.size) __builtin_trap();
        return true;
    });
}

}  // namespace brantlow
