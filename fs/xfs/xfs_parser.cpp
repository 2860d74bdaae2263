#include "fs/xfs/xfs_parser.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "base/bytes.h"
#include "base/texts.h"
#include "fs/api/entry_links.h"

namespace brantlow {

using namespace xfs;

namespace {

constexpr size_t kSuperSearchChunk = 1u << 20;
constexpr size_t kDirChunk = 1u << 20;
constexpr uint32_t kChunkInodes = 64;

std::string fmt(const char* f, long long a, long long b) {
    char buf[128];
    std::snprintf(buf, sizeof buf, f, a, b);
    return buf;
}

std::string inodeName(uint64_t ino) { return "inode " + std::to_string(ino); }

// A directory entry's file type against an inode's type.
bool typeMatches(uint8_t ftype, uint16_t type) {
    switch (ftype) {
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

// A superblock copy at `at` that its own AG header places there: the AGF
// that follows it names AG k, and k AGs of the copy's size end at `at`.
bool secondaryAt(const uint8_t* p, size_t n, uint64_t at, Superblock& out) {
    auto sb = decodeSuperblock(p, n);
    if (!sb) return false;
    if (static_cast<size_t>(sb->sectSize) + 16 > n) return false;
    const uint32_t k = be32(p, n, sb->sectSize + 8);
    if (be32(p, n, sb->sectSize) != kAgfMagic || k == 0 || k >= sb->agCount) return false;
    if (static_cast<uint64_t>(k) * sb->agBlocks * sb->blockSize != at) return false;
    out = *sb;
    return true;
}

}  // namespace

std::string XfsParser::rejectMessage() const { return "Selected Drive is not in XFS Format"; }

bool XfsParser::stopped() {
    if (ctx_) ctx_->wait();
    return stopRequested.load(std::memory_order_relaxed);
}

void XfsParser::status(const std::string& s) const {
    if (ctx_) ctx_->status(s);
}

bool XfsParser::readBlock(uint64_t linearBlock, uint8_t* buf) const {
    if (linearBlock >= sb_.dblocks) return false;
    return volume_.readExact(linearBlock * sb_.blockSize, buf, sb_.blockSize);
}

bool XfsParser::readInode(uint64_t ino, std::vector<uint8_t>& raw) const {
    uint64_t at = 0;
    raw.assign(sb_.inodeSize, 0);
    return sb_.inodePosition(ino, at) && volume_.readExact(at, raw.data(), raw.size());
}

uint32_t XfsParser::addFork(const uint8_t* p, size_t n, uint32_t* stored) {
    size_t keep = n;
    while (keep > 0 && p[keep - 1] == 0) --keep;
    const uint32_t at = static_cast<uint32_t>(forkPool_.size());
    forkPool_.insert(forkPool_.end(), p, p + keep);
    if (stored) *stored = static_cast<uint32_t>(keep);
    return at;
}

std::vector<uint8_t> XfsParser::forkBytes(uint32_t offset, uint32_t stored, uint32_t length) const {
    std::vector<uint8_t> out(length, 0);
    const size_t n = std::min<size_t>({stored, length, forkPool_.size() - std::min<size_t>(offset, forkPool_.size())});
    if (n) std::memcpy(out.data(), forkPool_.data() + offset, n);
    return out;
}

uint32_t XfsParser::addName(const uint8_t* p, size_t n) {
    const uint32_t off = static_cast<uint32_t>(names_.size());
    names_.append(reinterpret_cast<const char*>(p), n);
    return off;
}

// ---- superblock and AG headers ------------------------------------------------

bool XfsParser::findSuperblock(const ScanContext& ctx) {
    const uint64_t volumeBytes = volume_.sizeBytes();
    std::vector<uint8_t> head(4096);
    // Advanced mode: the superblock the operator chose gives the geometry.
    if (ctx.mode == ScanMode::Advanced && ctx.options.advancedCandidate >= 0) {
        const uint64_t at = static_cast<uint64_t>(ctx.options.advancedCandidate);
        volume_.read(at, head.data(), head.size());
        auto sb = decodeSuperblock(head.data(), head.size());
        if (sb) {
            sb_ = *sb;
            superOffset_ = at;
            return true;
        }
        damage_.add("chosen superblock", at, sb.reason());
    }
    volume_.read(0, head.data(), head.size());
    auto sb = decodeSuperblock(head.data(), head.size());
    if (sb) {
        sb_ = *sb;
        superOffset_ = 0;
        return true;
    }
    if (be32(head.data(), head.size(), 0) == kSuperMagic) damage_.add("superblock", 0, sb.reason());
    // A damaged primary: the copy at the start of a later AG.
    status("searching for a superblock copy....");
    std::vector<uint8_t> buf(kSuperSearchChunk + 4096);
    const uint64_t steps = volumeBytes / kSuperSearchChunk + 1;
    if (ctx_) ctx_->range(static_cast<int64_t>(steps));
    uint64_t step = 0;
    for (uint64_t base = 0; base < volumeBytes; base += kSuperSearchChunk, ++step) {
        if (stopped()) break;
        if (ctx_ && (step & 15) == 0) ctx_->position(static_cast<int64_t>(step));
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), volumeBytes - base));
        volume_.read(base, buf.data(), n);
        for (size_t off = 0; off + 512 <= n && off < kSuperSearchChunk; off += 512) {
            if (base + off == 0 || be32(buf.data(), n, off) != kSuperMagic) continue;
            Superblock s;
            if (!secondaryAt(buf.data() + off, n - off, base + off, s)) continue;
            sb_ = s;
            superOffset_ = base + off;
            damage_.add("superblock", 0, "the copy of AG " + std::to_string((base + off) / sb_.blockSize / sb_.agBlocks) +
                                             " taken", true);
            return true;
        }
    }
    return false;
}

