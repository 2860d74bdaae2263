#include "scan/tree_walk.h"

#include <unordered_set>
#include <vector>

namespace brantlow {

const char* stateName(EntryState s) { return s == EntryState::Deleted ? "deleted" : "live"; }

void walkTree(const VolumeParser& parser, EntryId folder, const std::function<bool(const WalkStep&)>& visit,
              const std::atomic<bool>* stop) {
    // No recursion and no depth limit: a folder is entered once, so the
    // stack holds at most one frame per folder. One path buffer serves every
    // depth (a frame keeps the length of its folder's path), so a chain of
    // 10,000 folders costs its path once, not once per level.
    struct Frame {
        EntryId folder;
        std::vector<EntryId> kids;
        size_t next = 0;
        size_t prefix = 0;  // length of the folder's path in the buffer
    };
    std::unordered_set<EntryId> entered{folder};
    std::vector<Frame> stack;
    stack.push_back({folder, parser.children(folder), 0, 0});
    std::string path;
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
        path.resize(f.prefix);
        if (f.prefix) path += '/';
        path += info.name;
        const int depth = static_cast<int>(stack.size());
        const EntryId parent = f.folder;
        bool descend = visit(WalkStep{path, id, parent, depth, info});
        if (descend && info.kind == EntryKind::Folder && entered.insert(id).second) {
            std::vector<EntryId> kids = parser.children(id);
            if (!kids.empty()) stack.push_back({id, std::move(kids), 0, path.size()});
        }
    }
}

}  // namespace brantlow
