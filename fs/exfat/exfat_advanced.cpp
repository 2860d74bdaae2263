// The advanced scan: candidate FAT and heap positions, the search for entry
// sets anywhere on the volume, and the tree rebuilt from them with a
// substitute geometry.
#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "fs/exfat/exfat_parser.h"

namespace brantlow {

namespace {

constexpr uint64_t kChunk = 10ull * 1024 * 1024;
// One maximal entry set: File, Stream Extension and 17 File Name entries.
constexpr uint64_t kSetBytes = 19 * 32;

uint64_t volumeBytes(const VolumeView& v) {
    if (v.sizeBytes()) return v.sizeBytes();
    const uint64_t disk = v.reader() ? v.reader()->sizeBytes() : 0;
    return disk > v.startByte() ? disk - v.startByte() : 0;
}

bool stopped(const std::atomic<bool>* stop, PauseGate* gate) {
    if (gate) gate->wait();
    return stop && stop->load(std::memory_order_relaxed);
}

void setPosition(ProgressSink* p, uint64_t pos, uint64_t total) {
    if (p && total) p->position(static_cast<int64_t>(1000.0 * static_cast<double>(pos) / static_cast<double>(total)));
}

}  // namespace

ExfatCandidates findExfatCandidates(const VolumeView& volume, int maxCount, ProgressSink* progress,
                                    const std::atomic<bool>* stop, PauseGate* gate) {
    ExfatCandidates out;
    const size_t maxFats = maxCount > 0 ? static_cast<size_t>(maxCount) : 3;
    const size_t maxHeaps = maxFats + 1;
    const uint64_t total = volumeBytes(volume);
    if (progress) progress->range(1000);
    static const uint8_t kFatStart[8] = {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::vector<uint8_t> buf;
    for (uint64_t at = 0; at < total; at += kChunk) {
        if (stopped(stop, gate)) break;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, total - at));
        buf.resize(n);
        const size_t got = volume.read(at, buf.data(), n);
        setPosition(progress, at, total);
        for (size_t s = 0; s + 8 <= got; s += 512) {
            const uint8_t* p = buf.data() + s;
            if (out.fats.size() < maxFats && std::memcmp(p, kFatStart, 8) == 0) {
                out.fats.push_back(at + s);
                if (progress) progress->status("found fat entry  " + std::to_string(out.fats.size()) + " ");
            } else if (out.heaps.size() < maxHeaps) {
                static const uint8_t kOnes[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
                if (std::memcmp(p, kOnes, 8) == 0) out.heaps.push_back(at + s);
            }
            if (out.fats.size() >= maxFats && out.heaps.size() >= maxHeaps) break;
        }
        if (out.fats.size() >= maxFats && out.heaps.size() >= maxHeaps) break;
    }
    if (progress) progress->position(1000);
    return out;
}

int applyExfatBootSector(const VolumeView& volume, ExfatCandidates& c) {
    uint8_t bs[512];
    if (volume.read(0, bs, sizeof bs) != sizeof bs) return -1;
    const Decoded<ExfatLayout> boot = decodeExfatBootSector(bs, sizeof bs, volumeBytes(volume));
    if (!boot) return -1;
    if (c.heaps.empty())
        c.heaps.push_back(boot->heapOffset);
    else
        c.heaps[0] = boot->heapOffset;
    return boot->bytesPerSectorShift + boot->sectorsPerClusterShift - 9;
}

std::vector<int> exfatClusterShiftChoices(int bootShift) {
    std::vector<int> out;
    if (bootShift >= 0) out.push_back(bootShift);
    for (int e : {8, 9, 10, 11, 0, 1, 2, 3, 4, 5, 6, 7})
        if (e != bootShift) out.push_back(e);
    return out;
}

ExfatSlots scanForEntrySets(const VolumeView& volume, ProgressSink* progress, const std::atomic<bool>* stop,
                            PauseGate* gate) {
    ExfatSlots out;
    const uint64_t total = volumeBytes(volume);
    if (progress) progress->range(1000);
    std::vector<uint8_t> buf;
    for (uint64_t at = 0; at < total; at += kChunk) {
        if (stopped(stop, gate)) break;
        // The chunk plus one maximal set, so that a set crossing the chunk's
        // end is seen whole.
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk + kSetBytes, total - at));
        buf.resize(n);
        const size_t got = volume.read(at, buf.data(), n);
        setPosition(progress, at, total);
        const size_t end = std::min<size_t>(got, kChunk);
        static const uint8_t kIdentity[16] = {0, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0};
        for (size_t s = 0; s + 16 <= end && out.upcaseStarts.size() < 64; s += 512)
            if (std::memcmp(buf.data() + s, kIdentity, 16) == 0) out.upcaseStarts.push_back(at + s);
        for (size_t s = 0; s + 32 <= end; s += 32) {
            const uint8_t t = buf[s];
            if (t == 0x85 || t == 0x05) {
                if (!plausibleEntrySet(buf.data(), got, s)) continue;
                out.positions.push_back(at + s);
                const uint16_t attr = le16(buf.data(), got, s + 4);
                if (isExfatDirectory(attr) && out.folderClusters.size() < 4096)
                    out.folderClusters.push_back(le32(buf.data(), got, s + 32 + 20));
                if (progress && (out.positions.size() & 1023) == 1)
                    progress->status("found Entry " + std::to_string(out.positions.size()) + " ");
            } else if (t == 0x83) {
                if (plausibleLabel(buf.data(), got, s)) {
                    out.labelPosition = at + s;
                    out.hasLabel = true;
                }
            } else if (t == 0x82) {
                const uint8_t* p = buf.data() + s;
                bool zero = !p[1] && !p[2] && !p[3];
                for (int i = 8; i < 20 && zero; ++i) zero = !p[i];
                const uint64_t len = le64(p, 32, 24);
                const uint32_t c = le32(p, 32, 20);
                if (zero && c >= 2 && len > 0 && len <= 128 * 1024 && !out.hasUpcase) {
                    out.hasUpcase = true;
                    out.upcaseCluster = c;
                    out.upcaseLength = len;
                    out.upcaseChecksum = le32(p, 32, 4);
                }
            }
        }
    }
    if (progress && !out.positions.empty()) progress->status("found Entry " + std::to_string(out.positions.size()) + " ");
    if (progress) progress->position(1000);
    return out;
}