void XfsParser::readAgHeaders() {
    const uint32_t ags = sb_.agCount;
    agf_.assign(ags, Agf{});
    agi_.assign(ags, Agi{});
    agfOk_.assign(ags, 0);
    agiOk_.assign(ags, 0);
    inodeTreeSound_.assign(ags, 0);
    std::vector<uint8_t> buf(3u * sb_.sectSize);
    for (uint32_t ag = 0; ag < ags; ++ag) {
        if ((ag & 255) == 0 && stopped()) break;
        const uint64_t start = static_cast<uint64_t>(ag) * sb_.agBlocks * sb_.blockSize;
        if (start >= volume_.sizeBytes()) {
            damage_.add("AG " + std::to_string(ag), start, "lies past the end of the volume");
            break;
        }
        volume_.read(start, buf.data(), buf.size());
        auto f = decodeAgf(buf.data() + sb_.sectSize, sb_.sectSize, sb_, ag);
        if (f) {
            agf_[ag] = *f;
            agfOk_[ag] = 1;
            for (const std::string& r : f.replaced()) damage_.add("AGF of AG " + std::to_string(ag), start + sb_.sectSize, r, true);
        } else {
            damage_.add("AGF of AG " + std::to_string(ag), start + sb_.sectSize, f.reason());
        }
        auto i = decodeAgi(buf.data() + 2u * sb_.sectSize, sb_.sectSize, sb_, ag);
        if (i) {
            agi_[ag] = *i;
            agiOk_[ag] = 1;
        } else {
            damage_.add("AGI of AG " + std::to_string(ag), start + 2u * sb_.sectSize, i.reason());
        }
    }
}

// ---- inodes ---------------------------------------------------------------------

void XfsParser::takeInode(uint64_t ino, const uint8_t* raw, bool free, bool fromSearch) {
    const size_t isz = sb_.inodeSize;
    uint64_t at = 0;
    sb_.inodePosition(ino, at);
    auto d = decodeInode(raw, isz, sb_);
    if (!d || (d->version == 3 && d->ino != ino)) {
        if (!free && !fromSearch)
            damage_.add(inodeName(ino), at, d ? "names itself inode " + std::to_string(d->ino) : d.reason());
        return;
    }
    if (!free) {
        LiveInode l;
        l.ino = ino;
        l.gen = d->gen;
        l.mode = d->mode;
        l.flags = d->flags;
        l.hasCrtime = d->hasCrtime;
        l.size = d->size;
        l.atime = d->atime;
        l.mtime = d->mtime;
        l.ctime = d->ctime;
        l.crtime = d->crtime;
        live_.push_back(l);
        if (d->isDir()) {
            DirInode di;
            di.ino = ino;
            di.size = d->size;
            di.gen = d->gen;
            di.format = d->format;
            di.nextents = d->nextents;
            di.forkLength = static_cast<uint32_t>(d->forkSize);
            di.fork = addFork(raw + d->forkOffset, d->forkSize, &di.stored);
            dirs_.push_back(di);
        }
        return;
    }
    // A free inode: worth keeping while its literal area holds something.
    const size_t core = sb_.inodeCoreSize();
    const uint8_t* lit = raw + core;
    const size_t n = isz - core;
    bool any = d->mode != 0;
    for (size_t k = 0; k < n && !any; ++k) any = lit[k] != 0;
    if (!any) return;
    FreedInode f;
    f.ino = ino;
    f.gen = d->gen;
    f.mode = d->mode;
    f.format = d->format;
    f.flags = d->flags;
    f.size = d->size;
    f.nextents = d->nextents;
    f.hasCrtime = d->hasCrtime;
    f.atime = d->atime;
    f.mtime = d->mtime;
    f.ctime = d->ctime;
    f.crtime = d->crtime;
    f.literalLength = static_cast<uint32_t>(n);
    f.literal = addFork(lit, n, &f.stored);
    freed_.push_back(f);
}

void XfsParser::readInodeTrees() {
    const uint32_t ags = static_cast<uint32_t>(agi_.size());
    const size_t isz = sb_.inodeSize;
    if (ctx_) ctx_->range(ags);
    std::vector<uint8_t> chunk(kChunkInodes * isz);
    BlockRead read = [this](uint64_t b, uint8_t* buf) { return readBlock(b, buf); };
    for (uint32_t ag = 0; ag < ags; ++ag) {
        if (stopped()) break;
        status(fmt("parsing allocation group %d  of %d ", ag + 1, ags));
        if (ctx_) ctx_->position(ag + 1);
        if (!agiOk_[ag]) continue;
        struct Rec {
            uint32_t start;
            uint16_t holes;
            uint64_t free;
        };
        std::vector<Rec> recs;
        WalkDamage dmg;
        const uint64_t agInodes = sb_.agLength(ag) << sb_.inoPerBlockLog;
        walkAgTree(sb_, ag, agi_[ag].root, agi_[ag].level, kInoTree, read,
                   [&](const uint8_t* r) {
                       Rec x;
                       x.start = be32(r, 16, 0);
                       x.holes = sb_.sparseInodes() ? be16(r, 16, 4) : 0;
                       x.free = be64(r, 16, 8);
                       if (x.start + uint64_t{kChunkInodes} <= agInodes)
                           recs.push_back(x);
                       else
                           dmg.note(static_cast<uint64_t>(ag) * sb_.agBlocks * sb_.blockSize,
                                    "inode chunk at AG inode " + std::to_string(x.start) + " lies outside the AG");
                       return recs.size() <= agInodes / kChunkInodes;
                   },
                   dmg);
        if (dmg.damaged)
            damage_.add("inode B+tree of AG " + std::to_string(ag), dmg.offset, dmg.what);
        else
            inodeTreeSound_[ag] = 1;
        std::sort(recs.begin(), recs.end(), [](const Rec& a, const Rec& b) { return a.start < b.start; });
        recs.erase(std::unique(recs.begin(), recs.end(), [](const Rec& a, const Rec& b) { return a.start == b.start; }),
                   recs.end());
        for (const Rec& r : recs) {
            if (stopped()) break;
            const uint64_t first = (static_cast<uint64_t>(ag) << sb_.agInoBits()) | r.start;
            uint64_t at = 0;
            if (!sb_.inodePosition(first, at)) continue;
            chunks_.emplace_back(first, r.holes);
            ++chunksRead_;
            volume_.read(at, chunk.data(), chunk.size());
            for (uint32_t k = 0; k < kChunkInodes; ++k) {
                if ((r.holes >> (k / 4)) & 1) continue;  // a sparse chunk's hole: not inodes
                takeInode(first + k, chunk.data() + k * isz, (r.free >> k) & 1, false);
            }
        }
    }
}

