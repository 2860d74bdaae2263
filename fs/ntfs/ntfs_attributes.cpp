// Parsing one MFT record into its entry: the header, then one handler per
// attribute type ($STANDARD_INFORMATION, $ATTRIBUTE_LIST, $FILE_NAME,
// $DATA). What the decoders refuse or cut goes to the damage log under the
// record's number and position.
#include <algorithm>
#include <cstring>

#include "base/texts.h"
#include "fs/ntfs/ntfs.h"

namespace brantlow {

// One record's parse: its entry, the entry its names belong to (the base
// record's for an extension record), the best name so far and the named
// streams met.
struct ntfs::RecordParse {
    const uint8_t* rec;
    size_t size;
    uint64_t base;      // base record number; 0 for a base record
    bool toBase;        // names and sizes go to the base record's entry
    NtfsEntry* own;
    NtfsEntry* names;
    bool firstName;     // the next $FILE_NAME is the first one met (it gives the parent)
    int bestRank = -1;
    uint32_t bestOffset = 0, bestUnits = 0;
    struct Stream {
        uint32_t nameOffset, nameLength;
        uint64_t size;
    };
    Stream streams[8];
    int streamCount = 0;
    std::vector<RecordNote>* notes;
};

void ntfs::note(const std::string& structure, uint64_t offset, std::string what, bool kept) {
    if (holdNotes_)
        heldNotes_.push_back({structure, offset, std::move(what), kept});
    else
        damage_.add(structure, offset, std::move(what), kept);
}

std::string ntfs::recordLabel(int64_t index, const NtfsRecordHeader& h) const {
    if (mftOrder_) return "MFT record " + std::to_string(index);
    if (h.hasNumber) return "MFT record " + std::to_string(h.number);
    return "MFT record";
}

bool ntfs::takeRecord(const uint8_t* raw, uint8_t* fixed, size_t size, int64_t index) {
    if (index < 0 || index >= static_cast<int64_t>(entries_.size())) return false;
    NtfsRecordHeader h;
    const uint32_t problems = fixRecord(raw, fixed, size, h);
    std::vector<RecordNote> notes;
    if (problems) noteDecoded(recordDecoded(h, problems, size), notes);
    if (!(problems & kRecordRefused)) parseRecord(h, fixed, size, index, &notes);
    if (!notes.empty()) {
        const std::string label = recordLabel(index, h);
        for (RecordNote& n : notes) note(label, entries_[index].recordOffset, std::move(n.what), n.kept);
    }
    return !(problems & kRecordRefused);
}

bool ntfs::parseRecord(const NtfsRecordHeader& h, const uint8_t* rec, size_t size, int64_t index,
                       std::vector<RecordNote>* notes) {
    if (index < 0 || index >= static_cast<int64_t>(entries_.size()) || size < 48) return false;
    NtfsEntry& e = entries_[index];
    e.recordFlags = h.flags;
    e.sequence = h.sequence;
    if (h.base != 0) e.bits |= NtfsEntry::kExtension;
    // $FILE_NAME attributes of an extension record belong to its base.
    const bool toBase = mftOrder_ && h.base != 0 && h.base < entries_.size() && static_cast<int64_t>(h.base) != index;
    NtfsEntry& t = toBase ? entries_[h.base] : e;
    RecordParse r;  // its stream slots are filled as streams are met
    r.rec = rec;
    r.size = size;
    r.base = h.base;
    r.toBase = toBase;
    r.own = &e;
    r.names = &t;
    r.firstName = !(toBase && t.hasName());
    r.notes = notes;

    forEachAttribute(
        rec, size,
        [&](const NtfsAttribute& a) {
            switch (a.type) {
                case kAttrStandardInfo: takeStandardInfo(r, a); break;
                case kAttrAttributeList: takeAttributeList(r, a); break;
                case kAttrFileName: takeFileName(r, a); break;
                case kAttrData: takeData(r, a); break;
                default: break;
            }
            return true;
        },
        notes);

    if (r.bestRank >= 0 && !(toBase && t.hasName() && !(t.bits & NtfsEntry::kNameFromExtension))) {
        std::string name = utf16leToUtf8(rec + r.bestOffset, r.bestUnits);
        t.nameOffset = addName(name);
        t.nameLength = static_cast<uint16_t>(std::min<size_t>(name.size(), 0xFFFF));
        t.bits |= NtfsEntry::kHasName;
        if (toBase) t.bits |= NtfsEntry::kNameFromExtension;
    }
    if (e.hasName() && r.streamCount > 0) {
        e.bits |= NtfsEntry::kHasStreams;
        for (int k = 0; k < r.streamCount; ++k)
            streams_.push_back({static_cast<uint32_t>(index), r.streams[k].nameOffset, r.streams[k].nameLength,
                                r.streams[k].size});
    }
    return true;
}

// The times the list shows and the save sets.
void ntfs::takeStandardInfo(RecordParse& r, const NtfsAttribute& a) {
    NtfsStandardInfo si;
    if (!readStandardInfo(r.rec, r.size, a, si)) {
        if (r.notes) noteDecoded(decodeStandardInfo(r.rec, r.size, a), *r.notes);
        return;
    }
    r.own->created = si.created;
    r.own->modified = si.modified;
    r.own->accessed = si.accessed;
}

// The data may lie in extension records: the writer gathers it from the
// list when it is asked for.
void ntfs::takeAttributeList(RecordParse& r, const NtfsAttribute&) { r.own->bits |= NtfsEntry::kHasAttrList; }

// The shown name (Win32 before POSIX before DOS, the last of a rank), the
// parent (from the first $FILE_NAME), whether it is a folder, and the
// attribute letters.
void ntfs::takeFileName(RecordParse& r, const NtfsAttribute& a) {
    NtfsFileName fn;
    const uint32_t problems = readFileName(r.rec, r.size, a, fn);
    if (problems && r.notes) noteDecoded(decodeFileName(r.rec, r.size, a), *r.notes);
    if (problems & kFileNameRefused) return;
    NtfsEntry& t = *r.names;
    if (fn.directory()) t.kind = 'D';
    if (fn.rank() >= r.bestRank) {
        r.bestRank = fn.rank();
        r.bestOffset = fn.nameOffset;
        r.bestUnits = fn.nameUnits;
    }
    t.fileAttributes = static_cast<uint16_t>(fn.flags & 0xFFFF);
    if (r.firstName) {
        // A parent past what the table can hold is no parent it has.
        t.parentIndex = fn.parent >= 0 && static_cast<uint64_t>(fn.parent) < kMaxNtfsEntries ? static_cast<int32_t>(fn.parent) : -1;
        t.parentSequence = fn.parentSequence;
        r.firstName = false;
    }
}

// The unnamed stream gives the file's size (an extension record's first
// extent gives its base's); named streams of a base record are kept to be
// listed and saved beside the file.
void ntfs::takeData(RecordParse& r, const NtfsAttribute& a) {
    NtfsEntry& e = *r.own;
    if (a.nameLength == 0) {
        if (!a.nonResident) {
            if (!(e.bits & NtfsEntry::kSizeFromExtension)) e.dataSize = a.valueLength;
            e.bits |= NtfsEntry::kHasOwnData;
        } else if (a.firstVcn == 0) {
            if (r.base == 0) {
                e.dataSize = a.realSize;
                e.bits |= NtfsEntry::kHasOwnData;
            } else if (r.toBase) {
                r.names->dataSize = a.realSize;
                r.names->bits |= NtfsEntry::kSizeFromExtension;
            }
        }
        return;
    }
    if (r.base != 0 || r.streamCount >= 8 || (a.nonResident && a.firstVcn != 0)) return;
    std::string n = attributeName(r.rec, r.size, a);
    r.streams[r.streamCount++] = {addName(n), static_cast<uint32_t>(n.size()), a.nonResident ? a.realSize : a.valueLength};
}

}  // namespace brantlow
