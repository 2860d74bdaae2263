// Standard mode: folders no walk reaches. A folder whose own entry set is
// gone (its slot reused by another file, or in a cluster since taken) still
// holds its entry sets in clusters the allocation bitmap marks free. Those
// are looked for where the file system has written (up to the highest
// cluster in use), and walked as deleted folders under ORPHAN ENTRY.
#include <algorithm>

#include "base/bytes.h"
#include "fs/exfat/exfat_parser.h"

namespace brantlow {

namespace {
constexpr uint64_t kUnreachedChunk = 4ull * 1024 * 1024;
constexpr size_t kMaxFound = 65536;
}  // namespace

uint32_t Fat64Class::ensureOrphanFolder() {
    if (orphanIndex_ != kNoExfatEntry) return orphanIndex_;
    ExFatEntry o;
    o.entryType = 0x85;
    o.fileAttributes = 0x10;
    o.name = kExfatOrphanName;
    if (!entries_.empty()) {
        o.createTimestamp = entries_[0].createTimestamp;
        o.lastModifiedTimestamp = entries_[0].lastModifiedTimestamp;
        o.lastAccessedTimestamp = entries_[0].lastAccessedTimestamp;
    }
    o.parentIndex = 0;
    o.ownIndex = static_cast<uint32_t>(entries_.size());
    orphanIndex_ = o.ownIndex;
    entries_.push_back(std::move(o));
    return orphanIndex_;
}

void Fat64Class::findUnreachedFolders() {
    if (!bitmap_.loaded() || driveFormatted_ || !layout_.valid() || layout_.clusterSize == 0) return;
    const uint32_t cs = layout_.clusterSize;
    const uint32_t last = layout_.lastCluster();
    uint32_t high = 2;
    for (uint32_t c = last; c > 2; --c)
        if (bitmap_.inUse(c)) {
            high = c;
            break;
        }
    const uint32_t limit = static_cast<uint32_t>(std::min<uint64_t>(last, static_cast<uint64_t>(high) + 64));
    auto wanted = [&](uint32_t c) { return !bitmap_.inUse(c) && !visitedLive_.count(c) && !visitedDeleted_.count(c); };
    // Small clusters are read whole, runs at a time; of larger ones only
    // the head an entry set needs (most free clusters hold old file data,
    // and reading it all would cost more than the walk).
    const size_t head = 1024;
    const bool heads = cs > 4 * head;
    const uint64_t perChunk = std::max<uint64_t>(1, kUnreachedChunk / cs);
    std::vector<uint8_t> buf, whole(cs);
    std::vector<uint32_t> found;
    // Folder clusters that a found folder's own sets name: walked from
    // there, under their names.
    std::unordered_set<uint32_t> named;
    auto examine = [&](uint32_t k, const uint8_t* p, size_t n) {
        const uint8_t t = p[0];
        if ((t != 0x85 && t != 0x05) || !plausibleEntrySet(p, n, 0)) return;
        found.push_back(k);
        if (n < cs) {
            if (volume_.read(layout_.clusterOffset(k), whole.data(), cs) != cs) return;
            p = whole.data();
        }
        ParsedDirectory d;
        parseDirectory(p, cs, d);
        for (const ParsedSet& s : d.sets)
            if (named.size() < kMaxFound && isExfatDirectory(s.entry.fileAttributes) &&
                layout_.clusterValid(s.entry.firstCluster))
                named.insert(s.entry.firstCluster);
    };
    uint32_t c = 2;
    while (c <= limit && found.size() < kMaxFound) {
        if (polledStop()) return;
        while (c <= limit && !wanted(c)) ++c;
        if (c > limit) break;
        if (heads) {
            buf.resize(head);
            if (volume_.read(layout_.clusterOffset(c), buf.data(), head) == head) examine(c, buf.data(), head);
            ++c;
            continue;
        }
        uint32_t end = c;
        while (end <= limit && end - c < perChunk && wanted(end)) ++end;
        const size_t n = static_cast<size_t>(end - c) * cs;
        buf.resize(n);
        const size_t got = volume_.read(layout_.clusterOffset(c), buf.data(), n);
        for (size_t off = 0; off + cs <= got && found.size() < kMaxFound; off += cs)
            examine(c + static_cast<uint32_t>(off / cs), buf.data() + off, cs);
        if (got < n) break;
        c = end;
    }
    if (found.empty()) return;
    // Folders no found folder names first, then (once those walks are done)
    // what is still unreached.
    std::vector<uint32_t> later;
    std::vector<uint8_t> dirBuf;
    std::vector<uint32_t> clusters;
    auto walk = [&](uint32_t fc) {
        if (visitedLive_.count(fc) || visitedDeleted_.count(fc)) return;
        ExFatEntry lost;
        lost.fileAttributes = 0x10;
        lost.entryType = 0x05;
        lost.generalSecondaryFlags = 0x03;  // its own cluster alone
        lost.firstCluster = fc;
        lost.dataLength = cs;
        if (!readDirectory(&lost, true, dirBuf, clusters) && clusters.empty()) return;
        ParsedDirectory parsed;
        parseDirectory(dirBuf.data(), dirBuf.size(), parsed);
        addSets(parsed, clusters, ensureOrphanFolder(), true);
        runJobs();
    };
    for (uint32_t fc : found) {
        if (named.count(fc))
            later.push_back(fc);
        else
            walk(fc);
    }
    for (uint32_t fc : later) {
        if (polledStop()) return;
        walk(fc);
    }
}

}  // namespace brantlow
