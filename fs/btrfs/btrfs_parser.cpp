#include "fs/btrfs/btrfs_parser.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>

#include "base/bytes.h"
#include "base/texts.h"
#include "fs/btrfs/btrfs_compress.h"

namespace brantlow {

using namespace btrfs;

namespace {

constexpr size_t kReadPiece = 1u << 20;
// A compressed extent never holds more than 128 KiB; anything larger is
// not one.
constexpr uint64_t kMaxCompressed = 128u << 10;

OptTime timeOf(const Timespec& t) { return fromUnixSeconds(t.sec, static_cast<int32_t>(t.nsec)); }

}  // namespace

std::string BtrfsParser::rejectMessage() const { return "Selected Drive is not in Btrfs Format"; }

bool BtrfsParser::stopped() {
    if (ctx_) ctx_->wait();
    return stopRequested.load(std::memory_order_relaxed);
}

// ---- superblock and chunks ---------------------------------------------------------

std::vector<std::pair<uint64_t, Superblock>> BtrfsParser::findSuperblocks(const VolumeView& volume) {
    std::vector<std::pair<uint64_t, Superblock>> out;
    std::vector<uint8_t> buf(kSuperSize);
    for (uint64_t at : {kSuperOffset, kMirrorOffsets[0], kMirrorOffsets[1]}) {
        if (at + kSuperSize > volume.sizeBytes()) break;
        if (!volume.readExact(at, buf.data(), buf.size())) continue;
        auto sb = decodeSuperblock(buf.data(), buf.size());
        if (sb && sb->bytenr == at) out.emplace_back(at, *sb);
    }
    return out;
}

bool BtrfsParser::findSuperblock(const ScanContext& ctx) {
    std::vector<uint8_t> buf(kSuperSize);
    if (ctx.mode == ScanMode::Advanced && ctx.options.advancedCandidate >= 0) {
        // The copy chosen on the advanced-input page, taken even when its checksum fails.
        for (const auto& [at, sb] : findSuperblocks(ctx.volume))
            if (at == static_cast<uint64_t>(ctx.options.advancedCandidate)) {
                if (!sb.checksumOk) damage_.add("Btrfs superblock", at, "checksum mismatch: taken as chosen", true);
                sb_ = sb;
                superOffset_ = at;
                return true;
            }
    }
    const uint64_t places[3] = {kSuperOffset, kMirrorOffsets[0], kMirrorOffsets[1]};
    for (uint64_t at : places) {
        if (at + kSuperSize > ctx.volume.sizeBytes()) break;
        if (!ctx.volume.readExact(at, buf.data(), buf.size())) continue;
        auto sb = decodeSuperblock(buf.data(), buf.size());
        std::string why;
        if (!sb)
            why = sb.reason();
        else if (!sb->checksumOk)
            why = "checksum mismatch";
        else if (sb->bytenr != at)
            why = "records itself at byte " + std::to_string(sb->bytenr);
        if (why.empty()) {
            sb_ = *sb;
            superOffset_ = at;
            return true;
        }
        damage_.add("Btrfs superblock", at, why);
    }
    return false;
}

bool BtrfsParser::addChunk(const Chunk& c, uint64_t at) {
    MappedChunk m;
    m.logical = c.logical;
    m.length = c.length;
    m.type = c.type;
    for (const Stripe& s : c.stripes) {
        uint64_t end = 0;
        if (s.devid != sb_.devid || addOverflows(s.offset, c.length, &end) || end > volume_.sizeBytes()) continue;
        m.physical.push_back(s.offset);
        if (!(c.type & (kBgDup | kBgMirrored))) break;  // single: one stripe
    }
    if (c.type & kBgStriped) {
        m.refused = true;
        m.physical.clear();
        damage_.add("Btrfs chunk " + std::to_string(c.logical), at,
                    "striped over several devices (RAID0, RAID10, RAID5 or RAID6): not read");
        if (!refusedMessage_ && ctx_)
            ctx_->message("This Btrfs volume spreads some of its data over several devices (RAID0, RAID10, RAID5 "
                          "or RAID6): files stored there cannot be read from this device alone.");
        refusedMessage_ = true;
    } else if (m.physical.empty()) {
        damage_.add("Btrfs chunk " + std::to_string(c.logical), at, "no copy on this device");
    }
    auto it = std::lower_bound(chunks_.begin(), chunks_.end(), m.logical,
                               [](const MappedChunk& a, uint64_t l) { return a.logical < l; });
    if (it != chunks_.end() && it->logical == m.logical && it->length == m.length) return true;  // seen
    const bool overlapsNext = it != chunks_.end() && it->logical < m.logical + m.length;
    const bool overlapsPrev = it != chunks_.begin() && std::prev(it)->logical + std::prev(it)->length > m.logical;
    if (overlapsNext || overlapsPrev) {
        damage_.add("Btrfs chunk " + std::to_string(c.logical), at, "overlaps another chunk: refused");
        return false;
    }
    chunks_.insert(it, std::move(m));
    return true;
}

std::vector<uint64_t> BtrfsParser::mapLogical(uint64_t logical, uint64_t length) const {
    auto it = std::upper_bound(chunks_.begin(), chunks_.end(), logical,
                               [](uint64_t l, const MappedChunk& a) { return l < a.logical; });
    if (it == chunks_.begin()) return {};
    --it;
    if (logical - it->logical >= it->length || length > it->length - (logical - it->logical)) return {};
    std::vector<uint64_t> out;
    for (uint64_t p : it->physical) out.push_back(p + (logical - it->logical));
    return out;
}

uint64_t BtrfsParser::placeOf(uint64_t logical) const {
    auto at = mapLogical(logical, 1);
    return at.empty() ? logical : at.front();
}

bool BtrfsParser::readChunkTree() {
    for (const auto& c : decodeSysChunkArray(sb_.sysChunkArray)) {
        if (!c) {
            damage_.add("Btrfs system chunk array", superOffset_ + 0x32b, c.reason());
            break;
        }
        addChunk(*c, superOffset_ + 0x32b);
    }
    return walkTree(sb_.chunkRoot, sb_.chunkRootLevel, 0, false, "chunk tree",
                    [&](const uint8_t* node, const NodeHeader&, const LeafItem& it, uint64_t leaf) {
                        if (it.key.type != kChunkItem) return;
                        auto c = decodeChunk(node + it.offset, it.size, it.key.offset);
                        if (!c) {
                            damage_.add("Btrfs chunk item", placeOf(leaf), c.reason());
                            return;
                        }
                        addChunk(*c, placeOf(leaf));
                    });
}

// ---- nodes and trees ---------------------------------------------------------------

bool BtrfsParser::readNode(uint64_t logical, std::vector<uint8_t>& buf, NodeHeader& h, std::string* why) const {
    buf.resize(sb_.nodeSize);
    const auto copies = mapLogical(logical, sb_.nodeSize);
    if (copies.empty()) {
        if (why) *why = "not inside a chunk on this device";
        return false;
    }
    for (uint64_t phys : copies) {
        if (!volume_.readExact(phys, buf.data(), buf.size())) {
            if (why) *why = "unreadable";
            continue;
        }
        auto hd = decodeNodeHeader(buf.data(), buf.size(), sb_.nodeSize);
        if (!hd) {
            if (why) *why = hd.reason();
            continue;
        }
        if (hd->bytenr != logical) {
            if (why) *why = "holds the node of " + std::to_string(hd->bytenr);
            continue;
        }
        if (std::memcmp(hd->fsid, sb_.fsid, 16) != 0) {
            if (why) *why = "belongs to another volume";
            continue;
        }
        if (sb_.csumType == 0 && !checksumMatches(buf.data(), buf.size())) {
            if (why) *why = "checksum mismatch";
            continue;
        }
        h = *hd;
        return true;
    }
    return false;
}

template <class Fn>
bool BtrfsParser::walkTree(uint64_t root, uint8_t level, uint64_t generation, bool quiet, const char* what, Fn&& fn,
                           NodeSet* record, const NodeSet* skip) {
    struct Step {
        uint64_t logical, generation;
        uint8_t level;
    };
    std::vector<Step> stack{{root, generation, level}};
    std::unordered_set<uint64_t> seen;
    const uint64_t maxNodes = volume_.sizeBytes() / sb_.nodeSize + 1;
    std::vector<uint8_t> buf;
    bool whole = true;
    auto note = [&](uint64_t at, const std::string& why) {
        whole = false;
        if (!quiet) damage_.add(std::string("Btrfs ") + what + " node " + std::to_string(at), placeOf(at), why);
    };
    while (!stack.empty()) {
        if (stopped()) return false;
        const Step s = stack.back();
        stack.pop_back();
        if (skip && s.generation) {
            // A node the current trees hold too (same place, same
            // generation): nothing in it differs from them.
            auto held = skip->find(s.logical);
            if (held != skip->end() && held->second == s.generation) continue;
        }
        if (!seen.insert(s.logical).second || seen.size() > maxNodes) {
            note(s.logical, "reached twice: a cycle");
            continue;
        }
        NodeHeader h;
        std::string why;
        if (!readNode(s.logical, buf, h, &why)) {
            note(s.logical, why);
            continue;
        }
        if (h.level != s.level) {
            note(s.logical, "level " + std::to_string(h.level) + " where " + std::to_string(s.level) + " was due");
            continue;
        }
        if (s.generation && h.generation != s.generation) {
            note(s.logical, "generation " + std::to_string(h.generation) + " where " + std::to_string(s.generation) +
                                " was due");
            continue;
        }
        if (record) (*record)[s.logical] = h.generation;
        if (h.level == 0) {
            for (uint32_t i = 0; i < h.nritems; ++i) {
                auto it = leafItem(buf.data(), buf.size(), h, i);
                if (!it) {
                    note(s.logical, it.reason());
                    continue;
                }
                fn(buf.data(), h, *it, s.logical);
            }
            continue;
        }
        // Children pushed last-first so that leaves come in key order.
        for (uint32_t i = h.nritems; i-- > 0;) {
            const KeyPtr p = keyPtr(buf.data(), buf.size(), i);
            stack.push_back({p.block, p.generation, static_cast<uint8_t>(h.level - 1)});
        }
    }
    return whole;
}

bool BtrfsParser::readRoots(uint64_t root, uint8_t level, uint64_t generation, bool quiet,
                            std::vector<TreeRoot>& fsTrees, TreeRoot* extentTree, TreeRoot* csumTree) {
    return walkTree(root, level, generation, quiet, "root tree",
                    [&](const uint8_t* node, const NodeHeader&, const LeafItem& it, uint64_t leaf) {
                        if (it.key.type != kRootItemKey) return;
                        const uint64_t id = it.key.objectid;
                        const bool fs = id == kFsTree || (id >= kFirstFree && id <= kLastFree);
                        if (!fs && id != kExtentTree && id != kCsumTree && id != kDevTree) return;
                        auto r = decodeRootItem(node + it.offset, it.size);
                        if (!r) {
                            if (!quiet) damage_.add("Btrfs root item " + std::to_string(id), placeOf(leaf), r.reason());
                            return;
                        }
                        TreeRoot t{id, r->bytenr, r->generation, r->rootDirid ? r->rootDirid : 256, r->level};
                        if (id == kExtentTree) {
                            if (extentTree) *extentTree = t;
                        } else if (id == kCsumTree) {
                            if (csumTree) *csumTree = t;
                        } else if (id == kDevTree) {
                            devTree_ = t;
                        } else {
                            fsTrees.push_back(t);
                        }
                    });
}

void BtrfsParser::takeItem(TreeItems& items, const uint8_t* node, const NodeHeader& h, const LeafItem& it,
                           uint64_t leaf, bool quiet, uint64_t olderOf) {
    const uint8_t* p = node + it.offset;
    // Older trees: what they hold of an inode the current tree lists is an
    // older state of a live file, not kept (folder entries are, when they
    // name something no longer listed).
    auto listed = [&](uint64_t ino) {
        const uint32_t i = find(olderOf, ino);
        return i != BtrfsEntry::kNone && !(entries_[i].bits & BtrfsEntry::kDeleted);
    };
    if (olderOf && it.key.type != kDirIndex && listed(it.key.objectid)) return;
    auto addName = [&](uint64_t dir, uint64_t child, uint8_t keyType, const uint8_t* name, uint16_t length,
                       std::vector<TreeItems::Name>& into) {
        TreeItems::Name n;
        n.dir = dir;
        n.child = child;
        n.childKeyType = keyType;
        n.nameOffset = static_cast<uint32_t>(items.namePool.size());
        n.nameLength = length;
        n.generation = h.generation;
        items.namePool.append(reinterpret_cast<const char*>(name), length);
        into.push_back(n);
    };
    switch (it.key.type) {
        case kInodeItem: {
            auto in = decodeInode(p, it.size);
            if (!in) break;
            auto [pos, added] = items.inodes.emplace(it.key.objectid, *in);
            auto& gen = items.inodeLeafGen[it.key.objectid];
            if (!added && gen > h.generation) break;  // a newer copy is held
            pos->second = *in;
            gen = h.generation;
            break;
        }
        case kInodeRef: {
            // index, name length, name: the first name the inode has in folder key.offset.
            if (it.size < 10) break;
            const uint16_t len = le16(p, it.size, 8);
            if (len == 0 || len > 255 || 10u + len > it.size) break;
            addName(it.key.offset, it.key.objectid, kInodeItem, p + 10, len, items.refs);
            break;
        }
        case kDirIndex: {
            auto d = decodeDirEntry(p, it.size, 0);
            if (!d) {
                if (!quiet)
                    damage_.add("Btrfs directory index of inode " + std::to_string(it.key.objectid), placeOf(leaf),
                                d.reason());
                break;
            }
            if (d->location.type != kInodeItem && d->location.type != kRootItemKey) break;
            if (olderOf && d->location.type == kInodeItem && listed(d->location.objectid)) break;
            addName(it.key.objectid, d->location.objectid, d->location.type, p + d->nameOffset, d->nameLength,
                    items.names);
            break;
        }
        case kExtentData: {
            auto e = decodeFileExtent(p, it.size);
            if (!e) {
                if (!quiet)
                    damage_.add("Btrfs file extent of inode " + std::to_string(it.key.objectid), placeOf(leaf),
                                e.reason());
                break;
            }
            if (e->encryption || e->otherEncoding) break;  // nothing this reader can decode
            BtrfsExtent x;
            x.fileOffset = it.key.offset;
            x.ramBytes = e->ramBytes;
            x.type = e->type;
            x.compression = e->compression;
            x.leafGeneration = h.generation;
            x.generation = e->generation;
            if (e->type == kExtentInline) {
                x.diskBytenr = leaf;
                x.offset = it.offset + e->inlineOffset;
                x.diskNumBytes = e->inlineLength;
                x.numBytes = e->compression ? e->ramBytes : e->inlineLength;
            } else {
                x.diskBytenr = e->diskBytenr;
                x.diskNumBytes = e->diskNumBytes;
                x.offset = e->offset;
                x.numBytes = e->numBytes;
            }
            items.extents.emplace_back(it.key.objectid, x);
            break;
        }
        default: break;
    }
}

// Extents by inode and file offset; of several copies of one (leaves of
// different generations), the newest.
void BtrfsParser::TreeItems::settle() {
    std::stable_sort(extents.begin(), extents.end(), [](const auto& a, const auto& b) {
        if (a.first != b.first) return a.first < b.first;
        if (a.second.fileOffset != b.second.fileOffset) return a.second.fileOffset < b.second.fileOffset;
        return a.second.leafGeneration > b.second.leafGeneration;
    });
    extents.erase(std::unique(extents.begin(), extents.end(),
                              [](const auto& a, const auto& b) {
                                  return a.first == b.first && a.second.fileOffset == b.second.fileOffset;
                              }),
                  extents.end());
    // Folder order as the index keys give it; a damaged tree may not.
    std::stable_sort(names.begin(), names.end(), [](const Name& a, const Name& b) { return a.dir < b.dir; });
    inodeLeafGen.clear();
}

BtrfsParser::TreeItems BtrfsParser::collect(const TreeRoot& t, bool older) {
    TreeItems items;
    items.complete = walkTree(
        t.bytenr, t.level, t.generation, older, "file-system tree",
        [&](const uint8_t* node, const NodeHeader& h, const LeafItem& it, uint64_t leaf) {
            takeItem(items, node, h, it, leaf, older, older ? t.id : 0);
        },
        older ? &olderNodes_ : &currentNodes_, older ? &currentNodes_ : nullptr);
    items.settle();
    return items;
}

// Leaves of file-system trees that no tree reachable now or from a backup
// root holds: the metadata chunks read in order, each node-sized block
// that is a leaf of this volume at its own address, with a sound checksum
// and an older generation. Bounded by kNodeSearchBytes.
bool BtrfsParser::takeOlderLeaf(const uint8_t* node, uint64_t logical, bool anyGeneration,
                                std::unordered_map<uint64_t, TreeItems>& trees) {
    auto h = decodeNodeHeader(node, sb_.nodeSize, sb_.nodeSize);
    if (!h || h->level != 0 || h->bytenr != logical) return false;
    if (!anyGeneration && h->generation >= sb_.generation) return false;
    if (h->owner != kFsTree && (h->owner < kFirstFree || h->owner > kLastFree)) return false;
    if (std::memcmp(h->fsid, sb_.fsid, 16) != 0) return false;
    if (sb_.csumType == 0 && !checksumMatches(node, sb_.nodeSize)) return false;
    auto held = currentNodes_.find(logical);
    if (held != currentNodes_.end() && held->second == h->generation) return false;
    held = olderNodes_.find(logical);
    if (held != olderNodes_.end() && held->second == h->generation) return false;
    olderNodes_[logical] = h->generation;
    TreeItems& items = trees[h->owner];
    for (uint32_t i = 0; i < h->nritems; ++i) {
        auto it = leafItem(node, sb_.nodeSize, *h, i);
        if (it) takeItem(items, node, *h, *it, logical, true, h->owner);
    }
    return true;
}

void BtrfsParser::searchOlderNodes() {
    std::unordered_map<uint64_t, TreeItems> trees;
    uint64_t budget = kNodeSearchBytes;
    std::vector<uint8_t> buf;
    if (!deviceLeaves_.empty()) {
        // Advanced mode: the leaves the device search found, wherever they lie.
        buf.resize(sb_.nodeSize);
        for (const auto& [phys, logical] : deviceLeaves_) {
            if (stopped()) return;
            if (volume_.readExact(phys, buf.data(), buf.size())) takeOlderLeaf(buf.data(), logical, true, trees);
        }
    }
    for (const MappedChunk& c : chunks_) {
        if (!(c.type & kBgMetadata) || c.physical.empty() || c.refused) continue;
        for (uint64_t in = 0; in + sb_.nodeSize <= c.length && budget >= sb_.nodeSize;) {
            if (stopped()) return;
            const size_t n = static_cast<size_t>(std::min<uint64_t>({kReadPiece, c.length - in, budget}));
            const size_t whole = n - n % sb_.nodeSize;
            buf.resize(whole);
            volume_.read(c.physical.front() + in, buf.data(), whole);
            budget -= whole;
            for (size_t at = 0; at < whole; at += sb_.nodeSize)
                takeOlderLeaf(buf.data() + at, c.logical + in + at, false, trees);
            in += whole;
        }
    }
    if (budget < sb_.nodeSize)
        damage_.add("Btrfs metadata search", 0, "stopped after " + std::to_string(kNodeSearchBytes >> 20) + " MiB", true);
    if (trees.empty()) return;
    std::vector<TreeRoot> roots;
    for (auto& [id, items] : trees) {
        items.settle();
        roots.push_back({id, 0, 0, 256, 0});
    }
    if (!trees.count(kFsTree)) roots.push_back({kFsTree, 0, 0, 256, 0});
    uint32_t found = 0;
    mergeOlder(trees, roots, found);
    olderRoots_.emplace_back(0, found);
}

// Advanced mode: every sector of the volume looked at as a tree node of
// this volume (its id, a sound checksum). Chunk-tree leaves give the chunk
// map where the chunk tree cannot be walked (newest first; a chunk that
// overlaps one taken is refused), root-tree leaves the trees' roots where
// the root tree cannot, and file-system leaves are kept for the search of
// older leaves.
// Advanced mode: the device tree's extents name, for each piece of this
// device, the chunk address it holds; chunks no chunk-tree leaf gave are
// mapped from them (their kind unknown: read as single copies).
void BtrfsParser::mapDeviceExtents() {
    walkTree(devTree_.bytenr, devTree_.level, devTree_.generation, false, "device tree",
             [&](const uint8_t* node, const NodeHeader&, const LeafItem& it, uint64_t) {
                 if (it.key.type != kDevExtent || it.key.objectid != sb_.devid || it.size < 32) return;
                 const uint8_t* p = node + it.offset;
                 Chunk c;
                 c.logical = le64(p, it.size, 16);
                 c.length = le64(p, it.size, 24);
                 c.type = kBgData;
                 c.stripes.push_back({sb_.devid, it.key.offset});
                 uint64_t end = 0;
                 if (c.length == 0 || addOverflows(c.logical, c.length, &end) || !mapLogical(c.logical, 1).empty())
                     return;
                 addChunk(c, placeOf(it.key.offset));
             });
}

void BtrfsParser::searchDevice(ScanContext& ctx) {
    deviceLeaves_.clear();
    deviceRoots_.clear();
    std::vector<std::pair<uint64_t, Chunk>> chunks;  // (leaf generation, chunk)
    std::unordered_map<uint64_t, uint64_t> rootGen;
    const uint64_t ss = sb_.sectorSize, ns = sb_.nodeSize, size = volume_.sizeBytes();
    std::vector<uint8_t> buf;
    ctx.status("Searching the volume for tree nodes....");
    ctx.range(static_cast<int64_t>(size >> 20));
    for (uint64_t at = 0; at + ns <= size;) {
        if (stopped()) return;
        ctx.position(static_cast<int64_t>(at >> 20));
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kReadPiece + ns, size - at));
        buf.resize(n);
        volume_.read(at, buf.data(), n);
        const size_t last = n - ns;  // nodes starting in this piece
        for (size_t off = 0; off <= last && off < kReadPiece; off += ss) {
            const uint8_t* node = buf.data() + off;
            if (std::memcmp(node + 0x20, sb_.fsid, 16) != 0) continue;
            auto h = decodeNodeHeader(node, ns, ns);
            if (!h || (sb_.csumType == 0 && !checksumMatches(node, ns))) continue;
            if (h->level != 0) continue;
            if (h->owner == kChunkTree) {
                for (uint32_t i = 0; i < h->nritems; ++i) {
                    auto it = leafItem(node, ns, *h, i);
                    if (!it || it->key.type != kChunkItem) continue;
                    auto c = decodeChunk(node + it->offset, it->size, it->key.offset);
                    if (c) chunks.emplace_back(h->generation, *c);
                }
            } else if (h->owner == kRootTree) {
                for (uint32_t i = 0; i < h->nritems; ++i) {
                    auto it = leafItem(node, ns, *h, i);
                    if (!it || it->key.type != kRootItemKey) continue;
                    const uint64_t id = it->key.objectid;
                    if (id != kFsTree && id != kExtentTree && id != kCsumTree && id != kDevTree &&
                        (id < kFirstFree || id > kLastFree))
                        continue;
                    auto r = decodeRootItem(node + it->offset, it->size);
                    if (!r || (rootGen.count(id) && rootGen[id] >= h->generation)) continue;
                    rootGen[id] = h->generation;
                    deviceRoots_[id] = {id, r->bytenr, r->generation, r->rootDirid ? r->rootDirid : 256, r->level};
                }
            } else if (h->owner == kFsTree || (h->owner >= kFirstFree && h->owner <= kLastFree)) {
                if (deviceLeaves_.size() < (1u << 22)) deviceLeaves_.emplace_back(at + off, h->bytenr);
            }
        }
        at += std::min<uint64_t>(kReadPiece, n);
    }
    std::stable_sort(chunks.begin(), chunks.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& [gen, c] : chunks) addChunk(c, 0);
}