// ---- the log --------------------------------------------------------------------

const XfsParser::FreedInode* XfsParser::freed(uint64_t ino) const {
    auto it = std::lower_bound(freed_.begin(), freed_.end(), ino, [](const FreedInode& f, uint64_t n) { return f.ino < n; });
    return it != freed_.end() && it->ino == ino ? &*it : nullptr;
}

const XfsParser::LiveInode* XfsParser::live(uint64_t ino) const {
    auto it = std::lower_bound(live_.begin(), live_.end(), ino, [](const LiveInode& l, uint64_t n) { return l.ino < n; });
    return it != live_.end() && it->ino == ino ? &*it : nullptr;
}

void XfsParser::readLog() {
    if (sb_.logStart == 0) return;
    status("reading log....");
    VolumeRead read = [this](uint64_t at, uint8_t* buf, size_t n) { return volume_.readExact(at, buf, n); };
    walkLog(
        sb_, read,
        [this](const LoggedInode& l) {
            const FreedInode* f = freed(l.ino);
            // Earlier contents of short-form folders: names of freed inodes.
            if ((l.fields & kLogData) && l.core.isDir() && l.core.format == kFormatLocal && !l.fork.empty()) {
                auto sd = decodeShortDir(l.fork.data(), l.fork.size(), l.fork.size(), sb_, false);
                if (sd) {
                    addNamings(sd->names, l.fork.data(), l.ino, kLogged, l.lsn, l.core.gen);
                    if (f && f->gen == l.core.gen + 1) dotParent_[l.ino] = sd->parent;
                }
            }
            // Blocks a folder held in an earlier form (a block or leaf
            // folder that has since shrunk back into its inode).
            if (l.core.isDir() && (l.fields & (kLogExtents | kLogBroot)) && !l.fork.empty()) {
                const LiveInode* lv = f ? nullptr : live(l.ino);
                if ((lv && lv->gen == l.core.gen) || (f && f->gen == l.core.gen + 1)) {
                    const uint32_t per = 1u << sb_.dirBlockLog;
                    const uint64_t leafBlock = kDirLeafOffset / sb_.blockSize;
                    for (const Extent& e : mapFork(l.fork.data(), l.fork.size(), l.core.format, l.core.nextents, l.ino,
                                                   true, nullptr)) {
                        uint64_t first = 0;
                        if (e.unwritten || !sb_.linear(e.startBlock, first)) continue;
                        for (uint64_t k = 0; k < e.count && e.startOff + k < leafBlock; ++k)
                            if ((e.startOff + k) % per == 0 && k + per <= e.count)
                                oldDirBlocks_.emplace_back(l.ino, first + k);
                    }
                }
            }
            if (l.core.mode == 0) return;
            // An inode no inode B+tree knows: its chunk may have been freed
            // whole. Kept until its own inode has been read.
            const bool unknown = !f && !live(l.ino);
            if (!f && !unknown) return;
            // The incarnation that was freed last: its generation was one
            // lower (or the same, when the freed core was never cleared).
            if (f && l.core.gen + 1 != f->gen && !(f->mode != 0 && l.core.gen == f->gen)) return;
            LogCopy& c = unknown ? unknownCopies_[l.ino] : logCopies_[l.ino];
            if (unknown && c.lsn && c.gen != l.core.gen) c = LogCopy{};  // a later incarnation
            const bool truncated = l.core.isFile() && l.core.size == 0 && c.size > 0;
            if (l.lsn >= c.lsn && !truncated) {
                c.lsn = l.lsn;
                c.mode = l.core.mode;
                c.format = l.core.format;
                c.gen = l.core.gen;
                c.size = l.core.size;
                c.nextents = l.core.nextents;
            }
            if ((l.fields & (kLogExtents | kLogBroot)) && !l.fork.empty() && l.core.nextents >= c.forkExtents &&
                l.core.nextents > 0) {
                c.forkLsn = l.lsn;
                c.forkLength = static_cast<uint32_t>(l.fork.size());
                c.fork = addFork(l.fork.data(), l.fork.size(), &c.forkStored);
                c.forkFormat = l.core.format;
                c.forkExtents = l.core.nextents;
            }
        },
        [this] { return stopped(); }, &logStats_);
    // Inodes the log knows and the inode B+trees do not (in AGs whose tree
    // is sound): read from their place; a chunk freed whole keeps them.
    std::vector<uint8_t> raw;
    const size_t before = freed_.size();
    for (const auto& [ino, c] : unknownCopies_) {
        if (stopped()) break;
        const uint64_t ag = ino >> sb_.agInoBits();
        if (ag >= inodeTreeSound_.size() || !inodeTreeSound_[ag] || !readInode(ino, raw)) continue;
        const size_t n = freed_.size();
        takeInode(ino, raw.data(), true, true);
        if (freed_.size() == n) continue;
        const FreedInode& f = freed_.back();
        if (f.gen == c.gen + 1 || (f.mode && f.gen == c.gen)) logCopies_[ino] = c;
    }
    unknownCopies_.clear();
    if (freed_.size() != before)
        std::sort(freed_.begin(), freed_.end(), [](const FreedInode& a, const FreedInode& b) { return a.ino < b.ino; });
}

