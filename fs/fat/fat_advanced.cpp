// Folders the walk cannot reach and the advanced scan: FAT candidates, the
// geometry the folders agree with when the boot sector is gone, the search
// of the clusters for folders whose own entry (or chain) is lost, and their
// contents listed under ORPHAN ENTRY.
#include <algorithm>
#include <cstring>
#include <map>

#include "base/bytes.h"
#include "fs/api/advanced.h"
#include "fs/fat/fat_parser.h"

namespace brantlow {

namespace {

constexpr uint64_t kChunk = 10ull * 1024 * 1024;
constexpr size_t kMaxFound = 4u * 1024 * 1024;  // folder clusters kept per search
// Free runs are read in pieces of kFreeRunBytes, which stay in the
// processor's cache. (Every free cluster is read whole: a deleted folder's
// later clusters hold slots without "." and "..".)
constexpr uint64_t kFreeRunBytes = 256 * 1024;

uint64_t volumeBytes(const VolumeView& v) {
    if (v.sizeBytes()) return v.sizeBytes();
    const uint64_t disk = v.reader() ? v.reader()->sizeBytes() : 0;
    return disk > v.startByte() ? disk - v.startByte() : 0;
}

bool stoppedNow(const std::atomic<bool>* stop, PauseGate* gate) {
    if (gate) gate->wait();
    return stop && stop->load(std::memory_order_relaxed);
}

bool dateValid(uint16_t d) {
    const unsigned day = d & 0x1F, month = (d >> 5) & 0x0F;
    return day >= 1 && month >= 1 && month <= 12;
}

bool timeValid(uint16_t t) { return (t >> 11) < 24 && ((t >> 5) & 0x3F) < 60 && (t & 0x1F) < 30; }

uint32_t slotCluster(const uint8_t* s, bool fat32) {
    const uint32_t low = le16(s, 32, 26);
    return fat32 ? (((static_cast<uint32_t>(le16(s, 32, 20)) << 16) | low) & 0x0FFFFFFF) : low;
}

}  // namespace

std::vector<uint64_t> findFatCandidates(const VolumeView& volume, FatKind kind, int maxCount, ProgressSink* progress,
                                        const std::atomic<bool>* stop, PauseGate* gate) {
    std::vector<uint64_t> out;
    const size_t max = maxCount > 0 ? static_cast<size_t>(maxCount) : 3;
    const uint64_t total = volumeBytes(volume);
    if (progress) progress->range(1000);
    std::vector<uint8_t> buf;
    for (uint64_t at = 0; at < total && out.size() < max; at += kChunk) {
        if (stoppedNow(stop, gate)) break;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, total - at));
        buf.assign(n, 0);
        const size_t got = volume.read(at, buf.data(), n);
        if (progress) progress->position(static_cast<int64_t>(1000.0 * static_cast<double>(at) / static_cast<double>(total)));
        for (size_t s = 0; s + 8 <= got && out.size() < max; s += 512) {
            const uint32_t a = le32(buf.data(), got, s), b = le32(buf.data(), got, s + 4);
            const bool hit = kind == FatKind::Fat32
                                 ? (a & 0x0FFFFFFF) == 0x0FFFFFF8 && (b & 0x0FFFFFFF) == 0x0FFFFFFF
                                 : a == 0xFFFFFFF8u;
            if (!hit) continue;
            out.push_back(at + s);
            if (progress) progress->status("found fat entry  " + std::to_string(out.size()) + " ");
        }
        if (got < n) break;
    }
    if (progress) progress->position(1000);
    return out;
}

bool fatDirectoryStart(const uint8_t* p, size_t n, bool fat32, uint32_t* self, uint32_t* parent) {
    if (n < 64) return false;
    if (!bytesAt(p, n, 0, ".          ", 11) || !bytesAt(p, n, 32, "..         ", 11)) return false;
    if (!(p[11] & 0x10) || !(p[43] & 0x10) || (p[11] & 0xC8) || (p[43] & 0xC8)) return false;
    *self = slotCluster(p, fat32);
    *parent = slotCluster(p + 32, fat32);
    return *self >= 2;
}

