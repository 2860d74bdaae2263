// What the records say together, once every source is read: stale copies
// of a live record are dropped, deleted folders are rebuilt from their
// thread records, hard links are resolved through the private metadata
// folder, and compressed files get their decmpfs attributes.
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "base/bytes.h"
#include "fs/hfsplus/hfsplus.h"

namespace brantlow {

using namespace hfs;

namespace {

// Name of the folder that holds the targets of file hard links.
const std::u16string kPrivateDataName = std::u16string(4, u'\0') + u"HFS+ Private Data";

}  // namespace

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
    // The keys of the entries that are not live (the fewer), each marked
    // when a live entry has it too; the marked ones go.
    std::unordered_map<Key, bool, KeyHash> staleKeys;
    for (const auto& [id, e] : catalog_)
        if (e.rank != kLive) staleKeys.emplace(key(e), false);
    for (const auto& [id, e] : catalog_)
        if (e.rank == kLive && parents.count(e.parentId)) {
            auto it = staleKeys.find(key(e));
            if (it != staleKeys.end()) it->second = true;
        }
    for (auto it = catalog_.begin(); it != catalog_.end();) {
        if (it->second.rank != kLive && staleKeys.find(key(it->second))->second)
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
    std::vector<uint8_t> head;
    HeaderRecord h;
    if (!readHeaderNode(runs, fork.logicalSize, "attributes", true, h, head)) return;
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
            const Decoded<NodeDescriptor> d = decodeNodeDescriptor(node, ns);
            if (!d || d->kind != kLeafNode) continue;
            const Decoded<RecordTable> t = decodeRecordTable(node, ns, d->numRecords);
            if (!t) continue;
            for (uint16_t off : t->offsets) {
                const Decoded<AttributeRecord> decoded = decodeAttributeRecord(node, ns, off);
                if (!decoded) continue;
                const AttributeRecord& a = *decoded;
                if (a.name != wanted || !a.data || a.size < 16) continue;
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

}  // namespace brantlow