// ---- directories ------------------------------------------------------------------

void XfsParser::addNamings(const std::vector<DirName>& names, const uint8_t* base, uint64_t owner, uint8_t kind,
                           uint64_t lsn, uint32_t ownerGen) {
    for (const DirName& d : names) {
        if (d.dot) continue;
        uint8_t k = kind;
        if (kind == kLive && d.stale) k = kStale;
        // Names of freed inodes only (logged names also of inodes the
        // inode B+trees no longer know).
        if (k == kLogged ? live(d.ino) != nullptr : (k != kLive && !d.lowOnly && !freed(d.ino))) continue;
        Naming nm;
        nm.ino = d.ino;
        nm.owner = owner;
        nm.lsn = lsn;
        nm.ownerGen = ownerGen;
        nm.nameOffset = addName(base + d.nameOffset, d.nameLength);
        nm.nameLength = d.nameLength;
        nm.ftype = d.ftype;
        nm.kind = k;
        nm.lowOnly = d.lowOnly;
        namings_.push_back(nm);
    }
}

void XfsParser::readDirectory(const DirInode& d) {
    const std::vector<uint8_t> fork = forkBytes(d.fork, d.stored, d.forkLength);
    const uint8_t kind = d.freed ? kFreedDir : kLive;
    uint64_t at = 0;
    sb_.inodePosition(d.ino, at);
    if (d.format == kFormatLocal) {
        auto sd = decodeShortDir(fork.data(), fork.size(), d.freed ? fork.size() : d.size, sb_, true);
        if (!sd) {
            if (!d.freed) damage_.add("folder " + inodeName(d.ino), at, sd.reason());
            return;
        }
        addNamings(sd->names, fork.data(), d.ino, kind, 0, d.gen);
        if (d.freed && !dotParent_.count(d.ino)) dotParent_[d.ino] = sd->parent;
        if (!d.freed && sb_.rootIno == 0 && sd->parent == d.ino) sb_.rootIno = d.ino;
        return;
    }
    bool damaged = false;
    const std::vector<Extent> ext = mapFork(fork.data(), fork.size(), d.format, d.freed ? ~0ull : d.nextents, d.ino,
                                            d.freed, &damaged);
    if (damaged && !d.freed) damage_.add("folder " + inodeName(d.ino), at, "its block map is damaged");
    const uint32_t bs = sb_.blockSize;
    const uint32_t dirBlocks = 1u << sb_.dirBlockLog;  // file-system blocks per directory block
    const uint64_t leafBlock = kDirLeafOffset / bs;
    std::vector<uint8_t> dirBuf(sb_.dirBlockSize());
    std::vector<uint8_t> buf;
    // File block -> volume block of the extents, for directory blocks that
    // span extents.
    auto volumeBlock = [&](uint64_t fileBlock, uint64_t& out) {
        auto it = std::upper_bound(ext.begin(), ext.end(), fileBlock,
                                   [](uint64_t v, const Extent& e) { return v < e.startOff; });
        if (it == ext.begin()) return false;
        --it;
        if (fileBlock >= it->startOff + it->count || it->unwritten) return false;
        uint64_t first = 0;
        if (!sb_.linear(it->startBlock, first)) return false;
        out = first + (fileBlock - it->startOff);
        return true;
    };
    for (const Extent& e : ext) {
        if (stopped()) return;
        if (e.unwritten || e.startOff >= leafBlock) continue;
        uint64_t first = 0;
        if (!sb_.linear(e.startBlock, first)) continue;
        const uint64_t count = std::min<uint64_t>(e.count, leafBlock - e.startOff);
        for (uint64_t done = 0; done < count;) {
            const uint64_t n = std::min<uint64_t>(count - done, kDirChunk / bs);
            buf.resize(static_cast<size_t>(n * bs));
            volume_.read((first + done) * bs, buf.data(), buf.size());
            for (uint64_t k = 0; k < n; ++k) {
                const uint64_t fileBlock = e.startOff + done + k;
                if (fileBlock % dirBlocks) continue;  // inside a directory block already read
                const uint8_t* blockData = buf.data() + k * bs;
                if (dirBlocks > 1) {
                    // A directory block of several file-system blocks.
                    bool whole = true;
                    for (uint32_t j = 0; j < dirBlocks && whole; ++j) {
                        uint64_t vb = 0;
                        whole = volumeBlock(fileBlock + j, vb) && (!d.freed || !blockInUse(vb)) &&
                                readBlock(vb, dirBuf.data() + static_cast<size_t>(j) * bs);
                    }
                    if (!whole) continue;
                    blockData = dirBuf.data();
                } else if (d.freed && blockInUse(first + done + k)) {
                    continue;  // a freed folder's block that another file holds now
                }
                if (!isDirBlock(blockData, sb_.dirBlockSize())) continue;
                auto db = decodeDirBlock(blockData, sb_.dirBlockSize(), sb_, sb_.v5() ? d.ino : 0);
                if (!db) {
                    if (!d.freed) damage_.add("folder " + inodeName(d.ino) + " block", (first + done + k) * bs, db.reason());
                    continue;
                }
                if (!d.freed)
                    for (const std::string& r : db.replaced())
                        damage_.add("folder " + inodeName(d.ino) + " block", (first + done + k) * bs, r, true);
                for (const DirName& x : db->names) {
                    if (!x.dot || x.nameLength != 2 || x.stale) continue;
                    if (d.freed && !dotParent_.count(d.ino)) dotParent_[d.ino] = x.ino;
                    if (!d.freed && sb_.rootIno == 0 && x.ino == d.ino) sb_.rootIno = d.ino;
                }
                addNamings(db->names, blockData, d.ino, kind, 0, d.gen);
            }
            done += n;
        }
    }
}