bool fatLooksLikeDirectory(const uint8_t* p, size_t n, uint32_t lastCluster, uint64_t volumeBytes) {
    int shorts = 0;
    for (size_t off = 0; off + 32 <= n; off += 32) {
        const uint8_t* s = p + off;
        const uint8_t attr = s[11];
        if (s[0] == 0) {
            for (int i = 1; i < 32; ++i)
                if (s[i]) return false;
            continue;
        }
        if ((attr & 0x3F) == 0x0F) {
            // Long-name slot: type 0, cluster 0, a sequence number 1..20
            // (with the last-part bit), or deleted.
            if (s[12] != 0 || s[26] != 0 || s[27] != 0) return false;
            if (s[0] != 0xE5 && ((s[0] & 0x3F) == 0 || (s[0] & 0x3F) > 20 || (s[0] & 0x80))) return false;
            continue;
        }
        if (attr & 0xC0) return false;
        if (s[0] == '.') {
            if (!bytesAt(s, 32, 0, ".          ", 11) && !bytesAt(s, 32, 0, "..         ", 11)) return false;
            continue;
        }
        if (!fatShortNameValid(s)) return false;
        const uint16_t wd = le16(s, 32, 24), wt = le16(s, 32, 22);
        if (!dateValid(wd) || !timeValid(wt)) return false;
        const uint16_t cd = le16(s, 32, 16);
        if (cd && !dateValid(cd)) return false;
        const uint32_t c = ((static_cast<uint32_t>(le16(s, 32, 20)) << 16) | le16(s, 32, 26)) & 0x0FFFFFFF;
        if (c > lastCluster && (le16(s, 32, 26) > lastCluster)) return false;
        if (!(attr & 0x18) && volumeBytes && le32(s, 32, 28) > volumeBytes) return false;
        ++shorts;
    }
    return shorts > 0;
}

FatLayout guessFatLayout(const VolumeView& volume, FatKind kind, uint64_t fatPos, const std::vector<uint64_t>& fats,
                         int shift, ProgressSink* progress, const std::atomic<bool>* stop, PauseGate* gate,
                         const FatLayout* boot, FatGeometryVotes* tally) {
    FatLayout l;
    const uint64_t total = volumeBytes(volume);
    const bool fat32 = kind == FatKind::Fat32;
    // The FAT's size: the distance to the next candidate when it is one.
    uint64_t fatSize = 0;
    for (uint64_t f : fats)
        if (f > fatPos) {
            const uint64_t d = f - fatPos;
            if (d % 512 == 0 && (fat32 || d <= 131072 + 512)) fatSize = d;
            break;
        }
    // "." slots: where folders start, and the cluster each names.
    std::vector<std::pair<uint64_t, uint32_t>> dots;
    if (progress) progress->range(1000);
    std::vector<uint8_t> buf;
    for (uint64_t at = fatPos; at < total && dots.size() < 4096; at += kChunk) {
        if (stoppedNow(stop, gate)) break;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, total - at));
        buf.assign(n, 0);
        const size_t got = volume.read(at, buf.data(), n);
        if (progress) progress->position(static_cast<int64_t>(1000.0 * static_cast<double>(at) / static_cast<double>(total)));
        for (size_t s = 0; s + 64 <= got && dots.size() < 4096; s += 512) {
            uint32_t self = 0, parent = 0;
            if (fatDirectoryStart(buf.data() + s, got - s, fat32, &self, &parent)) dots.emplace_back(at + s, self);
        }
        if (got < n) break;
    }
    return fatLayoutFromDots(dots, kind, fatPos, fatSize, shift, total, boot, tally);
}

