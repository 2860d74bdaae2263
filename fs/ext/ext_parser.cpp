#include "fs/ext/ext_parser.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <unordered_set>

#include "base/bytes.h"
#include "base/texts.h"

namespace brantlow {

using namespace ext;

namespace {

constexpr size_t kSearchChunk = 1u << 20;
constexpr size_t kTableChunk = 4u << 20;
constexpr size_t kDirChunk = 1u << 20;
// Descriptor tables beyond this are cut (1M groups of 64 bytes).
constexpr uint64_t kMaxDescriptorBytes = 64ull << 20;
// Directories are read up to this many blocks.
constexpr uint64_t kMaxDirBlocks = 1u << 20;

std::string fmt(const char* f, long long a, long long b) {
    char buf[128];
    std::snprintf(buf, sizeof buf, f, a, b);
    return buf;
}

// Directory-entry file type against the inode's type.
bool typeMatches(uint8_t fileType, uint16_t type) {
    switch (fileType) {
        case 1: return type == kTypeFile;
        case 2: return type == kTypeDir;
        case 3: return type == kTypeChar;
        case 4: return type == kTypeBlock;
        case 5: return type == kTypeFifo;
        case 6: return type == kTypeSocket;
        case 7: return type == kTypeLink;
        default: return true;
    }
}

bool contentType(uint16_t type) { return type == kTypeFile || type == kTypeDir || type == kTypeLink; }

}  // namespace

std::string ext2Class::rejectMessage() const { return "Selected Drive is not in extX Format"; }

bool ext2Class::stopped() {
    if (ctx_) ctx_->wait();
    return stopRequested.load(std::memory_order_relaxed);
}

void ext2Class::status(const std::string& s) const {
    if (ctx_) ctx_->status(s);
}

// ---- superblock and descriptors ------------------------------------------

bool ext2Class::findSuperblock() {
    const uint64_t volumeBytes = volume_.sizeBytes();
    if (volumeBytes <= 1536) return false;
    uint8_t sb[1024];
    volume_.read(1024, sb, sizeof sb);
    if (parseSuperblock(sb, sizeof sb, sb_)) {
        superOffset_ = 1024;
        return true;
    }
    // A damaged primary: a backup at the start of a later group, checked
    // against the group it says it belongs to. Searched in 1 MiB reads.
    std::vector<uint8_t> buf(kSearchChunk + 1024);
    const uint64_t steps = volumeBytes / kSearchChunk + 1;
    if (ctx_) ctx_->range(static_cast<int64_t>(steps));
    uint64_t step = 0;
    for (uint64_t base = 0; base + 1024 < volumeBytes; base += kSearchChunk, ++step) {
        if (stopped()) break;
        if (ctx_ && (step & 15) == 0) ctx_->position(static_cast<int64_t>(step));
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), volumeBytes - base));
        volume_.read(base, buf.data(), n);
        for (size_t off = 0; off + 1024 <= n && off < kSearchChunk; off += 512) {
            const uint64_t at = base + off;
            if (at <= 1024) continue;
            if (le16(buf.data(), n, off + 56) != kSuperMagic) continue;
            Superblock s;
            if (!parseSuperblock(buf.data() + off, 1024, s)) continue;
            const uint64_t block = static_cast<uint64_t>(s.blockGroupNr) * s.blocksPerGroup + s.firstDataBlock;
            uint64_t expect = 0;
            if (s.blockGroupNr == 0 || mulOverflows(block, s.blockSize, &expect) || expect != at) continue;
            sb_ = s;
            superOffset_ = at;
            return true;
        }
    }
    return false;
}

