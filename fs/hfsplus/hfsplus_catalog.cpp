// The catalog B-tree: every node of the catalog file read through its runs
// (standard mode) or the volume searched for nodes that look like catalog
// leaves (deep mode). Leaf records of nodes in use are live; freed nodes
// and the free space of nodes in use are searched for records that survive
// there (deleted).
#include <unordered_set>

#include "base/bytes.h"
#include "fs/hfsplus/hfsplus.h"
#include "fs/hfsplus/hfsplus_internal.h"

namespace brantlow {

using namespace hfs;

namespace {

std::string nodeLabel(int64_t n) { return n < 0 ? std::string("catalog node") : "catalog node " + std::to_string(n); }

}  // namespace

bool HFSP::readCatalogNodes() {
    const ForkData& fork = header_.catalogFile;
    ForkRuns fr = forkRuns(fork, kDataFork, kCatalogFileId, extentsIndex_, blockSize_, volumeBlocks_);
    catalogRuns_ = fr.runs;
    std::vector<uint8_t> head;
    if (!readHeaderNode(catalogRuns_, fork.logicalSize, "catalog", false, catalogHeader_, head)) return false;
    const uint32_t ns = catalogHeader_.nodeSize;
    catalogNodeSize_ = ns;
    const uint32_t total = catalogHeader_.totalNodes;
    if (!loadNodeMap(catalogRuns_, head.data(), ns, total, catalogMap_, "catalog")) catalogMap_.clear();

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
            const uint64_t at = forkByte(catalogRuns_, static_cast<uint64_t>(node) * ns);
            // Nodes past what the map covers count as in use.
            const bool used = node / 8 >= catalogMap_.size() || (catalogMap_[node / 8] & (0x80 >> (node % 8)));
            takeNode(buf.data() + static_cast<size_t>(k) * ns, ns, at, used, HfsSource::FreedNode, node);
        }
        n += count;
        if (ctx_) ctx_->position(n);
    }
    return true;
}

// The records of one catalog node. A node in use gives its leaf records
// (live) and the records left in its free space; a freed node, or one in
// use whose descriptor is refused, is searched whole.
void HFSP::takeNode(const uint8_t* node, size_t ns, uint64_t nodeOffset, bool inUse, HfsSource freedSource,
                    int64_t nodeNumber) {
    if (inUse) {
        const Decoded<NodeDescriptor> d = decodeNodeDescriptor(node, ns);
        if (d) {
            if (d->kind == kHeaderNode || d->kind == kMapNode) return;
            const Decoded<RecordTable> t = decodeRecordTable(node, ns, d->numRecords);
            if (!t) {
                note(nodeLabel(nodeNumber), nodeOffset, t.reason());
                return;
            }
            for (const std::string& r : t.replaced()) note(nodeLabel(nodeNumber), nodeOffset, r, true);
            if (d->kind == kLeafNode) takeLeafRecords(node, ns, nodeOffset, *t, nodeNumber);
            if (t->freeStart < t->tableStart)
                carve(node, ns, t->freeStart, t->tableStart, nodeOffset, kFreeSpace, HfsSource::FreeSpace);
            return;
        }
        note(nodeLabel(nodeNumber), nodeOffset, d.reason() + ": searched for records");
    }
    carve(node, ns, kNodeDescriptorSize, ns, nodeOffset, kFreedNode, freedSource);
}

void HFSP::takeLeafRecords(const uint8_t* node, size_t ns, uint64_t nodeOffset, const RecordTable& table,
                           int64_t nodeNumber) {
    for (uint16_t off : table.offsets) {
        const Decoded<CatalogRecord> r = decodeCatalogRecord(node, ns, off, false);
        if (r)
            takeRecord(*r, kLive, HfsSource::LiveLeaf, nodeOffset, off);
        else
            note("catalog record in " + nodeLabel(nodeNumber), nodeOffset + off, r.reason());
    }
}