FatLayout fatLayoutFromDots(const std::vector<std::pair<uint64_t, uint32_t>>& dots, FatKind kind, uint64_t fatPos,
                            uint64_t fatSize, int shift, uint64_t total, const FatLayout* boot, FatGeometryVotes* tally) {
    FatLayout l;
    const bool fat32 = kind == FatKind::Fat32;
    if (dots.empty()) return l;
    if (tally && boot && boot->clusterSize) {
        // The folders that agree with the boot sector's own geometry.
        for (const auto& [pos, c] : dots) {
            const uint64_t back = static_cast<uint64_t>(c - 2) * boot->clusterSize;
            if (back <= pos && pos - back == boot->dataOffset) ++tally->boot;
        }
    }
    // Votes for (exponent, data start).
    const uint64_t expected = fatSize ? fatPos + 2 * fatSize + (fat32 ? 0 : 16384) : 0;
    std::map<std::pair<int, uint64_t>, unsigned> votes;
    static const int kOrder[] = {3, 0, 2, 4, 5, 6, 7, 1};
    for (int e : kOrder) {
        if (shift >= 0 && e != shift) continue;
        const uint64_t cs = 512ull << e;
        for (const auto& [pos, c] : dots) {
            const uint64_t back = static_cast<uint64_t>(c - 2) * cs;
            if (back > pos || pos - back < fatPos + 512) continue;
            ++votes[{e, pos - back}];
        }
    }
    if (shift >= 0 && votes.empty()) return l;
    int bestShift = -1;
    uint64_t bestData = 0;
    unsigned bestVotes = 0;
    for (int e : kOrder) {
        for (const auto& [key, v] : votes) {
            if (key.first != e) continue;
            const bool better = v > bestVotes || (v == bestVotes && expected && key.second == expected &&
                                                  bestData != expected);
            if (better) {
                bestVotes = v;
                bestShift = key.first;
                bestData = key.second;
            }
        }
    }
    if (bestShift < 0) return l;
    if (tally) tally->best = bestVotes;
    l.kind = kind;
    l.bytesPerSector = 512;
    l.sectorsPerCluster = 1u << bestShift;
    l.clusterSize = 512u << bestShift;
    l.fatOffset = fatPos;
    l.dataOffset = bestData;
    const unsigned width = fat32 ? 4 : 2;
    uint64_t last = total > bestData ? (total - bestData) / l.clusterSize + 1 : 1;
    last = std::min<uint64_t>(last, fat32 ? 0x0FFFFFF6 : 0xFFF6);
    l.lastCluster = static_cast<uint32_t>(last);
    uint64_t fb = fatSize ? fatSize : (last + 1) * width;
    if (bestData > fatPos) fb = std::min<uint64_t>(fb, bestData - fatPos);
    l.fatBytes = fatPos ? fb : 0;  // no FAT found: every cluster reads as free
    if (!fat32) {
        l.rootBytes = 16384;  // 512 root entries, as formatters make it
        l.rootOffset = bestData >= 16384 ? bestData - 16384 : 0;
    } else {
        l.rootCluster = 2;
    }
    return l;
}

bool FatParser::advancedLayout(ScanContext& ctx) {
    const int64_t chosen = ctx.options.advancedCandidate;
    const int shift = ctx.options.advancedClusterShift;
    if (checkBootSector()) {
        // The boot sector is sound: its geometry, with the FAT the operator
        // chose (and the cluster size, when it agrees with nothing else).
        if (chosen > 0 && static_cast<uint64_t>(chosen) != layout_.fatOffset) {
            layout_.fatOffset = static_cast<uint64_t>(chosen) & ~511ull;
            fat_.init(&volume_, layout_);
        }
        // A volume formatted again with another cluster size: the folders of
        // the file system formatted over vote for their own cluster size and
        // data start ("." slots against the cluster they name). Taken when
        // more folders agree with it than with the boot sector's geometry,
        // or when the operator chose another cluster size than the boot
        // sector's. Its FAT is gone (the new one says nothing of its files):
        // folders and files are read from contiguous clusters.
        const int bootShift = layout_.bytesPerSector == 512 ? advanced::log2Exact(layout_.sectorsPerCluster) : -1;
        if (shift >= 0 && shift == bootShift) return true;
        if (shift < 0) {
            // Nothing chosen: the search for lost folders reads the clusters
            // no walk reached anyway; the "." slots it meets vote there.
            voteDots_ = true;
            return true;
        }
        ctx.status("Finding geometry from folder entries....");
        FatGeometryVotes votes;
        FatLayout previous = guessFatLayout(volume_, kind_, layout_.fatOffset, {}, shift, ctx.progress,
                                            &stopRequested, ctx.gate, &layout_, &votes);
        const bool other = previous.valid() && (previous.clusterSize != layout_.clusterSize ||
                                                previous.dataOffset != layout_.dataOffset);
        if (other && (shift >= 0 || votes.best > votes.boot)) {
            damage_.add("FAT boot sector", 0,
                        std::to_string(votes.best) + " folders agree with " + std::to_string(previous.clusterSize) +
                            "-byte clusters from byte " + std::to_string(previous.dataOffset) + ", " +
                            std::to_string(votes.boot) + " with the boot sector's geometry: the earlier one taken",
                        true);
            layout_ = previous;
            driveFormatted_ = true;
            fat_.init(&volume_, layout_);
        }
        return true;
    }
    std::vector<uint64_t> fats = findFatCandidates(volume_, kind_, 3, nullptr, &stopRequested, ctx.gate);
    uint64_t fatPos = chosen >= 0 ? static_cast<uint64_t>(chosen) & ~511ull : (fats.empty() ? 0 : fats[0]);
    ctx.status("Finding geometry from folder entries....");
    layout_ = guessFatLayout(volume_, kind_, fatPos, fats, shift, ctx.progress, &stopRequested, ctx.gate);
    if (!layout_.valid()) return false;
    fat_.init(&volume_, layout_);
    return true;
}