// ---- the entry table ---------------------------------------------------------------

uint32_t BtrfsParser::find(uint64_t tree, uint64_t ino) const {
    auto range = byInode_.equal_range(key(tree, ino));
    for (auto it = range.first; it != range.second; ++it)
        if (entries_[it->second].tree == tree && entries_[it->second].ino == ino) return it->second;
    return BtrfsEntry::kNone;
}

uint32_t BtrfsParser::addEntry(uint64_t tree, uint64_t ino, const Inode& inode, uint32_t parent, const TreeItems& items,
                               const char* name, size_t nameLength, uint8_t bits) {
    BtrfsEntry e;
    e.tree = tree;
    e.ino = ino;
    e.generation = inode.generation;
    e.size = inode.size;
    e.mode = inode.mode;
    e.atime = inode.atime;
    e.mtime = inode.mtime;
    e.ctime = inode.ctime;
    e.otime = inode.otime;
    e.parent = parent;
    e.bits = bits;
    e.nameOffset = static_cast<uint32_t>(names_.size());
    e.nameLength = static_cast<uint16_t>(nameLength);
    names_.append(name, nameLength);
    if ((inode.mode & kTypeMask) == kTypeFile || (inode.mode & kTypeMask) == kTypeLink) {
        auto lo = std::lower_bound(items.extents.begin(), items.extents.end(), ino,
                                   [](const auto& a, uint64_t i) { return a.first < i; });
        e.extFirst = static_cast<uint32_t>(extents_.size());
        for (; lo != items.extents.end() && lo->first == ino; ++lo) extents_.push_back(lo->second);
        e.extCount = static_cast<uint32_t>(extents_.size() - e.extFirst);
    }
    const uint32_t idx = static_cast<uint32_t>(entries_.size());
    entries_.push_back(e);
    uint32_t& first = parent == BtrfsEntry::kNone ? rootFirst_ : entries_[parent].firstChild;
    uint32_t& last = parent == BtrfsEntry::kNone ? rootLast_ : entries_[parent].lastChild;
    if (first == BtrfsEntry::kNone)
        first = idx;
    else
        entries_[last].nextSibling = idx;
    last = idx;
    byInode_.emplace(key(tree, ino), idx);
    return idx;
}

