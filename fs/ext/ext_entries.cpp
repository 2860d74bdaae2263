// The entries of the result: one per named inode (the chosen naming gives
// its name and folder; the inode, or the copy recovered for a freed one,
// its type, size and times), the root's own ".", and the freed inodes that
// lost their name ("inode-N" under the orphan folder); then each entry
// linked under its folder.
#include <algorithm>
#include <unordered_map>

#include "fs/ext/ext_internal.h"
#include "fs/ext/ext_parser.h"

namespace brantlow {

using namespace ext;

namespace {

// Type, size and times from an inode (or the inode pass's record of one).
template <class InodeLike>
void takeTimes(ExtEntry& e, const InodeLike& ino) {
    e.mode = e.inodeMode = ino.mode;
    e.size = ino.size;
    e.atime = ino.atime;
    e.mtime = ino.mtime;
    e.ctime = ino.ctime;
    e.atimeNs = ino.atimeNs;
    e.mtimeNs = ino.mtimeNs;
    e.ctimeNs = ino.ctimeNs;
    e.crtime = ino.crtime;
    e.crtimeNs = ino.crtimeNs;
    e.dtime = ino.dtime;
    if (ino.hasCrtime)
        e.bits |= ExtEntry::kHasCrtime;
    else
        e.bits &= static_cast<uint8_t>(~ExtEntry::kHasCrtime);
}

bool byInode(const ExtEntry& a, const ExtEntry& b) { return a.inode < b.inode; }

}  // namespace

// Inode 3 stands for ROOT; every other inode up to the last one counts.
bool ext2Class::listable(uint32_t n) const { return n >= 1 && n <= sb_.inodesCount && n != 3; }

void ext2Class::buildEntryMap() {
    status("clearing vector....");
    entries_.clear();
    const std::vector<Naming> chosen = chooseNamings();
    // Folders that hold a named entry.
    std::vector<uint32_t> owners;
    owners.reserve(chosen.size());
    for (const Naming& nm : chosen) owners.push_back(nm.owner);
    std::sort(owners.begin(), owners.end());
    owners.erase(std::unique(owners.begin(), owners.end()), owners.end());

    // Deleted entries whose folder's inode now holds another folder: (file
    // inode, folder inode).
    std::vector<std::pair<uint32_t, uint32_t>> displaced;
    addNamedEntries(chosen, owners, displaced);
    // Entries so far follow the inode order of `chosen`; the rest are
    // merged in below.
    const size_t named = entries_.size();
    addRootDot();
    addNamelessEntries(chosen, owners);
    std::sort(entries_.begin() + static_cast<std::ptrdiff_t>(named), entries_.end(), byInode);
    std::inplace_merge(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(named), entries_.end(), byInode);
    nameNamelessFiles();
    addNoInodeEntries(displaced);
    releaseScanState();
}

// The chosen naming of each inode, by inode: a live record of a directory
// in use for an inode in use; for a free inode the newest name any record,
// slack or logged copy gives.
std::vector<ext2Class::Naming> ext2Class::chooseNamings() const {
    std::vector<Naming> chosen;
    // Namings by inode, each inode's in the order they were found.
    std::vector<uint64_t> order(namings_.size());
    for (size_t i = 0; i < namings_.size(); ++i) order[i] = (static_cast<uint64_t>(namings_[i].inode) << 32) | i;
    std::sort(order.begin(), order.end());
    chosen.reserve(namings_.size());
    for (size_t i = 0; i < order.size();) {
        size_t j = i;
        const Naming* best = nullptr;
        for (; j < order.size() && (order[j] >> 32) == (order[i] >> 32); ++j) {
            const Naming& nm = namings_[order[j] & 0xFFFFFFFFu];
            if (!listable(nm.inode)) continue;
            if (!inodeFree(nm.inode) && nm.kind != kLive) continue;
            // A live record beats a deleted one; among equals the later wins.
            if (!best || nm.kind == kLive || best->kind != kLive) best = &nm;
        }
        if (best) chosen.push_back(*best);
        i = j;
    }
    // Logged names for inodes no block names (journal names are one per inode).
    const size_t sorted = chosen.size();
    auto byNaming = [](const Naming& a, const Naming& b) { return a.inode < b.inode; };
    for (const auto& [inode, nm] : journalNames_) {
        if (!listable(inode)) continue;
        auto end = chosen.begin() + static_cast<std::ptrdiff_t>(sorted);
        auto it = std::lower_bound(chosen.begin(), end, inode, [](const Naming& a, uint32_t n) { return a.inode < n; });
        if (it == end || it->inode != inode) chosen.push_back(nm);
    }
    std::sort(chosen.begin() + static_cast<std::ptrdiff_t>(sorted), chosen.end(), byNaming);
    std::inplace_merge(chosen.begin(), chosen.begin() + static_cast<std::ptrdiff_t>(sorted), chosen.end(), byNaming);
    return chosen;
}

bool ext2Class::fromEarlierFolder(const Naming& nm, const ExtEntry& e) const {
    if (nm.owner == kRootInode || nm.kind == kLive || inodeFree(nm.owner)) return false;
    // A logged copy of the folder's inode with another generation, no older
    // than the logged directory block that names the entry.
    if (nm.kind == kJournal) {
        auto og = folderOldSeq_.find(nm.owner);
        if (og != folderOldSeq_.end() && nm.sequence <= og->second) return true;
    }
    // A folder made after the entry's inode last changed did not hold it:
    // creating, moving or linking a file into a folder sets its ctime.
    auto d = std::lower_bound(dirs_.begin(), dirs_.end(), nm.owner,
                              [](const DirInode& a, uint32_t n) { return a.inode < n; });
    if (d == dirs_.end() || d->inode != nm.owner || !d->inUse || d->ino.crtime == 0) return false;
    if (!(e.bits & ExtEntry::kFromJournal)) return false;
    return d->ino.crtime > e.ctime || (d->ino.crtime == e.ctime && d->ino.crtimeNs > e.ctimeNs);
}

void ext2Class::addNamedEntries(const std::vector<Naming>& chosen, const std::vector<uint32_t>& owners,
                                std::vector<std::pair<uint32_t, uint32_t>>& displaced) {
    auto isOwner = [&](uint32_t inode) { return std::binary_search(owners.begin(), owners.end(), inode); };
    entries_.reserve(chosen.size() + versionOf_.size() / 8 + 16);
    for (const Naming& nm : chosen) {
        const uint32_t inode = nm.inode;
        ExtEntry e;
        e.inode = inode;
        e.nameOffset = nm.nameOffset;
        e.nameLength = nm.nameLength;
        e.parent = nm.owner;
        const InodeRec* r = rec(inode);
        const bool free = !r || !r->inUse;
        auto v = versionOf_.find(inode);
        if (free && v != versionOf_.end()) {
            takeTimes(e, inodeAt(rawOf(versions_[v->second]), sb_.inodeSize));
            // The freed inode itself says when it was deleted, and keeps the
            // creation time the journal's older copy may predate.
            if (r && r->dtime) {
                e.dtime = r->dtime;
                if (r->hasCrtime && r->crtime) {
                    e.crtime = r->crtime;
                    e.crtimeNs = r->crtimeNs;
                }
            }
            e.version = v->second;
            if (versions_[v->second].fromJournal) e.bits |= ExtEntry::kFromJournal;
        } else if (r) {
            if (free && !isOwner(inode) && nm.kind != kLive) continue;
            takeTimes(e, *r);
        } else {
            // Nothing left of the inode: kept only as the folder of others.
            if (!isOwner(inode)) continue;
            e.mode = e.inodeMode = kTypeDir;
        }
        if (free || nm.kind != kLive) e.bits |= ExtEntry::kDeleted;
        // The directory entry's type 1 or 2 decides file or folder.
        if (sb_.hasFileType() && nm.fileType == 1) e.mode = static_cast<uint16_t>((e.mode & ~kTypeMask) | kTypeFile);
        if (sb_.hasFileType() && nm.fileType == 2) e.mode = static_cast<uint16_t>((e.mode & ~kTypeMask) | kTypeDir);
        if ((e.bits & ExtEntry::kDeleted) && fromEarlierFolder(nm, e)) {
            displaced.emplace_back(inode, nm.owner);
            e.parent = kExtOrphanId;
        }
        entries_.push_back(e);
    }
}

// The root's own "." is listed under ROOT.
void ext2Class::addRootDot() {
    const InodeRec* r = rec(kRootInode);
    if (!r || (r->mode & kTypeMask) != kTypeDir) return;
    ExtEntry e;
    e.inode = kRootInode;
    e.nameOffset = addName(".");
    e.nameLength = 1;
    e.parent = kRootInode;
    takeTimes(e, *r);
    e.size = 0;
    entries_.push_back(e);
}

// Freed inodes with content and no name: "inode-N" under the orphan folder.
void ext2Class::addNamelessEntries(const std::vector<Naming>& chosen, const std::vector<uint32_t>& owners) {
    auto isOwner = [&](uint32_t inode) { return std::binary_search(owners.begin(), owners.end(), inode); };
    auto isChosen = [&](uint32_t inode) {
        auto it = std::lower_bound(chosen.begin(), chosen.end(), inode,
                                   [](const Naming& a, uint32_t n) { return a.inode < n; });
        return it != chosen.end() && it->inode == inode;
    };
    for (const auto& [inode, vi] : versionOf_) {
        if (!listable(inode) || isChosen(inode)) continue;
        const Inode ino = inodeAt(rawOf(versions_[vi]), sb_.inodeSize);
        if (ino.isDir() ? !isOwner(inode) : !(ino.isFile() && ino.size > 0)) continue;
        ExtEntry e;
        e.inode = inode;
        takeTimes(e, ino);
        e.version = vi;
        e.bits |= ExtEntry::kDeleted | ExtEntry::kNameless | (versions_[vi].fromJournal ? ExtEntry::kFromJournal : 0);
        e.parent = kExtOrphanId;
        // A folder without a name still says in its ".." record whose it was.
        if (auto dp = dotParent_.find(inode); ino.isDir() && dp != dotParent_.end()) e.parent = dp->second.first;
        // A file is worth listing only while some of its blocks are free.
        if (ino.isFile() && !anyBlockFree(ino, versions_[vi])) continue;
        std::string name = "inode-" + std::to_string(inode);
        e.nameOffset = addName(name);
        e.nameLength = static_cast<uint16_t>(name.size());
        entries_.push_back(e);
    }
}

bool ext2Class::anyBlockFree(const Inode& ino, const ExtInodeVersion& v) const {
    const MapResult m = mapInode(ino, &v, true);
    for (const Run& run : m.runs)
        for (uint64_t b = 0; b < run.count; ++b)
            if (!blockInUse(run.physical + b)) return true;
    return false;
}

// Entries without an inode of their own, put in front: files whose inode
// was reused since (their logged copy, while some of their blocks are
// free, under their logged name or as "inode-N"), names whose inode field
// is 0 (deleted names with nothing to recover), and the earlier
// incarnations of reused folders, named as the journal logged them,
// holding the deleted entries that were theirs.
void ext2Class::addNoInodeEntries(const std::vector<std::pair<uint32_t, uint32_t>>& displaced) {
    std::vector<ExtEntry> front;
    std::vector<std::pair<uint32_t, uint32_t>> frontDisplaced;  // (position, folder inode)
    std::vector<std::pair<uint32_t, uint32_t>> earlier(earlierVersionOf_.begin(), earlierVersionOf_.end());
    std::sort(earlier.begin(), earlier.end());
    for (const auto& [inode, vi] : earlier) {
        const Inode ino = inodeAt(rawOf(versions_[vi]), sb_.inodeSize);
        if (!listable(inode) || !anyBlockFree(ino, versions_[vi])) continue;
        ExtEntry e;
        e.inode = inode;  // for the checks below; 0 once listed
        takeTimes(e, ino);
        e.version = vi;
        e.bits |= ExtEntry::kDeleted | ExtEntry::kFromJournal;  // keeps the times' bits
        e.parent = kExtOrphanId;
        auto nm = earlierNames_.find(inode);
        if (nm != earlierNames_.end()) {
            e.nameOffset = nm->second.nameOffset;
            e.nameLength = nm->second.nameLength;
            if (fromEarlierFolder(nm->second, e))
                frontDisplaced.emplace_back(static_cast<uint32_t>(front.size()), nm->second.owner);
            else
                e.parent = nm->second.owner;
        } else {
            std::string name = "inode-" + std::to_string(inode);
            const std::string ext = guessExtension(e);
            if (!ext.empty()) name += "." + ext;
            e.nameOffset = addName(name);
            e.nameLength = static_cast<uint16_t>(name.size());
            e.bits |= ExtEntry::kNameless;
        }
        e.inode = 0;
        front.push_back(e);
    }
    auto make = [&](const Naming& nm, uint16_t type) {
        ExtEntry e;
        e.nameOffset = nm.nameOffset;
        e.nameLength = nm.nameLength;
        e.mode = e.inodeMode = type;
        e.bits = ExtEntry::kDeleted;
        e.parent = nm.owner;
        front.push_back(e);
    };
    for (const Naming& nm : noInodeNames_)
        make(nm, sb_.hasFileType() && nm.fileType == 2 ? kTypeDir : kTypeFile);
    std::unordered_map<uint32_t, uint32_t> folderAt;  // folder inode -> position
    auto oldFolder = [&](uint32_t folder) {
        if (folderAt.count(folder)) return;
        auto it = oldFolderNames_.find(folder);
        if (it == oldFolderNames_.end()) return;
        // Without a logged copy of the earlier incarnation, a name the
        // folder still has may be its own.
        const uint32_t now = indexOf(folder);
        if (!folderOldSeq_.count(folder) && now != ExtEntry::kNone &&
            nameOf(entries_[now]) == names_.substr(it->second.nameOffset, it->second.nameLength))
            return;
        folderAt.emplace(folder, static_cast<uint32_t>(front.size()));
        make(it->second, kTypeDir);
    };
    for (const auto& d : displaced) oldFolder(d.second);
    for (const auto& d : frontDisplaced) oldFolder(d.second);
    if (front.empty()) return;
    for (const auto& [at, folder] : frontDisplaced)
        if (auto f = folderAt.find(folder); f != folderAt.end()) front[at].parent = kExtNoInodeBase + f->second;
    entries_.insert(entries_.begin(), front.begin(), front.end());
    for (const auto& [file, folder] : displaced) {
        const uint32_t i = indexOf(file);
        if (i == ExtEntry::kNone) continue;
        if (auto f = folderAt.find(folder); f != folderAt.end()) entries_[i].parent = kExtNoInodeBase + f->second;
    }
}

// Extensions for the nameless files, from what their first block holds.
void ext2Class::nameNamelessFiles() {
    if (!guess_) return;
    for (ExtEntry& e : entries_) {
        if (!(e.bits & ExtEntry::kNameless) || e.type() != kTypeFile) continue;
        std::string ext = guessExtension(e);
        if (ext.empty()) continue;
        std::string name = nameOf(e) + "." + ext;
        e.nameOffset = addName(name);
        e.nameLength = static_cast<uint16_t>(name.size());
    }
}

// What only the scan needed.
void ext2Class::releaseScanState() {
    namings_.clear();
    namings_.shrink_to_fit();
    journalNames_.clear();
    oldFolderNames_.clear();
    folderOldSeq_.clear();
    noInodeNames_.clear();
    noInodeNames_.shrink_to_fit();
    earlierVersionOf_.clear();
    earlierNames_.clear();
    recs_.clear();
    recs_.shrink_to_fit();
    inUseBits_.clear();
    inUseBits_.shrink_to_fit();
    dirs_.clear();
    dirs_.shrink_to_fit();
    journalOwners_.clear();
    journalOwners_.shrink_to_fit();
    dotParent_.clear();
}

void ext2Class::linkParentChild() {
    const size_t n = entries_.size();
    status("Maintaining Parent Child....");
    if (ctx_) ctx_->range(static_cast<int64_t>(n));
    resolveParents();
    breakFolderLoops();
    // Children in descending inode order: each is put in front.
    rootFirst_ = orphanFirst_ = ExtEntry::kNone;
    for (ExtEntry& e : entries_) e.firstChild = e.nextSibling = ExtEntry::kNone;
    for (size_t i = 0; i < n; ++i) {
        if ((i & 4095) == 0) {
            status(fmt("Maintaining Parent Child for record %d of %d....", static_cast<long long>(i),
                       static_cast<long long>(n)));
            if (ctx_) ctx_->position(static_cast<int64_t>(i + 1));
        }
        ExtEntry& e = entries_[i];
        uint32_t* head;
        if (e.parent == kRootId)
            head = &rootFirst_;
        else if (e.parent == kExtOrphanId)
            head = &orphanFirst_;
        else
            head = &entries_[indexOfId(e.parent)].firstChild;
        e.nextSibling = *head;
        *head = static_cast<uint32_t>(i);
    }
    if (ctx_) ctx_->position(static_cast<int64_t>(n));
}

// Where each entry hangs: ROOT, a folder entry, or the orphan folder.
void ext2Class::resolveParents() {
    for (ExtEntry& e : entries_) {
        if (e.inode == kRootInode || e.parent == kRootInode) {
            e.parent = kRootId;
            continue;
        }
        if (e.parent == kExtOrphanId) {
            e.bits |= ExtEntry::kOrphan;
            continue;
        }
        const uint32_t pi = indexOfId(e.parent);
        if (pi == ExtEntry::kNone || e.parent == e.inode || entries_[pi].type() != kTypeDir) {
            e.parent = kExtOrphanId;
            e.bits |= ExtEntry::kOrphan;
        }
    }
}

// Folder loops (freed directories naming each other): the entry where a
// loop closes goes to the orphan folder.
void ext2Class::breakFolderLoops() {
    const size_t n = entries_.size();
    std::vector<uint8_t> state(n, 0);  // 0 unknown, 1 on the current path, 2 reaches the top
    std::vector<uint32_t> path;
    for (size_t i = 0; i < n; ++i) {
        path.clear();
        size_t cur = i;
        while (true) {
            if (state[cur] == 2) break;
            if (state[cur] == 1) {
                ExtEntry& e = entries_[cur];
                e.parent = kExtOrphanId;
                e.bits |= ExtEntry::kOrphan;
                break;
            }
            state[cur] = 1;
            path.push_back(static_cast<uint32_t>(cur));
            const EntryId p = entries_[cur].parent;
            if (p == kRootId || p == kExtOrphanId) break;
            cur = indexOfId(p);
        }
        for (uint32_t k : path) state[k] = 2;
    }
}

void ext2Class::fillRootEntries() { status("filling root entries in  tree...."); }

}  // namespace brantlow
