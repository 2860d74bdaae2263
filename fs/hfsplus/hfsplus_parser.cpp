// The HFS+ scan: volume header, extents overflow, catalog (standard: every
// node of the catalog file; deep: a search of the volume for leaf nodes),
// deleted records, attributes, hard links, and the folder tree.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string_view>
#include <unordered_set>

#include "base/bytes.h"
#include "base/texts.h"
#include "fs/hfsplus/hfsplus.h"

namespace brantlow {

using namespace hfs;

namespace {

constexpr const char* kAbortText = "Work Aborted....";
constexpr const char* kBlockSizeText = "BlockSize not valid .Aborting..";

// Name of the folder that holds the targets of file hard links.
const std::u16string kPrivateDataName = std::u16string(4, u'\0') + u"HFS+ Private Data";

bool isLeafLike(const NodeDescriptor& d) { return d.kind >= kLeafNode && d.kind <= kMapNode; }

}  // namespace

const char* HFSP::endingStatus(ScanOutcome outcome) const {
    return outcome == ScanOutcome::Done ? "Work Done." : kAbortText;
}

bool HFSP::stopped() const {
    if (ctx_) ctx_->wait();
    return stopRequested.load(std::memory_order_relaxed);
}

void HFSP::status(const std::string& s) const {
    if (ctx_) ctx_->status(s);
}

uint32_t HFSP::addName(const std::string& s) {
    uint32_t off = static_cast<uint32_t>(namePool_.size());
    namePool_ += s;
    return off;
}

const HfsEntry* HFSP::find(uint64_t cnid) const {
    auto it = catalog_.find(cnid);
    return it == catalog_.end() ? nullptr : &it->second;
}

HfsEntry* HFSP::find(uint64_t cnid) {
    auto it = catalog_.find(cnid);
    return it == catalog_.end() ? nullptr : &it->second;
}

std::map<HfsSource, uint64_t> HFSP::sourceCounts() const { return counts_; }

// Reads n bytes at offset of a fork given by its runs; parts outside the
// runs (or in runs outside the volume) are zeros and make the result false.
bool HFSP::readFork(const std::vector<Run>& runs, uint64_t offset, void* buf, size_t n) const {
    auto* p = static_cast<uint8_t*>(buf);
    bool ok = true;
    size_t done = 0;
    while (done < n) {
        uint64_t at = 0, contiguous = 0;
        if (!forkByteOffset(runs, blockSize_, offset + done, &at, &contiguous) || contiguous == 0) {
            std::memset(p + done, 0, n - done);
            return false;
        }
        size_t step = static_cast<size_t>(std::min<uint64_t>(contiguous, n - done));
        if (!volume_.readExact(at, p + done, step)) ok = false;
        done += step;
    }
    return ok;
}

ScanOutcome HFSP::scan(ScanContext& ctx) {
    ctx_ = &ctx;
    volume_ = ctx.volume;
    mode_ = ctx.mode;
    allocation_.reset();
    catalog_.clear();
    threads_.clear();
    compression_.clear();
    namePool_.clear();
    extentPool_.clear();
    rootList_.clear();
    extentsIndex_.clear();
    counts_.clear();
    hasOrphan_ = false;
    rejectText_.clear();

    auto abort = [&](const char* why) {
        rejectText_ = why;
        status(why);
        ctx_ = nullptr;
        return ScanOutcome::Rejected;
    };
    if (!readVolumeHeader()) return abort(kBlockSizeText);
    if (!readExtentsOverflow()) return abort(kAbortText);
    const bool ok = mode_ == ScanMode::Standard ? readCatalogNodes() : searchCatalogLeaves();
    stopRequested.store(false, std::memory_order_relaxed);
    if (!ok) return abort(kBlockSizeText);
    searchJournal();
    stopRequested.store(false, std::memory_order_relaxed);
    parseCatalogLeaves();
    readAttributes();
    linkParentChild();
    stopRequested.store(false, std::memory_order_relaxed);
    for (const auto& [id, e] : catalog_) ++counts_[e.source];
    ctx_ = nullptr;
    return ScanOutcome::Done;
}

// The primary header at byte 1024; when it carries no signature or a
// geometry that cannot be right, the alternate copy 1024 bytes before the
// end of the volume. A header without signature is still taken when its
// geometry is sound and no signed copy exists.
bool HFSP::readVolumeHeader() {
    if (!volume_.reader()) return false;
    uint8_t buf[512];
    volume_.read(1024, buf, sizeof buf);
    VolumeHeader primary = hfs::readVolumeHeader(buf, sizeof buf);
    VolumeHeader alternate;
    bool haveAlternate = false;
    const uint64_t size = volume_.sizeBytes();
    if (size >= 2048 && !(primary.hasSignature() && geometryValid(primary))) {
        volume_.read(size - 1024, buf, sizeof buf);
        alternate = hfs::readVolumeHeader(buf, sizeof buf);
        haveAlternate = alternate.hasSignature() && geometryValid(alternate);
    }
    alternateHeader_ = false;
    if (primary.hasSignature() && geometryValid(primary)) {
        header_ = primary;
    } else if (haveAlternate) {
        header_ = alternate;
        alternateHeader_ = true;
    } else if (geometryValid(primary)) {
        header_ = primary;
    } else {
        return false;
    }
    blockSize_ = header_.blockSize;
    volumeBlocks_ = header_.totalBlocks;
    if (size) volumeBlocks_ = std::min<uint64_t>(volumeBlocks_, size / blockSize_);
    if (volumeBlocks_ == 0) return false;
    ExtentsIndex none;
    allocationRuns_ = forkRuns(header_.allocationFile, kDataFork, kAllocationFileId, none, blockSize_, volumeBlocks_).runs;
    return true;
}

// The node bitmap of a B-tree: the map record of its header node and of
// the map nodes chained from it.
bool HFSP::loadNodeMap(const std::vector<Run>& runs, const uint8_t* node0, uint32_t nodeSize, uint32_t totalNodes,
                       std::vector<uint8_t>& bits) const {
    bits.clear();
    const NodeDescriptor d0 = readDescriptor(node0, nodeSize);
    size_t freeStart = 0;
    std::vector<uint16_t> offs = recordOffsets(node0, nodeSize, d0.numRecords, &freeStart);
    if (offs.size() < 3 || offs[2] >= freeStart) return false;
    bits.assign(node0 + offs[2], node0 + freeStart);
    std::vector<uint8_t> node(nodeSize);
    std::set<uint32_t> seen{0};
    const size_t needed = (static_cast<size_t>(totalNodes) + 7) / 8;
    for (uint32_t next = d0.fLink; next != 0 && bits.size() < needed; ) {
        if (next >= totalNodes || !seen.insert(next).second) break;
        if (!readFork(runs, static_cast<uint64_t>(next) * nodeSize, node.data(), nodeSize)) break;
        NodeDescriptor d = readDescriptor(node.data(), nodeSize);
        if (d.kind != kMapNode) break;
        size_t fs = 0;
        std::vector<uint16_t> mo = recordOffsets(node.data(), nodeSize, d.numRecords, &fs);
        if (mo.empty() || mo[0] >= fs) break;
        bits.insert(bits.end(), node.begin() + mo[0], node.begin() + static_cast<long>(fs));
        next = d.fLink;
    }
    if (bits.size() > needed) bits.resize(needed);
    return !bits.empty();
}

// The extents-overflow file: every leaf record by (fork type, file, start
// block). Records of in-use leaf nodes first; those of freed leaf nodes
// only fill keys not already present. The file's own further extents come
// from its records for CNID 3.
bool HFSP::readExtentsOverflow() {
    const ForkData& fork = header_.extentsFile;
    if (fork.logicalSize == 0 || fork.extents[0].blockCount == 0) return true;  // no overflow records
    extentsRuns_ = forkRuns(fork, kDataFork, kExtentsFileId, extentsIndex_, blockSize_, volumeBlocks_).runs;
    std::vector<uint8_t> node0(512);
    readFork(extentsRuns_, 0, node0.data(), node0.size());
    NodeDescriptor d0 = readDescriptor(node0.data(), node0.size());
    if (d0.kind != kHeaderNode) return false;
    HeaderRecord h = readHeaderRecord(node0.data(), node0.size());
    if (!nodeGeometryValid(h, fork.logicalSize)) return false;
    extentsNodeSize_ = h.nodeSize;
    const uint32_t ns = h.nodeSize;
    node0.resize(ns);
    readFork(extentsRuns_, 0, node0.data(), ns);
    std::vector<uint8_t> inUse;
    const bool haveMap = loadNodeMap(extentsRuns_, node0.data(), ns, h.totalNodes, inUse);

    ExtentsIndex freed;
    std::vector<uint8_t> node(ns);
    for (uint32_t n = 1; n < h.totalNodes; ++n) {
        if (stopped()) break;
        // Runs of the extents file beyond its own 8 extents appear once the
        // records for CNID 3 are read.
        if (!readFork(extentsRuns_, static_cast<uint64_t>(n) * ns, node.data(), ns)) {
            extentsRuns_ = forkRuns(fork, kDataFork, kExtentsFileId, extentsIndex_, blockSize_, volumeBlocks_).runs;
            if (!readFork(extentsRuns_, static_cast<uint64_t>(n) * ns, node.data(), ns)) continue;
        }
        NodeDescriptor d = readDescriptor(node.data(), ns);
        if (d.kind != kLeafNode) continue;
        const bool used = !haveMap || (n / 8 < inUse.size() && (inUse[n / 8] & (0x80 >> (n % 8))));
        for (uint16_t off : recordOffsets(node.data(), ns, d.numRecords)) {
            ExtentKey key;
            ExtentRecord rec;
            if (!decodeExtentsRecord(node.data(), ns, off, key, rec)) continue;
            if (used)
                extentsIndex_.emplace(key, rec);
            else
                freed.emplace(key, rec);
        }
    }
    for (auto& [k, v] : freed) extentsIndex_.emplace(k, v);
    return true;
}

// Standard mode: the catalog file read through its runs (extents and
// overflow records), node by node in large pieces. Nodes the B-tree marks
// in use give their records (live); freed nodes and the free space of
// nodes in use are searched for records that survive there (deleted).
bool HFSP::readCatalogNodes() {
    const ForkData& fork = header_.catalogFile;
    ForkRuns fr = forkRuns(fork, kDataFork, kCatalogFileId, extentsIndex_, blockSize_, volumeBlocks_);
    catalogRuns_ = fr.runs;
    std::vector<uint8_t> head(512);
    readFork(catalogRuns_, 0, head.data(), head.size());
    catalogHeader_ = readHeaderRecord(head.data(), head.size());
    if (!nodeGeometryValid(catalogHeader_, fork.logicalSize)) return false;
    const uint32_t ns = catalogHeader_.nodeSize;
    catalogNodeSize_ = ns;
    const uint32_t total = catalogHeader_.totalNodes;
    head.resize(ns);
    readFork(catalogRuns_, 0, head.data(), ns);
    if (!loadNodeMap(catalogRuns_, head.data(), ns, total, catalogMap_)) catalogMap_.clear();

    if (ctx_) ctx_->range(total);
    const size_t perPiece = std::max<size_t>(1, readPiece / ns);
    std::vector<uint8_t> buf(perPiece * ns);
    for (uint32_t n = 0; n < total; ) {
        if (stopped()) break;
        const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(perPiece, total - n));
        readFork(catalogRuns_, static_cast<uint64_t>(n) * ns, buf.data(), static_cast<size_t>(count) * ns);
        for (uint32_t k = 0; k < count; ++k) {
            const uint32_t node = n + k;
            if (node == 0) continue;
            uint64_t at = 0;
            forkByteOffset(catalogRuns_, blockSize_, static_cast<uint64_t>(node) * ns, &at, nullptr);
            // Nodes past what the map covers count as in use.
            const bool used = node / 8 >= catalogMap_.size() || (catalogMap_[node / 8] & (0x80 >> (node % 8)));
            takeNode(buf.data() + static_cast<size_t>(k) * ns, ns, at, used, HfsSource::FreedNode);
        }
        n += count;
        if (ctx_) ctx_->position(n);
    }
    return true;
}