// Walks one tree's folders from its root folder, naming each child through
// the directory index. `visit(tree, dir, parentEntry)` runs the folders.
void BtrfsParser::buildLive(std::unordered_map<uint64_t, TreeItems>& trees, const std::vector<TreeRoot>& roots) {
    std::unordered_map<uint64_t, const TreeRoot*> rootOf;
    for (const TreeRoot& r : roots) rootOf[r.id] = &r;
    struct Dir {
        uint64_t tree, ino;
        uint32_t entry;
    };
    auto topIt = rootOf.find(kFsTree);
    if (topIt == rootOf.end() || !trees.count(kFsTree)) return;
    std::vector<Dir> stack{{kFsTree, topIt->second->rootDirid, BtrfsEntry::kNone}};
    std::unordered_set<uint64_t> visitedDirs;
    std::unordered_set<uint64_t> subvolumesShown;
    while (!stack.empty()) {
        if (stopped()) return;
        const Dir d = stack.back();
        stack.pop_back();
        if (!visitedDirs.insert(key(d.tree, d.ino)).second) continue;
        const TreeItems& items = trees[d.tree];
        auto lo = std::lower_bound(items.names.begin(), items.names.end(), d.ino,
                                   [](const TreeItems::Name& n, uint64_t dir) { return n.dir < dir; });
        std::vector<Dir> sub;
        for (; lo != items.names.end() && lo->dir == d.ino; ++lo) {
            const char* name = items.namePool.data() + lo->nameOffset;
            if (lo->childKeyType == kRootItemKey) {
                auto r = rootOf.find(lo->child);
                auto t = trees.find(lo->child);
                if (r == rootOf.end() || t == trees.end() || !subvolumesShown.insert(lo->child).second) continue;
                auto in = t->second.inodes.find(r->second->rootDirid);
                if (in == t->second.inodes.end()) continue;
                const uint32_t idx = addEntry(lo->child, r->second->rootDirid, in->second, d.entry, t->second, name,
                                              lo->nameLength, BtrfsEntry::kSubvolume);
                sub.push_back({lo->child, r->second->rootDirid, idx});
                continue;
            }
            auto in = items.inodes.find(lo->child);
            if (in == items.inodes.end()) {
                damage_.add("Btrfs inode " + std::to_string(lo->child), 0, "named in a folder but has no inode item");
                continue;
            }
            const uint32_t idx = addEntry(d.tree, lo->child, in->second, d.entry, items, name, lo->nameLength, 0);
            if ((in->second.mode & kTypeMask) == kTypeDir) sub.push_back({d.tree, lo->child, idx});
        }
        for (auto it = sub.rbegin(); it != sub.rend(); ++it) stack.push_back(*it);
    }
}