uint32_t FatParser::ensureOrphanFolder() {
    if (orphanIndex_ != kNoEntry) return orphanIndex_;
    FatEntry o;
    o.attribute = 0x10;
    o.name = kFatOrphanName;
    o.parentIndex = 0;
    o.ownIndex = static_cast<uint32_t>(entries_.size());
    orphanIndex_ = o.ownIndex;
    entries_.push_back(std::move(o));
    return orphanIndex_;
}

void FatParser::scanForDirectorySlots(bool freeOnly) {
    foundStarts_.clear();
    foundLoose_.clear();
    if (!layout_.valid() || layout_.clusterSize == 0) return;
    const uint64_t cs = layout_.clusterSize;
    const uint64_t vol = volumeBytes(volume_);
    const bool fat32 = kind_ == FatKind::Fat32;
    const uint64_t perChunk = std::max<uint64_t>(1, (freeOnly ? kFreeRunBytes : kChunk) / cs);
    std::vector<uint8_t> buf;
    if (ctx_) ctx_->range(1000);
    // Standard mode looks only where the file system has written: up to
    // the highest cluster the FAT still uses, or FAT32's next-free hint
    // when that lies further (clusters freed at the end). Space never
    // allocated is not read.
    uint32_t limit = layout_.lastCluster;
    // Which clusters are free, from the FAT read once: the allocation map
    // the recoverability of every deleted file looks at (Standard mode on a
    // drive not formatted), else the FAT in one pass. Clusters the FAT has
    // no entry for count as free here.
    std::vector<bool> freeBits;
    const AllocationMap* map = nullptr;
    uint64_t mapped = 0;
    if (freeOnly) {
        const AllocationMap& m = allocationMap();
        if (m.known()) {
            map = &m;
            const uint64_t fatBytes = std::min<uint64_t>(layout_.fatBytes, fatBytesFor(kind_, layout_.lastCluster));
            mapped = std::min<uint64_t>(static_cast<uint64_t>(layout_.lastCluster) + 1, fatEntriesIn(kind_, fatBytes));
        } else {
            fat_.freeClusters(0, layout_.lastCluster + 1, freeBits);
        }
    }
    auto isFree = [&](uint32_t k) {
        if (map) return k >= mapped || !map->allocated(k);
        return k >= freeBits.size() || freeBits[k];
    };
    if (freeOnly) {
        uint32_t high = 2;
        uint32_t k = layout_.lastCluster;
        // Whole bytes of the map at a time where the FAT's end is free.
        if (map)
            while (k >= 2 + 64 && k < mapped && map->allocatedIn(k - 63, 64) == 0) k -= 64;
        for (; k >= 2; --k)
            if (!isFree(k)) {
                high = k;
                break;
            }
        if (kind_ == FatKind::Fat32) {
            uint8_t bs[512] = {}, info[512] = {};
            volume_.read(0, bs, sizeof bs);
            const uint64_t at = static_cast<uint64_t>(le16(bs, sizeof bs, 48)) * 512;
            if (at && volume_.read(at, info, sizeof info) == sizeof info && le32(info, 512, 0) == 0x41615252 &&
                le32(info, 512, 484) == 0x61417272) {
                const uint32_t hint = le32(info, 512, 492);
                if (layout_.clusterValid(hint) && hint > high) high = hint;
            }
        }
        limit = std::min<uint32_t>(layout_.lastCluster, high + 64);
    }
    // Standard mode: the free clusters a deleted file's entry claims (its
    // first one free, and as many after it as its size needs: what its
    // writer reads) hold that file's content, not folder slots, and are not
    // read. Claims come from the entries the walks found and from the slots
    // of each folder cluster this search finds (a folder grows before the
    // files written into it, so their clusters mostly lie further on).
    std::vector<bool> claimed;
    const SlotParseOptions slotOpt = slotOptions();
    std::vector<ParsedSlot> slots;
    auto claimFrom = [&](uint32_t first, uint32_t size, uint32_t& markedEnd) {
        if (!size || !layout_.clusterValid(first) || first > limit || !isFree(first)) return;
        const uint64_t need = (static_cast<uint64_t>(size) + cs - 1) / cs;
        const uint64_t end = std::min<uint64_t>(static_cast<uint64_t>(first) + need, static_cast<uint64_t>(limit) + 1);
        for (uint64_t k = std::max<uint64_t>(first, markedEnd); k < end; ++k) claimed[static_cast<size_t>(k)] = true;
        markedEnd = std::max<uint32_t>(markedEnd, static_cast<uint32_t>(end));
    };
    if (freeOnly) {
        claimed.assign(static_cast<size_t>(limit) + 1, false);
        std::vector<uint64_t> files;  // first cluster << 32 | size
        for (const FatEntry& e : entries_)
            if ((e.deleted || e.inDeletedTree) && !isFatDirectory(e.attribute) && e.fileSize)
                files.push_back(static_cast<uint64_t>(firstCluster(e)) << 32 | e.fileSize);
        std::sort(files.begin(), files.end());
        uint32_t markedEnd = 0;  // each cluster is marked once
        for (uint64_t f : files) claimFrom(static_cast<uint32_t>(f >> 32), static_cast<uint32_t>(f), markedEnd);
    }
    // Claims of the slots in a folder cluster found at k: the clusters past
    // k up to the first one claimed already (each marked once).
    // Returns the lowest cluster newly claimed (or ~0u).
    auto claimSlots = [&](const uint8_t* p, uint32_t k) {
        uint32_t lowest = ~0u;
        slots.clear();
        parseDirectorySlots(p, cs, slotOpt, slots);
        for (const ParsedSlot& s : slots) {
            if (s.dot || isFatDirectory(s.entry.attribute) || !s.entry.fileSize) continue;
            const uint32_t first = firstCluster(s.entry);
            if (first <= k || first > limit || !isFree(first) || claimed[first]) continue;
            const uint64_t need = (static_cast<uint64_t>(s.entry.fileSize) + cs - 1) / cs;
            for (uint64_t j = first; j < static_cast<uint64_t>(first) + need && j <= limit && !claimed[j]; ++j)
                claimed[static_cast<size_t>(j)] = true;
            lowest = std::min(lowest, first);
        }
        return lowest;
    };
    // Standard mode reads a run in pieces that start small and double: a
    // folder cluster found at the start of a run claims the clusters after
    // it, which are then not read.
    uint64_t piece = freeOnly ? std::min<uint64_t>(perChunk, 4) : perChunk;
    uint32_t c = 2;
    while (c <= limit && layout_.clusterValid(c)) {
        if (polledStop()) break;
        // The next run of clusters to read: free ones (Standard) or any not
        // opened by a walk.
        auto wanted = [&](uint32_t k) {
            if (freeOnly && (!isFree(k) || claimed[k])) return false;  // the cheap tests first
            return !visitedLive_.count(k) && !visitedDeleted_.count(k);
        };
        const uint32_t from = c;
        while (c <= limit && layout_.clusterValid(c) && !wanted(c)) ++c;
        if (c > limit || !layout_.clusterValid(c)) break;
        if (freeOnly && c != from) piece = std::min<uint64_t>(perChunk, 4);  // a new run
        uint32_t end = c;
        while (end <= limit && layout_.clusterValid(end) && end - c < piece && wanted(end)) ++end;
        const uint64_t at = layout_.clusterOffset(c);
        if (at >= vol) break;
        piece = std::min<uint64_t>(perChunk, piece * 2);
        const size_t n = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(end - c) * cs, vol - at));
        if (buf.size() < n) buf.resize(n);
        const size_t got = volume_.read(at, buf.data(), n);
        if (ctx_) ctx_->position(static_cast<int64_t>(1000.0 * static_cast<double>(at) / static_cast<double>(vol)));
        if (voteDots_)
            for (size_t s = 0; s + 64 <= got && dots_.size() < 4096; s += 512) {
                uint32_t self = 0, parent = 0;
                if (fatDirectoryStart(buf.data() + s, got - s, fat32, &self, &parent)) dots_.emplace_back(at + s, self);
            }
        for (size_t off = 0; off + cs <= got; off += cs) {
            const uint32_t k = c + static_cast<uint32_t>(off / cs);
            if (freeOnly && claimed[k]) continue;  // claimed by a folder cluster of this piece
            uint32_t self = 0, parent = 0, lowest = ~0u;
            if (fatDirectoryStart(buf.data() + off, cs, fat32, &self, &parent)) {
                if (self == k && foundStarts_.size() < kMaxFound) {
                    foundStarts_.push_back(k);
                    if (freeOnly) lowest = claimSlots(buf.data() + off, k);
                }
            } else if (foundLoose_.size() < kMaxFound &&
                       fatLooksLikeDirectory(buf.data() + off, cs, layout_.lastCluster, vol)) {
                foundLoose_.push_back(k);
                if (freeOnly) lowest = claimSlots(buf.data() + off, k);
            }
            if (lowest != ~0u) piece = std::min<uint64_t>(perChunk, 4);
        }
        if (got < n) break;
        c = end;
    }
    if (ctx_) ctx_->position(1000);
}

