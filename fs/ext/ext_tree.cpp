// What the result tree, the list and the save ask of the ext parser: the
// children of a folder, an entry as listed, its list texts.
#include <algorithm>
#include <cstring>

#include "base/texts.h"
#include "fs/ext/ext_parser.h"

namespace brantlow {

using namespace ext;

uint32_t ext2Class::indexOf(uint64_t inode) const {
    if (inode == 0 || inode > 0xFFFFFFFFull) return ExtEntry::kNone;
    auto it = std::lower_bound(entries_.begin(), entries_.end(), static_cast<uint32_t>(inode),
                               [](const ExtEntry& e, uint32_t n) { return e.inode < n; });
    return it != entries_.end() && it->inode == inode ? static_cast<uint32_t>(it - entries_.begin()) : ExtEntry::kNone;
}

uint32_t ext2Class::indexOfId(EntryId id) const {
    if (id >= kExtNoInodeBase && id - kExtNoInodeBase < entries_.size()) {
        const auto i = static_cast<uint32_t>(id - kExtNoInodeBase);
        return entries_[i].inode == 0 ? i : ExtEntry::kNone;
    }
    return indexOf(id);
}

const ExtEntry* ext2Class::entry(EntryId id) const {
    const uint32_t i = indexOfId(id);
    return i == ExtEntry::kNone ? nullptr : &entries_[i];
}

std::vector<EntryId> ext2Class::children(EntryId folder) const {
    std::vector<EntryId> out;
    uint32_t c;
    if (folder == kRootId) {
        c = rootFirst_;
    } else if (folder == kExtOrphanId) {
        c = orphanFirst_;
    } else {
        const ExtEntry* e = entry(folder);
        if (!e || e->type() != kTypeDir || e->inode == kRootInode) return out;
        c = e->firstChild;
    }
    for (size_t steps = 0; c != ExtEntry::kNone && c < entries_.size() && steps < entries_.size(); ++steps) {
        out.push_back(idAt(c));
        c = entries_[c].nextSibling;
    }
    if (folder == kRootId && orphanFirst_ != ExtEntry::kNone) out.push_back(kExtOrphanId);
    return out;
}

bool ext2Class::readEntry(EntryId id, EntryInfo& out) const {
    out = EntryInfo{};
    if (id == kExtOrphanId) {
        if (orphanFirst_ == ExtEntry::kNone) return false;
        out.name = kExtOrphanName;
        out.kind = EntryKind::Folder;
        out.hasChildren = true;
        return true;
    }
    const ExtEntry* e = entry(id);
    if (!e) return false;
    out.name = nameOf(*e);
    const uint16_t t = e->type();
    out.kind = t == kTypeDir ? EntryKind::Folder : t == kTypeFile ? EntryKind::File : EntryKind::Other;
    out.state = (e->bits & ExtEntry::kDeleted) ? EntryState::Deleted : EntryState::Live;
    out.orphan = e->bits & ExtEntry::kOrphan;
    out.size = out.kind == EntryKind::Folder ? 0 : e->size;
    // Creation: i_crtime where the inode is large enough to hold it (none
    // in a 128-byte inode: the change time is not a creation time).
    if ((e->bits & ExtEntry::kHasCrtime) && (e->crtime || e->crtimeNs))
        out.created = fromUnixSeconds(e->crtime, e->crtimeNs);
    // i_dtime of a deleted inode (on a live one it may link the orphan list).
    if (e->dtime && out.state == EntryState::Deleted) out.deletedAt = fromUnixSeconds(e->dtime, 0);
    out.modified = fromUnixSeconds(e->mtime, e->mtimeNs);
    out.accessed = fromUnixSeconds(e->atime, e->atimeNs);
    out.attributes = attributeText(e->inodeMode);
    out.hasChildren = out.kind == EntryKind::Folder && e->firstChild != ExtEntry::kNone && e->inode != kRootInode;
    return true;
}

std::string ext2Class::attributeText(uint16_t mode) {
    static const char codes[9][4] = {"-OE", "-OW", "-OR", "-GE", "-GW", "-GR", "-UE", "-UW", "-UR"};
    // Built in place: the list asks for it on every row.
    char t[27];
    size_t n = 0;
    for (int i = 0; i < 9; ++i)
        if (mode & (1u << i)) {
            std::memcpy(t + n, codes[i], 3);
            n += 3;
        }
    return std::string(t, n);
}

std::string ext2Class::formatSize(const ExtEntry& e) const { return formatSizeText(e.size); }

ListTexts ext2Class::formatListItem(const ExtEntry& e) const {
    auto date = [](int64_t sec) {
        auto f = localFields(sec);
        return f ? formatDateText(*f) : std::string();
    };
    ListTexts t;
    if ((e.bits & ExtEntry::kHasCrtime) && e.crtime) t.created = date(e.crtime);
    t.accessed = date(e.atime);
    t.modified = date(e.mtime);
    t.attributes = attributeText(e.inodeMode);
    t.size = formatSize(e);
    return t;
}

ListTexts ext2Class::listTexts(EntryId id) const {
    if (id == kExtOrphanId) return {};
    const ExtEntry* e = entry(id);
    return e ? formatListItem(*e) : ListTexts{};
}

}  // namespace brantlow
