// The folder tree: entries linked under their parents (live and deleted
// alike), the unplaceable gathered under ORPHAN_ENTRY, and a reachability
// pass that makes parent loops impossible.
#include <algorithm>
#include <cstring>

#include "base/texts.h"
#include "fs/ntfs/ntfs.h"

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

    if (scanMode_ == ScanMode::Deep)
        deepGrouping();
    else
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

// Deep mode: the table follows disk order, so parent numbers mean nothing.
// Every directory goes under ORPHAN_ENTRY (newest first) and every file under
// the directory found most recently before it.
void ntfs::deepGrouping() {
    NtfsEntry& orphan = entries_[orphanIndex_];
    int64_t last = orphanIndex_;
    uint64_t dirs = 0;
    bool firstDir = true;
    for (int64_t i = 0; i < orphanIndex_; ++i) {
        NtfsEntry& e = entries_[i];
        if (i == rootIndex_) continue;
        e.firstChild = 0;
        e.parentIndex = 0;
        e.nextSibling = 0;
        if (!e.hasName()) continue;
        e.unlinked = 1;
        if (e.kind == 'D' && (firstDir || dirs < 100000)) {
            if (firstDir)
                firstDir = false;
            else
                ++dirs;
            e.parentIndex = static_cast<int32_t>(orphanIndex_);
            e.nextSibling = orphan.firstChild > 0 ? orphan.firstChild : -1;
            orphan.firstChild = static_cast<int32_t>(i);
            last = i;
        } else {
            NtfsEntry& l = entries_[last];
            e.nextSibling = l.firstChild > 0 ? l.firstChild : -1;
            e.parentIndex = static_cast<int32_t>(last);
            l.firstChild = static_cast<int32_t>(i);
        }
    }
    // In deep mode the root shows only ORPHAN_ENTRY.
    if (rootIndex_ < orphanIndex_) {
        entries_[rootIndex_].firstChild = static_cast<int32_t>(orphanIndex_);
        orphan.nextSibling = 0;
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
