// The journal of ext3/ext4 as the scan reads it: the journal inode's blocks
// (or the superblock's copy of its block map), one walk over the log, and
// the logged copies of inode-table blocks that bring freed inodes back.
#include <algorithm>
#include <cstring>
#include <limits>

#include "base/bytes.h"
#include "fs/ext/ext_internal.h"
#include "fs/ext/ext_parser.h"

namespace brantlow {

using namespace ext;

bool ext2Class::readJournalBlocks(uint32_t first, uint32_t count, uint8_t* buf) const {
    const uint32_t bs = sb_.blockSize;
    uint32_t done = 0;
    while (done < count) {
        const uint64_t l = static_cast<uint64_t>(first) + done;
        auto it = std::upper_bound(journalRuns_.begin(), journalRuns_.end(), l,
                                   [](uint64_t v, const Run& r) { return v < r.logical; });
        if (it == journalRuns_.begin()) return false;
        --it;
        if (l >= it->logical + it->count || it->unwritten) return false;
        const uint64_t n = std::min<uint64_t>(count - done, it->logical + it->count - l);
        const uint64_t phys = it->physical + (l - it->logical);
        if (!volume_.readExact(phys * bs, buf + static_cast<size_t>(done) * bs, static_cast<size_t>(n * bs)))
            return false;
        done += static_cast<uint32_t>(n);
    }
    return true;
}

uint64_t ext2Class::journalByteOffset(uint32_t journalBlock) const {
    auto it = std::upper_bound(journalRuns_.begin(), journalRuns_.end(), static_cast<uint64_t>(journalBlock),
                               [](uint64_t v, const Run& r) { return v < r.logical; });
    if (it == journalRuns_.begin()) return 0;
    --it;
    if (journalBlock >= it->logical + it->count) return 0;
    return (it->physical + (journalBlock - it->logical)) * sb_.blockSize;
}

void ext2Class::readJournal() {
    if (!sb_.hasJournal() || sb_.journalInode == 0) return;
    size_t freed = 0;
    for (const InodeRec& r : recs_) freed += !r.inUse;
    versionBytes_.reserve(std::min<size_t>(freed + 64, 1u << 20) * sb_.inodeSize);
    versions_.reserve(std::min<size_t>(freed + 64, 1u << 20));
    status("reading journal....");
    std::vector<uint8_t> raw;
    Inode ji;
    if (readInode(sb_.journalInode, raw)) ji = inodeAt(raw.data(), raw.size());
    if (!ji.hasBlockArea()) {
        // The superblock keeps a copy of the journal inode's block area.
        note("journal inode " + std::to_string(sb_.journalInode), inodeOffset(sb_.journalInode),
             "no block map: the superblock's copy taken", true);
        std::memcpy(ji.block, sb_.journalBlocks, 60);
        ji.size = le32(sb_.journalBlocks, 68, 64) | (static_cast<uint64_t>(le32(sb_.journalBlocks, 68, 60)) << 32);
        ji.flags = le16(ji.block, 60, 0) == kExtentMagic ? kFlagExtents : 0;
    }
    const uint64_t blocks = std::min<uint64_t>(ji.size / sb_.blockSize, 1u << 30);
    MapResult m = mapBlocks(ji, sb_.blockSize, sb_.blocksCount, blocks,
                            [this](uint64_t b, uint8_t* buf) { return readBlock(b, buf); });
    noteMapFault(sb_.journalInode, m);
    journalRuns_ = std::move(m.runs);
    journalBlocks_ = blocks;
    if (journalRuns_.empty()) return;
    dotJournalBlocks_.clear();
    journal_.onDataBlock = [this](uint32_t at, const uint8_t* b) {
        uint32_t self = 0, parent = 0;
        if (dotEntries(b, sb_.blockSize, self, parent) && self <= sb_.inodesCount) dotJournalBlocks_.push_back(at);
    };
    journal_.onCopy = [this](const JournalCopy& c, const uint8_t* b) { inodeTableCopy(c, b); };
    journal_.onDamage = [this](uint32_t at, const std::string& what, bool repaired) {
        note(at == 0 ? std::string("journal superblock") : "journal block " + std::to_string(at), journalByteOffset(at),
             what, repaired);
    };
    journal_.build([this](uint32_t f, uint32_t n, uint8_t* buf) { return readJournalBlocks(f, n, buf); },
                   sb_.blockSize, journalBlocks_, sb_.blocksCount, [this] { return stopped(); });
    journal_.onDataBlock = nullptr;
    journal_.onCopy = nullptr;
    journal_.onDamage = nullptr;
}

bool ext2Class::journalCopyAtOrBefore(uint64_t block, uint32_t sequence, uint8_t* buf) const {
    auto read = [this](uint32_t f, uint32_t n, uint8_t* b) { return readJournalBlocks(f, n, b); };
    for (const JournalCopy* c : journal_.copiesOf(block)) {
        if (c->sequence > sequence) continue;
        if (journal_.readCopy(*c, buf, read)) return true;
    }
    return false;
}

// One logged copy of an inode-table block: its freed inodes as they were.
void ext2Class::inodeTableCopy(const JournalCopy& c, const uint8_t* data) {
    const uint32_t isz = sb_.inodeSize;
    const uint32_t perBlock = sb_.blockSize / isz;
    auto t = std::upper_bound(tablesByBlock_.begin(), tablesByBlock_.end(),
                              std::make_pair(c.fsBlock, std::numeric_limits<uint32_t>::max()));
    if (t == tablesByBlock_.begin()) return;
    --t;
    if (c.fsBlock - t->first >= tableBlocks_) return;
    const uint64_t first = static_cast<uint64_t>(t->second) * sb_.inodesPerGroup + (c.fsBlock - t->first) * perBlock + 1;
    for (uint32_t k = 0; k < perBlock; ++k) {
        const uint64_t n64 = first + k;
        if (n64 > sb_.inodesCount || n64 < sb_.firstInode) continue;
        const uint32_t n = static_cast<uint32_t>(n64);
        const uint8_t* p = data + static_cast<size_t>(k) * isz;
        if (!inodeFree(n)) {
            // A folder in use whose inode held another incarnation then.
            const InodeRec* r = rec(n);
            if (!r || le16(p, isz, 0) == 0 || le32(p, isz, 100) == r->generation) continue;
            if ((r->mode & kTypeMask) == kTypeDir) {
                uint32_t& o = folderOldSeq_[n];
                o = std::max(o, c.sequence);
            }
            // A file this inode held before it was reused: the newest copy
            // of it with its blocks.
            const Inode old = inodeAt(p, isz);
            if (old.links == 0 || old.type() != kTypeFile || !old.hasBlockArea() || old.size == 0) continue;
            auto have = earlierVersionOf_.find(n);
            if (have == earlierVersionOf_.end()) {
                earlierVersionOf_[n] = addVersion(p, c.sequence, true);
            } else if (versions_[have->second].sequence < c.sequence) {
                std::memcpy(versionBytes_.data() + versions_[have->second].rawOffset, p, isz);
                versions_[have->second].sequence = c.sequence;
            }
            continue;
        }
        if (le16(p, isz, 0) == 0) continue;
        const Inode ino = inodeAt(p, isz);
        copiesSeen_.push_back({n, c.sequence, ino.generation});
        if (ino.links == 0 || !contentType(ino.type()) || !ino.hasBlockArea()) continue;
        // The newest copy in which the inode was in use wins; a freed inode
        // that still holds its blocks in the table (ext2) keeps those.
        auto have = versionOf_.find(n);
        if (have == versionOf_.end()) {
            versionOf_[n] = addVersion(p, c.sequence, true);
            continue;
        }
        ExtInodeVersion& v = versions_[have->second];
        if (!v.fromJournal || v.sequence >= c.sequence) continue;
        std::memcpy(versionBytes_.data() + v.rawOffset, p, isz);
        v.sequence = c.sequence;
    }
}

void ext2Class::recoverFromJournal() {
    if (!journal_.info().valid || journal_.copies().empty()) return;
    status("recovering deleted files from journal....");
    auto read = [this](uint32_t f, uint32_t n, uint8_t* b) { return readJournalBlocks(f, n, b); };
    std::vector<uint8_t> buf(sb_.blockSize);
    const auto& copies = journal_.copies();
    if (ctx_) ctx_->range(static_cast<int64_t>(copies.size()));
    // Copies the walk did not hand over (no checksums, or a wrapped
    // transaction): read now.
    for (size_t i = 0; i < copies.size(); ++i) {
        if ((i & 255) == 0) {
            if (stopped()) break;
            if (ctx_) ctx_->position(static_cast<int64_t>(i));
        }
        const JournalCopy& c = copies[i];
        if (c.streamed) continue;
        auto t = std::upper_bound(tablesByBlock_.begin(), tablesByBlock_.end(),
                                  std::make_pair(c.fsBlock, std::numeric_limits<uint32_t>::max()));
        if (t == tablesByBlock_.begin() || c.fsBlock - std::prev(t)->first >= tableBlocks_) continue;
        if (!journal_.readCopy(c, buf.data(), read)) continue;
        inodeTableCopy(c, buf.data());
    }
    // Copies of an earlier incarnation (another generation) than the one
    // brought back: names older than them are not this file's.
    for (const SeenCopy& sc : copiesSeen_) {
        auto v = versionOf_.find(sc.inode);
        if (v == versionOf_.end()) continue;
        const ExtInodeVersion& ver = versions_[v->second];
        if (!ver.fromJournal || sc.sequence >= ver.sequence) continue;
        if (sc.generation == le32(rawOf(ver), sb_.inodeSize, 100)) continue;
        uint32_t& o = otherGenerationSeq_[sc.inode];
        o = std::max(o, sc.sequence);
    }
    copiesSeen_.clear();
    copiesSeen_.shrink_to_fit();
    // Freed directories brought back: their blocks are read too.
    std::unordered_map<uint32_t, size_t> dirIndex;
    for (size_t k = 0; k < dirs_.size(); ++k) dirIndex[dirs_[k].inode] = k;
    for (const auto& [inode, vi] : versionOf_) {
        const ExtInodeVersion& v = versions_[vi];
        if (!v.fromJournal) continue;
        const Inode ino = inodeAt(rawOf(v), sb_.inodeSize);
        if (!ino.isDir()) continue;
        auto d = dirIndex.find(inode);
        if (d != dirIndex.end()) {
            dirs_[d->second].version = vi;
        } else {
            DirInode di;
            di.inode = inode;
            di.inUse = false;
            di.version = vi;
            di.ino = ino;
            dirs_.push_back(di);
        }
    }
    std::sort(dirs_.begin(), dirs_.end(), [](const DirInode& a, const DirInode& b) { return a.inode < b.inode; });
}

}  // namespace brantlow