// Files and folders of an older generation's trees that the current trees
// do not hold: listed as deleted under the folder they had (a live one, or
// a deleted one found here or in a newer root). Only the nodes the current
// trees do not share were read, and those hold every item of a deleted
// file or folder: each is placed from its own directory index entry up.
void BtrfsParser::mergeOlder(std::unordered_map<uint64_t, TreeItems>& trees, const std::vector<TreeRoot>& roots,
                             uint32_t& found) {
    std::unordered_map<uint64_t, uint64_t> rootDir;  // tree -> its root folder's inode
    for (const TreeRoot& r : roots) rootDir[r.id] = r.rootDirid;
    // Where each inode (and each subvolume) is named: (tree, index into its names).
    std::unordered_map<uint64_t, std::pair<uint64_t, size_t>> namedAt;
    std::unordered_map<uint64_t, std::pair<uint64_t, size_t>> refAt;  // the same from inode references
    for (auto& [tree, items] : trees) {
        for (size_t i = 0; i < items.names.size(); ++i) {
            const TreeItems::Name& n = items.names[i];
            const uint64_t k = n.childKeyType == kRootItemKey ? key(n.child, rootDir.count(n.child) ? rootDir[n.child] : 256)
                                                              : key(tree, n.child);
            auto [pos, added] = namedAt.emplace(k, std::make_pair(tree, i));
            if (!added && trees[pos->second.first].names[pos->second.second].generation < n.generation)
                pos->second = {tree, i};
        }
        for (size_t i = 0; i < items.refs.size(); ++i) {
            auto [pos, added] = refAt.emplace(key(tree, items.refs[i].child), std::make_pair(tree, i));
            if (!added && items.refs[pos->second.second].generation < items.refs[i].generation) pos->second = {tree, i};
        }
    }
    // The entry of (tree, ino): live with the same inode generation, deleted
    // from a newer root, or made now; ROOT for the top folder; kNone when it
    // cannot be placed.
    constexpr uint32_t kTop = BtrfsEntry::kNone - 1;
    std::function<uint32_t(uint64_t, uint64_t, const Inode*, int)> ensure = [&](uint64_t tree, uint64_t ino,
                                                                               const Inode* inode, int depth) -> uint32_t {
        if (tree == kFsTree && rootDir.count(kFsTree) && ino == rootDir[kFsTree]) return kTop;
        if (depth > 256) return BtrfsEntry::kNone;
        auto range = byInode_.equal_range(key(tree, ino));
        for (auto it = range.first; it != range.second; ++it) {
            const BtrfsEntry& e = entries_[it->second];
            if (e.tree != tree || e.ino != ino) continue;
            if (!inode || e.generation == inode->generation || (e.bits & BtrfsEntry::kDeleted)) return it->second;
        }
        auto tIt = trees.find(tree);
        if (tIt == trees.end()) return BtrfsEntry::kNone;
        if (!inode) {
            auto in = tIt->second.inodes.find(ino);
            if (in == tIt->second.inodes.end()) return BtrfsEntry::kNone;
            inode = &in->second;
        }
        const TreeItems::Name* n = nullptr;
        uint64_t nameTree = tree;
        if (auto named = namedAt.find(key(tree, ino)); named != namedAt.end()) {
            nameTree = named->second.first;
            n = &trees[nameTree].names[named->second.second];
        } else if (auto ref = refAt.find(key(tree, ino)); ref != refAt.end()) {
            n = &tIt->second.refs[ref->second.second];
        }
        if (!n) return BtrfsEntry::kNone;
        const TreeItems& owner = trees[nameTree];
        uint32_t parent = ensure(nameTree, n->dir, nullptr, depth + 1);
        if (parent != kTop && (parent == BtrfsEntry::kNone || !entries_[parent].isDir())) {
            // Its folder is gone from every tree read: under the orphan folder.
            if (depth > 0) return BtrfsEntry::kNone;
            parent = orphanFolder();
        }
        uint8_t bits = BtrfsEntry::kDeleted;
        if (n->childKeyType == kRootItemKey) bits |= BtrfsEntry::kSubvolume;
        const uint32_t idx = addEntry(tree, ino, *inode, parent == kTop ? BtrfsEntry::kNone : parent, tIt->second,
                                      owner.namePool.data() + n->nameOffset, n->nameLength, bits);
        if (!entries_[idx].isDir()) ++found;
        return idx;
    };
    for (auto& [tree, items] : trees) {
        std::vector<std::pair<uint64_t, const Inode*>> inodes;
        for (const auto& [ino, inode] : items.inodes) inodes.emplace_back(ino, &inode);
        std::sort(inodes.begin(), inodes.end());
        for (const auto& [ino, inode] : inodes) {
            if (stopped()) return;
            ensure(tree, ino, inode, 0);
        }
    }
}

