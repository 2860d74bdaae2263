// HFS+ / HFSX on-disk structures, decoded with bounds checks: the volume
// header, B-tree node descriptors, header records and record offsets,
// catalog keys and records, extents-overflow and attribute records, the
// journal info block, and the runs of a fork. Everything here works on bytes
// already read; nothing reads the disk. A decoder gives the value or the
// reason it was refused, and names the fields it replaced to go on.
//
// Where they are: the volume header, forks and names in hfsplus_format.cpp,
// B-tree nodes and their records in hfsplus_btree.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "base/decoded.h"

namespace brantlow::hfs {

constexpr uint32_t kRootFolderId = 2;
constexpr uint32_t kExtentsFileId = 3;
constexpr uint32_t kCatalogFileId = 4;
constexpr uint32_t kAllocationFileId = 6;
constexpr uint32_t kAttributesFileId = 8;

constexpr uint8_t kDataFork = 0x00;
constexpr uint8_t kResourceFork = 0xFF;

constexpr int8_t kLeafNode = -1;
constexpr int8_t kIndexNode = 0;
constexpr int8_t kHeaderNode = 1;
constexpr int8_t kMapNode = 2;

constexpr uint16_t kFolderRecord = 1;
constexpr uint16_t kFileRecord = 2;
constexpr uint16_t kFolderThreadRecord = 3;
constexpr uint16_t kFileThreadRecord = 4;

constexpr size_t kNodeDescriptorSize = 14;
constexpr size_t kFolderRecordSize = 88;
constexpr size_t kFileRecordSize = 248;
constexpr size_t kMaxNameUnits = 255;
// Longest catalog leaf record: a key with 255 units and a file record.
constexpr size_t kMaxCatalogRecord = 2 + 6 + 2 * kMaxNameUnits + kFileRecordSize;

struct Extent {
    uint32_t startBlock = 0;
    uint32_t blockCount = 0;
};
using ExtentRecord = std::array<Extent, 8>;

struct ForkData {
    uint64_t logicalSize = 0;
    uint32_t totalBlocks = 0;
    ExtentRecord extents{};
};
// An 80-byte fork data structure at off.
ForkData readForkData(const uint8_t* p, size_t len, size_t off);

struct VolumeHeader {
    uint16_t signature = 0;  // "H+" or "HX"
    uint16_t version = 0;
    uint32_t attributes = 0;
    uint32_t journalInfoBlock = 0;
    uint32_t blockSize = 0;
    uint32_t totalBlocks = 0;
    uint32_t nextCatalogId = 0;
    ForkData allocationFile, extentsFile, catalogFile, attributesFile;

