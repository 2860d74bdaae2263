// Content extraction (resident, non-resident, sparse, LZNT1, attribute
// lists, named streams) and the list texts.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/bytes.h"
#include "base/texts.h"
#include "fs/ntfs/ntfs.h"
#include "fs/ntfs/ntfs_internal.h"

namespace brantlow {

namespace {

constexpr size_t kReadPiece = 4u << 20;

// The DOS letters (read-only 0x0001, hidden 0x0002, system 0x0004, archive
// 0x0020), then compressed (0x0800) and encrypted (0x4000).
std::string attributeText(uint16_t f) {
    std::string t = dosAttributeText(f);
    if (f & 0x0800) t += "-C";
    if (f & 0x4000) t += "-E";
    return t;
}

std::string dateText(uint64_t ft) {
    OptTime t = fromFiletime(ft);
    if (!t) return {};
    auto f = localFields(t->sec);
    return f ? formatDateText(*f) : std::string();
}

}  // namespace

bool ntfs::readEntry(EntryId id, EntryInfo& out) const {
    if (id >= kNtfsStreamBase) {
        const uint64_t k = id - kNtfsStreamBase;
        if (k >= streams_.size()) return false;
        const NtfsStream& s = streams_[k];
        if (!entryInfo(s.entry, out)) return false;
        out.name += ":" + namePool_.substr(s.nameOffset, s.nameLength);
        out.size = s.size;
        out.kind = EntryKind::File;
        out.hasChildren = false;
        out.skipOnSave = false;
        return true;
    }
    if (id >= entries_.size()) return false;
    const NtfsEntry& e = entries_[id];
    if (!e.hasName()) return false;
    out = EntryInfo{};
    out.name = namePool_.substr(e.nameOffset, e.nameLength);
    out.kind = e.kind == 'D' ? EntryKind::Folder : EntryKind::File;
    out.state = (e.recordFlags & 0x0001) ? EntryState::Live : EntryState::Deleted;
    out.orphan = (e.bits & NtfsEntry::kUnderOrphan) != 0;
    out.size = e.kind == 'D' ? 0 : e.dataSize;
    out.created = fromFiletime(e.created);
    out.modified = fromFiletime(e.modified);
    out.accessed = fromFiletime(e.accessed);
    out.attributes = attributeText(e.fileAttributes);
    out.hasChildren = e.firstChild > 0;
    out.skipOnSave = out.name == "$BadClus";
    return true;
}

std::vector<EntryId> ntfs::streams(EntryId id) const {
    std::vector<EntryId> out;
    if (id >= entries_.size() || !(entries_[id].bits & NtfsEntry::kHasStreams)) return out;
    if (nameOf(static_cast<int64_t>(id)) == "$BadClus") return out;
    auto it = std::lower_bound(streams_.begin(), streams_.end(), static_cast<uint32_t>(id),
                               [](const NtfsStream& s, uint32_t v) { return s.entry < v; });
    for (; it != streams_.end() && it->entry == id; ++it)
        out.push_back(kNtfsStreamBase + static_cast<EntryId>(it - streams_.begin()));
    return out;
}

ListTexts ntfs::listTexts(EntryId id) const {
    if (id >= kNtfsStreamBase) {
        ListTexts t;
        EntryInfo info;
        if (entryInfo(id, info)) t.size = formatSizeText(info.size);
        return t;
    }
    return formatListItem(static_cast<int64_t>(id));
}

ListTexts ntfs::formatListItem(int64_t index) const {
    ListTexts t;
    if (index < 0 || index >= static_cast<int64_t>(entries_.size())) return t;
    const NtfsEntry& e = entries_[index];
    t.created = dateText(e.created);
    t.accessed = dateText(e.accessed);
    t.modified = dateText(e.modified);
    t.attributes = attributeText(e.fileAttributes);
    t.size = formatSize(index);
    return t;
}

std::string ntfs::formatSize(int64_t index) const {
    if (index < 0 || index >= static_cast<int64_t>(entries_.size())) return formatSizeText(0);
    const NtfsEntry& e = entries_[index];
    if (e.kind != 'D' && (e.bits & NtfsEntry::kHasAttrList) && !(e.bits & NtfsEntry::kHasOwnData)) {
        // Data gathered through an attribute list shows its allocated
        // clusters.
        DataPlan plan;
        if (planData(index, nullptr, plan) && !plan.resident) {
            uint64_t clusters = 0;
            for (const NtfsRun& r : plan.runs) clusters += r.length;
            uint64_t bytes = 0;
            if (!mulOverflows(clusters, plan.clusterBytes ? plan.clusterBytes : clusterSize_, &bytes))
                return formatSizeText(bytes);
        }
    }
    return formatSizeText(e.kind == 'D' ? 0 : e.dataSize);
}

size_t ntfs::memoryBytes() const {
    return entries_.capacity() * sizeof(NtfsEntry) + namePool_.capacity() + streams_.capacity() * sizeof(NtfsStream) +
           lastChild_.capacity() * sizeof(int64_t);
}

bool ntfs::planData(int64_t index, const std::string* streamName, DataPlan& plan, bool* validRecord) const {
    if (validRecord) *validRecord = false;
    if (index < 0 || index >= static_cast<int64_t>(entries_.size())) return false;
    std::vector<uint8_t> rec;
    if (!readRecordAt(entries_[index].recordOffset, rec)) return false;
    if (validRecord) *validRecord = true;
    const bool deep = scanMode_ == ScanMode::Deep;
    const int64_t tableEnd = orphanIndex_ >= 0 ? orphanIndex_ : static_cast<int64_t>(entries_.size());
    // In deep mode the table index is not the record number: extension
    // records are found through the runs of the MFT that holds the record,
    // by the record's own number (none without both).
    const std::vector<NtfsRun>* mft = deep ? deepMftRunsAt(entries_[index].recordOffset) : nullptr;
    const uint64_t own = !deep ? static_cast<uint64_t>(index)
                         : static_cast<size_t>(index) < recordNumbers_.size() ? recordNumbers_[static_cast<size_t>(index)]
                                                                              : kNoRecordNumber;
    RecordLookup lookup = [&](uint64_t recno, std::vector<uint8_t>& out) {
        if (recno == 0) return false;
        if (deep) {
            uint64_t byte = 0, off = 0;
            return mft && own != kNoRecordNumber && !mulOverflows(recno, recordSize_, &byte) &&
                   volumeOffsetInRuns(*mft, clusterSize_, byte, &off) && readRecordAt(off, out);
        }
        if (recno >= static_cast<uint64_t>(tableEnd)) return false;
        return readRecordAt(entries_[recno].recordOffset, out);
    };
    const uint64_t cs = clusterSizeFor(index);
    const bool ok = planFromRecord(rec, own, streamName, lookup, plan, &volume_, cs);
    plan.clusterBytes = cs;
    return ok;
}

WriteResult ntfs::writeContent(EntryId id, ContentSink& out) { return writeEntryToDisk(id, out); }

WriteResult ntfs::writeEntryToDisk(EntryId id, ContentSink& out) {
    int64_t index;
    std::string streamName;
    const std::string* stream = nullptr;
    if (id >= kNtfsStreamBase) {
        const uint64_t k = id - kNtfsStreamBase;
        if (k >= streams_.size()) return WriteResult::failed("no such stream");
        index = streams_[k].entry;
        streamName = namePool_.substr(streams_[k].nameOffset, streams_[k].nameLength);
        stream = &streamName;
    } else {
        if (id >= entries_.size()) return WriteResult::failed("no such entry");
        index = static_cast<int64_t>(id);
    }
    const NtfsEntry& e = entries_[index];
    if (!e.hasName()) return WriteResult::failed("no such entry");
    if (e.kind == 'D' && !stream) {
        char text[512];
        std::snprintf(text, sizeof text, "This is  %s directory .Please specify file names ", nameOf(index).c_str());
        status(text);
        return WriteResult::failed("a directory");
    }
    // Deep mode lists an extension record that holds its file's name on its
    // own: the data is its base record's.
    if ((e.bits & NtfsEntry::kExtension) && scanMode_ == ScanMode::Deep)
        return WriteResult::failed("an extension record: its file's data and size are in the base record");
    DataPlan plan;
    bool valid = false;
    if (!planData(index, stream, plan, &valid)) {
        if (!valid) {
            status("not a valid entry...");
            return WriteResult::failed("its MFT record cannot be read");
        }
        // No data attribute: an empty file, as recorded; a size the
        // record gives that no data backs is not.
        const uint64_t size = stream ? streams_[id - kNtfsStreamBase].size : e.dataSize;
        if (size > 0) return WriteResult::failed("no data attribute found for its " + std::to_string(size) + " bytes");
        return WriteResult::complete();
    }
    if (plan.resident) {
        uint64_t n = std::min<uint64_t>(plan.residentBytes.size(), plan.initializedSize);
        if (!out.write(plan.residentBytes.data(), static_cast<size_t>(n))) return WriteResult::failed("write error");
        if (n < plan.residentBytes.size() && !out.writeZeros(plan.residentBytes.size() - n))
            return WriteResult::failed("write error");
        return WriteResult::complete();
    }
    const bool compressed = (plan.flags & 0x00FF) != 0 && plan.unitExponent != 0 && plan.unitExponent <= 8;
    WriteResult r = compressed ? streamCompressed(plan, out) : streamRuns(plan, out);
    if (r.ok() && !plan.complete) return WriteResult::partial("an extent named by its attribute list is missing");
    return r;
}

uint64_t ntfs::backedSize(const DataPlan& plan, std::string& why) const {
    uint64_t clusters = 0;
    for (const NtfsRun& r : plan.runs)
        if (addOverflows(clusters, r.length, &clusters)) clusters = ~0ull;
    uint64_t mapped = 0;
    if (mulOverflows(clusters, plan.clusterBytes ? plan.clusterBytes : clusterSize_, &mapped)) mapped = ~0ull;
    uint64_t size = plan.realSize;
    if (size > mapped) {
        why = "recorded size " + std::to_string(plan.realSize) + " bytes, its runs map " + std::to_string(mapped);
        size = mapped;
    }
    if (size > volumeSize_) {
        why = "recorded size " + std::to_string(plan.realSize) + " bytes exceeds the volume (" +
              std::to_string(volumeSize_) + ")";
        size = volumeSize_;
    }
    return size;
}

// Uncompressed data along the runs, read in pieces of up to 4 MiB, cut at
// what the runs back; holes give zeros, clusters outside the volume give
// zeros and leave the file partial, bytes past the initialized size zeros.
WriteResult ntfs::streamRuns(const DataPlan& plan, ContentSink& out) const {
    const uint64_t cs = plan.clusterBytes ? plan.clusterBytes : clusterSize_;
    std::string cut;
    const uint64_t real = backedSize(plan, cut);
    const uint64_t init = std::min(plan.initializedSize, real);
    uint64_t pos = 0;
    std::string problem;
    std::vector<uint8_t> buf;
    for (const NtfsRun& r : plan.runs) {
        if (pos >= real) break;
        uint64_t runBytes = 0;
        if (mulOverflows(r.length, cs, &runBytes)) runBytes = ~0ull;
        runBytes = std::min(runBytes, real - pos);
        uint64_t volOff = 0;
        bool inVolume = !r.sparse && r.lcn >= 0 && !mulOverflows(static_cast<uint64_t>(r.lcn), cs, &volOff) &&
                        volOff < volumeSize_ && runBytes <= volumeSize_ - volOff;
        if (!r.sparse && !inVolume && pos < init) problem = "clusters outside the volume (written as zeros)";
        uint64_t done = 0;
        while (done < runBytes) {
            if (stopped()) return WriteResult::failed("stopped");
            const uint64_t n = std::min<uint64_t>(kReadPiece, runBytes - done);
            const uint64_t at = pos + done;
            int fd = -1;
            uint64_t fileOff = 0;
            if (!inVolume || at >= init) {
                if (!out.writeZeros(n)) return WriteResult::failed("write error");
            } else if (at + n <= init && out.copies() && volume_.plainExtent(volOff + done, n, fd, fileOff)) {
                // Straight from the image file to the output.
                if (!out.copy(fd, fileOff, n)) return WriteResult::failed("write error");
            } else {
                buf.resize(static_cast<size_t>(n));
                size_t got = volume_.read(volOff + done, buf.data(), static_cast<size_t>(n));
                if (got < n) problem = "unreadable clusters (written as zeros)";
                if (at + n > init) std::memset(buf.data() + (init - at), 0, static_cast<size_t>(at + n - init));
                if (!out.write(buf.data(), static_cast<size_t>(n))) return WriteResult::failed("write error");
            }
            done += n;
        }
        pos += runBytes;
    }
    if (!cut.empty()) return WriteResult::partial(cut);
    if (!problem.empty()) return WriteResult::partial(problem);
    return WriteResult::complete();
}

// LZNT1 data, unit by unit: an all-sparse unit is zeros, a unit whose last
// cluster is allocated is stored as it is, the others are decompressed.
// Every unit stands for exactly its size in the output.
WriteResult ntfs::streamCompressed(const DataPlan& plan, ContentSink& out) const {
    const uint64_t cs = plan.clusterBytes ? plan.clusterBytes : clusterSize_;
    const uint64_t cu = 1ull << plan.unitExponent;  // clusters per unit (<= 256)
    const uint64_t unitBytes = cu * cs;
    std::string cut;
    const uint64_t real = backedSize(plan, cut);
    const uint64_t init = std::min(plan.initializedSize, real);
    std::vector<uint8_t> in(static_cast<size_t>(unitBytes));
    std::vector<uint8_t> dec(static_cast<size_t>(unitBytes));
    std::vector<int64_t> lcns(static_cast<size_t>(cu));  // -1: hole
    size_t runIdx = 0;
    uint64_t inRun = 0;
    uint64_t pos = 0;
    std::string problem;
    while (pos < real) {
        if (stopped()) return WriteResult::failed("stopped");
        // The unit's clusters.
        uint64_t have = 0;
        while (have < cu && runIdx < plan.runs.size()) {
            const NtfsRun& r = plan.runs[runIdx];
            if (inRun >= r.length) {
                ++runIdx;
                inRun = 0;
                continue;
            }
            lcns[have++] = (r.sparse || r.lcn < 0) ? -1 : r.lcn + static_cast<int64_t>(inRun);
            ++inRun;
        }
        if (have == 0) break;
        uint64_t allocated = 0;  // clusters up to the last allocated one
        for (uint64_t k = 0; k < have; ++k)
            if (lcns[k] >= 0) allocated = k + 1;
        std::fill(in.begin(), in.end(), 0);
        for (uint64_t k = 0; k < allocated; ++k) {
            if (lcns[k] < 0) continue;
            uint64_t off = 0;
            if (mulOverflows(static_cast<uint64_t>(lcns[k]), cs, &off) || off >= volumeSize_ ||
                cs > volumeSize_ - off) {
                problem = "clusters outside the volume (written as zeros)";
                continue;
            }
            // Contiguous clusters in one read.
            uint64_t m = 1;
            while (k + m < allocated && lcns[k + m] == lcns[k] + static_cast<int64_t>(m)) ++m;
            uint64_t bytes = std::min<uint64_t>(m * cs, volumeSize_ - off);
            if (volume_.read(off, in.data() + k * cs, static_cast<size_t>(bytes)) < bytes)
                problem = "unreadable clusters (written as zeros)";
            k += m - 1;
        }
        const uint8_t* data;
        if (allocated == 0) {
            std::fill(dec.begin(), dec.end(), 0);
            data = dec.data();
        } else if (allocated == have && have == cu) {
            data = in.data();  // stored uncompressed
        } else if (have < cu) {
            data = in.data();  // a trailing partial unit is never compressed
        } else {
            std::fill(dec.begin(), dec.end(), 0);
            decompressUnit(in.data(), static_cast<size_t>(allocated * cs), dec.data(), dec.size());
            data = dec.data();
        }
        const uint64_t span = have * cs;
        uint64_t n = std::min(span, real - pos);
        if (pos < init) {
            uint64_t valid = std::min(n, init - pos);
            if (!out.write(data, static_cast<size_t>(valid))) return WriteResult::failed("write error");
            if (valid < n && !out.writeZeros(n - valid)) return WriteResult::failed("write error");
        } else if (!out.writeZeros(n)) {
            return WriteResult::failed("write error");
        }
        pos += n;
    }
    if (!cut.empty()) return WriteResult::partial(cut);
    if (pos < real) return WriteResult::partial("its runs end before its size");
    if (!problem.empty()) return WriteResult::partial(problem);
    return WriteResult::complete();
}

}  // namespace brantlow
