// Writing one XFS file: its extents in file order (from the inode, its
// block-map B+tree, or for a deleted file the fork kept from its freed
// inode), holes and unwritten extents as zeros. A deleted file's blocks
// that the free-space trees give to something else now are not its
// content: they become zeros and the file is reported partial. Files of
// the real-time device are refused.
#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "fs/api/block_runs.h"
#include "fs/xfs/xfs_parser.h"

namespace brantlow {

using namespace xfs;

namespace {
// A block map without a recorded extent count stops here.
constexpr uint64_t kMaxTreeExtents = 1u << 24;
}  // namespace

std::vector<Extent> XfsParser::mapFork(const uint8_t* fork, size_t n, uint8_t format, uint64_t maxExtents,
                                       uint64_t ino, bool freedInode, bool* damaged) const {
    if (format == kFormatExtents) return decodeExtentList(fork, n, maxExtents, sb_, damaged);
    if (format != kFormatBtree) return {};
    auto root = decodeBmapRoot(fork, n, sb_);
    if (!root) {
        if (damaged) *damaged = true;
        return {};
    }
    BlockRead read = [this, freedInode](uint64_t b, uint8_t* buf) {
        // A freed inode's tree blocks count only while nobody else holds them.
        if (freedInode && blockInUse(b)) return false;
        return readBlock(b, buf);
    };
    WalkDamage dmg;
    std::vector<Extent> out =
        mapBmapTree(sb_, *root, sb_.v5() ? ino : 0, read, std::min(maxExtents, kMaxTreeExtents), dmg);
    if (dmg.damaged && damaged) *damaged = true;
    return out;
}

std::vector<Extent> XfsParser::entryExtents(const XfsEntry& e, bool* damaged) const {
    if (e.bits & XfsEntry::kDeleted) {
        if (e.fork >= forks_.size()) return {};
        const XfsKeptFork& k = forks_[e.fork];
        const std::vector<uint8_t> bytes = forkBytes(k.offset, k.stored, k.length);
        return mapFork(bytes.data(), bytes.size(), k.format, k.maxExtents, e.ino, true, damaged);
    }
    std::vector<uint8_t> raw;
    if (!readInode(e.ino, raw)) {
        if (damaged) *damaged = true;
        return {};
    }
    auto ino = decodeInode(raw.data(), raw.size(), sb_);
    if (!ino || (ino->version == 3 && ino->ino != e.ino)) {
        if (damaged) *damaged = true;
        return {};
    }
    return mapFork(raw.data() + ino->forkOffset, ino->forkSize, ino->format, ino->nextents, e.ino, false, damaged);
}

WriteResult XfsParser::writeContent(EntryId id, ContentSink& out) {
    const XfsEntry* e = entry(id);
    if (!e) return WriteResult::failed("no such entry");
    if (e->type() != kTypeFile) return WriteResult::complete();
    if (e->bits & XfsEntry::kRealtime)
        return WriteResult::failed("its data lies on the real-time device, a separate disk");
    bool damaged = false;
    std::vector<BlockRun> runs;
    for (const Extent& x : entryExtents(*e, &damaged)) {
        BlockRun r;
        r.logical = x.startOff;
        r.count = x.count;
        r.unwritten = x.unwritten;
        if (sb_.linear(x.startBlock, r.physical)) runs.push_back(r);
    }
    return writeBlockRuns(runs, e->size, sb_.blockSize, volume_, e->bits & XfsEntry::kDeleted, damaged,
                          [this](uint64_t b) { return blockInUse(b); }, out);
}

// ---- free space -------------------------------------------------------------------

std::vector<uint32_t> XfsParser::agFreeList(uint32_t ag) const {
    std::vector<uint32_t> out;
    if (ag >= agf_.size() || !agfOk_[ag]) return out;
    const Agf& f = agf_[ag];
    std::vector<uint8_t> sector(sb_.sectSize);
    const uint64_t at = static_cast<uint64_t>(ag) * sb_.agBlocks * sb_.blockSize + 3u * sb_.sectSize;
    if (!volume_.readExact(at, sector.data(), sector.size())) return out;
    // v5: a header ("XAFL", AG number, UUID, LSN, CRC) before the array.
    size_t header = 0;
    if (sb_.v5()) {
        if (be32(sector.data(), sector.size(), 0) != 0x5841464c || be32(sector.data(), sector.size(), 4) != ag)
            return out;
        header = 36;
    }
    const uint32_t slots = static_cast<uint32_t>((sector.size() - header) / 4);
    if (f.flCount == 0 || f.flCount > slots || f.flFirst >= slots) return out;
    for (uint32_t k = 0; k < f.flCount; ++k)
        out.push_back(be32(sector.data(), sector.size(), header + ((f.flFirst + k) % slots) * 4));
    return out;
}

void XfsParser::loadAllocationMap() const { allocationMap(); }

bool XfsParser::blockInUse(uint64_t linearBlock) const {
    const AllocationMap& m = allocationMap();
    return m.known() ? m.allocated(linearBlock) : false;
}

const AllocationMap& XfsParser::allocationMap() const {
    return allocation_.get([this](AllocationMap& map) {
        const uint64_t count = sb_.dblocks;
        const uint64_t need = (count + 7) / 8;
        if (count == 0 || need > kMaxAllocationMapBytes || agf_.empty()) return;
        // Everything is in use but what the free-space trees list.
        std::vector<uint8_t> bits(static_cast<size_t>(need), 0xFF);
        auto clear = [&](uint64_t from, uint64_t n) {
            uint64_t i = from, end = std::min(from + n, count);
            while (i < end && (i & 7)) bits[i >> 3] &= static_cast<uint8_t>(~(1u << (i & 7))), ++i;
            if (end - i >= 8) {
                std::memset(bits.data() + (i >> 3), 0, static_cast<size_t>((end - i) >> 3));
                i += (end - i) & ~uint64_t{7};
            }
            while (i < end) bits[i >> 3] &= static_cast<uint8_t>(~(1u << (i & 7))), ++i;
        };
        auto set = [&](uint64_t from, uint64_t n) {
            for (uint64_t i = from; i < std::min(from + n, count); ++i) bits[i >> 3] |= static_cast<uint8_t>(1u << (i & 7));
        };
        BlockRead read = [this](uint64_t b, uint8_t* buf) { return readBlock(b, buf); };
        for (uint32_t ag = 0; ag < agf_.size(); ++ag) {
            if (!agfOk_[ag]) continue;
            const uint64_t start = static_cast<uint64_t>(ag) * sb_.agBlocks;
            const uint64_t len = sb_.agLength(ag);
            // By block number; where that tree is damaged, by size.
            for (int pass = 0; pass < 2; ++pass) {
                const bool byBlock = pass == 0;
                WalkDamage dmg;
                walkAgTree(sb_, ag, byBlock ? agf_[ag].bnoRoot : agf_[ag].cntRoot,
                           byBlock ? agf_[ag].bnoLevel : agf_[ag].cntLevel, byBlock ? kBnoTree : kCntTree, read,
                           [&](const uint8_t* r) {
                               const uint64_t b = be32(r, 8, 0), n = be32(r, 8, 4);
                               if (b < len && n <= len - b) clear(start + b, n);
                               return true;
                           },
                           dmg);
                if (!dmg.damaged) {
                    // Blocks on the AG's free list are not in use either: they
                    // keep what they held until a B+tree takes them.
                    for (uint32_t b : agFreeList(ag))
                        if (b < len) clear(start + b, 1);
                    break;
                }
                mapDamage_.push_back({std::string(byBlock ? kBnoTree.name : kCntTree.name) + " of AG " +
                                          std::to_string(ag),
                                      dmg.offset, dmg.what, false});
                set(start, len);  // nothing of a damaged walk is trusted
            }
        }
        map.assign(std::move(bits), count, AllocationMap::BitOrder::LsbFirst, 0);
    });
}

RecoveryEstimate XfsParser::recoverability(EntryId id) const {
    const XfsEntry* e = entry(id);
    if (!e || e->type() != kTypeFile || !(e->bits & XfsEntry::kDeleted)) return {};
    const AllocationMap& map = allocationMap();
    if (!map.known()) return {};
    const uint64_t size = e->size;
    if (size == 0) return RecoveryEstimate::intact();
    const uint64_t bs = sb_.blockSize;
    const uint64_t need = size / bs + (size % bs ? 1 : 0);
    const std::vector<Extent> ext = entryExtents(*e, nullptr);
    if (ext.empty()) return {};
    uint64_t mapped = 0, lost = 0, units = 0;
    for (const Extent& x : ext) {
        if (x.startOff >= need) break;
        const uint64_t n = std::min<uint64_t>(x.count, need - x.startOff);
        mapped += n;
        if (x.unwritten) continue;
        uint64_t first = 0;
        sb_.linear(x.startBlock, first);
        units += n;
        lost += map.allocatedIn(first, n);
    }
    // Blocks no extent reaches cannot come back.
    if (mapped < need) {
        units += need - mapped;
        lost += need - mapped;
    }
    return RecoveryEstimate::fromCounts(units, lost);
}

}  // namespace brantlow
