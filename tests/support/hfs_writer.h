// A small HFS+ / HFSX volume writer for tests (no formatter for HFS+ exists
// on Linux). It writes what the published on-disk format describes: the
// volume header and its alternate copy, the allocation bitmap, the
// extents-overflow, catalog and attributes B-trees (header, index and leaf
// nodes, keys in order), data and resource forks in one or more extents,
// hard links through the private data folder, decmpfs-compressed files and
// a journal. Deleted files are written as a driver leaves them: the records
// gone from the tree, their bytes left in a node's free space, in a freed
// node or in the journal, their blocks free in the bitmap.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace brantlow::test {

enum class HfsStale { FreeSpace, FreedNode, Journal };

struct HfsItem {
    // "/"-separated path below the root, UTF-8 as it is to be stored (give
    // decomposed accents for real-world names); ":" in a component is stored
    // as "/", as the POSIX layer stores it.
    std::string path{};
    bool folder = false;
    std::vector<uint8_t> data{};
    std::vector<uint8_t> rsrc{};
    uint32_t created = 0xD0000000, modified = 0xD0001000, accessed = 0xD0002000;  // seconds since 1904
    uint16_t mode = 0100644;
    uint32_t dataFragments = 1;  // extents of the data fork (beyond 8: overflow records)
    uint32_t rsrcFragments = 1;
    std::string hardLinkTo{};    // path of an earlier file: both become links to one indirect node
    int decmpfs = 0;             // 0: plain; 3: zlib inline or in the resource fork (by size); 4: resource fork; other: that type, raw bytes
    bool deleted = false;        // written as a deleted file (see stale)
    HfsStale stale = HfsStale::FreeSpace;
    bool reused = false;         // deleted: its blocks are marked in use again (taken by another file)
};

struct HfsOptions {
    uint32_t blockSize = 4096;
    uint32_t catalogNodeSize = 8192;
    uint32_t extentsNodeSize = 4096;
    uint32_t attributesNodeSize = 4096;
    bool hfsx = false;
    bool journal = false;
    uint32_t catalogExtents = 1;   // the catalog file in this many pieces (beyond 8: overflow records)
    uint32_t spareNodes = 4;       // free nodes at the end of each B-tree
    uint32_t spareBlocks = 64;     // free blocks at the end of the volume
    std::string volumeName = "TestHFS";
    // A freed leaf node placed right after the header node, holding stale
    // copies of these live paths' records (parent changed to the given
    // CNID, sizes doubled) and a stale root folder record under that CNID.
    std::vector<std::string> staleCopiesFirst;
    uint32_t staleParent = 16;
};

struct HfsImage {
    std::vector<uint8_t> bytes;
    std::map<std::string, uint32_t> cnids;  // path → CNID
    uint64_t catalogNode0 = 0;              // byte offset of catalog node 0 (first extent)
    uint64_t extentsNode0 = 0;
    std::vector<uint64_t> catalogLeaves;    // byte offsets of the live leaf nodes, in chain order
    uint32_t totalBlocks = 0;
};

HfsImage makeHfsVolume(const std::vector<HfsItem>& items, const HfsOptions& options = {});

// Seconds since 1904 of a Unix time.
inline uint32_t hfsTime(int64_t unixSeconds) { return static_cast<uint32_t>(unixSeconds + 2082844800LL); }

}  // namespace brantlow::test
