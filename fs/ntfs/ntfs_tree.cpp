// The folder tree: entries linked under their parents (live and deleted
// alike), the unplaceable gathered under ORPHAN_ENTRY, and a reachability
// pass that makes parent loops impossible.
#include <algorithm>
#include <cstring>

#include "base/texts.h"
#include "fs/ntfs/ntfs.h"
#include "fs/ntfs/ntfs_internal.h"

namespace brantlow {

namespace {

// A parent reference's sequence number against the parent record's own: a
// live parent must match; a deleted one may be one further (deletion
// increments it). Anything else means the record was reused.
bool sequenceMatches(const NtfsEntry& parent, uint16_t refSeq) {
    if (refSeq == 0 || parent.sequence == refSeq) return true;
    if (parent.recordFlags & 0x0001) return false;
    uint16_t next = static_cast<uint16_t>(refSeq + 1);
    if (next == 0) next = 1;
    return parent.sequence == next;
}

}  // namespace

void ntfs::attachToParent(int64_t a) {
    if (!validIndex(a)) return;
    const int64_t p = entries_[a].parentIndex;
    if (p < 0 || p >= static_cast<int64_t>(entries_.size()) || p == a) return;
    if (lastChild_.size() < entries_.size()) lastChild_.resize(entries_.size(), 0);
    entries_[a].nextSibling = 0;
    if (entries_[p].firstChild <= 0)
        entries_[p].firstChild = static_cast<int32_t>(a);
    else
        entries_[lastChild_[p]].nextSibling = static_cast<int32_t>(a);
    lastChild_[p] = static_cast<int32_t>(a);
}

void ntfs::parseAllRecords() {
    const int64_t n = static_cast<int64_t>(entries_.size());
    lastChild_.assign(static_cast<size_t>(n) + 1, 0);

    for (int64_t i = 0; i < n && scanMode_ != ScanMode::Deep; ++i) {
        NtfsEntry& e = entries_[i];
        // A size or a name claimed by an extension record counts only for a
        // file that has an attribute list.
        if ((e.bits & NtfsEntry::kSizeFromExtension) && !(e.bits & NtfsEntry::kHasAttrList)) {
            e.dataSize = 0;
            e.bits &= static_cast<uint8_t>(~NtfsEntry::kSizeFromExtension);
        }
        if ((e.bits & NtfsEntry::kNameFromExtension) && !(e.bits & NtfsEntry::kHasAttrList))
            e.bits &= static_cast<uint8_t>(~(NtfsEntry::kHasName | NtfsEntry::kNameFromExtension));
    }

    // The root directory: the first entry named ".".
    rootIndex_ = n;
    for (int64_t i = 0; i < n; ++i) {
        const NtfsEntry& e = entries_[i];
        if (e.hasName() && e.nameLength == 1 && namePool_[e.nameOffset] == '.') {
            rootIndex_ = i;
            break;
        }
    }

    if (scanMode_ != ScanMode::Deep) {
        for (int64_t i = 1; i < n; ++i) {
            NtfsEntry& e = entries_[i];
            if (!e.hasName() || i == rootIndex_) continue;
            const int64_t p = e.parentIndex;
            bool ok = p >= 0 && p < n && p != i;
            if (ok) {
                const NtfsEntry& pe = entries_[p];
                ok = pe.hasName() && pe.kind == 'D' && sequenceMatches(pe, e.parentSequence) &&
                     !(pe.bits & NtfsEntry::kExtension);
                // Record 0 never holds children.
                if (p == 0) ok = false;
                // A record of an earlier file system under a folder of the
                // current one: only the root is the same in both.
                if ((e.recordFlags & kRecordPrevious) && !(pe.recordFlags & kRecordPrevious) && p != rootIndex_)
                    ok = false;
            }
            if (ok)
                attachToParent(i);
            else
                e.unlinked = 1;
        }
    } else {
        deepPlacement();
    }

    // ORPHAN_ENTRY, the last child of the root.
    NtfsEntry orphan;
    orphan.kind = 'D';
    orphan.recordFlags = 0x0001;
    orphan.nameOffset = addName(ORPHAN_ENTRY);
    orphan.nameLength = static_cast<uint32_t>(std::strlen(ORPHAN_ENTRY));
    orphan.bits = NtfsEntry::kHasName;
    entries_.push_back(orphan);
    lastChild_.push_back(0);
    orphanIndex_ = n;
    if (rootIndex_ < n) {
        entries_[orphanIndex_].parentIndex = static_cast<int32_t>(rootIndex_);
        attachToParent(orphanIndex_);
    }

    linkOrphans();
    lastChild_.clear();
    lastChild_.shrink_to_fit();
    reachabilityPass();
    streams_.shrink_to_fit();
    if (ctx_) ctx_->position(n);
}

void ntfs::linkOrphans() {
    NtfsEntry& orphan = entries_[orphanIndex_];
    bool first = true;
    for (int64_t i = 0; i < orphanIndex_; ++i) {
        NtfsEntry& e = entries_[i];
        if (!e.unlinked) continue;
        if (first) {
            orphan.firstChild = static_cast<int32_t>(i);
            e.parentIndex = static_cast<int32_t>(orphanIndex_);
            e.nextSibling = -1;
            first = false;
        } else {
            e.nextSibling = orphan.firstChild;
            orphan.firstChild = static_cast<int32_t>(i);
        }
    }
}

// Deep mode: the MFTs among the records found, each from a "$MFT" record
// (number 0) whose runs hold the record itself. Returns per entry the MFT
// holding it (1, 2, ...; 0 for none: an older MFT whose $MFT record was
// overwritten, a mirror, a stray record).
std::vector<uint8_t> ntfs::deepMftMembership() {
    const size_t n = entries_.size();
    std::vector<uint8_t> member(n, 0);
    deepMftRuns_.clear();
    deepExtents_.clear();
    for (size_t i = 0; i < n && i < recordNumbers_.size() && deepMftRuns_.size() < 255; ++i) {
        const NtfsEntry& e = entries_[i];
        if (recordNumbers_[i] != 0 || nameOf(static_cast<int64_t>(i)) != "$MFT" || (e.bits & NtfsEntry::kExtension))
            continue;
        std::vector<uint8_t> rec;
        if (!readRecordAt(e.recordOffset, rec)) continue;
        DataPlan plan;
        // Its extension records lie in its first extent.
        RecordLookup lookup = [&](uint64_t recno, std::vector<uint8_t>& out) {
            uint64_t byte = 0, off = 0;
            return !mulOverflows(recno, recordSize_, &byte) &&
                   volumeOffsetInRuns(plan.firstExtentRuns, clusterSize_, byte, &off) && readRecordAt(off, out);
        };
        if (!planFromRecord(rec, 0, nullptr, lookup, plan) || plan.resident || plan.runs.empty()) continue;
        std::vector<DeepExtent> own;
        bool holdsItself = false;
        uint64_t left = std::min(plan.realSize, volumeSize_);
        const uint8_t id = static_cast<uint8_t>(deepMftRuns_.size() + 1);
        for (const NtfsRun& r : plan.runs) {
            if (left == 0) break;
            uint64_t start = 0, len = 0;
            if (r.sparse || r.lcn < 0 || mulOverflows(static_cast<uint64_t>(r.lcn), clusterSize_, &start) ||
                mulOverflows(r.length, clusterSize_, &len) || start >= volumeSize_)
                break;
            len = std::min({len, left, volumeSize_ - start});
            left -= len;
            own.push_back({start, start + len, id});
            holdsItself |= e.recordOffset >= start && e.recordOffset < start + len;
        }
        if (!holdsItself) continue;
        deepMftRuns_.push_back(plan.runs);
        deepExtents_.insert(deepExtents_.end(), own.begin(), own.end());
    }
    std::sort(deepExtents_.begin(), deepExtents_.end(),
              [](const DeepExtent& a, const DeepExtent& b) { return a.start < b.start; });
    for (size_t i = 0; i < n && !deepExtents_.empty(); ++i) {
        const uint64_t at = entries_[i].recordOffset;
        auto it = std::upper_bound(deepExtents_.begin(), deepExtents_.end(), at,
                                   [](uint64_t v, const DeepExtent& x) { return v < x.start; });
        if (it == deepExtents_.begin()) continue;
        --it;
        if (at < it->end) member[i] = it->mft;
    }
    return member;
}

const std::vector<NtfsRun>* ntfs::deepMftRunsAt(uint64_t offset) const {
    auto it = std::upper_bound(deepExtents_.begin(), deepExtents_.end(), offset,
                               [](uint64_t v, const DeepExtent& x) { return v < x.start; });
    if (it == deepExtents_.begin()) return nullptr;
    --it;
    if (offset >= it->end || it->mft == 0 || it->mft > deepMftRuns_.size()) return nullptr;
    return &deepMftRuns_[it->mft - 1];
}

// Deep mode: the table follows disk order, not record numbers. A record's
// header gives its own number (NTFS 3.1) and its first $FILE_NAME the number
// and sequence of its folder: it goes under the folder found with that
// number whose sequence matches and which lies in the same MFT (the folder
// record an older file system left and a newer one's record of the same
// number are told apart so), of several the one as far from its number's
// place as the record is from its own; the root's children go under ROOT.
// What finds none goes under ORPHAN_ENTRY, its own children with it; the
// reachability pass breaks any loop.
void ntfs::deepPlacement() {
    const int64_t n = static_cast<int64_t>(entries_.size());
    recordNumbers_.resize(static_cast<size_t>(n), kNoRecordNumber);
    auto number = [&](int64_t i) { return recordNumbers_[static_cast<size_t>(i)]; };
    const std::vector<uint8_t> mftOf = deepMftMembership();
    // The MFT the boot sector names is the file system on the volume now:
    // a record outside it belongs to no current file, whatever its flags.
    uint64_t bootMft = 0;
    if (bootIntact_ && !mulOverflows(geometry_.mftCluster, geometry_.clusterSize, &bootMft)) {
        uint8_t current = 0;
        for (int64_t i = 0; i < n && !current; ++i)
            if (entries_[i].recordOffset == bootMft) current = mftOf[i];
        for (int64_t i = 0; i < n && current; ++i) {
            uint16_t& f = entries_[i].recordFlags;
            if (mftOf[i] == current) continue;
            if (f & 0x0001) f |= kRecordWasInUse;
            f = static_cast<uint16_t>((f & ~0x0001u) | kRecordPrevious);
            ++previousRecords_;
        }
    }
    // Where the record's MFT would start: entries of one MFT agree on it.
    auto mftStart = [&](int64_t i) {
        return static_cast<int64_t>(entries_[i].recordOffset) - static_cast<int64_t>(number(i)) * recordSize_;
    };
    auto isRoot = [&](int64_t i) {
        const NtfsEntry& e = entries_[i];
        return i == rootIndex_ || (number(i) == 5 && e.nameLength == 1 && namePool_[e.nameOffset] == '.');
    };
    std::vector<std::pair<uint32_t, int64_t>> folders;  // (record number, entry)
    for (int64_t i = 0; i < n; ++i) {
        const NtfsEntry& e = entries_[i];
        if (number(i) != kNoRecordNumber && e.hasName() && e.kind == 'D' && !(e.bits & NtfsEntry::kExtension))
            folders.emplace_back(number(i), i);
    }
    std::sort(folders.begin(), folders.end());
    for (NtfsEntry& e : entries_) {
        e.firstChild = e.nextSibling = 0;
        e.unlinked = 0;
    }
    for (int64_t i = 0; i < n; ++i) {
        NtfsEntry& e = entries_[i];
        if (!e.hasName() || i == rootIndex_) continue;
        // Further copies of the root (an older volume's) stand for ROOT.
        if (isRoot(i)) {
            e.bits &= static_cast<uint8_t>(~NtfsEntry::kHasName);
            continue;
        }
        const int64_t ref = e.parentIndex;
        int64_t best = -1;
        if (ref == 5) {
            if (rootIndex_ < n && sequenceMatches(entries_[rootIndex_], e.parentSequence)) best = rootIndex_;
        } else if (ref > 0 && ref < kNoRecordNumber) {
            auto it = std::lower_bound(folders.begin(), folders.end(), std::make_pair(static_cast<uint32_t>(ref), int64_t{0}));
            for (; it != folders.end() && it->first == ref; ++it) {
                const int64_t c = it->second;
                if (c == i || mftOf[c] != mftOf[i] || !sequenceMatches(entries_[c], e.parentSequence)) continue;
                if (best < 0 || (number(i) != kNoRecordNumber && mftStart(c) == mftStart(i) &&
                                 mftStart(best) != mftStart(i)))
                    best = c;
            }
        }
        if (best >= 0 && isRoot(best)) best = rootIndex_;
        if (best < 0 || best >= n) {
            e.unlinked = 1;
            continue;
        }
        e.parentIndex = best;
        attachToParent(i);
    }
}

void ntfs::reachabilityPass() {
    const int64_t n = static_cast<int64_t>(entries_.size());
    std::vector<uint8_t> seen(static_cast<size_t>(n), 0);
    std::vector<int32_t> stack;
    auto mark = [&](int64_t start, bool underOrphan) {
        stack.push_back(static_cast<int32_t>(start));
        seen[start] = 1;
        while (!stack.empty()) {
            int64_t cur = stack.back();
            stack.pop_back();
            int64_t c = entries_[cur].firstChild;
            for (int64_t steps = 0; c > 0 && c < n && steps < n; ++steps) {
                if (seen[c]) break;  // a chain that runs into visited entries ends here
                seen[c] = 1;
                if (underOrphan) entries_[c].bits |= NtfsEntry::kUnderOrphan;
                stack.push_back(static_cast<int32_t>(c));
                c = entries_[c].nextSibling;
            }
        }
    };
    mark(orphanIndex_, true);
    if (rootIndex_ >= 0 && rootIndex_ < orphanIndex_) mark(rootIndex_, false);

    NtfsEntry& orphan = entries_[orphanIndex_];
    for (int64_t i = 1; i < orphanIndex_; ++i) {
        NtfsEntry& e = entries_[i];
        if (seen[i] || !e.hasName() || i == rootIndex_) continue;
        // Cut it out of the chain it hangs in (if any), then put it under
        // ORPHAN_ENTRY.
        const int64_t p = e.parentIndex;
        if (p >= 0 && p < n && !e.unlinked) {
            int64_t prev = -1, c = entries_[p].firstChild;
            for (int64_t steps = 0; c > 0 && c < n && steps < n; ++steps) {
                if (c == i) {
                    if (prev < 0)
                        entries_[p].firstChild = e.nextSibling;
                    else
                        entries_[prev].nextSibling = e.nextSibling;
                    break;
                }
                prev = c;
                c = entries_[c].nextSibling;
            }
        }
        e.unlinked = 1;
        e.nextSibling = orphan.firstChild > 0 ? orphan.firstChild : -1;
        orphan.firstChild = static_cast<int32_t>(i);
        e.bits |= NtfsEntry::kUnderOrphan;
        mark(i, true);
    }
}

std::vector<EntryId> ntfs::children(EntryId folder) const {
    std::vector<EntryId> out;
    const int64_t n = static_cast<int64_t>(entries_.size());
    if (orphanIndex_ < 0 || orphanIndex_ >= n) return out;
    int64_t start;
    if (folder == kRootId) {
        if (rootIndex_ < 0 || rootIndex_ >= orphanIndex_) {
            out.push_back(static_cast<EntryId>(orphanIndex_));
            return out;
        }
        start = rootIndex_;
    } else {
        if (folder >= static_cast<EntryId>(n)) return out;
        start = static_cast<int64_t>(folder);
    }
    int64_t c = entries_[start].firstChild;
    for (int64_t steps = 0; c > 0 && c < n && steps < n; ++steps) {
        if (c == start) break;
        // ORPHAN_ENTRY shows only when something is under it.
        const bool emptyOrphans = c == orphanIndex_ && entries_[c].firstChild <= 0;
        if (entries_[c].hasName() && !emptyOrphans) out.push_back(static_cast<EntryId>(c));
        c = entries_[c].nextSibling;
    }
    return out;
}

}  // namespace brantlow