bool FatParser::takeEarlierGeometry() {
    if (!voteDots_) return false;
    voteDots_ = false;
    FatGeometryVotes votes;
    const FatLayout previous =
        fatLayoutFromDots(dots_, kind_, layout_.fatOffset, 0, -1, volumeBytes(volume_), &layout_, &votes);
    dots_.clear();
    // Folders the walks opened agree with the boot sector too.
    const unsigned boot = votes.boot + foldersOpened_;
    if (!previous.valid() || votes.best <= boot ||
        (previous.clusterSize == layout_.clusterSize && previous.dataOffset == layout_.dataOffset))
        return false;
    damage_.add("FAT boot sector", 0,
                std::to_string(votes.best) + " folders agree with " + std::to_string(previous.clusterSize) +
                    "-byte clusters from byte " + std::to_string(previous.dataOffset) + ", " + std::to_string(boot) +
                    " with the boot sector's geometry: the earlier file system's taken",
                true);
    layout_ = previous;
    driveFormatted_ = true;  // its FAT is gone: contiguous clusters
    fat_.init(&volume_, layout_);
    entries_.clear();
    liveJobs_.clear();
    deletedJobs_.clear();
    visitedLive_.clear();
    visitedDeleted_.clear();
    orphanIndex_ = kNoEntry;
    readRootDirectory();
    walkRootDirectory();
    if (!polledStop()) scanForDirectorySlots(false);
    return true;
}