ExfatGeometryGuess guessExfatGeometry(const VolumeView& volume, const ExfatSlots& slots,
                                      const std::vector<uint64_t>& heapCandidates, bool deriveHeap) {
    // Common sizes first when two choices fit equally well.
    static const int kOrder[] = {3, 6, 7, 5, 4, 8, 0, 1, 2, 9, 10, 11};
    std::vector<uint8_t> buf;
    auto upcaseAt = [&](uint64_t at) {
        if (!slots.hasUpcase) return false;
        buf.resize(static_cast<size_t>(slots.upcaseLength));
        return volume.read(at, buf.data(), buf.size()) == buf.size() &&
               exfatTableChecksum(buf.data(), buf.size()) == slots.upcaseChecksum;
    };
    std::vector<uint64_t> verifiedStarts;
    if (deriveHeap && slots.hasUpcase)
        for (uint64_t p : slots.upcaseStarts)
            if (upcaseAt(p)) verifiedStarts.push_back(p);
    ExfatGeometryGuess best;
    auto score = [&](uint64_t heap, int e, bool upcaseKnown) {
        const uint64_t cs = 512ull << e;
        uint64_t s = 0;
        if (upcaseKnown) {
            s += 1000000;
        } else if (slots.hasUpcase && slots.upcaseCluster >= 2) {
            uint64_t at = 0;
            if (!mulOverflows(slots.upcaseCluster - 2ull, cs, &at) && !addOverflows(at, heap, &at) && upcaseAt(at))
                s += 1000000;
        }
        for (uint32_t fc : slots.folderClusters) {
            if (fc < 2) continue;
            uint64_t p = 0;
            if (mulOverflows(fc - 2ull, cs, &p) || addOverflows(p, heap, &p)) continue;
            auto it = std::lower_bound(slots.positions.begin(), slots.positions.end(), p);
            if (it != slots.positions.end() && *it < p + 128) ++s;
        }
        if (s > best.score) best = ExfatGeometryGuess{heap, e, s};
    };
    for (int e : kOrder) {
        const uint64_t cs = 512ull << e;
        for (uint64_t p : verifiedStarts) {
            const uint64_t back = (static_cast<uint64_t>(slots.upcaseCluster) - 2) * cs;
            if (slots.upcaseCluster >= 2 && back <= p) score(p - back, e, true);
        }
        for (uint64_t h : heapCandidates) score(h, e, false);
    }
    return best;
}