bool ext2Class::readGroupDescriptors() {
    const uint32_t bs = sb_.blockSize;
    const uint32_t stride = sb_.descSize;
    const bool wide = sb_.incompat & kIncompat64Bit;
    uint64_t groups = sb_.groupCount;
    if (groups * stride > kMaxDescriptorBytes) groups = kMaxDescriptorBytes / stride;
    const uint64_t perBlock = bs / stride;
    const uint64_t tableBlocks = (groups + perBlock - 1) / perBlock;
    const uint64_t tableStart = superOffset_ / bs + 1;
    std::vector<uint8_t> table(static_cast<size_t>(tableBlocks * bs));
    const bool metaBg = sb_.incompat & kIncompatMetaBg;
    // Descriptor blocks: one table after the superblock, or with meta_bg
    // one block at the start of each meta group.
    uint64_t i = 0;
    while (i < tableBlocks) {
        uint64_t at = tableStart + i, count = 1;
        if (!metaBg || i < sb_.firstMetaBg) {
            count = metaBg ? std::min<uint64_t>(tableBlocks, sb_.firstMetaBg) - i : tableBlocks - i;
        } else {
            const uint64_t g = i * perBlock;
            at = g * sb_.blocksPerGroup + sb_.firstDataBlock + (groupHasSuper(sb_, g) ? 1 : 0);
        }
        const size_t bytes = static_cast<size_t>(count * bs);
        const bool ok = volume_.readExact(at * bs, table.data() + i * bs, bytes);
        if (!ok && i == 0) return false;
        i += count;
    }
    groups_.resize(static_cast<size_t>(groups));
    tablesByBlock_.clear();
    tableBlocks_ = (static_cast<uint64_t>(sb_.inodesPerGroup) * sb_.inodeSize + bs - 1) / bs;
    for (uint64_t g = 0; g < groups; ++g) {
        GroupDesc d = parseGroupDesc(table.data() + g * stride, stride, wide);
        if (d.inodeTable == 0 || d.inodeTable + tableBlocks_ > sb_.blocksCount) d.inodeTable = 0;
        groups_[static_cast<size_t>(g)] = d;
        if (d.inodeTable) tablesByBlock_.emplace_back(d.inodeTable, static_cast<uint32_t>(g));
    }
    std::sort(tablesByBlock_.begin(), tablesByBlock_.end());
    // Inode numbers stop where the groups read stop.
    sb_.inodesCount = static_cast<uint32_t>(std::min<uint64_t>(sb_.inodesCount, groups * sb_.inodesPerGroup));
    return !groups_.empty();
}

uint64_t ext2Class::inodeOffset(uint32_t inode) const {
    if (inode == 0 || inode > sb_.inodesCount) return 0;
    const uint64_t g = (inode - 1) / sb_.inodesPerGroup;
    const uint64_t slot = (inode - 1) % sb_.inodesPerGroup;
    if (g >= groups_.size() || groups_[g].inodeTable == 0) return 0;
    return groups_[g].inodeTable * sb_.blockSize + slot * sb_.inodeSize;
}

bool ext2Class::readInode(uint32_t inode, std::vector<uint8_t>& raw) const {
    const uint64_t off = inodeOffset(inode);
    raw.assign(sb_.inodeSize, 0);
    return off && volume_.readExact(off, raw.data(), raw.size());
}

bool ext2Class::readBlock(uint64_t block, uint8_t* buf) const {
    if (block >= sb_.blocksCount) return false;
    return volume_.readExact(block * sb_.blockSize, buf, sb_.blockSize);
}

uint64_t ext2Class::groupOfBlock(uint64_t block) const {
    return block < sb_.firstDataBlock ? 0 : (block - sb_.firstDataBlock) / sb_.blocksPerGroup;
}

bool ext2Class::blockInUse(uint64_t block) const {
    if (block >= sb_.blocksCount) return true;
    const uint64_t g = groupOfBlock(block);
    if (g >= groups_.size()) return true;
    const GroupDesc& d = groups_[g];
    if (sb_.groupChecksums() && (d.flags & kBgBlockUninit)) return false;
    std::lock_guard<std::mutex> lk(bitmapMutex_);
    auto it = blockBitmaps_.find(g);
    if (it == blockBitmaps_.end()) {
        // A bounded cache: a file spread over very many groups starts it over.
        if (blockBitmaps_.size() >= 4096) blockBitmaps_.clear();
        std::vector<uint8_t> bm(sb_.blockSize, 0xFF);
        if (d.blockBitmap == 0 || !readBlock(d.blockBitmap, bm.data())) bm.assign(sb_.blockSize, 0xFF);
        it = blockBitmaps_.emplace(g, std::move(bm)).first;
    }
    const uint64_t bit = (block - sb_.firstDataBlock) % sb_.blocksPerGroup;
    return (it->second[bit / 8] >> (bit % 8)) & 1;
}

