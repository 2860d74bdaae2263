// The HFS+ scan: the volume header, then the extents overflow file, the
// catalog (standard: every node of the catalog file; deep: a search of the
// volume for leaf nodes), the journal, what the records say together, and
// the folder tree. Here: the phases in order, the volume header, reading
// through a fork's runs, and the node maps of the B-trees.
#include <algorithm>
#include <cstring>
#include <set>

#include "fs/hfsplus/hfsplus.h"
#include "fs/hfsplus/hfsplus_internal.h"

namespace brantlow {

using namespace hfs;

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
    if (!byId_.empty()) return cnid < byId_.size() ? byId_[cnid] : nullptr;
    auto it = catalog_.find(cnid);
    return it == catalog_.end() ? nullptr : &it->second;
}

HfsEntry* HFSP::find(uint64_t cnid) {
    if (!byId_.empty()) return cnid < byId_.size() ? byId_[cnid] : nullptr;
    auto it = catalog_.find(cnid);
    return it == catalog_.end() ? nullptr : &it->second;
}

// The map's nodes stay where they are, so pointers to them index it.
void HFSP::indexCatalog() {
    byId_.clear();
    if (catalog_.empty()) return;
    const uint64_t top = catalog_.rbegin()->first;
    if (top >= 4 * static_cast<uint64_t>(catalog_.size()) + 65536) return;
    byId_.assign(static_cast<size_t>(top) + 2, nullptr);  // one more for ORPHAN_ENTRY
    for (auto& [id, e] : catalog_) byId_[static_cast<size_t>(id)] = &e;
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

uint64_t HFSP::forkByte(const std::vector<Run>& runs, uint64_t offset) const {
    uint64_t at = 0;
    return forkByteOffset(runs, blockSize_, offset, &at, nullptr) ? at : 0;
}

ScanOutcome HFSP::scan(ScanContext& ctx) {
    ctx_ = &ctx;
    volume_ = ctx.volume;
    mode_ = ctx.mode;
    allocation_.reset();
    catalog_.clear();
    byId_.clear();
    threads_.clear();
    compression_.clear();
    namePool_.clear();
    extentPool_.clear();
    rootList_.clear();
    extentsIndex_.clear();
    counts_.clear();
    hasOrphan_ = false;
    rejectText_.clear();
    damage_.clear();

    auto abort = [&](const char* why) {
        rejectText_ = why;
        status(why);
        ctx_ = nullptr;
        return ScanOutcome::Rejected;
    };
    if (!readVolumeHeader()) return abort(kBlockSizeText);
    if (!readExtentsOverflow()) {
        // The catalog search needs no B-tree: it goes on without overflow
        // records (a file with more than eight extents is then cut short).
        if (mode_ == ScanMode::Standard) return abort(kAbortText);
        const uint64_t at = forkByte(extentsRuns_, 0);
        extentsIndex_.clear();
        extentsRuns_.clear();
        note("extents overflow file", at,
             "not readable: files are read from the eight extents their catalog records hold", true);
    }
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
    const Decoded<VolumeHeader> primary = decodeVolumeHeader(buf, sizeof buf);
    const bool primaryWhole = primary && primary.replaced().empty();
    Decoded<VolumeHeader> alternate = Decoded<VolumeHeader>::refused("not read");
    const uint64_t size = volume_.sizeBytes();
    if (size >= 2048 && !primaryWhole) {
        volume_.read(size - 1024, buf, sizeof buf);
        alternate = decodeVolumeHeader(buf, sizeof buf);
    }
    auto why = [](const Decoded<VolumeHeader>& h) { return h ? h.replaced().front() : h.reason(); };
    alternateHeader_ = false;
    if (primaryWhole) {
        header_ = *primary;
    } else if (alternate && alternate.replaced().empty()) {
        note("volume header", 1024, why(primary) + ": the alternate header is used");
        header_ = *alternate;
        alternateHeader_ = true;
    } else {
        if (size >= 2048) note("alternate volume header", size - 1024, why(alternate));
        if (!primary) {
            note("volume header", 1024, primary.reason());
            return false;
        }
        note("volume header", 1024, why(primary), true);
        header_ = *primary;
    }
    const uint64_t headerAt = alternateHeader_ ? size - 1024 : 1024;
    blockSize_ = header_.blockSize;
    volumeBlocks_ = header_.totalBlocks;
    if (size && size / blockSize_ < volumeBlocks_) {
        volumeBlocks_ = size / blockSize_;
        note(alternateHeader_ ? "alternate volume header" : "volume header", headerAt,
             "total blocks " + std::to_string(header_.totalBlocks) + " beyond the volume: " +
                 std::to_string(volumeBlocks_) + " taken", true);
    }
    if (volumeBlocks_ == 0) return false;
    ExtentsIndex none;
    allocationRuns_ = forkRuns(header_.allocationFile, kDataFork, kAllocationFileId, none, blockSize_, volumeBlocks_).runs;
    return true;
}

// Node 0 of a B-tree file: the header node (its kind checked where the
// tree requires it) and its header record, read again whole.
bool HFSP::readHeaderNode(const std::vector<Run>& runs, uint64_t forkBytes, const char* what, bool needKind,
                          HeaderRecord& h, std::vector<uint8_t>& node0) {
    node0.assign(512, 0);
    readFork(runs, 0, node0.data(), node0.size());
    const std::string label = std::string(what) + " header node";
    if (needKind) {
        const Decoded<NodeDescriptor> d = decodeNodeDescriptor(node0.data(), node0.size());
        if (!d || d->kind != kHeaderNode) {
            note(label, forkByte(runs, 0), d ? "node kind " + std::to_string(d->kind) + " is not 1 (header)" : d.reason());
            return false;
        }
    }
    const Decoded<HeaderRecord> hr = decodeHeaderRecord(node0.data(), node0.size(), forkBytes);
    if (!hr) {
        note(label, forkByte(runs, 0), hr.reason());
        return false;
    }
    h = *hr;
    node0.resize(h.nodeSize);
    readFork(runs, 0, node0.data(), h.nodeSize);
    return true;
}

// The node bitmap of a B-tree: the map record of its header node and of
// the map nodes chained from it.
bool HFSP::loadNodeMap(const std::vector<Run>& runs, const uint8_t* node0, uint32_t nodeSize, uint32_t totalNodes,
                       std::vector<uint8_t>& bits, const char* what) {
    bits.clear();
    const Decoded<NodeDescriptor> d0 = decodeNodeDescriptor(node0, nodeSize);
    const Decoded<RecordTable> t0 = d0 ? decodeRecordTable(node0, nodeSize, d0->numRecords)
                                       : Decoded<RecordTable>::refused(d0.reason());
    if (!t0 || t0->offsets.size() < 3 || t0->offsets[2] >= t0->freeStart) {
        note(std::string(what) + " header node", forkByte(runs, 0),
             (t0 ? std::string("no map record") : t0.reason()) + ": every node taken as in use");
        return false;
    }
    bits.assign(node0 + t0->offsets[2], node0 + t0->freeStart);
    std::vector<uint8_t> node(nodeSize);
    std::set<uint32_t> seen{0};
    const size_t needed = (static_cast<size_t>(totalNodes) + 7) / 8;
    for (uint32_t next = d0->fLink; next != 0 && bits.size() < needed; ) {
        if (next >= totalNodes || !seen.insert(next).second) break;
        if (!readFork(runs, static_cast<uint64_t>(next) * nodeSize, node.data(), nodeSize)) break;
        const Decoded<NodeDescriptor> d = decodeNodeDescriptor(node.data(), nodeSize);
        if (!d || d->kind != kMapNode) break;
        const Decoded<RecordTable> t = decodeRecordTable(node.data(), nodeSize, d->numRecords);
        if (!t || t->offsets.empty() || t->offsets[0] >= t->freeStart) break;
        bits.insert(bits.end(), node.begin() + t->offsets[0], node.begin() + static_cast<long>(t->freeStart));
        next = d->fLink;
    }
    if (bits.size() > needed) bits.resize(needed);
    return !bits.empty();
}

}  // namespace brantlow