// The records of one catalog node. A node in use gives its leaf records
// (live) and the records left in its free space; a freed node is searched
// whole.
void HFSP::takeNode(const uint8_t* node, size_t ns, uint64_t nodeOffset, bool inUse, HfsSource freedSource) {
    const NodeDescriptor d = readDescriptor(node, ns);
    if (inUse && isLeafLike(d)) {
        if (d.kind == kHeaderNode || d.kind == kMapNode) return;
        size_t freeStart = ns;
        std::vector<uint16_t> offs = recordOffsets(node, ns, d.numRecords, &freeStart);
        if (d.kind == kLeafNode) {
            for (uint16_t off : offs) {
                CatalogRecord r;
                if (decodeCatalogRecord(node, ns, off, r, false)) takeRecord(r, kLive, HfsSource::LiveLeaf, nodeOffset, off);
            }
        }
        const size_t tableStart = ns - 2 * (static_cast<size_t>(d.numRecords) + 1);
        if (freeStart < tableStart) carve(node, ns, freeStart, tableStart, nodeOffset, kFreeSpace, HfsSource::FreeSpace);
        return;
    }
    carve(node, ns, kNodeDescriptorSize, ns, nodeOffset, kFreedNode, freedSource);
}

// Well-formed records at every even offset in [from, to) of buf.
void HFSP::carve(const uint8_t* buf, size_t len, size_t from, size_t to, uint64_t bufOffset, Rank rank,
                 HfsSource source) {
    to = std::min(to, len);
    for (size_t off = (from + 1) & ~size_t(1); off + 8 <= to;) {
        const uint16_t keyLength = be16(buf, len, off);
        CatalogRecord r;
        if (keyLength >= 6 && keyLength <= 516 && !(keyLength & 1) && keyLength == 6 + 2 * be16(buf, len, off + 6) &&
            decodeCatalogRecord(buf, std::min(len, off + kMaxCatalogRecord), off, r, true)) {
            if (r.type == kFileRecord && r.data.logicalSize > static_cast<uint64_t>(r.data.totalBlocks) * blockSize_) {
                off += 2;
                continue;
            }
            takeRecord(r, rank, source, bufOffset, static_cast<uint32_t>(off));
            off += (r.length + 1) & ~size_t(1);
            continue;
        }
        off += 2;
    }
}

