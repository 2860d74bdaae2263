#include "fs/hfsplus/hfsplus_format.h"

#include <utf8proc.h>

#include <cstdlib>
#include <set>

#include "base/bytes.h"
#include "base/texts.h"

namespace brantlow::hfs {

ForkData readForkData(const uint8_t* p, size_t len, size_t off) {
    ForkData f;
    f.logicalSize = be64(p, len, off);
    f.totalBlocks = be32(p, len, off + 12);
    for (size_t i = 0; i < 8; ++i) {
        f.extents[i].startBlock = be32(p, len, off + 16 + 8 * i);
        f.extents[i].blockCount = be32(p, len, off + 20 + 8 * i);
    }
    return f;
}

VolumeHeader readVolumeHeader(const uint8_t* p, size_t len) {
    VolumeHeader h;
    h.signature = be16(p, len, 0);
    h.version = be16(p, len, 2);
    h.attributes = be32(p, len, 4);
    h.journalInfoBlock = be32(p, len, 12);
    h.blockSize = be32(p, len, 40);
    h.totalBlocks = be32(p, len, 44);
    h.nextCatalogId = be32(p, len, 64);
    h.allocationFile = readForkData(p, len, 112);
    h.extentsFile = readForkData(p, len, 192);
    h.catalogFile = readForkData(p, len, 272);
    h.attributesFile = readForkData(p, len, 352);
    return h;
}

bool geometryValid(const VolumeHeader& h) {
    const uint32_t bs = h.blockSize;
    if (bs < 512 || bs > (1u << 30) || (bs & (bs - 1)) != 0) return false;
    if (h.totalBlocks == 0) return false;
    return h.catalogFile.extents[0].blockCount != 0 && h.catalogFile.logicalSize != 0;
}

NodeDescriptor readDescriptor(const uint8_t* node, size_t len) {
    NodeDescriptor d;
    d.fLink = be32(node, len, 0);
    d.bLink = be32(node, len, 4);
    d.kind = static_cast<int8_t>(le8(node, len, 8));
    d.height = le8(node, len, 9);
    d.numRecords = be16(node, len, 10);
    return d;
}

HeaderRecord readHeaderRecord(const uint8_t* node0, size_t len) {
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
    return h;
}

bool nodeGeometryValid(const HeaderRecord& h, uint64_t forkBytes) {
    const uint32_t ns = h.nodeSize;
    if (ns < 512 || ns > 32768 || (ns & (ns - 1)) != 0) return false;
    return h.totalNodes != 0 && h.totalNodes <= forkBytes / ns;
}

std::vector<uint16_t> recordOffsets(const uint8_t* node, size_t nodeSize, uint16_t numRecords, size_t* freeStart) {
    std::vector<uint16_t> out;
    // The table holds numRecords + 1 slots (the last one: free space).
    const uint64_t slots = static_cast<uint64_t>(numRecords) + 1;
    if (nodeSize < kNodeDescriptorSize + 2 || 2 * slots > nodeSize - kNodeDescriptorSize) {
        if (freeStart) *freeStart = nodeSize;
        return out;
    }
    const size_t tableStart = nodeSize - 2 * slots;
    out.reserve(numRecords);
    size_t last = kNodeDescriptorSize;
    for (uint16_t i = 0; i < numRecords; ++i) {
        uint16_t off = be16(node, nodeSize, nodeSize - 2 * (static_cast<size_t>(i) + 1));
        if (off < kNodeDescriptorSize || (off & 1) || off >= tableStart) continue;
        out.push_back(off);
        if (off > last) last = off;
    }
    if (freeStart) {
        uint16_t f = be16(node, nodeSize, tableStart);
        *freeStart = (f >= last && f <= tableStart && !(f & 1)) ? f : last;
    }
    return out;
}

namespace {

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

}  // namespace

bool decodeCatalogRecord(const uint8_t* node, size_t nodeSize, size_t off, CatalogRecord& out, bool strict) {
    if (off < kNodeDescriptorSize || off + 8 > nodeSize) return false;
    const uint16_t keyLength = be16(node, nodeSize, off);
    const uint16_t nameLen = be16(node, nodeSize, off + 6);
    if (keyLength < 6 || keyLength > 516 || nameLen > kMaxNameUnits) return false;
    if (off + 8 + 2 * static_cast<size_t>(nameLen) > nodeSize) return false;
    if (6 + 2 * static_cast<size_t>(nameLen) > keyLength) return false;
    if (strict && keyLength != 6 + 2 * nameLen) return false;
    const size_t data = off + 2 + keyLength;
    if (data + 2 > nodeSize) return false;
    out = CatalogRecord{};
    out.type = be16(node, nodeSize, data);
    out.parentId = be32(node, nodeSize, off + 2);
    out.name.resize(nameLen);
    for (size_t i = 0; i < nameLen; ++i) out.name[i] = static_cast<char16_t>(be16(node, nodeSize, off + 8 + 2 * i));

    switch (out.type) {
    case kFolderRecord:
    case kFileRecord: {
        const size_t body = out.type == kFolderRecord ? kFolderRecordSize : kFileRecordSize;
        if (data + body > nodeSize) return false;
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
        if (out.cnid == 0) return false;
        if (strict) {
            if (nameLen == 0 || !cnidPlausible(out.cnid) || out.parentId == 0) return false;
            if (out.cnid == kRootFolderId ? out.parentId != 1 : !cnidPlausible(out.parentId)) return false;
            if (out.type == kFileRecord && (!forkPlausible(out.data) || !forkPlausible(out.rsrc))) return false;
        }
        return true;
    }
    case kFolderThreadRecord:
    case kFileThreadRecord: {
        if (data + 10 > nodeSize) return false;
        const uint16_t tLen = be16(node, nodeSize, data + 8);
        if (tLen > kMaxNameUnits || data + 10 + 2 * static_cast<size_t>(tLen) > nodeSize) return false;
        out.cnid = out.parentId;
        out.threadParent = be32(node, nodeSize, data + 4);
        out.name.resize(tLen);
        for (size_t i = 0; i < tLen; ++i)
            out.name[i] = static_cast<char16_t>(be16(node, nodeSize, data + 10 + 2 * i));
        out.length = 2 + keyLength + 10 + 2 * static_cast<size_t>(tLen);
        if (strict) {
            if (nameLen != 0 || tLen == 0 || !cnidPlausible(out.cnid)) return false;
            if (out.cnid == kRootFolderId ? out.threadParent != 1 : !cnidPlausible(out.threadParent)) return false;
        }
        return true;
    }
    default:
        return false;
    }
}

bool decodeExtentsRecord(const uint8_t* node, size_t nodeSize, size_t off, ExtentKey& key, ExtentRecord& ext) {
    if (off < kNodeDescriptorSize || off + 76 > nodeSize) return false;
    if (be16(node, nodeSize, off) != 10) return false;
    key.forkType = le8(node, nodeSize, off + 2);
    key.fileId = be32(node, nodeSize, off + 4);
    key.startBlock = be32(node, nodeSize, off + 8);
    for (size_t i = 0; i < 8; ++i) {
        ext[i].startBlock = be32(node, nodeSize, off + 12 + 8 * i);
        ext[i].blockCount = be32(node, nodeSize, off + 16 + 8 * i);
    }
    return key.forkType == kDataFork || key.forkType == kResourceFork;
}

bool decodeAttributeRecord(const uint8_t* node, size_t nodeSize, size_t off, AttributeRecord& out) {
    if (off < kNodeDescriptorSize || off + 14 > nodeSize) return false;
    const uint16_t keyLength = be16(node, nodeSize, off);
    const uint16_t nameLen = be16(node, nodeSize, off + 12);
    if (nameLen > 127 || keyLength < 12 + 2 * nameLen || keyLength > 266) return false;
    const size_t data = off + 2 + keyLength;
    if (off + 14 + 2 * static_cast<size_t>(nameLen) > nodeSize || data + 16 > nodeSize) return false;
    out = AttributeRecord{};
    out.fileId = be32(node, nodeSize, off + 4);
    out.name.resize(nameLen);
    for (size_t i = 0; i < nameLen; ++i) out.name[i] = static_cast<char16_t>(be16(node, nodeSize, off + 14 + 2 * i));
    out.recordType = be32(node, nodeSize, data);
    if (out.recordType != 0x10) return true;  // fork data or extents: no inline bytes
    out.size = be32(node, nodeSize, data + 12);
    if (out.size > nodeSize - (data + 16)) return false;
    out.data = node + data + 16;
    return true;
}

ForkRuns forkRuns(const ForkData& fork, uint8_t forkType, uint32_t fileId, const ExtentsIndex& index,
                  uint64_t blockSize, uint64_t volumeBlocks) {
    ForkRuns r;
    if (blockSize == 0) {
        r.complete = fork.logicalSize == 0;
        return r;
    }
    const uint64_t needed = fork.logicalSize / blockSize + (fork.logicalSize % blockSize ? 1 : 0);
    auto take = [&](const ExtentRecord& rec) -> uint64_t {
        uint64_t added = 0;
        for (const Extent& e : rec) {
            if (r.blocks >= needed) break;
            if (e.blockCount == 0) continue;
            const uint64_t count = std::min<uint64_t>(e.blockCount, needed - r.blocks);
            Run run{e.startBlock, count, true};
            if (run.startBlock >= volumeBlocks || count > volumeBlocks - run.startBlock) run.valid = false;
            // Contiguous with the previous run: one longer run.
            if (!r.runs.empty() && r.runs.back().valid && run.valid &&
                r.runs.back().startBlock + r.runs.back().blockCount == run.startBlock)
                r.runs.back().blockCount += count;
            else
                r.runs.push_back(run);
            r.blocks += count;
            added += count;
        }
        return added;
    };
    take(fork.extents);
    std::set<uint64_t> seen;
    while (r.blocks < needed) {
        if (r.blocks > 0xFFFFFFFFull || !seen.insert(r.blocks).second) break;
        auto it = index.find(ExtentKey{forkType, fileId, static_cast<uint32_t>(r.blocks)});
        if (it == index.end()) break;
        if (take(it->second) == 0) break;
    }
    r.complete = r.blocks >= needed;
    return r;
}

namespace {

// Code points HFS+ stores as they are (its decomposition leaves them).
bool keptAsStored(uint32_t cp) {
    return (cp >= 0x2000 && cp <= 0x2FFF) || (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0x2F800 && cp <= 0x2FAFF);
}

std::string composeSegment(const std::string& utf8) {
    if (utf8.empty()) return utf8;
    utf8proc_uint8_t* out = nullptr;
    utf8proc_ssize_t n = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(utf8.data()),
                                      static_cast<utf8proc_ssize_t>(utf8.size()), &out,
                                      static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    if (n < 0 || !out) {
        std::free(out);
        return utf8;
    }
    std::string s(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
    std::free(out);
    return s;
}

}  // namespace

std::string displayName(const std::u16string& name) {
    // Below U+0300 nothing composes: the name is shown as it is.
    bool plain = true;
    for (char16_t u : name) plain = plain && u < 0x300 && u != ':';
    if (plain) {
        std::string out;
        out.reserve(name.size());
        for (char16_t u : name) appendUtf8(out, u);
        return out;
    }
    std::string result, segment;
    for (size_t i = 0; i < name.size(); ++i) {
        uint32_t cp = name[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (name[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp == ':') cp = '/';
        if (keptAsStored(cp)) {
            result += composeSegment(segment);
            segment.clear();
            appendUtf8(result, cp);
        } else {
            appendUtf8(segment, cp);
        }
    }
    result += composeSegment(segment);
    return result;
}

std::string modeText(uint16_t m) {
    std::string t;
    if (m & 0x040) t += "-Owner:X";
    if (m & 0x080) t += "-Owner:W";
    if (m & 0x100) t += "-Owner:R";
    if (m & 0x001) t += "-OX";
    if (m & 0x002) t += "-OW";
    if (m & 0x004) t += "-OR";
    if (m & 0x008) t += "-GX";
    if (m & 0x010) t += "-GW";
    if (m & 0x020) t += "-GR";
    return t;
}

bool forkByteOffset(const std::vector<Run>& runs, uint64_t blockSize, uint64_t forkOffset, uint64_t* volumeOffset,
                    uint64_t* contiguousBytes) {
    uint64_t base = 0;  // fork byte where the run starts
    for (const Run& r : runs) {
        uint64_t bytes = 0;
        if (mulOverflows(r.blockCount, blockSize, &bytes)) return false;
        if (forkOffset < base + bytes) {
            if (!r.valid) return false;
            uint64_t start = 0;
            if (mulOverflows(r.startBlock, blockSize, &start)) return false;
            *volumeOffset = start + (forkOffset - base);
            if (contiguousBytes) *contiguousBytes = bytes - (forkOffset - base);
            return true;
        }
        base += bytes;
    }
    return false;
}

}  // namespace brantlow::hfs
