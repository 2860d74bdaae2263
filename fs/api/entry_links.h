// Linking a parser's entry table into its tree: entries sorted by id, each
// naming its parent (an entry's id, ROOT, or the parser's orphan folder),
// with first-child / next-sibling indexes. A parent that is not a folder
// entry, or a chain of folders that loops, puts the entry under the orphan
// folder.
#pragma once

#include <cstdint>
#include <vector>

#include "fs/api/parser.h"

namespace brantlow {

// Entry: fields `parent` (EntryId), `firstChild`, `nextSibling` (uint32_t
// indexes, Entry::kNone for none). indexOf(id) gives an entry's index or
// Entry::kNone; isFolder(entry) whether it may hold others; orphaned(entry)
// is called for each entry moved under the orphan folder (parent already
// set to orphanId). Children come out in ascending index order.
template <class Entry, class IndexOf, class IsFolder, class Orphaned>
void linkEntries(std::vector<Entry>& entries, EntryId orphanId, uint32_t& rootFirst, uint32_t& orphanFirst,
                 IndexOf indexOf, IsFolder isFolder, Orphaned orphaned) {
    const size_t n = entries.size();
    for (size_t i = 0; i < n; ++i) {
        Entry& e = entries[i];
        if (e.parent == kRootId || e.parent == orphanId) continue;
        const uint32_t pi = indexOf(e.parent);
        if (pi == Entry::kNone || pi == i || !isFolder(entries[pi])) {
            e.parent = orphanId;
            orphaned(e);
        }
    }
    // Folder loops: the entry where a loop closes goes to the orphan folder.
    std::vector<uint8_t> state(n, 0);  // 0 unknown, 1 on the current path, 2 reaches the top
    std::vector<uint32_t> path;
    for (size_t i = 0; i < n; ++i) {
        path.clear();
        size_t cur = i;
        while (true) {
            if (state[cur] == 2) break;
            if (state[cur] == 1) {
                entries[cur].parent = orphanId;
                orphaned(entries[cur]);
                break;
            }
            state[cur] = 1;
            path.push_back(static_cast<uint32_t>(cur));
            const EntryId p = entries[cur].parent;
            if (p == kRootId || p == orphanId) break;
            cur = indexOf(p);
        }
        for (uint32_t k : path) state[k] = 2;
    }
    rootFirst = orphanFirst = Entry::kNone;
    for (Entry& e : entries) e.firstChild = e.nextSibling = Entry::kNone;
    // Each is put in front of its siblings, the last first.
    for (size_t i = n; i-- > 0;) {
        Entry& e = entries[i];
        uint32_t* head = e.parent == kRootId     ? &rootFirst
                         : e.parent == orphanId ? &orphanFirst
                                                : &entries[indexOf(e.parent)].firstChild;
        e.nextSibling = *head;
        *head = static_cast<uint32_t>(i);
    }
}

// The ids of a folder's children, following next-sibling indexes from
// `first`; a chain that repeats ends after as many steps as there are
// entries.
template <class Entry, class IdOf>
std::vector<EntryId> childIds(const std::vector<Entry>& entries, uint32_t first, IdOf idOf) {
    std::vector<EntryId> out;
    uint32_t c = first;
    for (size_t steps = 0; c != Entry::kNone && c < entries.size() && steps < entries.size(); ++steps) {
        out.push_back(idOf(entries[c]));
        c = entries[c].nextSibling;
    }
    return out;
}

}  // namespace brantlow