uint32_t BtrfsParser::orphanFolder() {
    if (orphan_ != BtrfsEntry::kNone) return orphan_;
    Inode folder;
    folder.mode = kTypeDir;
    static const TreeItems none;
    orphan_ = addEntry(0, 0, folder, BtrfsEntry::kNone, none, kBtrfsOrphanName, std::strlen(kBtrfsOrphanName),
                       BtrfsEntry::kSynthetic);
    return orphan_;
}

void BtrfsParser::readOlderRoots() {
    std::vector<BackupRoot> older;
    for (const BackupRoot& b : sb_.backups)
        if (b.treeRoot && b.treeRootGen < sb_.generation) older.push_back(b);
    std::sort(older.begin(), older.end(), [](const BackupRoot& a, const BackupRoot& b) { return a.treeRootGen > b.treeRootGen; });
    uint64_t last = 0;
    for (const BackupRoot& b : older) {
        if (stopped()) return;
        if (b.treeRootGen == last) continue;
        last = b.treeRootGen;
        if (ctx_) ctx_->status("Reading the trees of generation " + std::to_string(b.treeRootGen) + "....");
        std::vector<TreeRoot> roots;
        readRoots(b.treeRoot, b.treeRootLevel, b.treeRootGen, true, roots, nullptr);
        bool haveTop = false;
        for (const TreeRoot& r : roots) haveTop |= r.id == kFsTree;
        if (!haveTop && b.fsRoot) roots.push_back({kFsTree, b.fsRoot, b.fsRootGen, 256, b.fsRootLevel});
        std::unordered_map<uint64_t, TreeItems> trees;
        for (const TreeRoot& r : roots) trees.emplace(r.id, collect(r, true));
        uint32_t found = 0;
        mergeOlder(trees, roots, found);
        olderRoots_.emplace_back(b.treeRootGen, found);
    }
}