void Fat64Class::buildEntriesFromSlots(const ExfatSlots& slots, uint64_t heapOffset, uint64_t fatOffset,
                                       unsigned shift) {
    advanced_ = true;
    entries_.clear();
    seenSlots_.clear();
    visitedLive_.clear();
    visitedDeleted_.clear();
    liveJobs_.clear();
    deletedJobs_.clear();
    bitmap_.clear();
    layout_ = substituteExfatLayout(fatOffset, heapOffset, shift, volumeBytes(volume_));
    if (!layout_.valid()) return;
    fat_.init(&volume_, layout_);
    if (slots.positions.empty()) return;
    const uint32_t cs = layout_.clusterSize;

    // Candidates are in disk order: serve them from a 1 MiB window.
    std::vector<uint8_t> window;
    uint64_t windowAt = 0;
    auto readSetAt = [&](uint64_t pos, ParsedSet& s) {
        if (window.empty() || pos < windowAt || pos + kSetBytes > windowAt + window.size()) {
            windowAt = pos & ~511ull;
            window.resize(1024 * 1024);
            const size_t got = volume_.read(windowAt, window.data(), window.size());
            window.resize(std::max<size_t>(got, 0));
        }
        if (pos < windowAt || pos - windowAt >= window.size()) return false;
        Decoded<ParsedSet> d = decodeEntrySet(window.data(), window.size(), static_cast<size_t>(pos - windowAt));
        if (d) s = std::move(*d);
        return d.accepted();
    };

    ParsedSet first;
    readSetAt(slots.positions.front(), first);
    ExFatEntry dummy = first.entry;
    dummy.name = kExfatDummyName;
    dummy.entryType = 0x85;
    dummy.parentIndex = dummy.ownIndex = 0;
    entries_.push_back(dummy);
    ExFatEntry orphan;
    orphan.entryType = 0x85;
    orphan.fileAttributes = 0x10;
    orphan.createTimestamp = first.entry.createTimestamp;
    orphan.lastModifiedTimestamp = first.entry.lastModifiedTimestamp;
    orphan.lastAccessedTimestamp = first.entry.lastAccessedTimestamp;
    orphan.name = kExfatOrphanName;
    orphan.parentIndex = 0;
    orphan.ownIndex = 1;
    entries_.push_back(orphan);
    orphanIndex_ = 1;

    // The root: the cluster holding the volume label (or the first set),
    // followed through the FAT like any root.
    const uint64_t rootPos = slots.hasLabel ? slots.labelPosition : slots.positions.front();
    if (rootPos >= heapOffset) {
        const uint64_t rc = (rootPos - heapOffset) / cs + 2;
        if (layout_.clusterValid(rc)) {
            layout_.rootCluster = static_cast<uint32_t>(rc);
            std::vector<uint8_t> buf;
            std::vector<uint32_t> clusters;
            readDirectory(nullptr, false, buf, clusters);
            ParsedDirectory root;
            parseDirectory(buf.data(), buf.size(), root);
            label_ = root.label;
            rootClusters_ = clusters;
            addSets(root, clusters, 0, false);
            runJobs();
        }
    }
    // Every set not met in a walk: under ORPHAN ENTRY, its folder walked.
    for (size_t i = 0; i < slots.positions.size(); ++i) {
        if ((i & 255) == 0 && polledStop()) break;
        if (entries_.size() >= 32u * 1024 * 1024) break;
        const uint64_t pos = slots.positions[i];
        if (seenSlots_.count(pos)) continue;
        ParsedSet s;
        if (!readSetAt(pos, s)) continue;
        ExFatEntry e = s.entry;
        e.parentIndex = 1;
        e.position = pos;
        e.inDeletedTree = e.deleted();
        e.ownIndex = static_cast<uint32_t>(entries_.size());
        seenSlots_.emplace(pos, e.ownIndex);
        const bool walk = isExfatDirectory(e.fileAttributes) && layout_.clusterValid(e.firstCluster);
        if (walk) (e.deleted() ? deletedJobs_ : liveJobs_).push_back({e.ownIndex, e.deleted()});
        entries_.push_back(std::move(e));
        if (walk) runJobs();
    }
}