void XfsParser::readDirectories() {
    std::sort(dirs_.begin(), dirs_.end(), [](const DirInode& a, const DirInode& b) { return a.ino < b.ino; });
    const int64_t total = static_cast<int64_t>(dirs_.size());
    if (ctx_) ctx_->range(total);
    for (size_t i = 0; i < dirs_.size(); ++i) {
        if ((i & 255) == 0) {
            if (stopped()) break;
            status(fmt("parsing inode entry %d  of %d ", static_cast<long long>(i + 1), total));
            if (ctx_) ctx_->position(static_cast<int64_t>(i + 1));
        }
        readDirectory(dirs_[i]);
    }
    // Blocks folders held earlier and nobody holds now: their names of
    // freed inodes.
    std::sort(oldDirBlocks_.begin(), oldDirBlocks_.end());
    oldDirBlocks_.erase(std::unique(oldDirBlocks_.begin(), oldDirBlocks_.end()), oldDirBlocks_.end());
    const uint32_t dirBytes = sb_.dirBlockSize();
    const uint32_t per = 1u << sb_.dirBlockLog;
    std::vector<uint8_t> buf(dirBytes);
    for (const auto& [owner, block] : oldDirBlocks_) {
        if (stopped()) break;
        if (allocationMap().known() && allocationMap().allocatedIn(block, per) != 0) continue;
        if (!volume_.readExact(block * sb_.blockSize, buf.data(), buf.size()) || !isDirBlock(buf.data(), dirBytes))
            continue;
        auto db = decodeDirBlock(buf.data(), dirBytes, sb_, sb_.v5() ? owner : 0);
        if (db) addNamings(db->names, buf.data(), owner, kFreedDir, 0, 0);
    }
    oldDirBlocks_.clear();
    status(fmt("parsed inode entry %d  of %d ", total, total));
}

// ---- freed inodes -------------------------------------------------------------------

void XfsParser::classifyFreed() {
    status("looking at freed inodes....");
    const uint32_t bs = sb_.blockSize;
    std::vector<uint8_t> block(bs);
    for (FreedInode& f : freed_) {
        if (stopped()) break;
        const std::vector<uint8_t> lit = forkBytes(f.literal, f.stored, f.literalLength);
        uint16_t mode = 0;
        uint8_t format = 0;
        uint64_t size = 0, maxExtents = ~0ull;
        const LogCopy* c = nullptr;
        if (auto it = logCopies_.find(f.ino); it != logCopies_.end()) c = &it->second;
        if (c && c->mode) {
            mode = c->mode;
            format = c->format;
            size = c->size;
            maxExtents = c->nextents ? c->nextents : ~0ull;
        } else if (f.mode) {
            mode = f.mode;
            format = f.format;
            size = f.size;
            maxExtents = f.nextents ? f.nextents : ~0ull;
        }
        const uint16_t type = mode & kTypeMask;
        if (mode == 0) {
            // Nothing says what it was: what its literal area holds.
            auto sd = decodeShortDir(lit.data(), lit.size(), lit.size(), sb_, false);
            if (sd && !sd->names.empty()) {
                mode = kTypeDir;
                format = kFormatLocal;
            } else if (auto ext = decodeExtentList(lit.data(), lit.size(), ~0ull, sb_); !ext.empty()) {
                format = kFormatExtents;
                mode = kTypeFile;
                uint64_t b = 0;
                if (ext[0].startOff == 0 && sb_.linear(ext[0].startBlock, b) && !blockInUse(b) &&
                    readBlock(b, block.data()) && isDirBlock(block.data(), bs) &&
                    (!sb_.v5() || be64(block.data(), bs, 40) == f.ino))
                    mode = kTypeDir;
            } else if (decodeBmapRoot(lit.data(), lit.size(), sb_)) {
                format = kFormatBtree;
                mode = kTypeFile;
            } else {
                continue;
            }
        } else if (type != kTypeDir && type != kTypeFile) {
            continue;  // links and special files: nothing to bring back
        }
        f.resolvedMode = mode;
        if ((mode & kTypeMask) == kTypeDir) {
            f.listable = true;
            DirInode di;
            di.ino = f.ino;
            di.gen = f.gen;
            di.freed = true;
            di.format = format;
            di.forkLength = f.literalLength;
            di.fork = f.literal;
            di.stored = f.stored;
            if (format != kFormatLocal && c && c->forkLength &&
                mapFork(lit.data(), lit.size(), format, ~0ull, f.ino, true, nullptr).empty()) {
                di.fork = c->fork;
                di.stored = c->forkStored;
                di.forkLength = c->forkLength;
                di.format = c->forkFormat;
            }
            dirs_.push_back(di);
            continue;
        }
        // A file: its data fork from the literal area, else a logged copy.
        XfsKeptFork kf{f.literal, f.stored, f.literalLength, format == kFormatBtree ? kFormatBtree : kFormatExtents,
                       maxExtents};
        std::vector<Extent> ext = mapFork(lit.data(), lit.size(), kf.format, maxExtents, f.ino, true, nullptr);
        if (ext.empty() && c && c->forkLength) {
            kf = {c->fork, c->forkStored, c->forkLength, c->forkFormat, c->forkExtents};
            const std::vector<uint8_t> lf = forkBytes(kf.offset, kf.stored, kf.length);
            ext = mapFork(lf.data(), lf.size(), kf.format, kf.maxExtents, f.ino, true, nullptr);
        }
        if (ext.empty()) continue;
        f.keptFork = static_cast<uint32_t>(forks_.size());
        forks_.push_back(kf);
        if (size == 0) {
            size = trimmedSize(ext);
            f.sizeFromBlocks = true;
        }
        f.resolvedSize = size;
        f.listable = true;
    }
}