void BtrfsParser::readExtentTree(const TreeRoot& t) {
    allocated_.clear();
    extentTreeRead_ = walkTree(t.bytenr, t.level, t.generation, false, "extent tree",
                               [&](const uint8_t*, const NodeHeader&, const LeafItem& it, uint64_t) {
                                   if (it.key.type == kExtentItem && it.key.offset)
                                       allocated_.emplace_back(it.key.objectid, it.key.offset);
                                   else if (it.key.type == kMetadataItem)
                                       allocated_.emplace_back(it.key.objectid, sb_.nodeSize);
                               });
    std::sort(allocated_.begin(), allocated_.end());
}

void BtrfsParser::readCsumTree(const TreeRoot& t) {
    csums_.clear();
    if (sb_.csumType != 0) return;  // only crc32c is checked
    walkTree(t.bytenr, t.level, t.generation, false, "checksum tree",
             [&](const uint8_t*, const NodeHeader&, const LeafItem& it, uint64_t leaf) {
                 if (it.key.objectid != kExtentCsumObjectid || it.key.type != kExtentCsum) return;
                 csums_.push_back({it.key.offset, it.size / 4u, leaf, it.offset});
             });
    std::sort(csums_.begin(), csums_.end(), [](const CsumRun& a, const CsumRun& b) { return a.logical < b.logical; });
}

uint64_t BtrfsParser::badSectors(uint64_t logical, const uint8_t* data, size_t n, std::vector<uint8_t>& leaf,
                                 uint64_t& leafAt) const {
    const uint64_t ss = sb_.sectorSize;
    if (csums_.empty() || logical % ss) return 0;
    uint64_t bad = 0;
    for (size_t at = 0; at + ss <= n; at += ss) {
        const uint64_t sector = logical + at;
        auto it = std::upper_bound(csums_.begin(), csums_.end(), sector,
                                   [](uint64_t l, const CsumRun& r) { return l < r.logical; });
        if (it == csums_.begin()) continue;
        --it;
        const uint64_t k = (sector - it->logical) / ss;
        if (sector < it->logical || k >= it->sectors) continue;
        if (leafAt != it->leaf) {
            NodeHeader h;
            if (!readNode(it->leaf, leaf, h, nullptr)) {
                leafAt = 0;
                continue;
            }
            leafAt = it->leaf;
        }
        const size_t pos = it->offset + static_cast<size_t>(k) * 4;
        if (pos + 4 > leaf.size()) continue;
        bad += crc32c(0, data + at, ss) != le32(leaf.data(), leaf.size(), pos);
    }
    return bad;
}

void BtrfsParser::indexWriters() {
    writers_.clear();
    longestWriter_ = 0;
    for (const BtrfsExtent& x : extents_) {
        if (x.type == kExtentInline || x.diskBytenr == 0) continue;
        writers_.push_back({x.diskBytenr, x.diskNumBytes, x.generation});
        longestWriter_ = std::max(longestWriter_, x.diskNumBytes);
    }
    std::sort(writers_.begin(), writers_.end(), [](const Writer& a, const Writer& b) { return a.logical < b.logical; });
}

uint64_t BtrfsParser::busySectors(uint64_t logical, uint64_t length, uint64_t generation) const {
    const uint64_t ss = sb_.sectorSize;
    const uint64_t sectors = (length + ss - 1) / ss;
    if (sectors == 0 || sectors > (1u << 24)) return sectors;
    std::vector<uint8_t> busy(static_cast<size_t>(sectors), 0);
    const uint64_t end = logical + length;
    auto mark = [&](uint64_t from, uint64_t len) {
        const uint64_t a = std::max(logical, from), b = std::min(end, from + len);
        for (uint64_t x = a; x < b; x = (x / ss + 1) * ss) busy[static_cast<size_t>((x - logical) / ss)] = 1;
    };
    // Extents do not overlap in the extent tree: only the last one starting before can reach in.
    auto it = std::upper_bound(allocated_.begin(), allocated_.end(), std::pair<uint64_t, uint64_t>(logical, UINT64_MAX));
    if (it != allocated_.begin()) --it;
    for (; it != allocated_.end() && it->first < end; ++it) mark(it->first, it->second);
    const uint64_t from = logical > longestWriter_ ? logical - longestWriter_ : 0;
    auto w = std::lower_bound(writers_.begin(), writers_.end(), from,
                              [](const Writer& a, uint64_t l) { return a.logical < l; });
    for (; w != writers_.end() && w->logical < end; ++w)
        if (w->generation > generation) mark(w->logical, w->length);
    uint64_t n = 0;
    for (uint8_t b : busy) n += b;
    return n;
}

