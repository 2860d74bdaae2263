// Recoverability: the clusters a deleted file's writer would read (the
// contiguous clusters from its first one, since its chain was freed) looked
// up in the FAT, read once as a bitmap of the clusters in use.
#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "fs/fat/fat_parser.h"

namespace brantlow {

namespace {
constexpr uint64_t kPiece = 4u << 20;
}

void FatParser::loadAllocationMap() const { allocationMap(); }

// The FAT of the file system on the volume now: the boot sector's (also
// when Advanced mode reads an earlier geometry's folders), else the one the
// advanced search took; none when that FAT is gone.
const FatLayout& FatParser::mapLayout() const {
    static const FatLayout none;
    if (bootLayout_.valid()) return bootLayout_;
    return driveFormatted_ ? none : layout_;
}

const AllocationMap& FatParser::allocationMap() const {
    return allocation_.get([this](AllocationMap& map) {
        // A drive formatted since: its FAT says nothing of the files found.
        const FatLayout& layout_ = mapLayout();
        if (formattedOption_ || !layout_.valid() || layout_.lastCluster < 2 || layout_.fatBytes == 0) return;
        const uint64_t clusters = static_cast<uint64_t>(layout_.lastCluster) + 1;
        if (clusters / 8 > kMaxAllocationMapBytes) return;
        std::vector<uint8_t> bits(static_cast<size_t>((clusters + 7) / 8), 0);
        bits[0] |= 0x03;  // clusters 0 and 1 are not data
        std::vector<uint8_t> buf;
        const uint64_t fatBytes = std::min<uint64_t>(layout_.fatBytes, fatBytesFor(layout_.kind, clusters - 1));
        const uint64_t held = std::min<uint64_t>(clusters, fatEntriesIn(layout_.kind, fatBytes));
        // Pieces of whole entry groups (FAT12 packs two entries in three
        // bytes), each read once.
        const uint64_t piece = kPiece - kPiece % 12;
        for (uint64_t done = 0; done < fatBytes;) {
            const uint64_t n = std::min<uint64_t>(piece, fatBytes - done);
            buf.resize(static_cast<size_t>(n));
            // An unreadable piece reads as zeros: its clusters look free.
            volume_.read(layout_.fatOffset + done, buf.data(), buf.size());
            const uint64_t first = fatEntriesIn(layout_.kind, done);
            const uint64_t end = std::min<uint64_t>(held, fatEntriesIn(layout_.kind, done + n));
            const uint64_t from = std::max<uint64_t>(first, 2);
            if (layout_.kind == FatKind::Fat32) {
                // Pieces hold whole 4-byte entries: the entry of c lies at 4c - done.
                // The entry of c lies at 4c - done, inside the piece for c < end.
                for (uint64_t c = from; c < end; ++c) {
                    const uint8_t* e = buf.data() + (c * 4 - done);
                    if ((c & 7) == 0 && c + 8 <= end) {
                        // Eight free entries (a free stretch of the FAT) leave their byte 0.
                        uint64_t w[4];
                        std::memcpy(w, e, sizeof w);
                        if ((w[0] | w[1] | w[2] | w[3]) == 0) {
                            c += 7;
                            continue;
                        }
                    }
                    if (e[0] | e[1] | e[2] | (e[3] & 0x0F))
                        bits[static_cast<size_t>(c >> 3)] |= static_cast<uint8_t>(1u << (c & 7));
                }
            } else {
                for (uint64_t c = from; c < end; ++c)
                    if (fatEntryIn(layout_.kind, buf.data(), buf.size(), done, c))
                        bits[static_cast<size_t>(c >> 3)] |= static_cast<uint8_t>(1u << (c & 7));
            }
            done += n;
        }
        // Clusters the FAT has no entry for read as in use.
        for (uint64_t c = held; c < clusters; ++c)
            bits[static_cast<size_t>(c >> 3)] |= static_cast<uint8_t>(1u << (c & 7));
        map.assign(std::move(bits), clusters, AllocationMap::BitOrder::LsbFirst);
    });
}

std::vector<VolumeRange> FatParser::unallocatedRanges() const {
    const AllocationMap& map = allocationMap();
    const FatLayout& l = mapLayout();
    const int64_t cs = l.clusterSize;
    return freeRuns(map, static_cast<int64_t>(l.dataOffset) - 2 * cs, l.clusterSize);
}

RecoveryEstimate FatParser::recoverability(EntryId id) const {
    if (id == kRootId || id == 0 || id >= entries_.size()) return {};
    const FatEntry& e = entries_[static_cast<size_t>(id)];
    if (isFatDirectory(e.attribute) || !(e.deleted || e.inDeletedTree)) return {};
    const AllocationMap& map = allocationMap();
    if (!map.known()) return {};
    if (e.fileSize == 0) return RecoveryEstimate::intact();
    // Read in an earlier file system's geometry: its clusters looked up by
    // their bytes in the current one's.
    const FatLayout& now = mapLayout();
    const uint32_t c0 = firstCluster(e);
    const uint64_t cs = layout_.clusterSize;
    // A slot without a valid first cluster says nothing of where it was.
    if (cs == 0 || !layout_.clusterValid(c0)) return {};
    const uint64_t need = e.fileSize / cs + (e.fileSize % cs ? 1 : 0);
    RecoveryEstimate est;
    if (now.clusterSize != layout_.clusterSize || now.dataOffset != layout_.dataOffset) {
        const std::vector<VolumeRange> ranges = contentRanges(id);
        if (ranges.empty()) return {};
        est = estimateRanges(ranges, map, static_cast<int64_t>(now.dataOffset) - 2 * static_cast<int64_t>(now.clusterSize),
                             now.clusterSize);
    } else {
        // The writer takes only the first cluster when another file holds
        // it: nothing of this file comes back.
        if (map.allocated(c0)) return RecoveryEstimate::fromCounts(need, need);
        est = RecoveryEstimate::fromCounts(need, map.allocatedIn(c0, need));
    }
    // Free clusters after the first one where another entry (live or
    // deleted) starts: the file was fragmented, the run is not all its own.
    if (est.state == Recoverability::Intact && need > 1 &&
        starts_.ensure([this](std::vector<uint64_t>& v) {
                   for (const FatEntry& o : entries_)
                       if (layout_.clusterValid(firstCluster(o))) v.push_back(firstCluster(o));
               }).anyIn(uint64_t{c0} + 1, uint64_t{c0} + need))
        return RecoveryEstimate::uncertain(need);
    return est;
}

}  // namespace brantlow

