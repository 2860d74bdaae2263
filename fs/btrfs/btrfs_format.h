// The Btrfs on-disk format: the superblock with its backup roots, tree node
// headers, leaf items and internal key pointers, chunk items (the system
// chunk array and the chunk tree), root items, inode items, directory
// items and file extent items. Pure decoders over byte buffers: every
// offset, length and count read from disk is checked against the buffer
// before it is used. All fields are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/decoded.h"

namespace brantlow::btrfs {

constexpr uint64_t kSuperOffset = 0x10000;  // the primary superblock
constexpr uint64_t kMirrorOffsets[2] = {64ull << 20, 256ull << 30};
constexpr size_t kSuperSize = 4096;
constexpr size_t kHeaderSize = 101;  // node header
constexpr size_t kItemSize = 25;     // leaf item: key, data offset, data size
constexpr size_t kKeyPtrSize = 33;   // internal node: key, block, generation
constexpr int kMaxLevel = 8;         // levels 0..7
constexpr uint32_t kMinNode = 4096, kMaxNode = 65536;

// Tree ids.
constexpr uint64_t kRootTree = 1, kExtentTree = 2, kChunkTree = 3, kDevTree = 4, kFsTree = 5, kCsumTree = 7;
constexpr uint64_t kExtentCsumObjectid = ~0ull - 9;  // the key of data checksum items
constexpr uint64_t kFirstFree = 256, kLastFree = ~0ull - 255;  // subvolume ids, inode numbers

// Item types.
constexpr uint8_t kInodeItem = 1, kInodeRef = 12, kDirItem = 84, kDirIndex = 96, kExtentData = 108,
                  kExtentCsum = 128, kRootItemKey = 132, kRootRef = 156, kExtentItem = 168, kMetadataItem = 169, kDevExtent = 204, kChunkItem = 228;

// Block-group profile bits of a chunk's type.
constexpr uint64_t kBgData = 1, kBgSystem = 2, kBgMetadata = 4, kBgRaid0 = 8, kBgRaid1 = 16, kBgDup = 32,
                   kBgRaid10 = 64, kBgRaid5 = 128, kBgRaid6 = 256, kBgRaid1c3 = 512, kBgRaid1c4 = 1024;
constexpr uint64_t kBgStriped = kBgRaid0 | kBgRaid10 | kBgRaid5 | kBgRaid6;
constexpr uint64_t kBgMirrored = kBgRaid1 | kBgRaid1c3 | kBgRaid1c4;

// File extent kinds and compressions.
constexpr uint8_t kExtentInline = 0, kExtentRegular = 1, kExtentPrealloc = 2;
constexpr uint8_t kCompressNone = 0, kCompressZlib = 1, kCompressLzo = 2, kCompressZstd = 3;

// Mode bits.
constexpr uint32_t kTypeMask = 0xF000, kTypeDir = 0x4000, kTypeFile = 0x8000, kTypeLink = 0xA000;

struct Key {
    uint64_t objectid = 0;
    uint8_t type = 0;
    uint64_t offset = 0;
};
Key decodeKey(const uint8_t* p, size_t n, size_t off);

struct BackupRoot {
    uint64_t treeRoot = 0, treeRootGen = 0;
    uint64_t chunkRoot = 0, chunkRootGen = 0;
    uint64_t extentRoot = 0, extentRootGen = 0;
    uint64_t fsRoot = 0, fsRootGen = 0;
    uint8_t treeRootLevel = 0, chunkRootLevel = 0, extentRootLevel = 0, fsRootLevel = 0;
};

struct Superblock {
    uint8_t fsid[16] = {};
    uint64_t bytenr = 0;
    uint64_t generation = 0;
    uint64_t root = 0;
    uint64_t chunkRoot = 0;
    uint64_t totalBytes = 0;
    uint64_t chunkRootGeneration = 0;
    uint64_t numDevices = 0;
    uint64_t devid = 0;  // this device's id (its dev item)
    uint32_t sectorSize = 0;
    uint32_t nodeSize = 0;
    uint16_t csumType = 0;
    uint8_t rootLevel = 0;
    uint8_t chunkRootLevel = 0;
    bool checksumOk = false;  // crc32c over the block (other checksum types: not checked)
    std::string label;
    std::vector<uint8_t> sysChunkArray;
    BackupRoot backups[4];
};
// The 4096 bytes of a superblock copy: magic, geometry (node and sector
// sizes powers of two in range), the system chunk array's size.
Decoded<Superblock> decodeSuperblock(const uint8_t* p, size_t n);

struct NodeHeader {
    uint8_t fsid[16] = {};
    uint64_t bytenr = 0;
    uint64_t generation = 0;
    uint64_t owner = 0;
    uint32_t nritems = 0;
    uint8_t level = 0;
};
// A node of nodeSize bytes: its items fit in it.
Decoded<NodeHeader> decodeNodeHeader(const uint8_t* p, size_t n, uint32_t nodeSize);

struct LeafItem {
    Key key;
    uint32_t offset = 0;  // from the node's first byte
    uint32_t size = 0;
};
// Item i of a leaf whose header was accepted: its data lies inside the node
// behind the item array.
Decoded<LeafItem> leafItem(const uint8_t* node, size_t n, const NodeHeader& h, uint32_t i);

struct KeyPtr {
    Key key;
    uint64_t block = 0;
    uint64_t generation = 0;
};
KeyPtr keyPtr(const uint8_t* node, size_t n, uint32_t i);

struct Stripe {
    uint64_t devid = 0;
    uint64_t offset = 0;
};
struct Chunk {
    uint64_t logical = 0;
    uint64_t length = 0;
    uint64_t type = 0;
    uint16_t subStripes = 0;
    std::vector<Stripe> stripes;
};
// A chunk item at p (n bytes available) for logical address `logical`;
// `used` gets its length with the stripes.
Decoded<Chunk> decodeChunk(const uint8_t* p, size_t n, uint64_t logical, size_t* used = nullptr);
// The superblock's system chunk array: (key, chunk item) pairs.
std::vector<Decoded<Chunk>> decodeSysChunkArray(const std::vector<uint8_t>& array);

struct Timespec {
    int64_t sec = 0;
    uint32_t nsec = 0;
};
struct Inode {
    uint64_t generation = 0;
    uint64_t size = 0;
    uint32_t nlink = 0;
    uint32_t mode = 0;
    uint64_t flags = 0;
    Timespec atime, ctime, mtime, otime;
};
constexpr size_t kInodeItemSize = 160;
Decoded<Inode> decodeInode(const uint8_t* p, size_t n);

struct DirEntry {
    Key location;
    uint8_t type = 0;
    size_t nameOffset = 0;  // into the item
    uint16_t nameLength = 0;
    size_t next = 0;        // the next entry of a DIR_ITEM (hash collisions), from the item start
};
// The entry at `off` of a directory item of n bytes.
Decoded<DirEntry> decodeDirEntry(const uint8_t* p, size_t n, size_t off);

struct FileExtent {
    uint64_t generation = 0;
    uint64_t ramBytes = 0;
    uint8_t compression = 0;
    uint8_t encryption = 0;
    uint16_t otherEncoding = 0;
    uint8_t type = 0;
    // inline: the data follows the 21-byte head
    uint32_t inlineOffset = 0, inlineLength = 0;
    // regular / prealloc
    uint64_t diskBytenr = 0, diskNumBytes = 0, offset = 0, numBytes = 0;
};
Decoded<FileExtent> decodeFileExtent(const uint8_t* p, size_t n);

struct RootItem {
    uint64_t generation = 0;
    uint64_t rootDirid = 0;
    uint64_t bytenr = 0;
    uint8_t level = 0;
    Inode inode;
};
Decoded<RootItem> decodeRootItem(const uint8_t* p, size_t n);

// CRC-32C (Castagnoli), the default metadata checksum.
uint32_t crc32c(uint32_t crc, const void* data, size_t n);
// A node or superblock whose first four bytes hold the crc32c of the rest.
bool checksumMatches(const uint8_t* p, size_t n);

}  // namespace brantlow::btrfs