const ext2Class::InodeRec* ext2Class::rec(uint32_t inode) const {
    auto it = std::lower_bound(recs_.begin(), recs_.end(), inode,
                               [](const InodeRec& r, uint32_t n) { return r.inode < n; });
    return it != recs_.end() && it->inode == inode ? &*it : nullptr;
}

bool ext2Class::inodeFree(uint32_t inode) const {
    if (!inUseBits_.empty()) return inode >= inUseBits_.size() * 64 || !((inUseBits_[inode / 64] >> (inode % 64)) & 1);
    const InodeRec* r = rec(inode);
    return !r || !r->inUse;
}

// ---- the journal -------------------------------------------------------------

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

void ext2Class::readJournal() {
    if (!sb_.hasJournal() || sb_.journalInode == 0) return;
    size_t freed = 0;
    for (const InodeRec& r : recs_) freed += !r.inUse;
    versionBytes_.reserve(std::min<size_t>(freed + 64, 1u << 20) * sb_.inodeSize);
    versions_.reserve(std::min<size_t>(freed + 64, 1u << 20));
    status("reading journal....");
    std::vector<uint8_t> raw;
    Inode ji;
    if (readInode(sb_.journalInode, raw)) parseInode(raw.data(), raw.size(), ji);
    if (!ji.hasBlockArea()) {
        // The superblock keeps a copy of the journal inode's block area.
        std::memcpy(ji.block, sb_.journalBlocks, 60);
        ji.size = le32(sb_.journalBlocks, 68, 64) | (static_cast<uint64_t>(le32(sb_.journalBlocks, 68, 60)) << 32);
        ji.flags = le16(ji.block, 60, 0) == kExtentMagic ? kFlagExtents : 0;
    }
    const uint64_t blocks = std::min<uint64_t>(ji.size / sb_.blockSize, 1u << 30);
    MapResult m = mapBlocks(ji, sb_.blockSize, sb_.blocksCount, blocks,
                            [this](uint64_t b, uint8_t* buf) { return readBlock(b, buf); });
    journalRuns_ = std::move(m.runs);
    journalBlocks_ = blocks;
    if (journalRuns_.empty()) return;
    dotJournalBlocks_.clear();
    journal_.onDataBlock = [this](uint32_t at, const uint8_t* b) {
        uint32_t self = 0, parent = 0;
        if (dotEntries(b, sb_.blockSize, self, parent) && self <= sb_.inodesCount) dotJournalBlocks_.push_back(at);
    };
    journal_.onCopy = [this](const JournalCopy& c, const uint8_t* b) { inodeTableCopy(c, b); };
    journal_.build([this](uint32_t f, uint32_t n, uint8_t* buf) { return readJournalBlocks(f, n, buf); },
                   sb_.blockSize, journalBlocks_, sb_.blocksCount, [this] { return stopped(); });
    journal_.onDataBlock = nullptr;
    journal_.onCopy = nullptr;
}

bool ext2Class::journalCopyAtOrBefore(uint64_t block, uint32_t sequence, uint8_t* buf) const {
    auto read = [this](uint32_t f, uint32_t n, uint8_t* b) { return readJournalBlocks(f, n, b); };
    for (const JournalCopy* c : journal_.copiesOf(block)) {
        if (c->sequence > sequence) continue;
        if (journal_.readCopy(*c, buf, read)) return true;
    }
    return false;
}