    bool hasSignature() const { return signature == 0x482B || signature == 0x4858; }
    bool isHfsx() const { return signature == 0x4858; }
    bool journaled() const { return (attributes & 0x2000) != 0; }
};
// The 512 bytes of a volume header. Refused when the geometry cannot be
// right: a block size that is not a power of two from 512 to 1 GiB, no
// blocks, a catalog without an extent or without bytes. A header without
// the "H+" or "HX" signature is kept and says so (replaced).
Decoded<VolumeHeader> decodeVolumeHeader(const uint8_t* p, size_t len);

// The journal info block: where the journal buffer lies.
struct JournalInfoBlock {
    bool external = false;  // on another device: nothing to read here
    uint64_t offset = 0;    // bytes from the volume start
    uint64_t size = 0;
};
// Refused when a journal in this volume lies outside its volumeBytes or is
// larger than 1 GiB.
Decoded<JournalInfoBlock> decodeJournalInfoBlock(const uint8_t* p, size_t len, uint64_t volumeBytes);

struct NodeDescriptor {
    uint32_t fLink = 0, bLink = 0;
    int8_t kind = 0;
    uint8_t height = 0;
    uint16_t numRecords = 0;
};
// The first 14 bytes of a node; refused when the kind is not -1 (leaf),
// 0 (index), 1 (header) or 2 (map).
Decoded<NodeDescriptor> decodeNodeDescriptor(const uint8_t* node, size_t len);

struct HeaderRecord {
    uint16_t treeDepth = 0;
    uint32_t rootNode = 0, leafRecords = 0, firstLeafNode = 0, lastLeafNode = 0;
    uint16_t nodeSize = 0, maxKeyLength = 0;
    uint32_t totalNodes = 0, freeNodes = 0;
    uint8_t keyCompareType = 0;
    uint32_t attributes = 0;
};
// The header record of node 0 (at offset 14): refused unless nodeSize is a
// power of two from 512 to 32768 and totalNodes lies within the fork's
// logical size forkBytes.
Decoded<HeaderRecord> decodeHeaderRecord(const uint8_t* node0, size_t len, uint64_t forkBytes);

// The record offsets of a node, in record order, and where its free space
// starts. The table holds numRecords + 1 slots at the node's end; refused
// when they do not fit. Offsets below 14, odd, or inside the table are
// left out, and a free-space offset before the last record or inside the
// table is replaced by the last record's offset (replaced).
struct RecordTable {
    std::vector<uint16_t> offsets;
    size_t freeStart = 0;
    size_t tableStart = 0;  // first byte of the offset table
};
Decoded<RecordTable> decodeRecordTable(const uint8_t* node, size_t nodeSize, uint16_t numRecords);

// A catalog key: keyLength (6-516, 8 + 2 x name length within the node,
// name length at most 255 units and within keyLength; with strict set
// exactly 6 + 2 x name length), parent ID and name.
struct CatalogKey {
    uint16_t keyLength = 0;
    uint32_t parentId = 0;
    std::u16string name;
};
Decoded<CatalogKey> decodeCatalogKey(const uint8_t* node, size_t nodeSize, size_t off, bool strict);

struct CatalogRecord {
    uint16_t type = 0;
    uint32_t parentId = 0;      // from the key (threads: the key holds the CNID)
    std::u16string name;        // key name (threads: the thread's name)
    uint32_t cnid = 0;          // folderID / fileID; threads: their key's parent ID
    uint32_t threadParent = 0;  // threads: the parent of the folder or file
    uint16_t flags = 0;
    uint32_t createDate = 0, contentModDate = 0, attributeModDate = 0, accessDate = 0;
    uint8_t ownerFlags = 0;
    uint16_t fileMode = 0;
    uint32_t special = 0;  // iNodeNum of a hard link
    uint32_t fdType = 0, fdCreator = 0;
    ForkData data, rsrc;
    size_t length = 0;  // bytes the record takes from its offset
};

// Decodes the catalog leaf record at off: its key (decodeCatalogKey), then
// the body within the node. With strict set (records found outside a
// record table: node free space, freed nodes, the journal) it also
// requires a record type of 1-4, a non-empty name for folders and files,
// CNIDs of 2 or at least 16 (1 for the root's parent), fork sizes that
// their blocks can hold and extents that add up to no more than
// totalBlocks.
Decoded<CatalogRecord> decodeCatalogRecord(const uint8_t* node, size_t nodeSize, size_t off, bool strict);

struct ExtentKey {
    uint8_t forkType = 0;
    uint32_t fileId = 0;
    uint32_t startBlock = 0;
    bool operator<(const ExtentKey& o) const {
        return std::tie(forkType, fileId, startBlock) < std::tie(o.forkType, o.fileId, o.startBlock);
    }
};
// An extents-overflow leaf record at off: keyLength 10, a data or resource
// fork type, the 8 extents at off + 12, all within the node.
struct ExtentsRecord {
    ExtentKey key;
    ExtentRecord extents{};
};
Decoded<ExtentsRecord> decodeExtentsRecord(const uint8_t* node, size_t nodeSize, size_t off);

// An attributes B-tree leaf record with inline data (type 0x10).
struct AttributeRecord {
    uint32_t fileId = 0;
    std::u16string name;
    uint32_t recordType = 0;
    const uint8_t* data = nullptr;  // inline data (points into the node)
    uint32_t size = 0;
};
Decoded<AttributeRecord> decodeAttributeRecord(const uint8_t* node, size_t nodeSize, size_t off);

// The extents-overflow records of a volume, by (fork type, file, start block).
using ExtentsIndex = std::map<ExtentKey, ExtentRecord>;

// One run of a fork in allocation blocks. valid is false for a run that
// lies (partly) outside the volume: its blocks are not read.
struct Run {
    uint64_t startBlock = 0;
    uint64_t blockCount = 0;
    bool valid = true;
};

struct ForkRuns {
    std::vector<Run> runs;
    uint64_t blocks = 0;    // blocks mapped
    bool complete = true;   // the runs cover the logical size
};

// The runs of a fork: its own 8 extents, then the overflow records keyed by
// (forkType, fileId, blocks mapped so far). Stops once ⌈logicalSize /
// blockSize⌉ blocks are mapped, at a missing or repeated key and at a
// record that adds no blocks. Runs are cut at the blocks needed; blocks past
// volumeBlocks make a run invalid.
ForkRuns forkRuns(const ForkData& fork, uint8_t forkType, uint32_t fileId, const ExtentsIndex& index,
                  uint64_t blockSize, uint64_t volumeBlocks);

// Names: UTF-16 (host order) to UTF-8, composed (NFC) for display, with the
// ranges HFS+ never decomposes left as stored and ":" shown as "/".
std::string displayName(const std::u16string& name);
// The same, appended to out.
void appendDisplayName(std::string& out, const std::u16string& name);

// The list's attribute text of a BSD file mode: "-Owner:X", "-Owner:W",
// "-Owner:R", "-OX", "-OW", "-OR", "-GX", "-GW", "-GR" for the bits set.
std::string modeText(uint16_t mode);

// Catalog node bytes at offset off of a fork given by its runs (byte
// positions in the volume); false when a part lies outside the runs.
bool forkByteOffset(const std::vector<Run>& runs, uint64_t blockSize, uint64_t forkOffset, uint64_t* volumeOffset,
                    uint64_t* contiguousBytes);

}  // namespace brantlow::hfs