uint64_t XfsParser::trimmedSize(const std::vector<Extent>& ext) const {
    const uint32_t bs = sb_.blockSize;
    const Extent& last = ext.back();
    const uint64_t end = (last.startOff + last.count) * bs;
    uint64_t b = 0;
    std::vector<uint8_t> block(bs);
    // The last block says where the content ends, while it is still the file's.
    if (last.unwritten || !sb_.linear(last.startBlock, b) || blockInUse(b + last.count - 1) ||
        !readBlock(b + last.count - 1, block.data()))
        return end;
    size_t n = bs;
    while (n > 0 && block[n - 1] == 0) --n;
    return n == 0 ? end : end - bs + n;
}

// ---- entries --------------------------------------------------------------------------

void XfsParser::buildEntries() {
    status("clearing vector....");
    entries_.clear();
    // Names whose inode number lost its high half: the freed inode with
    // those low 32 bits, when only one has them.
    std::unordered_map<uint32_t, uint64_t> byLow;
    for (const FreedInode& f : freed_) {
        auto [it, fresh] = byLow.emplace(static_cast<uint32_t>(f.ino), f.ino);
        if (!fresh) it->second = 0;
    }
    for (Naming& nm : namings_) {
        if (!nm.lowOnly) continue;
        auto it = byLow.find(static_cast<uint32_t>(nm.ino));
        nm.ino = it != byLow.end() ? it->second : 0;
    }
    std::stable_sort(namings_.begin(), namings_.end(), [](const Naming& a, const Naming& b) { return a.ino < b.ino; });

    // Whether a logged naming's folder is still that folder.
    auto ownerHolds = [&](const Naming& nm) {
        if (nm.kind != kLogged) return true;
        if (const LiveInode* l = live(nm.owner)) return l->gen == nm.ownerGen && (l->mode & kTypeMask) == kTypeDir;
        if (const FreedInode* f = freed(nm.owner))
            return (f->gen == nm.ownerGen + 1 || (f->mode && f->gen == nm.ownerGen)) &&
                   (f->resolvedMode & kTypeMask) == kTypeDir;
        return false;
    };
    auto rank = [](const Naming& nm) {
        // Logged copies by their age, then removed entries of live folders,
        // then the contents of freed folders.
        switch (nm.kind) {
            case kLogged: return 3;
            case kStale: return 2;
            default: return 1;
        }
    };

    std::unordered_set<uint64_t> owners;
    std::vector<std::pair<size_t, const Naming*>> chosenFreed;  // freed_ index, naming
    size_t i = 0;
    while (i < namings_.size()) {
        size_t j = i;
        while (j < namings_.size() && namings_[j].ino == namings_[i].ino) ++j;
        const uint64_t ino = namings_[i].ino;
        if (ino == 0) {
            i = j;
            continue;
        }
        if (const LiveInode* l = live(ino)) {
            const Naming* pick = nullptr;
            for (size_t k = i; k < j && !pick; ++k)
                if (namings_[k].kind == kLive) pick = &namings_[k];
            if (pick && ino != sb_.rootIno) {
                XfsEntry e;
                e.ino = ino;
                e.parent = pick->owner;
                e.nameOffset = pick->nameOffset;
                e.nameLength = pick->nameLength;
                e.mode = l->mode;
                e.size = l->size;
                e.atime = l->atime;
                e.mtime = l->mtime;
                e.ctime = l->ctime;
                e.crtime = l->crtime;
                if (l->hasCrtime) e.bits |= XfsEntry::kHasCrtime;
                if ((l->flags & kFlagRealtime) && (l->mode & kTypeMask) == kTypeFile) e.bits |= XfsEntry::kRealtime;
                entries_.push_back(e);
            }
        } else if (const FreedInode* f = freed(ino); f && f->listable) {
            const Naming* pick = nullptr;
            for (size_t k = i; k < j; ++k) {
                const Naming& nm = namings_[k];
                if (nm.kind == kLive || !typeMatches(nm.ftype, f->resolvedMode & kTypeMask)) continue;
                if (!pick || rank(nm) > rank(*pick) || (nm.kind == kLogged && pick->kind == kLogged && nm.lsn >= pick->lsn))
                    pick = &nm;
            }
            if (pick) {
                chosenFreed.emplace_back(static_cast<size_t>(f - freed_.data()), pick);
                if (ownerHolds(*pick)) owners.insert(pick->owner);
            }
        }
        i = j;
    }
    auto addFreed = [&](const FreedInode& f, EntryId parent, uint32_t nameOffset, uint16_t nameLength, bool nameless) {
        XfsEntry e;
        e.ino = f.ino;
        e.parent = parent;
        e.nameOffset = nameOffset;
        e.nameLength = nameLength;
        e.mode = f.resolvedMode;
        e.size = (f.resolvedMode & kTypeMask) == kTypeDir ? 0 : f.resolvedSize;
        e.atime = f.atime;
        e.mtime = f.mtime;
        e.ctime = f.ctime;
        e.crtime = f.crtime;
        e.fork = f.keptFork;
        e.bits = XfsEntry::kDeleted;
        if (f.hasCrtime) e.bits |= XfsEntry::kHasCrtime;
        if (f.sizeFromBlocks) e.bits |= XfsEntry::kSizeFromBlocks;
        if (nameless) e.bits |= XfsEntry::kNameless;
        if ((f.flags & kFlagRealtime) && f.mode) e.bits |= XfsEntry::kRealtime;
        entries_.push_back(e);
    };
    // Whether a freed file is worth listing: some of its blocks are free.
    auto anyFree = [&](const FreedInode& f) {
        if (f.keptFork == XfsEntry::kNone) return false;
        XfsEntry probe;
        probe.ino = f.ino;
        probe.fork = f.keptFork;
        probe.bits = XfsEntry::kDeleted;
        for (const Extent& x : entryExtents(probe, nullptr)) {
            uint64_t b = 0;
            if (!sb_.linear(x.startBlock, b)) continue;
            if (!allocationMap().known() || allocationMap().allocatedIn(b, x.count) < x.count) return true;
        }
        return false;
    };
    std::unordered_set<uint64_t> named;
    for (const auto& [fi, nm] : chosenFreed) {
        const FreedInode& f = freed_[fi];
        const bool dir = (f.resolvedMode & kTypeMask) == kTypeDir;
        EntryId parent = ownerHolds(*nm) ? nm->owner : kXfsOrphanId;
        if (dir && !ownerHolds(*nm)) {
            if (auto dp = dotParent_.find(f.ino); dp != dotParent_.end()) parent = dp->second;
        }
        if (!dir && f.keptFork == XfsEntry::kNone) continue;
        addFreed(f, parent, nm->nameOffset, nm->nameLength, false);
        named.insert(f.ino);
    }
    // Freed inodes no name was found for: "inode-N" under the orphan
    // folder (folders only while they hold something named).
    for (const FreedInode& f : freed_) {
        if (!f.listable || named.count(f.ino)) continue;
        const bool dir = (f.resolvedMode & kTypeMask) == kTypeDir;
        if (dir ? !owners.count(f.ino) : !anyFree(f)) continue;
        EntryId parent = kXfsOrphanId;
        if (auto dp = dotParent_.find(f.ino); dir && dp != dotParent_.end()) parent = dp->second;
        std::string name = "inode-" + std::to_string(f.ino);
        if (!dir && ctx_ && ctx_->options.guessExtension && f.keptFork != XfsEntry::kNone) {
            XfsEntry probe;
            probe.ino = f.ino;
            probe.fork = f.keptFork;
            probe.bits = XfsEntry::kDeleted;
            std::vector<Extent> ext = entryExtents(probe, nullptr);
            std::vector<uint8_t> block(sb_.blockSize);
            uint64_t b = 0;
            if (!ext.empty() && ext[0].startOff == 0 && !ext[0].unwritten && sb_.linear(ext[0].startBlock, b) &&
                !blockInUse(b) && readBlock(b, block.data())) {
                const std::string x = ctx_->options.guessExtension(
                    block.data(), static_cast<size_t>(std::min<uint64_t>(block.size(), f.resolvedSize)));
                if (!x.empty()) name += "." + x;
            }
        }
        addFreed(f, parent, addName(name), static_cast<uint16_t>(name.size()), true);
    }
    std::sort(entries_.begin(), entries_.end(), [](const XfsEntry& a, const XfsEntry& b) { return a.ino < b.ino; });
    namings_.clear();
    namings_.shrink_to_fit();
}

