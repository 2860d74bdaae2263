#include "fs/btrfs/btrfs_format.h"

#include <cstring>

#include "base/bytes.h"

namespace brantlow::btrfs {

namespace {

constexpr char kMagic[8] = {'_', 'B', 'H', 'R', 'f', 'S', '_', 'M'};
constexpr size_t kSysArrayOffset = 0x32b;
constexpr size_t kSysArrayMax = 2048;
constexpr size_t kBackupOffset = 0xb2b;
constexpr size_t kBackupSize = 168;
constexpr size_t kChunkHead = 48;
constexpr size_t kStripeSize = 32;

bool powerOfTwo(uint64_t v) { return v && (v & (v - 1)) == 0; }

Timespec timespecAt(const uint8_t* p, size_t n, size_t off) {
    return {static_cast<int64_t>(le64(p, n, off)), le32(p, n, off + 8)};
}

}  // namespace

Key decodeKey(const uint8_t* p, size_t n, size_t off) {
    return {le64(p, n, off), le8(p, n, off + 8), le64(p, n, off + 9)};
}

Decoded<Superblock> decodeSuperblock(const uint8_t* p, size_t n) {
    if (n < kSuperSize) return Decoded<Superblock>::refused("superblock shorter than 4096 bytes");
    if (std::memcmp(p + 0x40, kMagic, 8) != 0) return Decoded<Superblock>::refused("no _BHRfS_M magic");
    Superblock s;
    std::memcpy(s.fsid, p + 0x20, 16);
    s.bytenr = le64(p, n, 0x30);
    s.generation = le64(p, n, 0x48);
    s.root = le64(p, n, 0x50);
    s.chunkRoot = le64(p, n, 0x58);
    s.totalBytes = le64(p, n, 0x70);
    s.numDevices = le64(p, n, 0x88);
    s.sectorSize = le32(p, n, 0x90);
    s.nodeSize = le32(p, n, 0x94);
    const uint32_t sysSize = le32(p, n, 0xa0);
    s.chunkRootGeneration = le64(p, n, 0xa4);
    s.csumType = le16(p, n, 0xc4);
    s.rootLevel = le8(p, n, 0xc6);
    s.chunkRootLevel = le8(p, n, 0xc7);
    s.devid = le64(p, n, 0xc9);
    if (!powerOfTwo(s.sectorSize) || s.sectorSize < 512 || s.sectorSize > kMaxNode)
        return Decoded<Superblock>::refused("sector size " + std::to_string(s.sectorSize) + " out of range");
    if (!powerOfTwo(s.nodeSize) || s.nodeSize < kMinNode || s.nodeSize > kMaxNode || s.nodeSize < s.sectorSize)
        return Decoded<Superblock>::refused("node size " + std::to_string(s.nodeSize) + " out of range");
    if (sysSize > kSysArrayMax)
        return Decoded<Superblock>::refused("system chunk array of " + std::to_string(sysSize) + " bytes");
    if (s.rootLevel >= kMaxLevel || s.chunkRootLevel >= kMaxLevel)
        return Decoded<Superblock>::refused("tree root level out of range");
    if (s.totalBytes == 0) return Decoded<Superblock>::refused("total size 0");
    s.checksumOk = s.csumType != 0 || checksumMatches(p, kSuperSize);
    const uint8_t* label = p + 0x12b;
    s.label.assign(reinterpret_cast<const char*>(label), strnlen(reinterpret_cast<const char*>(label), 256));
    s.sysChunkArray.assign(p + kSysArrayOffset, p + kSysArrayOffset + sysSize);
    for (int i = 0; i < 4; ++i) {
        const size_t b = kBackupOffset + i * kBackupSize;
        BackupRoot& r = s.backups[i];
        r.treeRoot = le64(p, n, b);
        r.treeRootGen = le64(p, n, b + 8);
        r.chunkRoot = le64(p, n, b + 16);
        r.chunkRootGen = le64(p, n, b + 24);
        r.extentRoot = le64(p, n, b + 32);
        r.extentRootGen = le64(p, n, b + 40);
        r.fsRoot = le64(p, n, b + 48);
        r.fsRootGen = le64(p, n, b + 56);
        r.treeRootLevel = le8(p, n, b + 152);
        r.chunkRootLevel = le8(p, n, b + 153);
        r.extentRootLevel = le8(p, n, b + 154);
        r.fsRootLevel = le8(p, n, b + 155);
    }
    return Decoded<Superblock>::ok(std::move(s));
}

Decoded<NodeHeader> decodeNodeHeader(const uint8_t* p, size_t n, uint32_t nodeSize) {
    if (n < nodeSize || nodeSize < kMinNode) return Decoded<NodeHeader>::refused("node shorter than its size");
    NodeHeader h;
    std::memcpy(h.fsid, p + 0x20, 16);
    h.bytenr = le64(p, n, 0x30);
    h.generation = le64(p, n, 0x50);
    h.owner = le64(p, n, 0x58);
    h.nritems = le32(p, n, 0x60);
    h.level = le8(p, n, 0x64);
    if (h.level >= kMaxLevel) return Decoded<NodeHeader>::refused("level " + std::to_string(h.level));
    const size_t per = h.level == 0 ? kItemSize : kKeyPtrSize;
    if (h.nritems > (nodeSize - kHeaderSize) / per)
        return Decoded<NodeHeader>::refused(std::to_string(h.nritems) + " items do not fit the node");
    if (h.level > 0 && h.nritems == 0) return Decoded<NodeHeader>::refused("internal node without keys");
    return Decoded<NodeHeader>::ok(h);
}

Decoded<LeafItem> leafItem(const uint8_t* node, size_t n, const NodeHeader& h, uint32_t i) {
    const size_t at = kHeaderSize + static_cast<size_t>(i) * kItemSize;
    if (h.level != 0 || i >= h.nritems || at + kItemSize > n) return Decoded<LeafItem>::refused("no such item");
    LeafItem it;
    it.key = decodeKey(node, n, at);
    const uint64_t off = static_cast<uint64_t>(le32(node, n, at + 17)) + kHeaderSize;
    const uint64_t size = le32(node, n, at + 21);
    const uint64_t itemsEnd = kHeaderSize + static_cast<uint64_t>(h.nritems) * kItemSize;
    if (off < itemsEnd || off + size > n)
        return Decoded<LeafItem>::refused("item " + std::to_string(i) + " data outside the node");
    it.offset = static_cast<uint32_t>(off);
    it.size = static_cast<uint32_t>(size);
    return Decoded<LeafItem>::ok(it);
}

KeyPtr keyPtr(const uint8_t* node, size_t n, uint32_t i) {
    const size_t at = kHeaderSize + static_cast<size_t>(i) * kKeyPtrSize;
    return {decodeKey(node, n, at), le64(node, n, at + 17), le64(node, n, at + 25)};
}

Decoded<Chunk> decodeChunk(const uint8_t* p, size_t n, uint64_t logical, size_t* used) {
    if (n < kChunkHead) return Decoded<Chunk>::refused("chunk item cut short");
    Chunk c;
    c.logical = logical;
    c.length = le64(p, n, 0);
    c.type = le64(p, n, 24);
    const uint16_t stripes = le16(p, n, 44);
    c.subStripes = le16(p, n, 46);
    if (c.length == 0 || logical + c.length < logical) return Decoded<Chunk>::refused("chunk length out of range");
    if (stripes == 0) return Decoded<Chunk>::refused("chunk without stripes");
    const size_t total = kChunkHead + static_cast<size_t>(stripes) * kStripeSize;
    if (total > n) return Decoded<Chunk>::refused(std::to_string(stripes) + " stripes past the item's end");
    for (uint16_t s = 0; s < stripes; ++s) {
        const size_t at = kChunkHead + s * kStripeSize;
        c.stripes.push_back({le64(p, n, at), le64(p, n, at + 8)});
    }
    if (used) *used = total;
    return Decoded<Chunk>::ok(std::move(c));
}

std::vector<Decoded<Chunk>> decodeSysChunkArray(const std::vector<uint8_t>& a) {
    std::vector<Decoded<Chunk>> out;
    size_t at = 0;
    while (at + 17 <= a.size()) {
        const Key k = decodeKey(a.data(), a.size(), at);
        at += 17;
        if (k.type != kChunkItem) {
            out.push_back(Decoded<Chunk>::refused("system chunk array key of type " + std::to_string(k.type)));
            break;
        }
        size_t used = 0;
        auto c = decodeChunk(a.data() + at, a.size() - at, k.offset, &used);
        if (!c) {
            out.push_back(std::move(c));
            break;
        }
        out.push_back(std::move(c));
        at += used;
    }
    return out;
}

Decoded<Inode> decodeInode(const uint8_t* p, size_t n) {
    if (n < kInodeItemSize) return Decoded<Inode>::refused("inode item of " + std::to_string(n) + " bytes");
    Inode i;
    i.generation = le64(p, n, 0);
    i.size = le64(p, n, 16);
    i.nlink = le32(p, n, 40);
    i.mode = le32(p, n, 52);
    i.flags = le64(p, n, 64);
    i.atime = timespecAt(p, n, 112);
    i.ctime = timespecAt(p, n, 124);
    i.mtime = timespecAt(p, n, 136);
    i.otime = timespecAt(p, n, 148);
    return Decoded<Inode>::ok(i);
}

Decoded<DirEntry> decodeDirEntry(const uint8_t* p, size_t n, size_t off) {
    if (off > n || n - off < 30) return Decoded<DirEntry>::refused("directory entry cut short");
    DirEntry d;
    d.location = decodeKey(p, n, off);
    const uint16_t dataLen = le16(p, n, off + 25);
    d.nameLength = le16(p, n, off + 27);
    d.type = le8(p, n, off + 29);
    d.nameOffset = off + 30;
    const size_t end = d.nameOffset + d.nameLength + dataLen;
    if (end > n) return Decoded<DirEntry>::refused("directory entry name past the item's end");
    if (d.nameLength == 0 || d.nameLength > 255)
        return Decoded<DirEntry>::refused("name length " + std::to_string(d.nameLength));
    d.next = end;
    return Decoded<DirEntry>::ok(d);
}

Decoded<FileExtent> decodeFileExtent(const uint8_t* p, size_t n) {
    if (n < 21) return Decoded<FileExtent>::refused("file extent item cut short");
    FileExtent e;
    e.generation = le64(p, n, 0);
    e.ramBytes = le64(p, n, 8);
    e.compression = le8(p, n, 16);
    e.encryption = le8(p, n, 17);
    e.otherEncoding = le16(p, n, 18);
    e.type = le8(p, n, 20);
    if (e.type == kExtentInline) {
        e.inlineOffset = 21;
        e.inlineLength = static_cast<uint32_t>(n - 21);
        return Decoded<FileExtent>::ok(e);
    }
    if (e.type != kExtentRegular && e.type != kExtentPrealloc)
        return Decoded<FileExtent>::refused("file extent of type " + std::to_string(e.type));
    if (n < 53) return Decoded<FileExtent>::refused("file extent item cut short");
    e.diskBytenr = le64(p, n, 21);
    e.diskNumBytes = le64(p, n, 29);
    e.offset = le64(p, n, 37);
    e.numBytes = le64(p, n, 45);
    uint64_t end = 0;
    if (addOverflows(e.diskBytenr, e.diskNumBytes, &end))
        return Decoded<FileExtent>::refused("file extent past the end of the address space");
    return Decoded<FileExtent>::ok(e);
}

Decoded<RootItem> decodeRootItem(const uint8_t* p, size_t n) {
    if (n < 239) return Decoded<RootItem>::refused("root item of " + std::to_string(n) + " bytes");
    RootItem r;
    r.inode = *decodeInode(p, n);
    r.generation = le64(p, n, 160);
    r.rootDirid = le64(p, n, 168);
    r.bytenr = le64(p, n, 176);
    r.level = le8(p, n, 238);
    if (r.level >= kMaxLevel) return Decoded<RootItem>::refused("root level " + std::to_string(r.level));
    return Decoded<RootItem>::ok(r);
}

namespace {

uint32_t crc32cTable(uint32_t crc, const uint8_t* p, size_t n) {
    static const auto table = [] {
        std::vector<uint32_t> t(256);
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    for (size_t i = 0; i < n; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t crc32cSse(uint32_t crc, const uint8_t* p, size_t n) {
    uint64_t c = crc;
    for (; n >= 8; n -= 8, p += 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        c = __builtin_ia32_crc32di(c, v);
    }
    uint32_t c32 = static_cast<uint32_t>(c);
    for (; n; --n, ++p) c32 = __builtin_ia32_crc32qi(c32, *p);
    return c32;
}
#endif

}  // namespace

uint32_t crc32c(uint32_t crc, const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
#if defined(__x86_64__)
    static const bool sse = __builtin_cpu_supports("sse4.2");
    if (sse) return ~crc32cSse(~crc, p, n);
#endif
    return ~crc32cTable(~crc, p, n);
}

bool checksumMatches(const uint8_t* p, size_t n) {
    if (n < 0x20) return false;
    return crc32c(0, p + 0x20, n - 0x20) == le32(p, n, 0);
}

}  // namespace brantlow::btrfs