MapResult ext2Class::mapInode(const Inode& ino, const ExtInodeVersion* v, bool deleted) const {
    const uint32_t bs = sb_.blockSize;
    uint64_t maxLogical = (ino.size + bs - 1) / bs;
    maxLogical = std::min<uint64_t>(maxLogical, 1ull << 32);
    BlockFetch fetch = [this, v, deleted](uint64_t b, uint8_t* buf) {
        if (v && v->fromJournal && journalCopyAtOrBefore(b, v->sequence, buf)) return true;
        // A freed inode's tree blocks count only while nobody else holds them.
        if (deleted && blockInUse(b)) return false;
        return readBlock(b, buf);
    };
    return mapBlocks(ino, bs, sb_.blocksCount, maxLogical, fetch);
}

// ---- the inode pass ----------------------------------------------------------

void ext2Class::parseGroups() {
    const uint32_t bs = sb_.blockSize;
    const uint32_t isz = sb_.inodeSize;
    const size_t groups = groups_.size();
    if (ctx_) ctx_->range(static_cast<int64_t>(groups));
    std::vector<uint8_t> table;
    std::vector<uint8_t> bitmap(bs);
    recs_.clear();
    dirs_.clear();
    // In-use inodes as a bit set where it stays small (up to 32 MiB).
    inUseBits_.clear();
    if (sb_.inodesCount <= (1u << 28)) inUseBits_.assign(sb_.inodesCount / 64 + 1, 0);
    // Room for the inodes below each group's high-water mark (bounded).
    if (sb_.groupChecksums()) {
        uint64_t used = 0;
        for (const GroupDesc& d : groups_)
            if (!(d.flags & kBgInodeUninit)) used += sb_.inodesPerGroup - std::min(d.itableUnused, sb_.inodesPerGroup);
        recs_.reserve(static_cast<size_t>(std::min<uint64_t>(used, 1u << 24)));
    }
    for (size_t g = 0; g < groups; ++g) {
        if (stopped()) break;
        status(fmt("parsing group %d  of %d ", static_cast<long long>(g + 1), static_cast<long long>(groups)));
        if (ctx_) ctx_->position(static_cast<int64_t>(g + 1));
        const GroupDesc& d = groups_[g];
        if (!d.inodeTable) continue;
        const uint64_t firstInode = static_cast<uint64_t>(g) * sb_.inodesPerGroup + 1;
        if (firstInode > sb_.inodesCount) break;
        uint64_t count = std::min<uint64_t>(sb_.inodesPerGroup, sb_.inodesCount - firstInode + 1);
        // Inodes beyond the group's high-water mark were never used.
        bool bitmapKnown = false;
        if (sb_.groupChecksums()) {
            if (d.flags & kBgInodeUninit) continue;
            count = std::min<uint64_t>(count, sb_.inodesPerGroup - std::min(d.itableUnused, sb_.inodesPerGroup));
        }
        if (d.inodeBitmap && d.inodeBitmap < sb_.blocksCount) bitmapKnown = readBlock(d.inodeBitmap, bitmap.data());
        for (uint64_t done = 0; done < count;) {
            const uint64_t n = std::min<uint64_t>(count - done, kTableChunk / isz);
            table.resize(static_cast<size_t>(n * isz));
            volume_.read(d.inodeTable * bs + done * isz, table.data(), table.size());
            for (uint64_t k = 0; k < n; ++k) {
                const uint8_t* p = table.data() + k * isz;
                if (le16(p, isz, 0) == 0) continue;
                const uint64_t slot = done + k;
                const uint32_t inode = static_cast<uint32_t>(firstInode + slot);
                Inode ino;
                parseInode(p, isz, ino);
                InodeRec r;
                r.inode = inode;
                r.mode = ino.mode;
                r.links = ino.links;
                r.generation = ino.generation;
                r.inUse = bitmapKnown ? ((bitmap[slot / 8] >> (slot % 8)) & 1) : (ino.links > 0 && ino.dtime == 0);
                r.hasBlocks = ino.hasBlockArea();
                r.size = ino.size;
                r.atime = ino.atime;
                r.mtime = ino.mtime;
                r.ctime = ino.ctime;
                r.atimeNs = ino.atimeNs;
                r.mtimeNs = ino.mtimeNs;
                r.ctimeNs = ino.ctimeNs;
                recs_.push_back(r);
                if (r.inUse && !inUseBits_.empty()) inUseBits_[inode / 64] |= 1ull << (inode % 64);
                // A freed inode that still holds its block map (ext2).
                if (!r.inUse && r.hasBlocks && contentType(ino.type()) && inode >= sb_.firstInode) {
                    versionOf_[inode] = addVersion(p, 0, false);
                }
                if (ino.isDir()) {
                    DirInode di;
                    di.inode = inode;
                    di.inUse = r.inUse;
                    di.ino = ino;
                    auto v = versionOf_.find(inode);
                    if (v != versionOf_.end()) di.version = v->second;
                    dirs_.push_back(di);
                }
            }
            done += n;
        }
    }
}