uint32_t XfsParser::indexOf(uint64_t ino) const {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), ino, [](const XfsEntry& e, uint64_t n) { return e.ino < n; });
    return it != entries_.end() && it->ino == ino ? static_cast<uint32_t>(it - entries_.begin()) : XfsEntry::kNone;
}

const XfsEntry* XfsParser::entry(EntryId id) const {
    const uint32_t i = indexOf(id);
    return i == XfsEntry::kNone ? nullptr : &entries_[i];
}

void XfsParser::linkParentChild() {
    const size_t n = entries_.size();
    status("Maintaining Parent Child....");
    if (ctx_) ctx_->range(static_cast<int64_t>(n));
    for (XfsEntry& e : entries_) {
        if (e.parent == sb_.rootIno) e.parent = kRootId;
        if (e.parent == kXfsOrphanId) e.bits |= XfsEntry::kOrphan;
    }
    linkEntries(
        entries_, kXfsOrphanId, rootFirst_, orphanFirst_, [this](EntryId id) { return indexOf(id); },
        [](const XfsEntry& e) { return e.type() == kTypeDir; }, [](XfsEntry& e) { e.bits |= XfsEntry::kOrphan; });
    status(fmt("Maintaining Parent Child for record %d of %d....", static_cast<long long>(n), static_cast<long long>(n)));
    if (ctx_) ctx_->position(static_cast<int64_t>(n));
}