void HFSP::takeRecord(const CatalogRecord& r, Rank rank, HfsSource source, uint64_t nodeOffset, uint32_t recOff) {
    if (r.type == kFolderThreadRecord) {
        auto it = threads_.find(r.cnid);
        if (it != threads_.end() && it->second.rank <= rank) return;
        Thread t;
        t.parent = r.threadParent;
        std::string name = displayName(r.name);
        t.nameOffset = addName(name);
        t.nameLength = static_cast<uint32_t>(name.size());
        t.rank = rank;
        threads_[r.cnid] = t;
        return;
    }
    if (r.type != kFolderRecord && r.type != kFileRecord) return;
    if (r.name.empty() && r.cnid != kRootFolderId) return;
    auto it = catalog_.find(r.cnid);
    if (it != catalog_.end() && it->second.rank <= rank) return;
    HfsEntry e;
    e.kind = r.type == kFolderRecord ? 1 : 2;
    e.rank = rank;
    e.state = rank == kLive ? EntryState::Live : EntryState::Deleted;
    e.source = source;
    e.parentId = r.parentId;
    e.cnid = r.cnid;
    std::string name = displayName(r.name);
    e.nameOffset = addName(name);
    e.nameLength = static_cast<uint32_t>(name.size());
    e.nodeOffset = nodeOffset;
    e.recordOffset = recOff;
    e.createDate = r.createDate;
    e.contentModDate = r.contentModDate;
    e.attributeModDate = r.attributeModDate;
    e.accessDate = r.accessDate;
    e.fileMode = r.fileMode;
    if (e.kind == 2) {
        e.dataSize = r.data.logicalSize;
        e.dataBlocks = r.data.totalBlocks;
        e.rsrcSize = r.rsrc.logicalSize;
        e.rsrcBlocks = r.rsrc.totalBlocks;
        e.extentIndex = static_cast<uint32_t>(extentPool_.size());
        for (const Extent& x : r.data.extents)
            if (x.blockCount) extentPool_.push_back(x), ++e.dataExtents;
        for (const Extent& x : r.rsrc.extents)
            if (x.blockCount) extentPool_.push_back(x), ++e.rsrcExtents;
        e.compressed = (r.ownerFlags & 0x20) != 0;
        // A file hard link: type 'hlnk', creator 'hfs+'; the target is the
        // indirect node named by its iNodeNum.
        if (r.fdType == 0x686C6E6B && r.fdCreator == 0x6866732B) {
            e.hardLink = true;
            e.linkTarget = r.special;
        }
    }
    catalog_[r.cnid] = e;
}

