// The inode tables: one pass over every group's table, up to its high-water
// mark where the group checksums keep one. Each inode that was ever used is
// kept in short (mode, size, times, in use or not); directories whole, for
// the directory pass; freed inodes that still hold their block map (ext2)
// as a recovered copy.
#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "fs/ext/ext_internal.h"
#include "fs/ext/ext_parser.h"

namespace brantlow {

using namespace ext;

namespace {
constexpr size_t kTableChunk = 4u << 20;
}  // namespace

void ext2Class::parseGroups() {
    const size_t groups = groups_.size();
    if (ctx_) ctx_->range(static_cast<int64_t>(groups));
    std::vector<uint8_t> table;
    std::vector<uint8_t> bitmap(sb_.blockSize);
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
        if (!groups_[g].inodeTable) continue;
        if (static_cast<uint64_t>(g) * sb_.inodesPerGroup + 1 > sb_.inodesCount) break;
        readInodeTable(g, table, bitmap);
    }
}

// One group's inodes, in 4 MiB reads.
void ext2Class::readInodeTable(size_t g, std::vector<uint8_t>& table, std::vector<uint8_t>& bitmap) {
    const uint32_t isz = sb_.inodeSize;
    const GroupDesc& d = groups_[g];
    const uint64_t firstInode = static_cast<uint64_t>(g) * sb_.inodesPerGroup + 1;
    uint64_t count = std::min<uint64_t>(sb_.inodesPerGroup, sb_.inodesCount - firstInode + 1);
    // Inodes beyond the group's high-water mark were never used.
    if (sb_.groupChecksums()) {
        if (d.flags & kBgInodeUninit) return;
        count = std::min<uint64_t>(count, sb_.inodesPerGroup - std::min(d.itableUnused, sb_.inodesPerGroup));
    }
    const bool bitmapKnown = d.inodeBitmap && readBlock(d.inodeBitmap, bitmap.data());
    for (uint64_t done = 0; done < count;) {
        const uint64_t n = std::min<uint64_t>(count - done, kTableChunk / isz);
        table.resize(static_cast<size_t>(n * isz));
        volume_.read(d.inodeTable * sb_.blockSize + done * isz, table.data(), table.size());
        for (uint64_t k = 0; k < n; ++k) {
            const uint8_t* p = table.data() + k * isz;
            if (le16(p, isz, 0) == 0) continue;
            const uint64_t slot = done + k;
            takeInode(p, static_cast<uint32_t>(firstInode + slot), slot, bitmapKnown, bitmap.data());
        }
        done += n;
    }
}

// One inode of the current table (its mode is not 0).
void ext2Class::takeInode(const uint8_t* p, uint32_t inode, uint64_t slot, bool bitmapKnown, const uint8_t* bitmap) {
    const uint32_t isz = sb_.inodeSize;
    const Decoded<Inode> decoded = decodeInode(p, isz);
    if (!decoded) {
        note("inode " + std::to_string(inode), inodeOffset(inode), decoded.reason());
        return;
    }
    for (const std::string& r : decoded.replaced()) note("inode " + std::to_string(inode), inodeOffset(inode), r, true);
    const Inode& ino = *decoded;
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
    r.crtime = ino.crtime;
    r.crtimeNs = ino.crtimeNs;
    r.dtime = ino.dtime;
    r.hasCrtime = ino.hasCrtime;
    recs_.push_back(r);
    if (r.inUse && !inUseBits_.empty()) inUseBits_[inode / 64] |= 1ull << (inode % 64);
    // A freed inode that still holds its block map (ext2).
    if (!r.inUse && r.hasBlocks && contentType(ino.type()) && inode >= sb_.firstInode)
        versionOf_[inode] = addVersion(p, 0, false);
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

uint32_t ext2Class::addVersion(const uint8_t* p, uint32_t sequence, bool fromJournal) {
    const size_t at = versionBytes_.size();
    versionBytes_.insert(versionBytes_.end(), p, p + sb_.inodeSize);
    versions_.push_back({at, sequence, fromJournal});
    return static_cast<uint32_t>(versions_.size() - 1);
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
    // The same block area, flags and size as the inode mapped last (an
    // inode's own, not a journal copy's): that map.
    auto same = [&](const MapMemo& m) {
        return m.held && !v && m.deleted == deleted && m.flags == ino.flags && m.size == ino.size &&
               m.blockSize == bs && m.blocks == sb_.blocksCount &&
               std::memcmp(m.block, ino.block, sizeof m.block) == 0;
    };
    {
        std::lock_guard<std::mutex> lk(memoMutex_);
        if (same(mapMemo_)) return mapMemo_.result;
    }
    MapResult r = mapBlocks(ino, bs, sb_.blocksCount, maxLogical, fetch);
    if (!v) {
        std::lock_guard<std::mutex> lk(memoMutex_);
        mapMemo_.held = true;
        mapMemo_.deleted = deleted;
        mapMemo_.flags = ino.flags;
        mapMemo_.size = ino.size;
        mapMemo_.blockSize = bs;
        mapMemo_.blocks = sb_.blocksCount;
        std::memcpy(mapMemo_.block, ino.block, sizeof mapMemo_.block);
        mapMemo_.result = r;
    }
    return r;
}

}  // namespace brantlow
