// The extents overflow file: every leaf record by (fork type, file, start
// block), for the forks whose eight extents in the catalog are not enough.
#include "fs/hfsplus/hfsplus.h"

namespace brantlow {

using namespace hfs;

// Records of in-use leaf nodes first; those of freed leaf nodes only fill
// keys not already present. The file's own further extents come from its
// records for CNID 3.
bool HFSP::readExtentsOverflow() {
    const ForkData& fork = header_.extentsFile;
    if (fork.logicalSize == 0 || fork.extents[0].blockCount == 0) return true;  // no overflow records
    extentsRuns_ = forkRuns(fork, kDataFork, kExtentsFileId, extentsIndex_, blockSize_, volumeBlocks_).runs;
    HeaderRecord h;
    std::vector<uint8_t> node0;
    if (!readHeaderNode(extentsRuns_, fork.logicalSize, "extents overflow", true, h, node0)) return false;
    extentsNodeSize_ = h.nodeSize;
    const uint32_t ns = h.nodeSize;
    std::vector<uint8_t> inUse;
    const bool haveMap = loadNodeMap(extentsRuns_, node0.data(), ns, h.totalNodes, inUse, "extents overflow");

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
        const bool used = !haveMap || (n / 8 < inUse.size() && (inUse[n / 8] & (0x80 >> (n % 8))));
        takeExtentsNode(node.data(), ns, n, used, freed);
    }
    for (auto& [k, v] : freed) extentsIndex_.emplace(k, v);
    return true;
}

// One node: the records of a leaf, into the index (in use) or into
// `freed`. What a node in use holds that the decoders refuse is damage.
void HFSP::takeExtentsNode(const uint8_t* node, uint32_t ns, uint32_t n, bool used, ExtentsIndex& freed) {
    auto label = [&] { return "extents overflow node " + std::to_string(n); };
    auto at = [&] { return forkByte(extentsRuns_, static_cast<uint64_t>(n) * ns); };
    const Decoded<NodeDescriptor> d = decodeNodeDescriptor(node, ns);
    if (!d) {
        if (used) note(label(), at(), d.reason());
        return;
    }
    if (d->kind != kLeafNode) return;
    const Decoded<RecordTable> t = decodeRecordTable(node, ns, d->numRecords);
    if (!t) {
        if (used) note(label(), at(), t.reason());
        return;
    }
    if (used)
        for (const std::string& r : t.replaced()) note(label(), at(), r, true);
    for (uint16_t off : t->offsets) {
        const Decoded<ExtentsRecord> r = decodeExtentsRecord(node, ns, off);
        if (!r) {
            if (used) note("extents record in " + label(), at() + off, r.reason());
            continue;
        }
        if (used)
            extentsIndex_.emplace(r->key, r->extents);
        else
            freed.emplace(r->key, r->extents);
    }
}

}  // namespace brantlow