// ---- freed inodes from the journal --------------------------------------------

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
        if (!inodeFree(n)) continue;
        const uint8_t* p = data + static_cast<size_t>(k) * isz;
        if (le16(p, isz, 0) == 0) continue;
        Inode ino;
        parseInode(p, isz, ino);
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
    const uint32_t bs = sb_.blockSize;
    auto read = [this](uint32_t f, uint32_t n, uint8_t* b) { return readJournalBlocks(f, n, b); };
    std::vector<uint8_t> buf(bs);
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
        Inode ino;
        parseInode(rawOf(v), sb_.inodeSize, ino);
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

// ---- directories ------------------------------------------------------------------

uint32_t ext2Class::addName(const uint8_t* p, size_t n) {
    const uint32_t off = static_cast<uint32_t>(names_.size());
    names_.append(reinterpret_cast<const char*>(p), n);
    return off;
}

void ext2Class::addNamings(const uint8_t* block, uint32_t owner, uint8_t kind, uint32_t sequence, bool readSlack,
                           bool ownerLive) {
    const uint32_t bs = sb_.blockSize;
    DirParseOptions opt;
    opt.hasFileType = sb_.hasFileType();
    opt.readSlack = readSlack;
    opt.maxInode = sb_.inodesCount;
    std::vector<DirRecord> recs;
    if (!parseDirBlock(block, bs, opt, recs)) return;
    for (const DirRecord& r : recs) {
        const uint8_t* name = block + r.nameOffset;
        if (!r.hidden && r.nameLength == 1 && name[0] == '.') {
            // A block that opens with "." belongs to that directory.
            owner = r.inode;
            continue;
        }
        if (r.nameLength == 2 && name[0] == '.' && name[1] == '.') continue;
        if (r.nameLength == 1 && name[0] == '.') continue;
        uint8_t k = kind;
        if (kind == kJournal) {
            // Logged names serve only inodes that are free now.
            if (!inodeFree(r.inode)) continue;
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
        parseInode(rawOf(*v), sb_.inodeSize, ino);
    }
    if (!ino.hasBlockArea() || ino.inlineData()) return;
    Inode bounded = ino;
    bounded.size = std::min<uint64_t>(ino.size, kMaxDirBlocks * bs);
    MapResult m = mapInode(bounded, d.inUse ? nullptr : v, !d.inUse);
    const bool indexed = ino.flags & kFlagIndex;
    std::vector<uint8_t> buf;
    bool firstChecked = false;
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
                        firstChecked = true;
                        if (!dotEntries(b, bs, self, parent) || self != d.inode) return;
                        noteDotParent(self, parent, 0xFFFFFFFFu);
                    }
                }
                const bool readSlack = !(indexed && logical == 0);
                addNamings(b, d.inode, d.inUse ? kLive : kDeadRecord, 0xFFFFFFFFu, readSlack, d.inUse);
            }
            done += n;
        }
    }
    (void)firstChecked;
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
    if (!journal_.info().valid) return;

    // Logged copies of directory blocks: by the directory that holds the
    // block, or by the "." of a copy that opens a directory.
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

// ---- entries --------------------------------------------------------------------

