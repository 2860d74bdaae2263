// Walking a parser's result tree: paths under ROOT, bounded against cycles.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "fs/common/parser.h"

namespace brantlow {

constexpr int kMaxTreeDepth = 512;

// Calls visit(path, id, info) for every entry below folder, depth first, in
// tree order. path is "/"-joined names below folder ("a/b/c.txt"). A folder
// already on the current path or seen before is not entered again; depth is
// capped. Return false from visit to skip a folder's children.
void walkTree(const VolumeParser& parser, EntryId folder,
              const std::function<bool(const std::string& path, EntryId id, const EntryInfo& info)>& visit,
              const std::atomic<bool>* stop = nullptr);

const char* stateName(EntryState s);

}  // namespace brantlow
