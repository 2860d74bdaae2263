#include "fs/fat/fat_parser.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "base/bytes.h"
#include "base/texts.h"

namespace brantlow {

namespace {

constexpr uint64_t kMaxDirectoryBytes = 2 * 1024 * 1024;  // 65,536 slots
// A bound on the table for volumes made of directory-looking garbage.
constexpr size_t kMaxEntries = 32u * 1024 * 1024;

const char* kindText(FatKind k) { return k == FatKind::Fat32 ? "Fat32" : k == FatKind::Fat12 ? "Fat12" : "Fat16"; }
const char* upperName(FatKind k) { return k == FatKind::Fat12 ? "FAT12" : k == FatKind::Fat32 ? "FAT32" : "FAT16"; }

}  // namespace

std::string FatParser::rejectMessage() const {
    return std::string("Selected Drive is not in ") + kindText(kind_) + " Format";
}

uint32_t FatParser::firstCluster(const FatEntry& e) const {
    // FAT12/16 keep other data (an extended-attribute handle) in the high half.
    if (kind_ != FatKind::Fat32) return e.firstClusterLow;
    return ((static_cast<uint32_t>(e.firstClusterHigh) << 16) | e.firstClusterLow) & 0x0FFFFFFF;
}

uint32_t FatParser::nextCluster(uint32_t c) {
    if (driveFormatted_) return 0;
    return fat_.next(c);
}

bool FatParser::polledStop() {
    if (ctx_) ctx_->wait();
    return stopRequested.load(std::memory_order_relaxed);
}

bool FatParser::checkBootSector() {
    uint8_t bs[512] = {};
    volume_.read(0, bs, sizeof bs);
    Decoded<FatLayout> d = decodeFatLayout(bs, sizeof bs);
    std::string refused = d ? std::string() : d.reason();
    if (d && d->kind != kind_)
        refused = std::string(upperName(d->kind)) + ", not " + upperName(kind_);
    else if (d && kind_ != FatKind::Fat32 && (le16(bs, sizeof bs, 22) == 0 || le16(bs, sizeof bs, 17) == 0))
        refused = "no sectors per FAT at byte 22 or no root entries";
    else if (d && kind_ == FatKind::Fat32 && le16(bs, sizeof bs, 22) != 0)
        refused = "sectors per FAT at byte 22, as FAT16 keeps them";
    if (!refused.empty()) {
        damage_.add("FAT boot sector", 0, refused);
        return false;
    }
    for (const std::string& r : d.replaced()) damage_.add("FAT boot sector", 0, r, true);
    layout_ = *d;
    bootLayout_ = layout_;
    fat_.init(&volume_, layout_);
    return true;
}

void FatParser::noteSlots(const std::vector<SlotNote>& notes, const std::vector<uint32_t>& clusters,
                          uint64_t regionOffset) {
    const size_t cs = layout_.clusterSize;
    for (const SlotNote& n : notes) {
        uint64_t at = regionOffset + n.offset;
        if (!clusters.empty() && cs) {
            const size_t k = n.offset / cs;
            at = k < clusters.size() ? layout_.clusterOffset(clusters[k]) + n.offset % cs : 0;
        }
        damage_.add(n.structure, at, n.what);
    }
}

void FatParser::readRootDirectory() {
    rootBuffer_.clear();
    rootClusters_.clear();
    if (kind_ != FatKind::Fat32) {
        uint64_t n = std::min<uint64_t>(layout_.rootBytes, kMaxDirectoryBytes);
        rootBuffer_.resize(static_cast<size_t>(n));
        if (n) volume_.read(layout_.rootOffset, rootBuffer_.data(), rootBuffer_.size());
        return;
    }
    // FAT32: the root cluster named by the boot sector and its chain;
    // cluster 2 when that field is not a valid cluster.
    uint32_t c = layout_.rootCluster ? layout_.rootCluster : 2;
    if (!layout_.clusterValid(c)) return;
    std::vector<uint8_t> buf;
    const size_t cs = layout_.clusterSize;
    std::unordered_set<uint32_t> seen;
    while (c && buf.size() + cs <= kMaxDirectoryBytes && seen.insert(c).second) {
        if (polledStop()) break;
        size_t at = buf.size();
        buf.resize(at + cs);
        volume_.read(layout_.clusterOffset(c), buf.data() + at, cs);
        visitedLive_.insert(c);
        rootClusters_.push_back(c);
        c = nextCluster(c);
    }
    rootBuffer_ = std::move(buf);
}

void FatParser::addSlots(const std::vector<ParsedSlot>& slots, uint32_t parent, bool deletedTree) {
    std::unordered_map<uint32_t, uint32_t> byCluster;
    for (const ParsedSlot& p : slots) {
        if (entries_.size() >= kMaxEntries) return;
        if (p.dot) continue;
        FatEntry e = p.entry;
        e.parentIndex = parent;
        e.inDeletedTree = deletedTree || e.deleted;
        e.orphan = parent < entries_.size() && (parent == orphanIndex_ || entries_[parent].orphan);
        const uint32_t c = firstCluster(e);
        const bool dir = isFatDirectory(e.attribute);
        if (dir && layout_.clusterValid(c)) {
            auto it = byCluster.find(c);
            if (it != byCluster.end()) {
                // Two folder slots for one cluster: one entry. A live slot
                // names it; a deleted one never overrides a live one.
                FatEntry& old = entries_[it->second];
                if (!e.deleted) {
                    const bool wasDeleted = old.inDeletedTree;
                    old.name = e.name;
                    old.firstLetterLost = false;
                    old.deleted = 0;
                    old.inDeletedTree = deletedTree;
                    // Walked as the live folder it now is (live walks run
                    // first, so the queued deleted walk finds it taken).
                    if (wasDeleted && !deletedTree) liveJobs_.push_back({it->second, c, false});
                } else if (old.deleted) {
                    old.name = e.name;
                    old.firstLetterLost = e.firstLetterLost;
                }
                continue;
            }
            byCluster.emplace(c, static_cast<uint32_t>(entries_.size()));
        }
        e.ownIndex = static_cast<uint32_t>(entries_.size());
        if (dir && layout_.clusterValid(c)) (e.inDeletedTree ? deletedJobs_ : liveJobs_).push_back({e.ownIndex, c, e.inDeletedTree});
        entries_.push_back(std::move(e));
    }
}

bool FatParser::readDirectory(uint32_t cluster, bool deletedTree, std::vector<uint8_t>& buf,
                              std::vector<uint32_t>& clusters) {
    buf.clear();
    clusters.clear();
    if (!layout_.clusterValid(cluster)) return false;
    auto& visited = deletedTree ? visitedDeleted_ : visitedLive_;
    if (deletedTree && visitedLive_.count(cluster)) return false;
    if (!visited.insert(cluster).second) return false;
    const size_t cs = layout_.clusterSize;
    buf.resize(cs);
    volume_.read(layout_.clusterOffset(cluster), buf.data(), cs);
    // A folder's first cluster opens with its "." slot; anything else is
    // not (or no longer) this folder.
    if (buf[0] != '.') {
        buf.clear();
        return false;
    }
    ++foldersOpened_;
    clusters.push_back(cluster);
    // The rest of the chain, gathered into runs of consecutive clusters.
    uint32_t runStart = 0, runLen = 0;
    auto flush = [&]() {
        if (!runLen) return;
        size_t at = buf.size();
        buf.resize(at + static_cast<size_t>(runLen) * cs);
        volume_.read(layout_.clusterOffset(runStart), buf.data() + at, static_cast<size_t>(runLen) * cs);
        runLen = 0;
    };
    uint64_t total = cs;
    const uint32_t first = nextCluster(cluster);
    if (!first && (deletedTree || driveFormatted_) && (driveFormatted_ || fat_.entry(cluster) == 0)) {
        // The chain was freed (or the FAT is gone): a folder's later
        // clusters most likely follow its first one. Taken while they look
        // like folder clusters that no other walk has opened.
        std::vector<uint8_t> next(cs);
        for (uint32_t c = cluster + 1; layout_.clusterValid(c) && total + cs <= kMaxDirectoryBytes; ++c) {
            if (visitedLive_.count(c) || visitedDeleted_.count(c)) break;
            if (volume_.read(layout_.clusterOffset(c), next.data(), cs) != cs) break;
            uint32_t self = 0, parent = 0;
            if (fatDirectoryStart(next.data(), cs, kind_ == FatKind::Fat32, &self, &parent)) break;
            if (!fatLooksLikeDirectory(next.data(), cs, layout_.lastCluster, volume_.sizeBytes())) break;
            visited.insert(c);
            buf.insert(buf.end(), next.begin(), next.end());
            clusters.push_back(c);
            total += cs;
        }
        return true;
    }
    for (uint32_t c = first; c && total + cs <= kMaxDirectoryBytes; c = nextCluster(c)) {
        if (deletedTree && visitedLive_.count(c)) break;
        if (!visited.insert(c).second) break;
        clusters.push_back(c);
        if (runLen && c == runStart + runLen)
            ++runLen;
        else {
            flush();
            runStart = c;
            runLen = 1;
        }
        total += cs;
    }
    flush();
    return true;
}

void FatParser::walkRootDirectory() {
    entries_.clear();
    // Entry 0 stands for the root; it carries the first root slot's fields.
    FatEntry dummy;
    if (rootBuffer_.size() >= 32) {
        std::vector<ParsedSlot> first;
        SlotParseOptions one;
        parseDirectorySlots(rootBuffer_.data(), 32, one, first);
        if (!first.empty()) dummy = first[0].entry;
    }
    dummy.name = kFatDummyName;
    dummy.parentIndex = 0;
    dummy.ownIndex = 0;
    dummy.deleted = 0;
    dummy.inDeletedTree = false;
    dummy.firstChild = dummy.nextSibling = kNoEntry;
    entries_.push_back(std::move(dummy));

    const SlotParseOptions opt = slotOptions();
    std::vector<ParsedSlot> slots;
    std::vector<SlotNote> notes;
    parseDirectorySlots(rootBuffer_.data(), rootBuffer_.size(), opt, slots, &notes);
    noteSlots(notes, rootClusters_, layout_.rootOffset);
    addSlots(slots, 0, false);
    rootBuffer_.clear();
    rootClusters_.clear();
    rootBuffer_.shrink_to_fit();
    runJobs(opt);
}

SlotParseOptions FatParser::slotOptions() const {
    SlotParseOptions opt;
    opt.zeroEndsCluster = kind_ == FatKind::Fat32;
    opt.clusterSize = layout_.clusterSize;
    opt.volumeBytes = volume_.sizeBytes();
    return opt;
}

void FatParser::runJobs(const SlotParseOptions& opt) {
    // Live folders first, then deleted ones: a deleted folder whose cluster
    // now belongs to a live folder does not show the live files.
    std::vector<uint8_t> buf;
    std::vector<uint32_t> clusters;
    std::vector<ParsedSlot> slots;
    std::vector<SlotNote> notes;
    while (!liveJobs_.empty() || !deletedJobs_.empty()) {
        if (polledStop()) break;
        auto& jobs = liveJobs_.empty() ? deletedJobs_ : liveJobs_;
        DirJob job = jobs.back();
        jobs.pop_back();
        if (!readDirectory(job.cluster, job.deletedTree, buf, clusters)) continue;
        slots.clear();
        notes.clear();
        parseDirectorySlots(buf.data(), buf.size(), opt, slots, &notes);
        noteSlots(notes, clusters, 0);
        addSlots(slots, job.index, job.deletedTree);
    }
}

void FatParser::linkParentChild() {
    const size_t n = entries_.size();
    // FAT12/16 show the linking on the progress bar; FAT32 does not.
    ProgressSink* bar = kind_ != FatKind::Fat32 && ctx_ ? ctx_->progress : nullptr;
    if (bar) bar->range(1000);
    std::vector<uint32_t> tail(n, kNoEntry);
    for (auto& e : entries_) e.firstChild = e.nextSibling = kNoEntry;
    for (size_t h = 0; h < n; ++h) {
        if (bar && (h & 4095) == 0) bar->position(static_cast<int64_t>(1000 * h / n));
        const uint32_t p = entries_[h].parentIndex;
        if (p >= n || p == h) continue;
        if (entries_[p].firstChild == kNoEntry)
            entries_[p].firstChild = static_cast<uint32_t>(h);
        else
            entries_[tail[p]].nextSibling = static_cast<uint32_t>(h);
        tail[p] = static_cast<uint32_t>(h);
    }
    if (bar) bar->position(1000);
}

void FatParser::fillRootEntries() {
    // The tree itself is built by the result tree from children(); here the
    // status line follows the root level as the page fills it.
    if (!ctx_) return;
    const size_t n = entries_.size();
    for (size_t i = 0; i < n; i += 4096) ctx_->status("filling entry =" + std::to_string(i) + " in tree ");
    if (n) ctx_->status("filling entry =" + std::to_string(n - 1) + " in tree ");
}

ScanOutcome FatParser::scan(ScanContext& ctx) {
    driveFormatted_ = ctx.options.driveFormatted;
    formattedOption_ = ctx.options.driveFormatted;
    bootLayout_ = FatLayout{};
    ctx_ = &ctx;
    volume_ = ctx.volume;
    standardMode_ = ctx.mode == ScanMode::Standard;
    allocation_.reset();
    entries_.clear();
    liveJobs_.clear();
    deletedJobs_.clear();
    visitedLive_.clear();
    visitedDeleted_.clear();
    orphanIndex_ = kNoEntry;
    damage_.clear();
    foundStarts_.clear();
    foundLoose_.clear();
    voteDots_ = false;
    dots_.clear();
    foldersOpened_ = 0;
    advanced_ = ctx.mode == ScanMode::Advanced;
    if (advanced_) {
        stopRequested.store(false, std::memory_order_relaxed);
        if (!advancedLayout(ctx)) {
            ctx_ = nullptr;
            return ScanOutcome::Rejected;
        }
    } else if (!checkBootSector()) {
        ctx_ = nullptr;
        return ScanOutcome::Rejected;
    }
    ctx.status(std::string("Finding ") + kindText(kind_) + " File And Directory entries recursively....");
    readRootDirectory();
    walkRootDirectory();
    // Folders whose own entry is gone (overwritten, or in a lost root
    // cluster): Standard mode looks among the free clusters, Advanced mode
    // among every cluster no walk reached.
    if (!polledStop()) {
        scanForDirectorySlots(!advanced_);
        if (advanced_) takeEarlierGeometry();
        if (advanced_) ctx.status("Maintaining directory Structure in AdvanceScanning");
        buildEntriesFromSlots();
    }
    if (advanced_)
        ctx.status(kind_ == FatKind::Fat32 ? "Maintaining TreeStructure for Tree Control"
                                           : "Maintaining Tree Structure for Tree Control");
    else
        ctx.status("maintaining tree Structure in vector...");
    linkParentChild();
    ctx.status("Creating Tree Structure....");
    fillRootEntries();
    ctx.status("Tree Structure Created.");
    if (kind_ != FatKind::Fat32) {
        ctx.range(100);
        ctx.position(100);
    }
    ctx_ = nullptr;
    return ScanOutcome::Done;
}

std::vector<EntryId> FatParser::children(EntryId folder) const {
    std::vector<EntryId> out;
    const size_t n = entries_.size();
    if (n == 0) return out;
    size_t idx = folder == kRootId ? 0 : static_cast<size_t>(folder);
    if (idx >= n) return out;
    if (idx != 0 && !isFatDirectory(entries_[idx].attribute)) return out;
    uint32_t c = entries_[idx].firstChild;
    // Links only ever point forward, so n steps bound the walk.
    for (size_t steps = 0; c != kNoEntry && c < n && steps < n; ++steps) {
        const FatEntry& e = entries_[c];
        if (c != 0 && !isFatLabel(e.attribute)) out.push_back(c);
        c = e.nextSibling;
    }
    return out;
}

bool FatParser::readEntry(EntryId id, EntryInfo& out) const {
    if (id == kRootId || id == 0 || id >= entries_.size()) return false;
    const FatEntry& e = entries_[static_cast<size_t>(id)];
    out = EntryInfo{};
    out.name = e.name;
    out.kind = isFatDirectory(e.attribute) ? EntryKind::Folder : isFatLabel(e.attribute) ? EntryKind::Other : EntryKind::File;
    out.state = e.inDeletedTree ? EntryState::Deleted : EntryState::Live;
    out.size = out.kind == EntryKind::File ? e.fileSize : 0;
    // The stored wall-clock values, reported as if UTC (FAT has no zone).
    out.created = fromDosAsUtc(e.createDate, e.createTime);
    out.modified = fromDosAsUtc(e.writeDate, e.writeTime);
    out.accessed = fromDosAsUtc(e.accessDate, 0);
    out.attributes = dosAttributeText(e.attribute);
    out.hasChildren = e.firstChild != kNoEntry;
    out.orphan = e.orphan;
    out.firstLetterLost = e.firstLetterLost;
    return true;
}

void FatParser::outputTimes(EntryId id, OptTime& accessed, OptTime& modified) const {
    accessed.reset();
    modified.reset();
    if (id == kRootId || id >= entries_.size()) return;
    // A contiguous read that hit the end of the volume leaves the times.
    if (noTimesFor_.load() == id) return;
    const FatEntry& e = entries_[static_cast<size_t>(id)];
    accessed = fromDosLocal(e.accessDate, 0);
    modified = fromDosLocal(e.writeDate, e.writeTime);
}

ListTexts FatParser::listTexts(EntryId id) const {
    if (id == kRootId || id >= entries_.size()) return {};
    return formatListItem(entries_[static_cast<size_t>(id)]);
}

ListTexts FatParser::formatListItem(const FatEntry& e) {
    auto dateTime = [](uint16_t date, uint16_t time) {
        DateFields d;
        d.year = (date >> 9) + 1980;
        d.month = (date >> 5) & 0x0F;
        d.day = date & 0x1F;
        d.hour = time >> 11;
        d.minute = (time >> 5) & 0x3F;
        return formatDateText(d);
    };
    ListTexts t;
    t.created = dateTime(e.createDate, e.createTime);
    t.modified = dateTime(e.writeDate, e.writeTime);
    char b[32];
    std::snprintf(b, sizeof b, "%02d/%02d/%d ", (e.accessDate >> 5) & 0x0F, e.accessDate & 0x1F,
                  (e.accessDate >> 9) + 1980);
    t.accessed = b;
    t.attributes = dosAttributeText(e.attribute);
    t.size = formatSize(e);
    return t;
}

std::string FatParser::formatSize(const FatEntry& e) { return formatSizeText(e.fileSize); }

}  // namespace brantlow