// Deep mode: the volume searched for catalog leaf nodes, stepping by the
// smaller of block and node size. A hit at an in-use node of the catalog
// file gives live records; any other hit gives deleted ones.
bool HFSP::searchCatalogLeaves() {
    const ForkData& fork = header_.catalogFile;
    catalogRuns_ = forkRuns(fork, kDataFork, kCatalogFileId, extentsIndex_, blockSize_, volumeBlocks_).runs;
    std::vector<uint8_t> head(512);
    readFork(catalogRuns_, 0, head.data(), head.size());
    catalogHeader_ = readHeaderRecord(head.data(), head.size());
    if (!nodeGeometryValid(catalogHeader_, fork.logicalSize)) {
        status(kBlockSizeText);
        return false;
    }
    const uint32_t ns = catalogHeader_.nodeSize;
    catalogNodeSize_ = ns;
    head.resize(ns);
    readFork(catalogRuns_, 0, head.data(), ns);
    if (!loadNodeMap(catalogRuns_, head.data(), ns, catalogHeader_.totalNodes, catalogMap_)) catalogMap_.clear();
    // Volume byte offsets of the catalog's nodes in use.
    std::unordered_set<uint64_t> liveNodes;
    for (uint32_t n = 1; n < catalogHeader_.totalNodes && !catalogMap_.empty(); ++n) {
        if (n / 8 < catalogMap_.size() && !(catalogMap_[n / 8] & (0x80 >> (n % 8)))) continue;
        uint64_t at = 0;
        if (forkByteOffset(catalogRuns_, blockSize_, static_cast<uint64_t>(n) * ns, &at, nullptr)) liveNodes.insert(at);
    }

    uint64_t volumeBytes = 0;
    if (mulOverflows(volumeBlocks_, blockSize_, &volumeBytes) || volumeBytes < ns) {
        status(kBlockSizeText);
        return false;
    }
    const uint64_t step = std::min<uint64_t>(blockSize_, ns);
    const size_t chunk = std::max<size_t>(static_cast<size_t>(step), readPiece / step * step);
    std::vector<uint8_t> buf(chunk + ns);
    if (ctx_) ctx_->range(static_cast<int64_t>(volumeBytes / step));
    for (uint64_t base = 0; base + ns <= volumeBytes; base += chunk) {
        if (stopped()) break;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk + ns, volumeBytes - base));
        volume_.read(base, buf.data(), want);
        for (size_t off = 0; off < chunk && off + ns <= want; off += static_cast<size_t>(step)) {
            const uint8_t* node = buf.data() + off;
            const NodeDescriptor d = readDescriptor(node, ns);
            if (d.kind != kLeafNode || d.height == 0 || d.numRecords == 0 || d.numRecords >= 1000 ||
                be16(node, ns, ns - 2) != kNodeDescriptorSize)
                continue;
            const uint64_t at = base + off;
            const bool live = catalogMap_.empty() || liveNodes.count(at);
            takeNode(node, ns, at, live, HfsSource::DeepSearch);
        }
        if (ctx_) ctx_->position(static_cast<int64_t>(base / step));
    }
    return true;
}