ScanOutcome BtrfsParser::scan(ScanContext& ctx) {
    ctx_ = &ctx;
    volume_ = ctx.volume;
    damage_.clear();
    chunks_.clear();
    extents_.clear();
    entries_.clear();
    names_.clear();
    byInode_.clear();
    allocated_.clear();
    olderRoots_.clear();
    currentNodes_.clear();
    olderNodes_.clear();
    orphan_ = BtrfsEntry::kNone;
    rootFirst_ = rootLast_ = BtrfsEntry::kNone;
    extentTreeRead_ = false;
    devTree_ = {};
    deviceLeaves_.clear();
    deviceRoots_.clear();
    refusedMessage_ = false;
    rejected_ = false;
    if (!findSuperblock(ctx)) {
        rejected_ = true;
        stopRequested.store(false);
        ctx_ = nullptr;
        return ScanOutcome::Rejected;
    }
    stopRequested.store(false);
    phaseSeconds_.clear();
    auto t = std::chrono::steady_clock::now();
    auto lap = [&](const char* name) {
        auto now = std::chrono::steady_clock::now();
        phaseSeconds_.emplace_back(name, std::chrono::duration<double>(now - t).count());
        t = now;
    };
    ctx.status("Reading the chunk tree....");
    readChunkTree();
    if (ctx.mode == ScanMode::Advanced) searchDevice(ctx);
    stopRequested.store(false);
    ctx.status("Reading the root tree....");
    std::vector<TreeRoot> roots;
    TreeRoot extentTree, csumTree;
    readRoots(sb_.root, sb_.rootLevel, 0, false, roots, &extentTree, &csumTree);
    bool haveTop = false;
    for (const TreeRoot& r : roots) haveTop |= r.id == kFsTree;
    if (!haveTop && !deviceRoots_.empty()) {
        // The root tree is gone: the newest root items the device search found.
        roots.clear();
        for (const auto& [id, r] : deviceRoots_) {
            if (id == kExtentTree)
                extentTree = r;
            else if (id == kCsumTree)
                csumTree = r;
            else if (id == kDevTree)
                devTree_ = r;
            else
                roots.push_back(r);
        }
    }
    if (ctx.mode == ScanMode::Advanced && devTree_.bytenr) mapDeviceExtents();
    std::unordered_map<uint64_t, TreeItems> trees;
    for (const TreeRoot& r : roots) {
        if (stopped()) break;
        ctx.status("Reading the file-system tree " + std::to_string(r.id) + "....");
        trees.emplace(r.id, collect(r, false));
    }
    buildLive(trees, roots);
    trees.clear();
    lap("current trees");
    stopRequested.store(false);
    if (extentTree.bytenr) readExtentTree(extentTree);
    csums_.clear();
    if (csumTree.bytenr) readCsumTree(csumTree);
    lap("extent and checksum trees");
    stopRequested.store(false);
    readOlderRoots();
    lap("backup roots");
    stopRequested.store(false);
    ctx.status("Searching the metadata for older tree nodes....");
    searchOlderNodes();
    lap("metadata search");
    currentNodes_ = {};
    olderNodes_ = {};
    deviceLeaves_ = {};
    deviceRoots_.clear();
    devTree_ = {};
    indexWriters();
    stopRequested.store(false);
    ctx.status("filling root entries in  tree....");
    ctx_ = nullptr;
    return ScanOutcome::Done;
}

// ---- the result tree ---------------------------------------------------------------

std::vector<EntryId> BtrfsParser::children(EntryId folder) const {
    uint32_t at = rootFirst_;
    if (folder != kRootId) {
        if (folder >= entries_.size() || !entries_[folder].isDir()) return {};
        at = entries_[folder].firstChild;
    }
    std::vector<EntryId> out;
    // Children always come after their folder in the table: a link back ends the chain.
    for (size_t n = 0; at != BtrfsEntry::kNone && at < entries_.size() && n < entries_.size(); ++n) {
        out.push_back(at);
        const uint32_t next = entries_[at].nextSibling;
        if (next != BtrfsEntry::kNone && next <= at) break;
        at = next;
    }
    return out;
}

bool BtrfsParser::readEntry(EntryId id, EntryInfo& out) const {
    out = EntryInfo{};
    if (id >= entries_.size()) return false;
    const BtrfsEntry& e = entries_[id];
    out.name = nameOf(e);
    const uint32_t t = e.mode & kTypeMask;
    out.kind = t == kTypeDir ? EntryKind::Folder : t == kTypeFile ? EntryKind::File : EntryKind::Other;
    out.state = (e.bits & BtrfsEntry::kDeleted) ? EntryState::Deleted : EntryState::Live;
    out.orphan = id != orphan_ && e.parent == orphan_ && orphan_ != BtrfsEntry::kNone;
    out.size = out.kind == EntryKind::Folder ? 0 : e.size;
    out.created = timeOf(e.otime);
    out.modified = timeOf(e.mtime);
    out.accessed = timeOf(e.atime);
    out.attributes = listTexts(id).attributes;
    out.hasChildren = out.kind == EntryKind::Folder && e.firstChild != BtrfsEntry::kNone;
    return true;
}

ListTexts BtrfsParser::listTexts(EntryId id) const {
    if (id >= entries_.size()) return {};
    const BtrfsEntry& e = entries_[id];
    auto date = [](const Timespec& ts) {
        auto f = localFields(ts.sec);
        return f ? formatDateText(*f) : std::string();
    };
    static const char* const codes[9] = {"-OE", "-OW", "-OR", "-GE", "-GW", "-GR", "-UE", "-UW", "-UR"};
    ListTexts t;
    t.created = date(e.otime);
    t.accessed = date(e.atime);
    t.modified = date(e.mtime);
    for (int i = 0; i < 9; ++i)
        if (e.mode & (1u << i)) t.attributes += codes[i];
    if (e.bits & BtrfsEntry::kSubvolume) t.attributes += "-SV";
    t.size = formatSizeText(e.isDir() ? 0 : e.size);
    return t;
}

// ---- content -----------------------------------------------------------------------

bool BtrfsParser::readLogical(uint64_t logical, uint8_t* dst, size_t n) const {
    size_t done = 0;
    while (done < n) {
        auto it = std::upper_bound(chunks_.begin(), chunks_.end(), logical + done,
                                   [](uint64_t l, const MappedChunk& a) { return l < a.logical; });
        if (it == chunks_.begin()) return false;
        --it;
        const uint64_t in = logical + done - it->logical;
        if (in >= it->length || it->physical.empty()) return false;
        const size_t take = static_cast<size_t>(std::min<uint64_t>(n - done, it->length - in));
        bool ok = false;
        for (uint64_t phys : it->physical)
            if (volume_.readExact(phys + in, dst + done, take)) {
                ok = true;
                break;
            }
        if (!ok) return false;
        done += take;
    }
    return true;
}