void FatParser::buildEntriesFromSlots() {
    if (foundStarts_.empty() && foundLoose_.empty()) return;
    const SlotParseOptions opt = slotOptions();
    const bool fat32 = kind_ == FatKind::Fat32;
    // Folders whose parent is not among the found ones come first: their
    // contents go straight under ORPHAN ENTRY, and the walks reach their
    // subfolders under their own names. What is still unreached after that
    // (a parent that no longer names it) follows.
    std::unordered_set<uint32_t> starts(foundStarts_.begin(), foundStarts_.end());
    std::vector<uint32_t> later;
    std::vector<uint8_t> head(64);
    for (uint32_t c : foundStarts_) {
        uint32_t self = 0, parent = 0;
        volume_.read(layout_.clusterOffset(c), head.data(), head.size());
        fatDirectoryStart(head.data(), head.size(), fat32, &self, &parent);
        if (parent >= 2 && parent != c && starts.count(parent))
            later.push_back(c);
        else
            deletedJobs_.push_back({ensureOrphanFolder(), c, true});
    }
    runJobs(opt);
    for (uint32_t c : later) {
        if (polledStop()) return;
        if (visitedLive_.count(c) || visitedDeleted_.count(c)) continue;
        deletedJobs_.push_back({ensureOrphanFolder(), c, true});
        runJobs(opt);
    }
    // Clusters that look like a folder's but open with no "." slot: a later
    // cluster of a folder whose chain is lost. Their entries go under ORPHAN
    // ENTRY; folders among them are walked.
    std::vector<uint8_t> buf(layout_.clusterSize);
    std::vector<ParsedSlot> slots;
    std::vector<SlotNote> notes;
    for (uint32_t c : foundLoose_) {
        if (polledStop()) return;
        if (visitedLive_.count(c) || visitedDeleted_.count(c)) continue;
        visitedDeleted_.insert(c);
        buf.assign(layout_.clusterSize, 0);
        volume_.read(layout_.clusterOffset(c), buf.data(), buf.size());
        slots.clear();
        notes.clear();
        parseDirectorySlots(buf.data(), buf.size(), opt, slots, &notes);
        noteSlots(notes, {c}, 0);
        addSlots(slots, ensureOrphanFolder(), true);
        runJobs(opt);
    }
}

}  // namespace brantlow