// Well-formed records at every even offset in [from, to) of buf: a
// search, so what the decoder refuses is passed over, not damage.
void HFSP::carve(const uint8_t* buf, size_t len, size_t from, size_t to, uint64_t bufOffset, Rank rank,
                 HfsSource source) {
    to = std::min(to, len);
    for (size_t off = (from + 1) & ~size_t(1); off + 8 <= to;) {
        // off + 8 <= to <= len: the key's first eight bytes are in buf.
        const uint8_t* k = buf + off;
        if ((k[0] | k[1]) == 0) {  // free space is mostly zeros: a key length of 0
            off += 2;
            continue;
        }
        const uint16_t keyLength = static_cast<uint16_t>(k[0] << 8 | k[1]);
        if (keyLength >= 6 && keyLength <= 516 && !(keyLength & 1) && keyLength == 6 + 2 * (k[6] << 8 | k[7])) {
            const Decoded<CatalogRecord> r =
                decodeCatalogRecord(buf, std::min(len, off + kMaxCatalogRecord), off, true);
            if (r && !(r->type == kFileRecord &&
                       r->data.logicalSize > static_cast<uint64_t>(r->data.totalBlocks) * blockSize_)) {
                takeRecord(*r, rank, source, bufOffset, static_cast<uint32_t>(off));
                off += (r->length + 1) & ~size_t(1);
                continue;
            }
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
        t.nameOffset = static_cast<uint32_t>(namePool_.size());
        appendDisplayName(namePool_, r.name);
        t.nameLength = static_cast<uint32_t>(namePool_.size() - t.nameOffset);
        t.rank = rank;
        threads_[r.cnid] = t;
        return;
    }
    if (r.type != kFolderRecord && r.type != kFileRecord) return;
    if (r.name.empty() && r.cnid != kRootFolderId) return;
    // One look-up: the place of this CNID, made when new.
    auto [it, fresh] = catalog_.try_emplace(r.cnid);
    if (!fresh && it->second.rank <= rank) return;
    HfsEntry& e = it->second;
    e = HfsEntry{};
    e.kind = r.type == kFolderRecord ? 1 : 2;
    e.rank = rank;
    e.state = rank == kLive ? EntryState::Live : EntryState::Deleted;
    e.source = source;
    e.parentId = r.parentId;
    e.cnid = r.cnid;
    e.nameOffset = static_cast<uint32_t>(namePool_.size());
    appendDisplayName(namePool_, r.name);
    e.nameLength = static_cast<uint32_t>(namePool_.size() - e.nameOffset);
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
}

// Deep mode: the volume searched for catalog leaf nodes, stepping by the
// smaller of block and node size. A hit at an in-use node of the catalog
// file gives live records; any other hit gives deleted ones.
bool HFSP::searchCatalogLeaves() {
    const ForkData& fork = header_.catalogFile;
    catalogRuns_ = forkRuns(fork, kDataFork, kCatalogFileId, extentsIndex_, blockSize_, volumeBlocks_).runs;
    std::vector<uint8_t> head;
    // Without the header node (overwritten by a later file system) the node
    // size is the first one at which a leaf's record table closes its node.
    uint32_t ns = 0;
    catalogMap_.clear();
    if (readHeaderNode(catalogRuns_, fork.logicalSize, "catalog", false, catalogHeader_, head)) {
        ns = catalogHeader_.nodeSize;
        if (!loadNodeMap(catalogRuns_, head.data(), ns, catalogHeader_.totalNodes, catalogMap_, "catalog"))
            catalogMap_.clear();
    } else {
        catalogHeader_ = HeaderRecord{};
        note("catalog", forkByte(catalogRuns_, 0), "no header node: the node size is taken from the leaf nodes found",
             true);
    }
    constexpr uint32_t kMaxNode = 32768;
    catalogNodeSize_ = ns;
    // Volume byte offsets of the catalog's nodes in use.
    std::unordered_set<uint64_t> liveNodes;
    for (uint32_t n = 1; n < catalogHeader_.totalNodes && !catalogMap_.empty(); ++n) {
        if (n / 8 < catalogMap_.size() && !(catalogMap_[n / 8] & (0x80 >> (n % 8)))) continue;
        uint64_t at = 0;
        if (forkByteOffset(catalogRuns_, blockSize_, static_cast<uint64_t>(n) * ns, &at, nullptr)) liveNodes.insert(at);
    }

    uint64_t volumeBytes = 0;
    if (mulOverflows(volumeBlocks_, blockSize_, &volumeBytes) || volumeBytes < std::max<uint32_t>(ns, 512)) {
        status(kBlockSizeText);
        return false;
    }
    // Until the node size is known, every 512 bytes is looked at.
    const bool guess = ns == 0;
    const uint64_t step = guess ? 512 : std::min<uint64_t>(blockSize_, ns);
    const size_t chunk = std::max<size_t>(static_cast<size_t>(step), readPiece / step * step);
    const size_t margin = guess ? kMaxNode : ns;
    std::vector<uint8_t> buf(chunk + margin);
    if (ctx_) ctx_->range(static_cast<int64_t>(volumeBytes / step));
    for (uint64_t base = 0; base + (ns ? ns : 512) <= volumeBytes; base += chunk) {
        if (stopped()) break;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk + margin, volumeBytes - base));
        volume_.read(base, buf.data(), want);
        for (size_t off = 0; off < chunk && off + 512 <= want; off += static_cast<size_t>(step)) {
            const uint8_t* node = buf.data() + off;
            if (node[8] != 0xFF) continue;
            if (!ns) {
                // A leaf whose record table ends in a node size's last bytes.
                for (uint32_t size : {4096u, 8192u, 16384u, 32768u, 2048u, 1024u, 512u}) {
                    if (off + size > want || (base + off) % std::min<uint64_t>(blockSize_, size)) continue;
                    const Decoded<NodeDescriptor> d = decodeNodeDescriptor(node, size);
                    if (d && d->height == 1 && d->numRecords > 0 && be16(node, size, size - 2) == kNodeDescriptorSize &&
                        decodeRecordTable(node, size, d->numRecords)) {
                        ns = catalogNodeSize_ = size;
                        break;
                    }
                }
                if (!ns) continue;
            }
            if (guess && (base + off) % std::min<uint64_t>(blockSize_, ns)) continue;
            if (off + ns > want) continue;
            // A leaf (kind -1) of some height, with records, whose first record
            // follows the descriptor.
            const Decoded<NodeDescriptor> d = decodeNodeDescriptor(node, ns);
            if (!d || d->height == 0 || d->numRecords == 0 || d->numRecords >= 1000 ||
                be16(node, ns, ns - 2) != kNodeDescriptorSize)
                continue;
            const uint64_t at = base + off;
            const bool live = catalogMap_.empty() || liveNodes.count(at);
            takeNode(node, ns, at, live, HfsSource::DeepSearch, -1);
        }
        if (ctx_) ctx_->position(static_cast<int64_t>(base / step));
    }
    return true;
}

}  // namespace brantlow
