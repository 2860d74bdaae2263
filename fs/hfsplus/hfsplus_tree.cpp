// The folder tree: each entry under its parent folder (standard mode), or
// the deep search's filing under ORPHAN_ENTRY; the first level; and what
// the result tree, the list and the save ask of an entry.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "base/texts.h"
#include "fs/hfsplus/hfsplus.h"

namespace brantlow {

using namespace hfs;

void HFSP::linkParentChild() {
    status("Maintaining Parent Child....");
    for (auto& [id, e] : catalog_) {
        e.firstChild = -1;
        e.nextSibling = -1;
        e.orphan = false;
    }
    // The root folder: when its record is gone, a stand-in keeps its
    // children together (they are shown under ROOT as the root fill would).
    if (!find(kRootFolderId)) {
        HfsEntry r;
        r.kind = 1;
        r.cnid = kRootFolderId;
        r.parentId = 1;
        r.source = HfsSource::Thread;
        catalog_[kRootFolderId] = r;
    }
    indexCatalog();
    if (mode_ == ScanMode::Standard)
        linkStandard();
    else
        linkDeep();
    makeRootList();
}

uint64_t HFSP::ensureOrphan() {
    if (hasOrphan_) return orphanId_;
    orphanId_ = catalog_.empty() ? 17 : catalog_.rbegin()->first + 1;
    HfsEntry o;
    o.kind = 1;
    o.cnid = orphanId_;
    o.parentId = kRootFolderId;
    o.source = HfsSource::Thread;
    o.nameOffset = addName(hfs::ORPHAN_ENTRY);
    o.nameLength = static_cast<uint32_t>(std::strlen(hfs::ORPHAN_ENTRY));
    HfsEntry& placed = catalog_[orphanId_] = o;
    if (!byId_.empty()) {
        if (orphanId_ < byId_.size())
            byId_[static_cast<size_t>(orphanId_)] = &placed;
        else
            byId_.clear();  // the map alone from here
    }
    hasOrphan_ = true;
    return orphanId_;
}

// Standard mode: each entry becomes the head of its parent's child list
// (ascending CNIDs, so lists read in descending order). A live entry whose
// parent is missing is not shown; a deleted one goes under ORPHAN_ENTRY.
void HFSP::linkStandard() {
    const int64_t total = static_cast<int64_t>(catalog_.size());
    if (ctx_) ctx_->range(total);
    int64_t counter = 0;
    std::vector<uint64_t> orphans;
    for (auto& [id, e] : catalog_) {
        if (stopped()) break;
        if ((counter & 4095) == 0 || counter + 1 == total) {
            char text[96];
            std::snprintf(text, sizeof text, "Maintaining Parent Child for record %lld of %lld....",
                          static_cast<long long>(counter), static_cast<long long>(total));
            status(text);
            if (ctx_) ctx_->position(counter + 1);
        }
        ++counter;
        if (id == kRootFolderId) continue;
        HfsEntry* p = e.parentId != id ? find(e.parentId) : nullptr;
        if (!p || p->kind != 1) {
            if (e.state == EntryState::Deleted) orphans.push_back(id);
            continue;
        }
        e.nextSibling = p->firstChild;
        p->firstChild = static_cast<int64_t>(id);
    }
    if (!orphans.empty()) {
        HfsEntry& o = catalog_[ensureOrphan()];
        for (uint64_t id : orphans) {
            HfsEntry& e = catalog_[id];
            e.nextSibling = o.firstChild;
            o.firstChild = static_cast<int64_t>(id);
        }
    }
    placeUnreachable();
}

// Entries in a parent loop (or below one) are not reachable from the root:
// deleted ones are moved under ORPHAN_ENTRY, live ones stay hidden. Entries
// reachable through ORPHAN_ENTRY are marked as orphans.
void HFSP::placeUnreachable() {
    // The CNIDs reached: a byte each below the top of the dense index, a
    // set above it (or when the CNIDs are too sparse for the index).
    std::vector<uint8_t> seenBelow(byId_.size(), 0);
    std::unordered_set<uint64_t> seenAbove;
    auto see = [&](uint64_t id) {
        if (id < seenBelow.size()) return seenBelow[static_cast<size_t>(id)] ? false : (seenBelow[static_cast<size_t>(id)] = 1, true);
        return seenAbove.insert(id).second;
    };
    auto seen = [&](uint64_t id) {
        return id < seenBelow.size() ? seenBelow[static_cast<size_t>(id)] != 0 : seenAbove.count(id) != 0;
    };
    const size_t limit = catalog_.size() + 1;
    auto mark = [&](uint64_t start, bool underOrphan) {
        std::vector<uint64_t> stack{start};
        see(start);
        while (!stack.empty()) {
            HfsEntry* cur = find(stack.back());
            stack.pop_back();
            if (!cur) continue;
            int64_t c = cur->firstChild;
            for (size_t steps = 0; c >= 0 && steps < limit; ++steps) {
                HfsEntry* ce = find(static_cast<uint64_t>(c));
                if (!ce || !see(static_cast<uint64_t>(c))) break;
                if (underOrphan) ce->orphan = true;
                stack.push_back(static_cast<uint64_t>(c));
                c = ce->nextSibling;
            }
        }
    };
    mark(kRootFolderId, false);
    if (hasOrphan_) mark(orphanId_, true);
    std::vector<uint64_t> lost;
    for (const auto& [id, e] : catalog_)
        if (!seen(id) && id != kRootFolderId && e.state == EntryState::Deleted) lost.push_back(id);
    for (uint64_t id : lost) {
        if (seen(id)) continue;
        HfsEntry& e = catalog_[id];
        // Cut it out of the chain it hangs in.
        if (HfsEntry* p = find(e.parentId)) {
            int64_t prev = -1, c = p->firstChild;
            for (size_t steps = 0; c >= 0 && steps < limit; ++steps) {
                if (static_cast<uint64_t>(c) == id) {
                    if (prev < 0)
                        p->firstChild = e.nextSibling;
                    else
                        catalog_[static_cast<uint64_t>(prev)].nextSibling = e.nextSibling;
                    break;
                }
                const HfsEntry* ce = find(static_cast<uint64_t>(c));
                if (!ce) break;
                prev = c;
                c = ce->nextSibling;
            }
        }
        HfsEntry& o = catalog_[ensureOrphan()];
        e.nextSibling = o.firstChild;
        o.firstChild = static_cast<int64_t>(id);
        e.orphan = true;
        see(id);
        mark(id, true);
    }
}

// Deep mode: every folder under ORPHAN_ENTRY (the last one first), every
// file under the folder with the next lower CNID; files whose recorded
// parent is the root folder are shown at the top level as well.
void HFSP::linkDeep() {
    if (catalog_.empty() || catalog_.rbegin()->first <= 1) return;
    const uint64_t orphan = ensureOrphan();
    uint64_t owner = orphan;
    for (auto& [id, e] : catalog_) {
        if (id == orphan) continue;
        e.orphan = true;
        if (e.kind == 1) {
            if (id == kRootFolderId && e.nameLength == 0 && e.source == HfsSource::Thread) continue;  // stand-in
            HfsEntry& o = catalog_[orphan];
            e.parentId = orphan;
            e.nextSibling = o.firstChild;
            o.firstChild = static_cast<int64_t>(id);
            owner = id;
        } else {
            HfsEntry& w = catalog_[owner];
            e.nextSibling = w.firstChild;
            w.firstChild = static_cast<int64_t>(id);
        }
    }
}

// The first level: the root folder's children in ascending CNID order (as
// the root fill visits them), then ORPHAN_ENTRY. In deep mode: the files
// whose recorded parent is the root folder, then ORPHAN_ENTRY.
void HFSP::makeRootList() {
    rootList_.clear();
    if (mode_ == ScanMode::Standard) {
        for (EntryId id : children(kRootFolderId)) rootList_.push_back(id);
        std::sort(rootList_.begin(), rootList_.end());
    } else {
        for (const auto& [id, e] : catalog_)
            if (e.parentId == kRootFolderId && e.kind == 2) rootList_.push_back(id);
    }
    int64_t found = 0;
    for (EntryId id : rootList_) {
        char text[64];
        std::snprintf(text, sizeof text, catalog_[id].kind == 1 ? "found folder at Node %lld" : "found file at Node %lld",
                      static_cast<long long>(found++));
        status(text);
    }
    if (hasOrphan_) rootList_.push_back(orphanId_);
}

std::vector<EntryId> HFSP::children(EntryId folder) const {
    if (folder == kRootId) return rootList_;
    std::vector<EntryId> out;
    const HfsEntry* f = find(folder);
    if (!f || f->kind != 1) return out;
    // A chain that ends within as many steps as there are entries holds no
    // loop; only one that does not is walked again with the CNIDs seen.
    const size_t limit = catalog_.size() + 1;
    int64_t c = f->firstChild;
    for (size_t steps = 0; c >= 0 && steps < limit; ++steps) {
        if (static_cast<uint64_t>(c) == folder) return out;
        const HfsEntry* ce = find(static_cast<uint64_t>(c));
        if (!ce) return out;
        out.push_back(static_cast<EntryId>(c));
        c = ce->nextSibling;
    }
    if (c < 0) return out;
    out.clear();
    std::unordered_set<uint64_t> seen;
    for (c = f->firstChild; c >= 0;) {
        if (!seen.insert(static_cast<uint64_t>(c)).second || static_cast<uint64_t>(c) == folder) break;
        const HfsEntry* ce = find(static_cast<uint64_t>(c));
        if (!ce) break;
        out.push_back(static_cast<EntryId>(c));
        c = ce->nextSibling;
    }
    return out;
}

const HfsEntry* HFSP::contentEntry(const HfsEntry& e) const {
    if (e.hardLink) {
        const HfsEntry* t = find(e.linkTarget);
        if (t) return t;
    }
    return &e;
}

uint64_t HFSP::shownSize(const HfsEntry& e) const {
    if (e.kind != 2) return 0;
    const HfsEntry* c = contentEntry(e);
    if (c->compressed) {
        auto it = compression_.find(c->cnid);
        if (it != compression_.end()) return it->second.size;
    }
    return c->dataSize;
}

ForkData HFSP::fork(const HfsEntry& e, bool rsrc) const {
    ForkData f;
    f.logicalSize = rsrc ? e.rsrcSize : e.dataSize;
    f.totalBlocks = rsrc ? e.rsrcBlocks : e.dataBlocks;
    const size_t first = e.extentIndex + (rsrc ? e.dataExtents : 0);
    const size_t n = rsrc ? e.rsrcExtents : e.dataExtents;
    for (size_t i = 0; i < n && i < 8 && first + i < extentPool_.size(); ++i) f.extents[i] = extentPool_[first + i];
    return f;
}

bool HFSP::readEntry(EntryId id, EntryInfo& out) const {
    if (id >= hfs::kRsrcStreamBase) {
        const HfsEntry* e = find(id - hfs::kRsrcStreamBase);
        if (!e || e->kind != 2 || !entryInfo(e->cnid, out)) return false;
        out.name += "/..namedfork/rsrc";
        out.size = contentEntry(*e)->rsrcSize;
        out.hasChildren = false;
        return true;
    }
    const HfsEntry* e = find(id);
    // The root folder is ROOT itself (deep mode files it like any folder).
    if (!e || (id == kRootFolderId && (mode_ == ScanMode::Standard || e->nameLength == 0))) return false;
    out = EntryInfo{};
    out.name = nameOf(*e);
    out.kind = e->kind == 1 ? EntryKind::Folder : EntryKind::File;
    out.state = e->state;
    out.orphan = e->orphan;
    out.size = shownSize(*e);
    const HfsEntry* c = contentEntry(*e);
    out.created = fromHfsSeconds(c->createDate);
    out.modified = fromHfsSeconds(c->contentModDate);
    out.accessed = fromHfsSeconds(c->accessDate);
    if (e->kind == 2) out.attributes = modeText(c->fileMode);
    out.hasChildren = e->firstChild >= 0;
    return true;
}

std::vector<EntryId> HFSP::streams(EntryId id) const {
    const HfsEntry* e = id < hfs::kRsrcStreamBase ? find(id) : nullptr;
    if (!e || e->kind != 2) return {};
    const HfsEntry* c = contentEntry(*e);
    // A compressed file keeps its compressed bytes in the resource fork.
    if (c->rsrcSize == 0 || (c->compressed && compression_.count(c->cnid))) return {};
    return {hfs::kRsrcStreamBase + id};
}

}  // namespace brantlow
