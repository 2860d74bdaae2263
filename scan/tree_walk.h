// Walking a parser's result tree: the one walk that listing, counting,
// saving and searching share, bounded against cycles (a folder is entered
// once) and without a depth limit.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "fs/api/parser.h"

namespace brantlow {

struct WalkStep {
    const std::string& path;  // "/"-joined names below the walk's folder ("a/b/c.txt")
    EntryId id;
    EntryId parent;           // the folder it was listed under
    int depth;                // 1 for the walk folder's own children
    const EntryInfo& info;
};

// Calls visit for every entry below folder, depth first, in tree order (a
// folder before its children). A folder already entered is not entered
// again; there is no depth limit. path is valid during the call only.
// Return false from visit to skip a folder's children.
void walkTree(const VolumeParser& parser, EntryId folder, const std::function<bool(const WalkStep&)>& visit,
              const std::atomic<bool>* stop = nullptr);

// The same with the path, id and info only.
inline void walkTree(const VolumeParser& parser, EntryId folder,
                     const std::function<bool(const std::string& path, EntryId id, const EntryInfo& info)>& visit,
                     const std::atomic<bool>* stop = nullptr) {
    walkTree(parser, folder, [&](const WalkStep& s) { return visit(s.path, s.id, s.info); }, stop);
}

// "live" or "deleted".
const char* stateName(EntryState s);

}  // namespace brantlow