void ext2Class::buildEntryMap() {
    status("clearing vector....");
    entries_.clear();
    const uint32_t lastInode = sb_.inodesCount;
    auto listable = [&](uint32_t n) { return n >= 1 && n <= sb_.inodesCount && n != 3 && n != lastInode; };

    // The chosen naming of each inode: a live record of a directory in use
    // for an inode in use; for a free inode the newest name any record,
    // slack or logged copy gives.
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
    // Looks in the sorted part of `chosen` (all of it once sorted again).
    size_t sorted = chosen.size();
    auto isChosen = [&](uint32_t inode) {
        auto end = chosen.begin() + static_cast<std::ptrdiff_t>(sorted);
        auto it = std::lower_bound(chosen.begin(), end, inode,
                                   [](const Naming& a, uint32_t n) { return a.inode < n; });
        return it != end && it->inode == inode;
    };
    for (const auto& [inode, nm] : journalNames_)
        if (listable(inode) && !isChosen(inode)) chosen.push_back(nm);
    std::sort(chosen.begin() + static_cast<std::ptrdiff_t>(sorted), chosen.end(),
              [](const Naming& a, const Naming& b) { return a.inode < b.inode; });
    std::inplace_merge(chosen.begin(), chosen.begin() + static_cast<std::ptrdiff_t>(sorted), chosen.end(),
                       [](const Naming& a, const Naming& b) { return a.inode < b.inode; });
    sorted = chosen.size();
    // Folders that hold a named entry.
    std::vector<uint32_t> owners;
    owners.reserve(chosen.size());
    for (const Naming& nm : chosen) owners.push_back(nm.owner);
    std::sort(owners.begin(), owners.end());
    owners.erase(std::unique(owners.begin(), owners.end()), owners.end());
    auto isOwner = [&](uint32_t inode) { return std::binary_search(owners.begin(), owners.end(), inode); };

    auto fromInode = [&](ExtEntry& e, const Inode& ino) {
        e.mode = e.inodeMode = ino.mode;
        e.size = ino.size;
        e.atime = ino.atime;
        e.mtime = ino.mtime;
        e.ctime = ino.ctime;
        e.atimeNs = ino.atimeNs;
        e.mtimeNs = ino.mtimeNs;
        e.ctimeNs = ino.ctimeNs;
    };

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
            Inode ino;
            parseInode(rawOf(versions_[v->second]), sb_.inodeSize, ino);
            fromInode(e, ino);
            e.version = v->second;
            if (versions_[v->second].fromJournal) e.bits |= ExtEntry::kFromJournal;
        } else if (r) {
            if (free && !isOwner(inode) && nm.kind != kLive) continue;
            e.mode = e.inodeMode = r->mode;
            e.size = r->size;
            e.atime = r->atime;
            e.mtime = r->mtime;
            e.ctime = r->ctime;
            e.atimeNs = r->atimeNs;
            e.mtimeNs = r->mtimeNs;
            e.ctimeNs = r->ctimeNs;
        } else {
            // Nothing left of the inode: kept only as the folder of others.
            if (!isOwner(inode)) continue;
            e.mode = e.inodeMode = kTypeDir;
        }
        if (free || nm.kind != kLive) e.bits |= ExtEntry::kDeleted;
        // The directory entry's type 1 or 2 decides file or folder.
        if (sb_.hasFileType() && nm.fileType == 1) e.mode = static_cast<uint16_t>((e.mode & ~kTypeMask) | kTypeFile);
        if (sb_.hasFileType() && nm.fileType == 2) e.mode = static_cast<uint16_t>((e.mode & ~kTypeMask) | kTypeDir);
        entries_.push_back(e);
    }
    // Entries so far follow the inode order of `chosen`; the rest are
    // merged in below.
    const size_t named = entries_.size();
    // The root's own "." is listed under ROOT.
    if (const InodeRec* r = rec(kRootInode); r && (r->mode & kTypeMask) == kTypeDir) {
        ExtEntry e;
        e.inode = kRootInode;
        e.nameOffset = addName(".");
        e.nameLength = 1;
        e.parent = kRootInode;
        e.mode = e.inodeMode = r->mode;
        e.atime = r->atime;
        e.mtime = r->mtime;
        e.ctime = r->ctime;
        e.atimeNs = r->atimeNs;
        e.mtimeNs = r->mtimeNs;
        e.ctimeNs = r->ctimeNs;
        entries_.push_back(e);
    }
    // Freed inodes with content and no name: "inode-N" under the orphan
    // folder, files with an extension their first bytes suggest.
    for (const auto& [inode, vi] : versionOf_) {
        if (!listable(inode) || isChosen(inode)) continue;
        Inode ino;
        parseInode(rawOf(versions_[vi]), sb_.inodeSize, ino);
        if (ino.isDir() ? !isOwner(inode) : !(ino.isFile() && ino.size > 0)) continue;
        ExtEntry e;
        e.inode = inode;
        fromInode(e, ino);
        e.version = vi;
        e.bits = ExtEntry::kDeleted | ExtEntry::kNameless | (versions_[vi].fromJournal ? ExtEntry::kFromJournal : 0);
        e.parent = kExtOrphanId;
        // A folder without a name still says in its ".." record whose it was.
        if (auto dp = dotParent_.find(inode); ino.isDir() && dp != dotParent_.end()) e.parent = dp->second.first;
        if (ino.isFile()) {
            // Worth listing only while some of its blocks are free.
            MapResult m = mapInode(ino, &versions_[vi], true);
            bool anyFree = false;
            for (const Run& run : m.runs) {
                for (uint64_t b = 0; b < run.count && !anyFree; ++b)
                    if (!blockInUse(run.physical + b)) anyFree = true;
                if (anyFree) break;
            }
            if (!anyFree) continue;
        }
        std::string name = "inode-" + std::to_string(inode);
        e.nameOffset = addName(name);
        e.nameLength = static_cast<uint16_t>(name.size());
        entries_.push_back(e);
    }
    auto byInode = [](const ExtEntry& a, const ExtEntry& b) { return a.inode < b.inode; };
    std::sort(entries_.begin() + static_cast<std::ptrdiff_t>(named), entries_.end(), byInode);
    std::inplace_merge(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(named), entries_.end(), byInode);
    // Extensions for the nameless files (their first block is read).
    if (guess_) {
        for (ExtEntry& e : entries_) {
            if (!(e.bits & ExtEntry::kNameless) || e.type() != kTypeFile) continue;
            std::string ext = guessExtension(e);
            if (ext.empty()) continue;
            std::string name = nameOf(e) + "." + ext;
            e.nameOffset = addName(name);
            e.nameLength = static_cast<uint16_t>(name.size());
        }
    }
    namings_.clear();
    namings_.shrink_to_fit();
    journalNames_.clear();
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
    // Where each entry hangs: ROOT, a folder entry, or the orphan folder.
    auto resolve = [&](ExtEntry& e) {
        if (e.inode == kRootInode) {
            e.parent = kRootId;
            return;
        }
        if (e.parent == kExtOrphanId) {
            e.bits |= ExtEntry::kOrphan;
            return;
        }
        if (e.parent == kRootInode) {
            e.parent = kRootId;
            return;
        }
        const uint32_t pi = indexOf(e.parent);
        if (pi == ExtEntry::kNone || e.parent == e.inode || entries_[pi].type() != kTypeDir) {
            e.parent = kExtOrphanId;
            e.bits |= ExtEntry::kOrphan;
        }
    };
    for (ExtEntry& e : entries_) resolve(e);
    // Folder loops (freed directories naming each other): the entry where a
    // loop closes goes to the orphan folder.
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
            cur = indexOf(p);
        }
        for (uint32_t k : path) state[k] = 2;
    }
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
            head = &entries_[indexOf(e.parent)].firstChild;
        e.nextSibling = *head;
        *head = static_cast<uint32_t>(i);
    }
    if (ctx_) ctx_->position(static_cast<int64_t>(n));
}

