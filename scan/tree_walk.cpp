#include "scan/tree_walk.h"

#include <unordered_set>
#include <vector>

namespace brantlow {

const char* stateName(EntryState s) {
    switch (s) {
        case EntryState::Live: return "live";
        case EntryState::Deleted: return "deleted";
        case EntryState::Orphan: return "orphan";
    }
    return "live";
}

void walkTree(const VolumeParser& parser, EntryId folder,
              const std::function<bool(const std::string&, EntryId, const EntryInfo&)>& visit,
              const std::atomic<bool>* stop) {
    struct Frame {
        std::vector<EntryId> kids;
        size_t next = 0;
        std::string prefix;
    };
    std::unordered_set<EntryId> entered{folder};
    std::vector<Frame> stack;
    stack.push_back({parser.children(folder), 0, ""});
    while (!stack.empty()) {
        if (stop && stop->load(std::memory_order_relaxed)) return;
        Frame& f = stack.back();
        if (f.next >= f.kids.size()) {
            stack.pop_back();
            continue;
        }
        EntryId id = f.kids[f.next++];
        EntryInfo info;
        if (!parser.entryInfo(id, info)) continue;
        std::string path = f.prefix.empty() ? info.name : f.prefix + "/" + info.name;
        bool descend = visit(path, id, info);
        if (descend && info.kind == EntryKind::Folder && static_cast<int>(stack.size()) < kMaxTreeDepth &&
            entered.insert(id).second) {
            std::vector<EntryId> kids = parser.children(id);
            if (!kids.empty()) stack.push_back({std::move(kids), 0, path});
        }
    }
}

}  // namespace brantlow
