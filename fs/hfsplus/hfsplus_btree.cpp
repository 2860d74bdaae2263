// B-tree nodes (catalog, extents overflow, attributes): the node
// descriptor, the header record of node 0, the record offset table at the
// node's end, and the leaf records each tree holds.
#include <cstdio>

#include "base/bytes.h"
#include "fs/hfsplus/hfsplus_format.h"

namespace brantlow::hfs {

using std::to_string;

namespace {

std::string hex(uint64_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%llX", static_cast<unsigned long long>(v));
    return b;
}

bool cnidPlausible(uint32_t id) { return id == kRootFolderId || id >= 16; }

bool forkPlausible(const ForkData& f) {
    // Extents are filled in order: after the first empty one all are empty;
    // together they claim no more than totalBlocks, and the logical size
    // fits in totalBlocks of the largest block size.
    uint64_t sum = 0;
    bool ended = false;
    for (const Extent& e : f.extents) {
        if (ended && (e.blockCount || e.startBlock)) return false;
        if (e.blockCount == 0) {
            if (e.startBlock != 0) return false;
            ended = true;
        }
        sum += e.blockCount;
    }
    if (sum > f.totalBlocks) return false;
    return f.logicalSize <= (static_cast<uint64_t>(f.totalBlocks) << 30);
}

std::u16string nameAt(const uint8_t* node, size_t nodeSize, size_t off, size_t units) {
    std::u16string name(units, u'\0');
    if (off <= nodeSize && (nodeSize - off) / 2 >= units) {
        const uint8_t* p = node + off;
        for (size_t i = 0; i < units; ++i) name[i] = static_cast<char16_t>(p[2 * i] << 8 | p[2 * i + 1]);
        return name;
    }
    for (size_t i = 0; i < units; ++i) name[i] = static_cast<char16_t>(be16(node, nodeSize, off + 2 * i));
    return name;
}

}  // namespace

Decoded<NodeDescriptor> decodeNodeDescriptor(const uint8_t* node, size_t len) {
    if (len < kNodeDescriptorSize) return Decoded<NodeDescriptor>::refused("node shorter than its descriptor");
    NodeDescriptor d;
    d.fLink = be32(node, len, 0);
    d.bLink = be32(node, len, 4);
    d.kind = static_cast<int8_t>(le8(node, len, 8));
    d.height = le8(node, len, 9);
    d.numRecords = be16(node, len, 10);
    if (d.kind < kLeafNode || d.kind > kMapNode)
        return Decoded<NodeDescriptor>::refused("node kind " + to_string(d.kind) + " is not -1 to 2");
    return Decoded<NodeDescriptor>::ok(d);
}

Decoded<HeaderRecord> decodeHeaderRecord(const uint8_t* node0, size_t len, uint64_t forkBytes) {
    HeaderRecord h;
    const size_t o = kNodeDescriptorSize;
    h.treeDepth = be16(node0, len, o);
    h.rootNode = be32(node0, len, o + 2);
    h.leafRecords = be32(node0, len, o + 6);
    h.firstLeafNode = be32(node0, len, o + 10);
    h.lastLeafNode = be32(node0, len, o + 14);
    h.nodeSize = be16(node0, len, o + 18);
    h.maxKeyLength = be16(node0, len, o + 20);
    h.totalNodes = be32(node0, len, o + 22);
    h.freeNodes = be32(node0, len, o + 26);
    h.keyCompareType = le8(node0, len, o + 37);
    h.attributes = be32(node0, len, o + 38);
    const uint32_t ns = h.nodeSize;
    if (ns < 512 || ns > 32768 || (ns & (ns - 1)) != 0)
        return Decoded<HeaderRecord>::refused("node size " + to_string(ns) + " is not a power of two from 512 to 32768");
    if (h.totalNodes == 0 || h.totalNodes > forkBytes / ns)
        return Decoded<HeaderRecord>::refused("total nodes " + to_string(h.totalNodes) + " where the fork's " +
                                              to_string(forkBytes) + " bytes hold " + to_string(forkBytes / ns));
    return Decoded<HeaderRecord>::ok(h);
}

Decoded<RecordTable> decodeRecordTable(const uint8_t* node, size_t nodeSize, uint16_t numRecords) {
    // The table holds numRecords + 1 slots (the last one: free space).
    const uint64_t slots = static_cast<uint64_t>(numRecords) + 1;
    if (nodeSize < kNodeDescriptorSize + 2 || 2 * slots > nodeSize - kNodeDescriptorSize)
        return Decoded<RecordTable>::refused(to_string(numRecords) + " records do not fit the node");
    RecordTable t;
    t.tableStart = nodeSize - 2 * slots;
    t.offsets.reserve(numRecords);
    size_t last = kNodeDescriptorSize;
    size_t skipped = 0, firstSkipped = 0;
    for (uint16_t i = 0; i < numRecords; ++i) {
        const uint16_t off = be16(node, nodeSize, nodeSize - 2 * (static_cast<size_t>(i) + 1));
        if (off < kNodeDescriptorSize || (off & 1) || off >= t.tableStart) {
            if (skipped++ == 0) firstSkipped = i;
            continue;
        }
        t.offsets.push_back(off);
        if (off > last) last = off;
    }
    const uint16_t f = be16(node, nodeSize, t.tableStart);
    const bool freeOk = f >= last && f <= t.tableStart && !(f & 1);
    t.freeStart = freeOk ? f : last;
    auto d = Decoded<RecordTable>::ok(std::move(t));
    if (skipped)
        d.replace(to_string(skipped) + " record offsets outside the node (first: record " + to_string(firstSkipped) +
                  "): left out");
    if (!freeOk) d.replace("free-space offset " + to_string(f) + " outside the free space: " + to_string(last) + " taken");
    return d;
}

Decoded<CatalogKey> decodeCatalogKey(const uint8_t* node, size_t nodeSize, size_t off, bool strict) {
    using D = Decoded<CatalogKey>;
    if (off < kNodeDescriptorSize || off + 8 > nodeSize) return D::refused("key past the node's end");
    CatalogKey k;
    k.keyLength = be16(node, nodeSize, off);
    const uint16_t nameLen = be16(node, nodeSize, off + 6);
    if (k.keyLength < 6 || k.keyLength > 516) return D::refused("key length " + to_string(k.keyLength) + " outside 6 to 516");
    if (nameLen > kMaxNameUnits) return D::refused("name length " + to_string(nameLen) + " above 255");
    if (off + 8 + 2 * static_cast<size_t>(nameLen) > nodeSize) return D::refused("name past the node's end");
    if (6 + 2 * static_cast<size_t>(nameLen) > k.keyLength || (strict && k.keyLength != 6 + 2 * nameLen))
        return D::refused("name length " + to_string(nameLen) + " does not match key length " + to_string(k.keyLength));
    k.parentId = be32(node, nodeSize, off + 2);
    k.name = nameAt(node, nodeSize, off + 8, nameLen);
    return D::ok(std::move(k));
}

namespace {

// The body of a folder or file record whose data starts at `data`.
Decoded<CatalogRecord> folderOrFile(const uint8_t* node, size_t nodeSize, size_t data, CatalogRecord& out, bool strict,
                                    size_t keyLength) {
    using D = Decoded<CatalogRecord>;
    const size_t body = out.type == kFolderRecord ? kFolderRecordSize : kFileRecordSize;
    if (data + body > nodeSize) return D::refused("record body past the node's end");
    out.flags = be16(node, nodeSize, data + 2);
    out.cnid = be32(node, nodeSize, data + 8);
    out.createDate = be32(node, nodeSize, data + 12);
    out.contentModDate = be32(node, nodeSize, data + 16);
    out.attributeModDate = be32(node, nodeSize, data + 20);
    out.accessDate = be32(node, nodeSize, data + 24);
    out.ownerFlags = le8(node, nodeSize, data + 41);
    out.fileMode = be16(node, nodeSize, data + 42);
    out.special = be32(node, nodeSize, data + 44);
    out.fdType = be32(node, nodeSize, data + 48);
    out.fdCreator = be32(node, nodeSize, data + 52);
    if (out.type == kFileRecord) {
        out.data = readForkData(node, nodeSize, data + 88);
        out.rsrc = readForkData(node, nodeSize, data + 168);
    }
    out.length = 2 + keyLength + body;
    if (out.cnid == 0) return D::refused("CNID 0");
    if (strict) {
        if (out.name.empty() || !cnidPlausible(out.cnid) || out.parentId == 0) return D::refused("implausible");
        if (out.cnid == kRootFolderId ? out.parentId != 1 : !cnidPlausible(out.parentId)) return D::refused("implausible");
        if (out.type == kFileRecord && (!forkPlausible(out.data) || !forkPlausible(out.rsrc)))
            return D::refused("implausible");
    }
    return D::ok(std::move(out));
}

// A thread record: the CNID's parent and name.
Decoded<CatalogRecord> thread(const uint8_t* node, size_t nodeSize, size_t data, CatalogRecord& out, bool strict,
                              size_t keyLength) {
    using D = Decoded<CatalogRecord>;
    if (data + 10 > nodeSize) return D::refused("thread past the node's end");
    const uint16_t tLen = be16(node, nodeSize, data + 8);
    if (tLen > kMaxNameUnits || data + 10 + 2 * static_cast<size_t>(tLen) > nodeSize)
        return D::refused("thread name length " + to_string(tLen) + " past the node's end or above 255");
    const bool keyNamed = !out.name.empty();
    out.cnid = out.parentId;
    out.threadParent = be32(node, nodeSize, data + 4);
    out.name = nameAt(node, nodeSize, data + 10, tLen);
    out.length = 2 + keyLength + 10 + 2 * static_cast<size_t>(tLen);
    if (strict) {
        if (keyNamed || tLen == 0 || !cnidPlausible(out.cnid)) return D::refused("implausible");
        if (out.cnid == kRootFolderId ? out.threadParent != 1 : !cnidPlausible(out.threadParent))
            return D::refused("implausible");
    }
    return D::ok(std::move(out));
}

}  // namespace

Decoded<CatalogRecord> decodeCatalogRecord(const uint8_t* node, size_t nodeSize, size_t off, bool strict) {
    using D = Decoded<CatalogRecord>;
    Decoded<CatalogKey> key = decodeCatalogKey(node, nodeSize, off, strict);
    if (!key) return D::refused(key.reason());
    const size_t data = off + 2 + key->keyLength;
    if (data + 2 > nodeSize) return D::refused("record type past the node's end");
    CatalogRecord out;
    out.type = be16(node, nodeSize, data);
    out.parentId = key->parentId;
    out.name = std::move(key->name);
    switch (out.type) {
    case kFolderRecord:
    case kFileRecord:
        return folderOrFile(node, nodeSize, data, out, strict, key->keyLength);
    case kFolderThreadRecord:
    case kFileThreadRecord:
        return thread(node, nodeSize, data, out, strict, key->keyLength);
    default:
        return D::refused("record type " + to_string(out.type) + " unknown");
    }
}

Decoded<ExtentsRecord> decodeExtentsRecord(const uint8_t* node, size_t nodeSize, size_t off) {
    using D = Decoded<ExtentsRecord>;
    if (off < kNodeDescriptorSize || off + 76 > nodeSize) return D::refused("record past the node's end");
    if (be16(node, nodeSize, off) != 10) return D::refused("key length " + to_string(be16(node, nodeSize, off)) + " is not 10");
    ExtentsRecord r;
    r.key.forkType = le8(node, nodeSize, off + 2);
    r.key.fileId = be32(node, nodeSize, off + 4);
    r.key.startBlock = be32(node, nodeSize, off + 8);
    for (size_t i = 0; i < 8; ++i) {
        r.extents[i].startBlock = be32(node, nodeSize, off + 12 + 8 * i);
        r.extents[i].blockCount = be32(node, nodeSize, off + 16 + 8 * i);
    }
    if (r.key.forkType != kDataFork && r.key.forkType != kResourceFork)
        return D::refused("fork type " + hex(r.key.forkType) + " is neither data nor resource");
    return D::ok(r);
}

Decoded<AttributeRecord> decodeAttributeRecord(const uint8_t* node, size_t nodeSize, size_t off) {
    using D = Decoded<AttributeRecord>;
    if (off < kNodeDescriptorSize || off + 14 > nodeSize) return D::refused("key past the node's end");
    const uint16_t keyLength = be16(node, nodeSize, off);
    const uint16_t nameLen = be16(node, nodeSize, off + 12);
    if (nameLen > 127 || keyLength < 12 + 2 * nameLen || keyLength > 266)
        return D::refused("key length " + to_string(keyLength) + " with a name of " + to_string(nameLen) + " units");
    const size_t data = off + 2 + keyLength;
    if (off + 14 + 2 * static_cast<size_t>(nameLen) > nodeSize || data + 16 > nodeSize)
        return D::refused("record past the node's end");
    AttributeRecord out;
    out.fileId = be32(node, nodeSize, off + 4);
    out.name = nameAt(node, nodeSize, off + 14, nameLen);
    out.recordType = be32(node, nodeSize, data);
    if (out.recordType != 0x10) return D::ok(std::move(out));  // fork data or extents: no inline bytes
    out.size = be32(node, nodeSize, data + 12);
    if (out.size > nodeSize - (data + 16)) return D::refused("inline data past the node's end");
    out.data = node + data + 16;
    return D::ok(std::move(out));
}

}  // namespace brantlow::hfs