// A journaled volume: the journal buffer (located through the journal info
// block) searched for catalog records of files and folders that are gone.
void HFSP::searchJournal() {
    if (!header_.journaled() || header_.journalInfoBlock == 0 || header_.journalInfoBlock >= volumeBlocks_) return;
    uint8_t jib[512];
    if (!volume_.readExact(static_cast<uint64_t>(header_.journalInfoBlock) * blockSize_, jib, sizeof jib)) return;
    const uint32_t flags = be32(jib, sizeof jib, 0);
    if (!(flags & 1) || (flags & 2)) return;  // not in this volume
    const uint64_t off = be64(jib, sizeof jib, 36), size = be64(jib, sizeof jib, 44);
    uint64_t volumeBytes = volumeBlocks_ * blockSize_;
    if (off >= volumeBytes || size == 0 || size > volumeBytes - off || size > (1ull << 30)) return;
    const size_t overlap = kMaxCatalogRecord;
    std::vector<uint8_t> buf(readPiece + overlap);
    for (uint64_t pos = 0; pos < size; pos += readPiece) {
        if (stopped()) break;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(readPiece + overlap, size - pos));
        volume_.read(off + pos, buf.data(), want);
        carve(buf.data(), want, 0, std::min<size_t>(want, readPiece), off + pos, kJournal, HfsSource::Journal);
    }
}