void Fat64Class::loadCurrentMap() {
    nowLayout_ = ExfatLayout{};
    nowMap_ = AllocationMap();
    // A drive formatted since: its bitmap says nothing of the files found.
    if (driveFormatted_) return;
    uint8_t bs[512];
    if (volume_.read(0, bs, sizeof bs) != sizeof bs) return;
    const Decoded<ExfatLayout> boot = decodeExfatBootSector(bs, sizeof bs, volumeBytes(volume_));
    if (!boot || !boot->valid() || !boot->clusterValid(boot->rootCluster)) return;
    const ExfatLayout& now = *boot;
    ExfatFat fat;
    fat.init(&volume_, now);
    // The bitmap's entry opens the root: its first 1 MiB is enough.
    const uint32_t cs = now.clusterSize;
    const Chain ch = followChain([&fat](uint32_t c) { return fat.entry(c); }, now.rootCluster, now.lastCluster(),
                                 std::max<uint64_t>(1, (1u << 20) / cs));
    std::vector<uint8_t> buf(static_cast<size_t>(ch.clusters) * cs);
    size_t at = 0;
    for (const ClusterRun& r : ch.runs) {
        const size_t n = static_cast<size_t>(r.count) * cs;
        if (volume_.read(now.clusterOffset(r.first), buf.data() + at, n) != n) break;
        at += n;
    }
    buf.resize(at);
    ParsedDirectory root;
    parseDirectory(buf.data(), buf.size(), root);
    std::vector<uint8_t> bits;
    uint32_t clusters = 0;
    if (!readBitmap(volume_, now, fat, root, bits, clusters)) return;
    // Bit 0 stands for cluster 2.
    nowMap_.assign(std::move(bits), clusters, AllocationMap::BitOrder::LsbFirst, 2);
    nowLayout_ = now;
}

ScanOutcome Fat64Class::advancedScan(ScanContext& ctx) {
    stopRequested.store(false, std::memory_order_relaxed);
    ExfatCandidates none;
    const int bootShift = applyExfatBootSector(volume_, none);
    bootAccepted_ = bootShift >= 0;
    if (!bootAccepted_) {
        // Why the boot sector is not used, for the damage log.
        uint8_t bs[512] = {};
        volume_.read(0, bs, sizeof bs);
        damage_.add("exFAT boot sector", 0, decodeExfatBootSector(bs, sizeof bs, volumeBytes(volume_)).reason());
    }
    int64_t fatPos = ctx.options.advancedCandidate;
    int64_t heapPos = ctx.options.advancedHeap;
    int shift = ctx.options.advancedClusterShift;
    candidates_ = ExfatCandidates{};
    if (fatPos < 0 || heapPos < 0) {
        ctx.status("Finding Fat64 entries....");
        candidates_ = findExfatCandidates(volume_, 3, ctx.progress, &stopRequested, ctx.gate);
        applyExfatBootSector(volume_, candidates_);
        if (fatPos < 0) fatPos = candidates_.fats.empty() ? 0 : static_cast<int64_t>(candidates_.fats[0]);
        if (heapPos < 0) heapPos = candidates_.heaps.empty() ? 0 : static_cast<int64_t>(candidates_.heaps[0]);
    }
    const ExfatSlots slots = scanForEntrySets(volume_, ctx.progress, &stopRequested, ctx.gate);
    if (shift < 0 || shift > 16) {
        if (bootAccepted_) {
            shift = bootShift;
        } else {
            // Nothing chosen and no boot sector: the heap and exponent the
            // found sets fit best (a chosen heap is kept).
            const bool heapChosen = ctx.options.advancedHeap >= 0;
            std::vector<uint64_t> heaps;
            if (heapChosen)
                heaps.push_back(static_cast<uint64_t>(heapPos));
            else
                heaps = candidates_.heaps;
            ExfatGeometryGuess g = guessExfatGeometry(volume_, slots, heaps, !heapChosen);
            if (g.shift >= 0) {
                shift = g.shift;
                heapPos = static_cast<int64_t>(g.heap);
            }
        }
        if (shift < 0) shift = 8;  // the first exponent the page offers
    }
    chosenShift_ = shift;
    ctx.status("Maintaining TreeStructure for Tree Control");
    if (fatPos > 0 && heapPos > 0) {
        buildEntriesFromSlots(slots, static_cast<uint64_t>(heapPos), static_cast<uint64_t>(fatPos),
                              static_cast<unsigned>(shift));
        linkParentChild();
        fillRootEntries();
    }
    loadCurrentMap();
    return ScanOutcome::Done;
}

}  // namespace brantlow
