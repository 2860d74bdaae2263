#include "scan/tree_walk.h"

#include <unordered_set>
#include <vector>

namespace brantlow {

const char* stateName(EntryState s) { return s == EntryState::Deleted ? "deleted" : "live"; }

void walkTree(const VolumeParser& parser, EntryId folder, const std::function<bool(const WalkStep&)>& visit,
              const std::atomic<bool>* stop) {
    struct Frame {
        EntryId folder;
        std::vector<EntryId> kids;
        size_t next = 0;
        std::string prefix;
    };
    std::unordered_set<EntryId> entered{folder};
    std::vector<Frame> stack;
    stack.push_back({folder, parser.children(folder), 0, ""});
    EntryInfo info;
    while (!stack.empty()) {
        if (stop && stop->load(std::memory_order_relaxed)) return;
        Frame& f = stack.back();
        if (f.next >= f.kids.size()) {
            stack.pop_back();
            continue;
        }
        EntryId id = f.kids[f.next++];
        info = EntryInfo{};
        if (!parser.entryInfo(id, info)) continue;
        std::string path = f.prefix.empty() ? info.name : f.prefix + "/" + info.name;
        const int depth = static_cast<int>(stack.size());
        bool descend = visit(WalkStep{path, id, f.folder, depth, info});
        if (descend && info.kind == EntryKind::Folder && depth < kMaxTreeDepth && entered.insert(id).second) {
            std::vector<EntryId> kids = parser.children(id);
            if (!kids.empty()) stack.push_back({id, std::move(kids), 0, std::move(path)});
        }
    }
}

}  // namespace brantlow
