#include "fs/exfat/exfat_parser.h"

#include <algorithm>
#include <deque>

#include "base/bytes.h"
#include "base/texts.h"

namespace brantlow {

namespace {

// A bound on the table for volumes made of entry-looking garbage.
constexpr size_t kMaxEntries = 32u * 1024 * 1024;

void addCount(std::string& s, uint32_t n, const char* one, const char* many) {
    if (!n) return;
    if (!s.empty()) s += ", ";
    s += std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

// exFAT time stamps: the DOS date in the upper half, the DOS time in the
// lower, plus 10 ms units and a UTC offset byte (bit 7 = valid, bits 0-6 a
// signed count of 15-minute steps). With a valid offset the instant is
// exact; without one the stamp is local wall time (asUtc: reported as the
// stored wall-clock value, as the listings show FAT times).
OptTime exfatInstant(uint32_t ts, uint8_t tenMs, uint8_t utcOffset, bool asUtcWithoutOffset) {
    const uint16_t date = static_cast<uint16_t>(ts >> 16), time = static_cast<uint16_t>(ts & 0xFFFF);
    if (tenMs >= 200) tenMs = 0;
    if (utcOffset & 0x80) {
        OptTime t = fromDosAsUtc(date, time, tenMs);
        if (!t) return t;
        int steps = utcOffset & 0x7F;
        if (steps & 0x40) steps -= 0x80;
        t->sec -= static_cast<int64_t>(steps) * 15 * 60;
        return t;
    }
    return asUtcWithoutOffset ? fromDosAsUtc(date, time, tenMs) : fromDosLocal(date, time, tenMs);
}

std::string ExfatProblems::text() const {
    std::string s;
    addCount(s, bootChecksum, "boot checksum mismatch", "boot checksum mismatches");
    addCount(s, backupBoot, "unusable boot sector (backup used)", "unusable boot sectors (backup used)");
    addCount(s, fatLoops, "FAT loop", "FAT loops");
    addCount(s, crossLinks, "cross-linked chain", "cross-linked chains");
    addCount(s, notInBitmap, "entry not marked in the bitmap", "entries not marked in the bitmap");
    addCount(s, sizeBeyondAllocation, "size beyond its allocation", "sizes beyond their allocation");
    addCount(s, cutSets, "cut entry set", "cut entry sets");
    addCount(s, missingStreams, "entry set without stream", "entry sets without stream");
    addCount(s, badClusters, "cluster number outside the heap", "cluster numbers outside the heap");
    addCount(s, unreadable, "unreadable directory run", "unreadable directory runs");
    return s.empty() ? s : "exFAT damage found: " + s;
}

std::string Fat64Class::rejectMessage() const {
    return failed_ ? "error..." : "Selected Drive is not in exFat Format";
}

bool Fat64Class::polledStop() {
    if (ctx_) ctx_->wait();
    return stopRequested.load(std::memory_order_relaxed);
}

void Fat64Class::damaged(uint32_t ExfatProblems::*counter, const char* structure, uint64_t offset, std::string what,
                         bool kept) {
    if (counter) ++(problems_.*counter);
    damage_.add(structure, offset, std::move(what), kept);
}

void Fat64Class::noteSet(const ParsedSet& s, uint64_t position) {
    if (s.cut) ++problems_.cutSets;
    if (!s.hasStream) ++problems_.missingStreams;
    // Past the notes the log keeps, only the count matters: no words made.
    damage_.add("exFAT entry set", position, damage_.count() < DamageLog::kKept ? entrySetDamage(s) : std::string(),
                true);
}

bool Fat64Class::checkBootSector() {
    bootAccepted_ = false;
    // The largest boot region: 12 sectors of 4096 bytes.
    std::vector<uint8_t> region(12 * 4096);
    const size_t got = volume_.read(0, region.data(), region.size());
    if (got < 512) {
        if (ctx_) ctx_->message("cant read file");
        return false;
    }
    if (!bytesAt(region.data(), got, 3, "EXFAT", 5)) {
        damage_.add("exFAT boot sector", 0, "no \"EXFAT\" at byte 3");
        return false;
    }
    uint64_t regionAt = 0;
    Decoded<ExfatLayout> d = decodeExfatBootRegion(region.data(), got, volume_.sizeBytes());
    if (!d) {
        // The main boot sector is damaged: the backup boot region follows
        // the main one (sector 12 for the sector size it names).
        const std::string why = d.reason();
        for (uint32_t b = 512; b <= 4096; b *= 2) {
            std::vector<uint8_t> backup(12ull * b);
            const size_t n = volume_.read(12ull * b, backup.data(), backup.size());
            if (n < 512) continue;
            Decoded<ExfatLayout> k = decodeExfatBootRegion(backup.data(), n, volume_.sizeBytes());
            if (k && k->bytesPerSector == b) {
                d = std::move(k);
                regionAt = 12ull * b;
                break;
            }
        }
        if (!d) {
            damage_.add("exFAT boot sector", 0, why);
            return false;
        }
        damaged(&ExfatProblems::backupBoot, "exFAT boot sector", 0, why + ": the backup boot region taken", false);
    }
    if (!d->checksumMatches) ++problems_.bootChecksum;
    for (const std::string& r : d.replaced()) damage_.add("exFAT boot region", regionAt, r, true);
    layout_ = *d;
    fat_.init(&volume_, layout_);
    bootAccepted_ = true;
    return true;
}

uint64_t Fat64Class::positionOf(const std::vector<uint32_t>& clusters, size_t offset) const {
    const size_t cs = layout_.clusterSize;
    if (!cs || clusters.empty()) return 0;
    const size_t k = offset / cs;
    if (k >= clusters.size()) return 0;
    return layout_.clusterOffset(clusters[k]) + offset % cs;
}

bool Fat64Class::readDirectory(const ExFatEntry* dir, bool deletedTree, std::vector<uint8_t>& buf,
                               std::vector<uint32_t>& clusters) {
    buf.clear();
    clusters.clear();
    const uint32_t cs = layout_.clusterSize;
    const uint32_t last = layout_.lastCluster();
    const uint64_t maxClusters = std::max<uint64_t>(1, kExfatMaxDirectoryBytes / cs);
    auto next = [this](uint32_t c) { return fat_.entry(c); };
    Chain chain;
    if (!dir) {
        // The root: always FAT-chained.
        const uint32_t root = layout_.rootCluster;
        chain = driveFormatted_ ? contiguousChain(root, last, 1) : followChain(next, root, last, maxClusters);
    } else {
        const uint32_t fc = dir->firstCluster;
        if (!layout_.clusterValid(fc)) return false;
        const uint64_t want = std::min(maxClusters, std::max<uint64_t>(1, layout_.clustersFor(dir->dataLength)));
        if (dir->noFatChain())
            chain = contiguousChain(fc, last, want);
        else if (driveFormatted_)
            chain = contiguousChain(fc, last, 1);
        else if (deletedTree && fat_.entry(fc) == kExfatFree)
            chain = contiguousChain(fc, last, want);  // the chain was freed with the folder
        else
            chain = followChain(next, fc, last, want);
    }
    if (chain.end == ChainEnd::Loop && !dir)
        damaged(&ExfatProblems::fatLoops, "exFAT root directory", layout_.clusterOffset(layout_.rootCluster),
                "its FAT chain comes back to a cluster it passed: read up to there");
    auto& visited = deletedTree ? visitedDeleted_ : visitedLive_;
    bool stop = false;
    for (const ClusterRun& r : chain.runs) {
        for (uint32_t i = 0; i < r.count; ++i) {
            const uint32_t c = r.first + i;
            // A deleted folder never shows what a live one holds, nor a
            // cluster the bitmap says is in use again.
            if (deletedTree && (visitedLive_.count(c) || (bitmap_.loaded() && bitmap_.inUse(c)))) stop = true;
            if (!stop && !visited.insert(c).second) stop = true;
            if (stop) break;
            clusters.push_back(c);
        }
        if (stop) break;
    }
    if (clusters.empty()) return false;
    buf.resize(clusters.size() * static_cast<size_t>(cs));
    bool firstOk = true;
    size_t i = 0;
    while (i < clusters.size()) {
        size_t j = i + 1;
        while (j < clusters.size() && clusters[j] == clusters[j - 1] + 1) ++j;
        const size_t bytes = (j - i) * static_cast<size_t>(cs);
        if (volume_.read(layout_.clusterOffset(clusters[i]), buf.data() + i * cs, bytes) != bytes) {
            damaged(&ExfatProblems::unreadable, "exFAT directory cluster", layout_.clusterOffset(clusters[i]),
                    std::to_string(j - i) + " clusters unreadable");
            if (i == 0) firstOk = false;
        }
        i = j;
    }
    return firstOk;
}

bool Fat64Class::readRootDirectory() {
    rootBuffer_.clear();
    rootClusters_.clear();
    if (!layout_.valid()) return false;
    return readDirectory(nullptr, false, rootBuffer_, rootClusters_);
}

void Fat64Class::addSets(ParsedDirectory& dir, const std::vector<uint32_t>& clusters, uint32_t parent,
                         bool deletedTree) {
    std::unordered_map<uint32_t, uint32_t> byCluster;
    for (ParsedSet& s : dir.sets) {
        if (entries_.size() >= kMaxEntries) return;
        const uint64_t position = positionOf(clusters, s.offset);
        ExFatEntry e = std::move(s.entry);
        e.parentIndex = parent;
        e.inDeletedTree = deletedTree || e.deleted();
        e.position = position;
        if (advanced_) {
            auto seen = seenSlots_.find(e.position);
            if (seen != seenSlots_.end()) {
                // Met before as a set without a known folder: this is its
                // folder (unless that would make a cycle).
                ExFatEntry& old = entries_[seen->second];
                if (old.parentIndex == 1 && seen->second != parent && !isAncestor(seen->second, parent))
                    old.parentIndex = parent;
                continue;
            }
        }
        if (s.cut || !s.hasStream) noteSet(s, position);
        const bool dirEntry = isExfatDirectory(e.fileAttributes);
        const bool walkable = dirEntry && layout_.clusterValid(e.firstCluster);
        if (walkable) {
            auto it = byCluster.find(e.firstCluster);
            if (it != byCluster.end()) {
                // Two folder sets for one cluster: one entry, the later name.
                entries_[it->second].name = e.name;
                if (advanced_) seenSlots_.emplace(e.position, it->second);
                continue;
            }
            byCluster.emplace(e.firstCluster, static_cast<uint32_t>(entries_.size()));
        }
        e.ownIndex = static_cast<uint32_t>(entries_.size());
        if (advanced_) seenSlots_.emplace(e.position, e.ownIndex);
        if (walkable) (e.inDeletedTree ? deletedJobs_ : liveJobs_).push_back({e.ownIndex, e.inDeletedTree});
        entries_.push_back(std::move(e));
    }
}

void Fat64Class::runJobs() {
    std::vector<uint8_t> buf;
    std::vector<uint32_t> clusters;
    while (!liveJobs_.empty() || !deletedJobs_.empty()) {
        if (polledStop()) break;
        auto& jobs = liveJobs_.empty() ? deletedJobs_ : liveJobs_;
        DirJob job = jobs.back();
        jobs.pop_back();
        if (job.index >= entries_.size()) continue;
        const ExFatEntry dir = entries_[job.index];
        if (!readDirectory(&dir, job.deletedTree, buf, clusters) && clusters.empty()) continue;
        ParsedDirectory parsed;
        parseDirectory(buf.data(), buf.size(), parsed);
        buf.clear();
        addSets(parsed, clusters, job.index, job.deletedTree);
    }
}

bool Fat64Class::readBitmap(const VolumeView& volume, const ExfatLayout& layout, ExfatFat& fat,
                            const ParsedDirectory& root, std::vector<uint8_t>& bits, uint32_t& clusters) {
    if (!root.hasBitmap || !layout.clusterValid(root.bitmapCluster)) return false;
    const uint64_t need = (static_cast<uint64_t>(layout.clusterCount) + 7) / 8;
    const uint64_t bytes = std::min<uint64_t>(root.bitmapLength, need);
    if (bytes == 0 || bytes > 64ull * 1024 * 1024) return false;
    const uint32_t cs = layout.clusterSize;
    const uint64_t count = layout.clustersFor(bytes);
    Chain ch = followChain([&fat](uint32_t c) { return fat.entry(c); }, root.bitmapCluster, layout.lastCluster(),
                           count);
    if (ch.clusters < count) ch = contiguousChain(root.bitmapCluster, layout.lastCluster(), count);
    if (ch.clusters < count) return false;
    bits.assign(static_cast<size_t>(count * cs), 0);
    size_t at = 0;
    for (const ClusterRun& r : ch.runs) {
        const size_t n = static_cast<size_t>(r.count) * cs;
        if (volume.read(layout.clusterOffset(r.first), bits.data() + at, n) != n) return false;
        at += n;
    }
    bits.resize(static_cast<size_t>(bytes));
    clusters = static_cast<uint32_t>(std::min<uint64_t>(bytes * 8, layout.clusterCount));
    return true;
}

void Fat64Class::loadBitmap(const ParsedDirectory& root) {
    bitmap_.clear();
    std::vector<uint8_t> bits;
    uint32_t clusters = 0;
    if (readBitmap(volume_, layout_, fat_, root, bits, clusters)) bitmap_.assign(std::move(bits), clusters);
}

void Fat64Class::walkRootDirectory() {
    entries_.clear();
    ParsedDirectory root;
    parseDirectory(rootBuffer_.data(), rootBuffer_.size(), root);
    label_ = root.label;
    if (!advanced_) loadBitmap(root);
    // Entry 0 stands for the root; it carries the first set's fields.
    ExFatEntry dummy;
    if (!root.sets.empty()) dummy = root.sets.front().entry;
    dummy.name = kExfatDummyName;
    dummy.entryType = 0x85;
    dummy.parentIndex = dummy.ownIndex = 0;
    dummy.inDeletedTree = false;
    entries_.push_back(dummy);
    addSets(root, rootClusters_, 0, false);
    rootBuffer_.clear();
    rootBuffer_.shrink_to_fit();
    runJobs();
}

bool Fat64Class::isAncestor(uint32_t a, uint32_t of) const {
    uint32_t c = of;
    for (size_t steps = 0; steps < entries_.size() && c < entries_.size(); ++steps) {
        if (c == a) return true;
        if (c == 0) return false;
        c = entries_[c].parentIndex;
    }
    return true;  // no end found: treat as a cycle
}

void Fat64Class::linkParentChild() {
    const size_t n = entries_.size();
    std::vector<uint32_t> tail(n, kNoExfatEntry);
    for (auto& e : entries_) e.firstChild = e.nextSibling = kNoExfatEntry;
    for (size_t h = 0; h < n; ++h) {
        const uint32_t p = entries_[h].parentIndex;
        if (p >= n || p == h) continue;
        if (entries_[p].firstChild == kNoExfatEntry)
            entries_[p].firstChild = static_cast<uint32_t>(h);
        else
            entries_[tail[p]].nextSibling = static_cast<uint32_t>(h);
        tail[p] = static_cast<uint32_t>(h);
    }
    computeStates();
}

void Fat64Class::computeStates() {
    // Deleted below a deleted folder; orphan below ORPHAN ENTRY.
    const size_t n = entries_.size();
    if (!n) return;
    std::vector<uint8_t> done(n, 0);
    std::deque<uint32_t> queue{0};
    done[0] = 1;
    while (!queue.empty()) {
        const uint32_t p = queue.front();
        queue.pop_front();
        const ExFatEntry& pe = entries_[p];
        const bool pDeleted = p != 0 && pe.inDeletedTree;
        const bool pOrphan = p == orphanIndex_ || (p != 0 && pe.orphan);
        for (uint32_t c = pe.firstChild; c != kNoExfatEntry && c < n && !done[c]; c = entries_[c].nextSibling) {
            done[c] = 1;
            ExFatEntry& ce = entries_[c];
            ce.inDeletedTree = ce.deleted() || pDeleted;
            ce.orphan = pOrphan;
            queue.push_back(c);
        }
    }
}

void Fat64Class::fillRootEntries() {
    if (!ctx_) return;
    const size_t n = entries_.size();
    for (size_t i = 0; i < n; i += 4096) ctx_->status("filling entry =" + std::to_string(i) + " in tree ");
    if (n) ctx_->status("filling entry =" + std::to_string(n - 1) + " in tree ");
}

ScanOutcome Fat64Class::scan(ScanContext& ctx) {
    driveFormatted_ = ctx.options.driveFormatted;
    ctx_ = &ctx;
    volume_ = ctx.volume;
    entries_.clear();
    liveJobs_.clear();
    deletedJobs_.clear();
    visitedLive_.clear();
    visitedDeleted_.clear();
    seenSlots_.clear();
    problems_ = ExfatProblems{};
    damage_.clear();
    failed_ = false;
    advanced_ = false;
    orphanIndex_ = kNoExfatEntry;
    if (ctx.mode == ScanMode::Advanced) {
        ScanOutcome o = advancedScan(ctx);
        ctx_ = nullptr;
        return o;
    }
    ctx.status("processing file and directory entries...");
    if (!checkBootSector()) {
        ctx_ = nullptr;
        return ScanOutcome::Rejected;
    }
    ctx.status("Finding Fat64 File And Directory entries recursively....");
    if (!readRootDirectory()) {
        failed_ = true;
        ctx_ = nullptr;
        return ScanOutcome::Failed;
    }
    walkRootDirectory();
    if (!polledStop()) findUnreachedFolders();
    linkParentChild();
    ctx.status("creating tree Structure...");
    fillRootEntries();
    checkAllocations();
    if (problems_.total()) ctx.status(problems_.text());
    ctx_ = nullptr;
    return ScanOutcome::Done;
}

std::vector<EntryId> Fat64Class::children(EntryId folder) const {
    std::vector<EntryId> out;
    const size_t n = entries_.size();
    if (n == 0) return out;
    size_t idx = folder == kRootId ? 0 : static_cast<size_t>(folder);
    if (idx >= n) return out;
    if (idx != 0 && idx != orphanIndex_ && !isExfatDirectory(entries_[idx].fileAttributes)) return out;
    uint32_t c = entries_[idx].firstChild;
    for (size_t steps = 0; c != kNoExfatEntry && c < n && steps < n; ++steps) {
        if (c != 0) out.push_back(c);
        c = entries_[c].nextSibling;
    }
    return out;
}

bool Fat64Class::readEntry(EntryId id, EntryInfo& out) const {
    if (id == kRootId || id == 0 || id >= entries_.size()) return false;
    const ExFatEntry& e = entries_[static_cast<size_t>(id)];
    out = EntryInfo{};
    out.name = e.name;
    const bool folder = isExfatDirectory(e.fileAttributes);
    out.kind = folder ? EntryKind::Folder : EntryKind::File;
    out.state = e.inDeletedTree ? EntryState::Deleted : EntryState::Live;
    out.orphan = e.orphan;
    out.size = folder ? 0 : e.validDataLength;
    out.created = exfatInstant(e.createTimestamp, e.create10msIncrement, e.createUtcOffset, true);
    out.modified = exfatInstant(e.lastModifiedTimestamp, e.lastModified10msIncrement, e.lastModifiedUtcOffset, true);
    out.accessed = exfatInstant(e.lastAccessedTimestamp, 0, e.lastAccessedUtcOffset, true);
    out.attributes = dosAttributeText(e.fileAttributes);
    out.hasChildren = e.firstChild != kNoExfatEntry;
    return true;
}

void Fat64Class::outputTimes(EntryId id, OptTime& accessed, OptTime& modified) const {
    accessed.reset();
    modified.reset();
    if (id == kRootId || id >= entries_.size()) return;
    if (noTimesFor_.load() == id) return;
    const ExFatEntry& e = entries_[static_cast<size_t>(id)];
    accessed = exfatInstant(e.lastAccessedTimestamp, 0, e.lastAccessedUtcOffset, false);
    modified = exfatInstant(e.lastModifiedTimestamp, e.lastModified10msIncrement, e.lastModifiedUtcOffset, false);
}

ListTexts Fat64Class::listTexts(EntryId id) const {
    if (id == kRootId || id >= entries_.size()) return {};
    return formatListItem(entries_[static_cast<size_t>(id)]);
}

ListTexts Fat64Class::formatListItem(const ExFatEntry& e) {
    auto text = [](uint32_t ts) {
        DateFields d;
        d.year = static_cast<int>(ts >> 25) + 1980;
        d.month = (ts >> 21) & 0x0F;
        d.day = (ts >> 16) & 0x1F;
        d.hour = (ts >> 11) & 0x1F;
        d.minute = (ts >> 5) & 0x3F;
        return formatDateText(d);
    };
    ListTexts t;
    t.created = text(e.createTimestamp);
    t.accessed = text(e.lastAccessedTimestamp);
    t.modified = text(e.lastModifiedTimestamp);
    t.attributes = dosAttributeText(e.fileAttributes);
    t.size = formatSize(e);
    return t;
}

std::string Fat64Class::formatSize(const ExFatEntry& e) { return formatSizeText(e.validDataLength); }

}  // namespace brantlow