void ext2Class::fillRootEntries() { status("filling root entries in  tree...."); }

ScanOutcome ext2Class::scan(ScanContext& ctx) {
    ctx_ = &ctx;
    volume_ = ctx.volume;
    guess_ = ctx.options.guessExtension;
    entries_.clear();
    versions_.clear();
    versionBytes_.clear();
    versionOf_.clear();
    otherGenerationSeq_.clear();
    dotParent_.clear();
    copiesSeen_.clear();
    names_.clear();
    blockBitmaps_.clear();
    allocation_.reset();
    if (!findSuperblock()) {
        stopRequested.store(false);
        ctx_ = nullptr;
        return ScanOutcome::Rejected;
    }
    stopRequested.store(false);
    if (!readGroupDescriptors()) {
        ctx_ = nullptr;
        return ScanOutcome::Rejected;
    }
    phaseSeconds_.clear();
    auto t = std::chrono::steady_clock::now();
    auto lap = [&](const char* name) {
        auto now = std::chrono::steady_clock::now();
        phaseSeconds_.emplace_back(name, std::chrono::duration<double>(now - t).count());
        t = now;
    };
    parseGroups();
    lap("inodes");
    stopRequested.store(false);
    readJournal();
    lap("journal");
    stopRequested.store(false);
    recoverFromJournal();
    lap("journal inodes");
    stopRequested.store(false);
    parseDirectories();
    lap("directories");
    stopRequested.store(false);
    buildEntryMap();
    lap("entries");
    linkParentChild();
    fillRootEntries();
    lap("links");
    names_.shrink_to_fit();
    ctx_ = nullptr;
    return ScanOutcome::Done;
}