namespace brantlow {

std::vector<VolumeRange> FatParser::contentRanges(EntryId id) const {
    if (id == kRootId || id == 0 || id >= entries_.size()) return {};
    const FatEntry& e = entries_[static_cast<size_t>(id)];
    const uint64_t cs = layout_.clusterSize;
    const uint32_t c0 = firstCluster(e);
    if (isFatDirectory(e.attribute) || e.fileSize == 0 || cs == 0 || !layout_.clusterValid(c0)) return {};
    // As the writer reads: the chain, or for a deleted file the clusters
    // from the first one (only that one when another file holds it now).
    auto& fat = const_cast<FatTable&>(fat_);  // reads only; its cache has its own lock
    uint64_t need = e.fileSize / cs + (e.fileSize % cs ? 1 : 0);
    bool chain = !driveFormatted_;
    if (chain && (e.deleted || e.inDeletedTree)) {
        chain = false;
        if (fat.entry(c0) != 0) need = 1;
    }
    std::vector<VolumeRange> out;
    uint32_t c = c0;
    for (uint64_t i = 0; i < need && layout_.clusterValid(c); ++i) {
        const uint64_t at = layout_.clusterOffset(c), len = std::min<uint64_t>(cs, e.fileSize - i * cs);
        if (!out.empty() && out.back().offset + out.back().length == at)
            out.back().length += len;
        else
            out.push_back({at, len});
        c = chain ? fat.next(c) : c + 1;
    }
    return out;
}

}  // namespace brantlow

namespace brantlow {

std::optional<uint64_t> FatParser::plainContentLength(EntryId id) const {
    if (id == kRootId || id == 0 || id >= entries_.size()) return std::nullopt;
    const FatEntry& e = entries_[static_cast<size_t>(id)];
    if (isFatDirectory(e.attribute)) return std::nullopt;
    if (e.fileSize == 0) return uint64_t{0};
    // Every byte backed, no cluster read twice (a chain that loops ends the
    // writer early).
    std::vector<VolumeRange> ranges = contentRanges(id);
    uint64_t total = 0;
    for (const VolumeRange& r : ranges) total += r.length;
    if (total != e.fileSize) return std::nullopt;
    std::sort(ranges.begin(), ranges.end(), [](const VolumeRange& a, const VolumeRange& b) { return a.offset < b.offset; });
    for (size_t i = 1; i < ranges.size(); ++i)
        if (ranges[i].offset < ranges[i - 1].offset + ranges[i - 1].length) return std::nullopt;
    return uint64_t{e.fileSize};
}

}  // namespace brantlow