// After all sources: stale records that copy a live record's key (same
// parent and name) are dropped, deleted folders are rebuilt from their
// thread records where their own record is gone, hard links are resolved.
void HFSP::parseCatalogLeaves() {
    dropStaleDuplicates();
    rebuildFoldersFromThreads();
    resolveHardLinks();
}

void HFSP::dropStaleDuplicates() {
    // Only the folders that hold deleted entries are compared.
    std::unordered_set<uint64_t> parents;
    for (const auto& [id, e] : catalog_)
        if (e.rank != kLive) parents.insert(e.parentId);
    if (parents.empty()) return;
    using Key = std::pair<uint64_t, std::string_view>;
    struct KeyHash {
        size_t operator()(const Key& k) const { return std::hash<std::string_view>()(k.second) ^ (k.first * 0x9E3779B97F4A7C15ull); }
    };
    auto key = [&](const HfsEntry& e) { return Key{e.parentId, std::string_view(namePool_).substr(e.nameOffset, e.nameLength)}; };
    std::unordered_set<Key, KeyHash> liveKeys;
    for (const auto& [id, e] : catalog_)
        if (e.rank == kLive && parents.count(e.parentId)) liveKeys.insert(key(e));
    for (auto it = catalog_.begin(); it != catalog_.end();) {
        if (it->second.rank != kLive && liveKeys.count(key(it->second)))
            it = catalog_.erase(it);
        else
            ++it;
    }
}

void HFSP::rebuildFoldersFromThreads() {
    std::vector<uint64_t> missing;
    for (const auto& [id, e] : catalog_)
        if (e.state == EntryState::Deleted && e.parentId != 1 && !catalog_.count(e.parentId)) missing.push_back(e.parentId);
    for (size_t i = 0; i < missing.size() && i < (1u << 20); ++i) {
        const uint64_t id = missing[i];
        if (catalog_.count(id)) continue;
        auto t = threads_.find(id);
        if (t == threads_.end()) continue;
        HfsEntry f;
        f.kind = 1;
        f.state = EntryState::Deleted;
        f.rank = kJournal;
        f.source = HfsSource::Thread;
        f.cnid = id;
        f.parentId = t->second.parent;
        f.nameOffset = t->second.nameOffset;
        f.nameLength = t->second.nameLength;
        catalog_[id] = f;
        if (f.parentId != 1 && !catalog_.count(f.parentId)) missing.push_back(f.parentId);
    }
}