// ---- the result tree -----------------------------------------------------------

uint32_t ext2Class::addVersion(const uint8_t* p, uint32_t sequence, bool fromJournal) {
    const size_t at = versionBytes_.size();
    versionBytes_.insert(versionBytes_.end(), p, p + sb_.inodeSize);
    versions_.push_back({at, sequence, fromJournal});
    return static_cast<uint32_t>(versions_.size() - 1);
}

uint32_t ext2Class::indexOf(uint64_t inode) const {
    if (inode > 0xFFFFFFFFull) return ExtEntry::kNone;
    auto it = std::lower_bound(entries_.begin(), entries_.end(), static_cast<uint32_t>(inode),
                               [](const ExtEntry& e, uint32_t n) { return e.inode < n; });
    return it != entries_.end() && it->inode == inode ? static_cast<uint32_t>(it - entries_.begin()) : ExtEntry::kNone;
}

const ExtEntry* ext2Class::entry(EntryId id) const {
    const uint32_t i = indexOf(id);
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
        out.push_back(entries_[c].inode);
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
    out.created = fromUnixSeconds(e->ctime, e->ctimeNs);
    out.modified = fromUnixSeconds(e->mtime, e->mtimeNs);
    out.accessed = fromUnixSeconds(e->atime, e->atimeNs);
    out.attributes = attributeText(e->inodeMode);
    out.hasChildren = out.kind == EntryKind::Folder && e->firstChild != ExtEntry::kNone && e->inode != kRootInode;
    return true;
}

std::string ext2Class::attributeText(uint16_t mode) {
    static const char* const codes[9] = {"-OE", "-OW", "-OR", "-GE", "-GW", "-GR", "-UE", "-UW", "-UR"};
    std::string t;
    for (int i = 0; i < 9; ++i)
        if (mode & (1u << i)) t += codes[i];
    return t;
}

std::string ext2Class::formatSize(const ExtEntry& e) const { return formatSizeText(e.size); }

ListTexts ext2Class::formatListItem(const ExtEntry& e) const {
    auto date = [](int64_t sec) {
        auto f = localFields(sec);
        return f ? formatDateText(*f) : std::string();
    };
    ListTexts t;
    t.created = date(e.ctime);
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

size_t ext2Class::memoryBytes() const {
    size_t v = 0;
    v += versions_.capacity() * sizeof(ExtInodeVersion) + versionBytes_.capacity();
    return entries_.capacity() * sizeof(ExtEntry) + names_.capacity() + v +
           journal_.copies().capacity() * sizeof(JournalCopy);
}

}  // namespace brantlow