ScanOutcome XfsParser::scan(ScanContext& ctx) {
    ctx_ = &ctx;
    volume_ = ctx.volume;
    damage_.clear();
    entries_.clear();
    names_.clear();
    forkPool_.clear();
    forks_.clear();
    live_.clear();
    freed_.clear();
    dirs_.clear();
    logCopies_.clear();
    unknownCopies_.clear();
    namings_.clear();
    dotParent_.clear();
    oldDirBlocks_.clear();
    chunks_.clear();
    chunksRead_ = 0;
    logStats_ = {};
    allocation_.reset();
    rejectedNoSuper_ = false;
    if (!findSuperblock(ctx)) {
        rejectedNoSuper_ = true;
        stopRequested.store(false);
        ctx_ = nullptr;
        return ScanOutcome::Rejected;
    }
    stopRequested.store(false);
    if (sb_.hasRealtime())
        ctx.message("This XFS volume keeps some files on a separate real-time device: their content cannot be "
                    "read from this volume and they are not saved.");
    phaseSeconds_.clear();
    auto t = std::chrono::steady_clock::now();
    auto lap = [&](const char* name) {
        auto now = std::chrono::steady_clock::now();
        phaseSeconds_.emplace_back(name, std::chrono::duration<double>(now - t).count());
        t = now;
    };
    readAgHeaders();
    readInodeTrees();
    if (ctx.mode == ScanMode::Advanced) searchInodeChunks();
    auto byIno = [](const auto& a, const auto& b) { return a.ino < b.ino; };
    auto sameIno = [](const auto& a, const auto& b) { return a.ino == b.ino; };
    std::sort(live_.begin(), live_.end(), byIno);
    live_.erase(std::unique(live_.begin(), live_.end(), sameIno), live_.end());
    std::sort(freed_.begin(), freed_.end(), byIno);
    freed_.erase(std::unique(freed_.begin(), freed_.end(), sameIno), freed_.end());
    lap("inodes");
    stopRequested.store(false);
    mapDamage_.clear();
    allocationMap();
    for (const DamageNote& d : mapDamage_) damage_.add(d.structure, d.offset, d.what);
    lap("free space");
    readLog();
    lap("log");
    stopRequested.store(false);
    classifyFreed();
    lap("freed inodes");
    stopRequested.store(false);
    readDirectories();
    lap("directories");
    stopRequested.store(false);
    buildEntries();
    linkParentChild();
    status("filling root entries in  tree....");
    lap("entries");
    live_.clear();
    live_.shrink_to_fit();
    freed_.clear();
    freed_.shrink_to_fit();
    dirs_.clear();
    dirs_.shrink_to_fit();
    logCopies_.clear();
    dotParent_.clear();
    names_.shrink_to_fit();
    ctx_ = nullptr;
    return ScanOutcome::Done;
}

// ---- the result tree -----------------------------------------------------------------

std::vector<EntryId> XfsParser::children(EntryId folder) const {
    uint32_t first;
    if (folder == kRootId) {
        first = rootFirst_;
    } else if (folder == kXfsOrphanId) {
        first = orphanFirst_;
    } else {
        const XfsEntry* e = entry(folder);
        if (!e || e->type() != kTypeDir) return {};
        first = e->firstChild;
    }
    std::vector<EntryId> out = childIds(entries_, first, [](const XfsEntry& e) { return e.ino; });
    if (folder == kRootId && orphanFirst_ != XfsEntry::kNone) out.push_back(kXfsOrphanId);
    return out;
}

bool XfsParser::readEntry(EntryId id, EntryInfo& out) const {
    out = EntryInfo{};
    if (id == kXfsOrphanId) {
        if (orphanFirst_ == XfsEntry::kNone) return false;
        out.name = kXfsOrphanName;
        out.kind = EntryKind::Folder;
        out.hasChildren = true;
        return true;
    }
    const XfsEntry* e = entry(id);
    if (!e) return false;
    out.name = nameOf(*e);
    const uint16_t t = e->type();
    out.kind = t == kTypeDir ? EntryKind::Folder : t == kTypeFile ? EntryKind::File : EntryKind::Other;
    out.state = (e->bits & XfsEntry::kDeleted) ? EntryState::Deleted : EntryState::Live;
    out.orphan = e->bits & XfsEntry::kOrphan;
    out.size = out.kind == EntryKind::Folder ? 0 : e->size;
    const Timestamp& born = (e->bits & XfsEntry::kHasCrtime) ? e->crtime : e->ctime;
    out.created = fromUnixSeconds(born.sec, born.nsec);
    out.modified = fromUnixSeconds(e->mtime.sec, e->mtime.nsec);
    out.accessed = fromUnixSeconds(e->atime.sec, e->atime.nsec);
    out.attributes = attributeText(e->mode);
    out.hasChildren = out.kind == EntryKind::Folder && e->firstChild != XfsEntry::kNone;
    return true;
}

std::string XfsParser::attributeText(uint16_t mode) {
    static const char* const codes[9] = {"-OE", "-OW", "-OR", "-GE", "-GW", "-GR", "-UE", "-UW", "-UR"};
    std::string t;
    for (int i = 0; i < 9; ++i)
        if (mode & (1u << i)) t += codes[i];
    return t;
}

ListTexts XfsParser::listTexts(EntryId id) const {
    const XfsEntry* e = id == kXfsOrphanId ? nullptr : entry(id);
    if (!e) return {};
    auto date = [](const Timestamp& ts) {
        auto f = localFields(ts.sec);
        return f ? formatDateText(*f) : std::string();
    };
    ListTexts t;
    t.created = date((e->bits & XfsEntry::kHasCrtime) ? e->crtime : e->ctime);
    t.accessed = date(e->atime);
    t.modified = date(e->mtime);
    t.attributes = attributeText(e->mode);
    t.size = formatSizeText(e->type() == kTypeDir ? 0 : e->size);
    return t;
}

size_t XfsParser::memoryBytes() const {
    return entries_.capacity() * sizeof(XfsEntry) + names_.capacity() + forkPool_.capacity() +
           forks_.capacity() * sizeof(XfsKeptFork);
}

}  // namespace brantlow
