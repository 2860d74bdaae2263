// Directory blocks: the blocks of every directory inode (freed ones through
// their recovered copy while their blocks are free and still open with
// their own "."), then the logged copies of directory blocks in the journal.
// Each record gives a naming: an inode, the folder it is in, its name.
#include <algorithm>
#include <unordered_set>

#include "base/bytes.h"
#include "fs/ext/ext_internal.h"
#include "fs/ext/ext_parser.h"

namespace brantlow {

using namespace ext;

namespace {
constexpr size_t kDirChunk = 1u << 20;
// Directories are read up to this many blocks.
constexpr uint64_t kMaxDirBlocks = 1u << 20;
}  // namespace

uint32_t ext2Class::addName(const uint8_t* p, size_t n) {
    const uint32_t off = static_cast<uint32_t>(names_.size());
    names_.append(reinterpret_cast<const char*>(p), n);
    return off;
}

void ext2Class::addNamings(const uint8_t* block, uint32_t owner, uint8_t kind, uint32_t sequence, bool readSlack,
                           bool ownerLive, DirFault* fault) {
    const uint32_t bs = sb_.blockSize;
    DirParseOptions opt;
    opt.hasFileType = sb_.hasFileType();
    opt.readSlack = readSlack;
    opt.maxInode = sb_.inodesCount;
    opt.keepNoInode = kind != kJournal;
    std::vector<DirRecord> recs;
    if (!parseDirBlock(block, bs, opt, recs, nullptr, fault)) return;
    for (const DirRecord& r : recs) {
        const uint8_t* name = block + r.nameOffset;
        if (!r.hidden && r.nameLength == 1 && name[0] == '.') {
            // A block that opens with "." belongs to that directory.
            owner = r.inode;
            continue;
        }
        if (r.nameLength == 2 && name[0] == '.' && name[1] == '.') continue;
        if (r.nameLength == 1 && name[0] == '.') continue;
        if (r.inode == 0) {
            noInodeNames_.push_back({0, owner, addName(name, r.nameLength), r.nameLength, r.fileType, kind, sequence});
            continue;
        }
        uint8_t k = kind;
        if (kind == kJournal) {
            // Logged names serve only inodes that are free now; a folder in
            // use keeps its oldest logged name, for an earlier incarnation.
            if (!inodeFree(r.inode)) {
                // A name no newer than the logged copy of the file the inode
                // held before.
                if (auto ev = earlierVersionOf_.find(r.inode);
                    ev != earlierVersionOf_.end() && sequence <= versions_[ev->second].sequence &&
                    (!opt.hasFileType || r.fileType == 1)) {
                    auto it = earlierNames_.find(r.inode);
                    if (it == earlierNames_.end() || it->second.sequence < sequence)
                        earlierNames_[r.inode] = {r.inode, owner, addName(name, r.nameLength), r.nameLength,
                                                  r.fileType, kJournal, sequence};
                }
                if (!opt.hasFileType || r.fileType == 2) {
                    const InodeRec* ir = rec(r.inode);
                    auto og = folderOldSeq_.find(r.inode);
                    const bool early = og == folderOldSeq_.end() || sequence <= og->second;
                    auto it = oldFolderNames_.find(r.inode);
                    if (ir && (ir->mode & kTypeMask) == kTypeDir && early &&
                        (it == oldFolderNames_.end() || sequence < it->second.sequence))
                        oldFolderNames_[r.inode] = {r.inode, owner, addName(name, r.nameLength), r.nameLength,
                                                    r.fileType, kJournal, sequence};
                }
                continue;
            }
            auto og = otherGenerationSeq_.find(r.inode);
            if (og != otherGenerationSeq_.end() && sequence <= og->second) continue;
            auto v = versionOf_.find(r.inode);
            if (v != versionOf_.end() && opt.hasFileType) {
                const uint16_t mode = le16(rawOf(versions_[v->second]), sb_.inodeSize, 0);
                if (!typeMatches(r.fileType, mode & kTypeMask)) continue;
            }
            auto it = journalNames_.find(r.inode);
            if (it != journalNames_.end() && it->second.sequence >= sequence) continue;
            Naming nm{r.inode, owner, addName(name, r.nameLength), r.nameLength, r.fileType, kJournal, sequence};
            journalNames_[r.inode] = nm;
            continue;
        }
        if (r.hidden)
            k = kSlack;
        else if (!ownerLive)
            k = kDeadRecord;
        namings_.push_back({r.inode, owner, addName(name, r.nameLength), r.nameLength, r.fileType, k, sequence});
    }
}

void ext2Class::noteDotParent(uint32_t self, uint32_t parent, uint32_t sequence) {
    if (self == parent || parent == 0 || parent > sb_.inodesCount || !inodeFree(self)) return;
    auto it = dotParent_.find(self);
    if (it == dotParent_.end() || it->second.second < sequence) dotParent_[self] = {parent, sequence};
}

void ext2Class::parseDirectoryBlocks(const DirInode& d) {
    const uint32_t bs = sb_.blockSize;
    const ExtInodeVersion* v = d.version != ExtEntry::kNone ? &versions_[d.version] : nullptr;
    Inode ino = d.ino;
    if (!d.inUse) {
        if (!v) return;
        ino = inodeAt(rawOf(*v), sb_.inodeSize);
    }
    if (!ino.hasBlockArea() || ino.inlineData()) return;
    Inode bounded = ino;
    bounded.size = std::min<uint64_t>(ino.size, kMaxDirBlocks * bs);
    MapResult m = mapInode(bounded, d.inUse ? nullptr : v, !d.inUse);
    // A freed directory's map is a guess at best: only live ones count as damage.
    if (d.inUse) noteMapFault(d.inode, m);
    const bool indexed = ino.flags & kFlagIndex;
    std::vector<uint8_t> buf;
    for (const Run& r : m.runs) {
        if (r.unwritten) continue;
        for (uint64_t done = 0; done < r.count;) {
            const uint64_t n = std::min<uint64_t>(r.count - done, kDirChunk / bs);
            buf.resize(static_cast<size_t>(n * bs));
            const uint64_t phys = r.physical + done;
            volume_.read(phys * bs, buf.data(), buf.size());
            for (uint64_t k = 0; k < n; ++k) {
                const uint64_t logical = r.logical + done + k;
                const uint64_t block = phys + k;
                const uint8_t* b = buf.data() + k * bs;
                if (!journal_.copiesOf(block).empty()) journalOwners_.push_back({block, d.inode, d.inUse});
                if (!d.inUse) {
                    // A freed directory's blocks count while nobody holds them,
                    // and its first block must still be its own.
                    if (blockInUse(block)) continue;
                    if (logical == 0) {
                        uint32_t self = 0, parent = 0;
                        if (!dotEntries(b, bs, self, parent) || self != d.inode) return;
                        noteDotParent(self, parent, 0xFFFFFFFFu);
                    }
                }
                const bool readSlack = !(indexed && logical == 0);
                DirFault fault;
                addNamings(b, d.inode, d.inUse ? kLive : kDeadRecord, 0xFFFFFFFFu, readSlack, d.inUse, &fault);
                if (d.inUse && !fault.what.empty())
                    note("directory entry of inode " + std::to_string(d.inode) + " in block " + std::to_string(block),
                         block * bs + fault.offset, fault.what);
            }
            done += n;
        }
    }
}

void ext2Class::parseDirectories() {
    const int64_t total = sb_.inodesCount;
    if (ctx_) ctx_->range(total);
    namings_.clear();
    namings_.reserve(recs_.size() + 16);
    names_.reserve(recs_.size() * 16);
    journalOwners_.clear();
    uint64_t lastGroup = ~0ull;
    for (const DirInode& d : dirs_) {
        if (stopped()) break;
        const uint64_t g = (d.inode - 1) / sb_.inodesPerGroup;
        if (g != lastGroup) {
            lastGroup = g;
            const long long a = static_cast<long long>(g * sb_.inodesPerGroup);
            status(fmt("parsing inode entry %d  of %d ", a + 1, total));
            if (ctx_) ctx_->position(a + 1);
        }
        parseDirectoryBlocks(d);
    }
    status(fmt("parsed inode entry %d  of %d ", total, total));
    if (ctx_) ctx_->position(total);
    if (journal_.info().valid) parseLoggedDirectories();
}

// Logged copies of directory blocks: by the directory that holds the
// block, or by the "." of a copy that opens a directory.
void ext2Class::parseLoggedDirectories() {
    auto read = [this](uint32_t f, uint32_t n, uint8_t* b) { return readJournalBlocks(f, n, b); };
    std::vector<uint8_t> buf(sb_.blockSize);
    std::unordered_set<uint32_t> done;
    for (const JournalOwner& o : journalOwners_) {
        if (stopped()) return;
        const uint32_t revoked = journal_.lastRevoke(o.block);
        for (const JournalCopy* c : journal_.copiesOf(o.block)) {
            if (!done.insert(c->journalBlock).second) continue;
            if (!journal_.readCopy(*c, buf.data(), read)) continue;
            uint32_t self = 0, parent = 0;
            const bool opens = dotEntries(buf.data(), buf.size(), self, parent);
            if (opens) noteDotParent(self, parent, c->sequence);
            // A copy older than the block's last release held another
            // directory's names, unless it says whose it is.
            if (!opens && o.live && revoked > c->sequence) continue;
            addNamings(buf.data(), opens ? self : o.owner, kJournal, c->sequence, true, false);
        }
    }
    std::unordered_set<uint32_t> dots(dotJournalBlocks_.begin(), dotJournalBlocks_.end());
    for (const JournalCopy& c : journal_.copies()) {
        if (!dots.count(c.journalBlock) || !done.insert(c.journalBlock).second) continue;
        if (stopped()) return;
        if (!journal_.readCopy(c, buf.data(), read)) continue;
        uint32_t self = 0, parent = 0;
        if (!dotEntries(buf.data(), buf.size(), self, parent)) continue;
        noteDotParent(self, parent, c.sequence);
        addNamings(buf.data(), self, kJournal, c.sequence, true, false);
    }
}

}  // namespace brantlow