WriteResult BtrfsParser::writeContent(EntryId id, ContentSink& out) {
    if (id >= entries_.size()) return WriteResult::failed("no such entry");
    const BtrfsEntry& e = entries_[id];
    if (e.isDir()) return WriteResult::complete();
    // Holes may make a file larger than its volume, but not without bound.
    const uint64_t cap = volume_.sizeBytes() * 16 + (1ull << 30);
    const uint64_t size = std::min(e.size, cap);
    uint64_t at = 0;  // bytes written
    std::string problem = e.size > cap ? "size beyond what the volume can hold, even with holes" : "";
    std::vector<uint8_t> buf, raw, dec, node, csumLeaf;
    uint64_t csumLeafAt = 0, bad = 0;
    // Data checksums hold for what the current trees give out: live files.
    const bool verify = !(e.bits & BtrfsEntry::kDeleted) && !csums_.empty();
    auto zeros = [&](uint64_t upto) {
        if (upto > at) {
            if (!out.writeZeros(upto - at)) return false;
            at = upto;
        }
        return true;
    };
    for (uint32_t k = 0; k < e.extCount && at < size && !out.full(); ++k) {
        const BtrfsExtent& x = extents_[e.extFirst + k];
        if (x.fileOffset < at) continue;  // overlapping extents: the first wins
        if (!zeros(std::min(x.fileOffset, size))) return WriteResult::failed("write error");
        uint64_t want = std::min<uint64_t>(x.numBytes, size - at);
        if (want == 0) continue;
        if (x.type == kExtentInline) {
            NodeHeader h;
            if (!readNode(x.diskBytenr, node, h, nullptr) || h.generation != x.leafGeneration ||
                x.offset + x.diskNumBytes > node.size()) {
                problem = "the leaf holding the data was overwritten";
                if (!zeros(at + want)) return WriteResult::failed("write error");
                continue;
            }
            const uint8_t* p = node.data() + x.offset;
            if (x.compression) {
                std::string why;
                const size_t ram = static_cast<size_t>(std::min<uint64_t>(x.ramBytes, sb_.nodeSize * 8ull));
                if (!decompress(x.compression, p, x.diskNumBytes, ram, sb_.sectorSize, dec, &why)) problem = why;
                const size_t take = static_cast<size_t>(std::min<uint64_t>(want, dec.size()));
                if (!out.write(dec.data(), take)) return WriteResult::failed("write error");
                at += take;
            } else {
                const size_t take = static_cast<size_t>(std::min<uint64_t>(want, x.diskNumBytes));
                if (!out.write(p, take)) return WriteResult::failed("write error");
                at += take;
            }
            if (at < x.fileOffset + want && !zeros(x.fileOffset + want)) return WriteResult::failed("write error");
            continue;
        }
        if (x.type == kExtentPrealloc || x.diskBytenr == 0) {  // unwritten or a hole
            if (!zeros(at + want)) return WriteResult::failed("write error");
            continue;
        }
        if (x.compression) {
            if (x.diskNumBytes > kMaxCompressed || x.ramBytes > kMaxCompressed || x.offset > x.ramBytes) {
                problem = "compressed extent of impossible size";
                if (!zeros(at + want)) return WriteResult::failed("write error");
                continue;
            }
            raw.resize(static_cast<size_t>(x.diskNumBytes));
            std::string why;
            if (!readLogical(x.diskBytenr, raw.data(), raw.size())) {
                problem = "compressed extent outside the volume's chunks";
                dec.clear();
            } else {
                if (verify) bad += badSectors(x.diskBytenr, raw.data(), raw.size(), csumLeaf, csumLeafAt);
                if (!decompress(x.compression, raw.data(), raw.size(), static_cast<size_t>(x.ramBytes), sb_.sectorSize,
                                dec, &why))
                    problem = why;
            }
            const uint64_t have = dec.size() > x.offset ? dec.size() - x.offset : 0;
            const size_t take = static_cast<size_t>(std::min(want, have));
            if (take && !out.write(dec.data() + x.offset, take)) return WriteResult::failed("write error");
            at += take;
            if (take < want) {
                if (problem.empty()) problem = "compressed extent shorter than recorded";
                if (!zeros(at + (want - take))) return WriteResult::failed("write error");
            }
            continue;
        }
        uint64_t logical = 0;
        if (addOverflows(x.diskBytenr, x.offset, &logical) || x.offset >= x.diskNumBytes) {
            problem = "extent past the address space";
            continue;
        }
        if (want > x.diskNumBytes - x.offset) {
            // An uncompressed extent holds no more than its bytes on disk.
            problem = "extent longer than its bytes on disk";
            want = x.diskNumBytes - x.offset;
        }
        for (uint64_t done = 0; done < want && !out.full();) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(kReadPiece, want - done));
            buf.resize(n);
            if (!readLogical(logical + done, buf.data(), n)) {
                problem = "extent outside the volume's chunks";
                std::fill(buf.begin(), buf.end(), 0);
            } else if (verify) {
                bad += badSectors(logical + done, buf.data(), n, csumLeaf, csumLeafAt);
            }
            if (!out.write(buf.data(), n)) return WriteResult::failed("write error");
            done += n;
            at += n;
        }
    }
    // What no extent covers up to the size is a hole.
    if (at < size && !out.full()) {
        if (!zeros(size)) return WriteResult::failed("write error");
    }
    if (bad) {
        damage_.add("Btrfs file " + nameOf(e) + " (inode " + std::to_string(e.ino) + ")", 0,
                    std::to_string(bad) + " data sectors fail their checksum");
        if (problem.empty()) problem = std::to_string(bad) + " sectors fail their checksum: the data is damaged";
    }
    if (!problem.empty()) return WriteResult::partial(problem);
    return WriteResult::complete();
}

RecoveryEstimate BtrfsParser::recoverability(EntryId id) const {
    if (id >= entries_.size()) return {};
    const BtrfsEntry& e = entries_[id];
    if (!(e.bits & BtrfsEntry::kDeleted) || e.isDir()) return {};
    if (!extentTreeRead_) return {};
    uint64_t units = 0, busy = 0;
    for (uint32_t k = 0; k < e.extCount; ++k) {
        const BtrfsExtent& x = extents_[e.extFirst + k];
        if (x.type != kExtentRegular || x.diskBytenr == 0) continue;
        const uint64_t from = x.compression ? x.diskBytenr : x.diskBytenr + x.offset;
        const uint64_t len = x.compression ? x.diskNumBytes : x.numBytes;
        units += (len + sb_.sectorSize - 1) / sb_.sectorSize;
        busy += busySectors(from, len, x.generation);
    }
    return RecoveryEstimate::fromCounts(units, busy);
}

std::vector<VolumeRange> BtrfsParser::contentRanges(EntryId id) const {
    std::vector<VolumeRange> out;
    if (id >= entries_.size()) return out;
    const BtrfsEntry& e = entries_[id];
    for (uint32_t k = 0; k < e.extCount; ++k) {
        const BtrfsExtent& x = extents_[e.extFirst + k];
        if (x.type != kExtentRegular || x.diskBytenr == 0) continue;
        const uint64_t from = x.compression ? x.diskBytenr : x.diskBytenr + x.offset;
        const uint64_t len = x.compression ? x.diskNumBytes : x.numBytes;
        auto phys = mapLogical(from, len);
        if (!phys.empty()) out.push_back({phys.front(), len});
    }
    return out;
}

size_t BtrfsParser::memoryBytes() const {
    return entries_.capacity() * sizeof(BtrfsEntry) + extents_.capacity() * sizeof(BtrfsExtent) + names_.capacity() +
           byInode_.size() * 32 + allocated_.capacity() * 16;
}

}  // namespace brantlow