// File hard links point at "iNode<n>" in the private data folder; the
// link's iNodeNum also equals the target's CNID on current volumes.
void HFSP::resolveHardLinks() {
    uint64_t privateId = 0;
    const std::string privateName = displayName(kPrivateDataName);
    for (const auto& [id, e] : catalog_)
        if (e.kind == 1 && e.parentId == kRootFolderId && nameOf(e) == privateName) {
            privateId = id;
            break;
        }
    std::unordered_map<uint32_t, uint64_t> inodes;
    if (privateId)
        for (const auto& [id, e] : catalog_) {
            if (e.parentId != privateId || e.kind != 2) continue;
            const std::string n = nameOf(e);
            if (n.rfind("iNode", 0) != 0 || n.size() > 15) continue;
            inodes[static_cast<uint32_t>(std::strtoul(n.c_str() + 5, nullptr, 10))] = id;
        }
    for (auto& [id, e] : catalog_) {
        if (!e.hardLink) continue;
        auto it = inodes.find(e.linkTarget);
        uint64_t target = it != inodes.end() ? it->second : e.linkTarget;
        const HfsEntry* t = find(target);
        if (!t || t->kind != 2 || t->hardLink || target == id) {
            e.hardLink = false;  // unresolved: the link record's own (empty) fork
            continue;
        }
        e.linkTarget = static_cast<uint32_t>(target);
    }
}

// decmpfs attributes ("com.apple.decmpfs", inline) of compressed files.
void HFSP::readAttributes() {
    bool any = false;
    for (const auto& [id, e] : catalog_) any = any || e.compressed;
    const ForkData& fork = header_.attributesFile;
    if (!any || fork.logicalSize == 0) return;
    std::vector<Run> runs = forkRuns(fork, kDataFork, kAttributesFileId, extentsIndex_, blockSize_, volumeBlocks_).runs;
    std::vector<uint8_t> head(512);
    readFork(runs, 0, head.data(), head.size());
    HeaderRecord h = readHeaderRecord(head.data(), head.size());
    if (readDescriptor(head.data(), head.size()).kind != kHeaderNode || !nodeGeometryValid(h, fork.logicalSize)) return;
    const uint32_t ns = h.nodeSize;
    const std::u16string wanted = u"com.apple.decmpfs";
    const size_t perPiece = std::max<size_t>(1, readPiece / ns);
    std::vector<uint8_t> buf(perPiece * ns);
    for (uint32_t n = 0; n < h.totalNodes;) {
        if (stopped()) break;
        const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(perPiece, h.totalNodes - n));
        readFork(runs, static_cast<uint64_t>(n) * ns, buf.data(), static_cast<size_t>(count) * ns);
        for (uint32_t k = 0; k < count; ++k) {
            const uint8_t* node = buf.data() + static_cast<size_t>(k) * ns;
            NodeDescriptor d = readDescriptor(node, ns);
            if (d.kind != kLeafNode) continue;
            for (uint16_t off : recordOffsets(node, ns, d.numRecords)) {
                AttributeRecord a;
                if (!decodeAttributeRecord(node, ns, off, a) || a.name != wanted || !a.data || a.size < 16) continue;
                const HfsEntry* e = find(a.fileId);
                if (!e || !e->compressed || compression_.count(a.fileId)) continue;
                if (le32(a.data, a.size, 0) != 0x636D7066) continue;  // "fpmc"
                HfsCompression c;
                c.type = le32(a.data, a.size, 4);
                c.size = le64(a.data, a.size, 8);
                if (c.type == 3 || c.type == 1) c.inlineData.assign(a.data + 16, a.data + a.size);
                compression_[a.fileId] = std::move(c);
            }
        }
        n += count;
    }
}

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
    catalog_[orphanId_] = o;
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
    std::unordered_set<uint64_t> seen;
    const size_t limit = catalog_.size() + 1;
    auto mark = [&](uint64_t start, bool underOrphan) {
        std::vector<uint64_t> stack{start};
        seen.insert(start);
        while (!stack.empty()) {
            HfsEntry* cur = find(stack.back());
            stack.pop_back();
            if (!cur) continue;
            int64_t c = cur->firstChild;
            for (size_t steps = 0; c >= 0 && steps < limit; ++steps) {
                HfsEntry* ce = find(static_cast<uint64_t>(c));
                if (!ce || !seen.insert(static_cast<uint64_t>(c)).second) break;
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
        if (!seen.count(id) && id != kRootFolderId && e.state == EntryState::Deleted) lost.push_back(id);
    for (uint64_t id : lost) {
        if (seen.count(id)) continue;
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
        seen.insert(id);
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
    std::unordered_set<uint64_t> seen;
    for (int64_t c = f->firstChild; c >= 0;) {
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
