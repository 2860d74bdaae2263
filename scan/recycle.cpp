#include "scan/recycle.h"

#include <map>

#include "base/bytes.h"
#include "base/texts.h"

namespace brantlow {

namespace {

bool isRecycleFolder(const std::string& name) {
    const std::string l = asciiLower(name);
    return l == "$recycle.bin" || l == "$recyclebin";
}

bool stopped(const std::atomic<bool>* stop) { return stop && stop->load(std::memory_order_relaxed); }

// The former name and its record, with whether the "$I" entry is in use.
struct Found {
    RecycleRecord record;
    bool live = false;
};

}  // namespace

std::optional<RecycleRecord> parseRecycleRecord(const uint8_t* data, size_t len) {
    if (len < 28 || len > kMaxRecycleRecordBytes) return std::nullopt;
    const uint64_t version = le64(data, len, 0);
    RecycleRecord r;
    r.originalSize = le64(data, len, 8);
    r.deletedAt = fromFiletime(le64(data, len, 16));
    if (version == 1) {
        const size_t units = std::min<size_t>((len - 24) / 2, 260);
        r.originalPath = utf16leToUtf8(data + 24, units, true);
    } else if (version == 2) {
        const uint64_t chars = le32(data, len, 24);
        const size_t units = static_cast<size_t>(std::min<uint64_t>(chars, (len - 28) / 2));
        r.originalPath = utf16leToUtf8(data + 28, units, true);
    } else {
        return std::nullopt;
    }
    const size_t slash = r.originalPath.rfind('\\');
    r.name = slash == std::string::npos ? r.originalPath : r.originalPath.substr(slash + 1);
    // An empty name (a path ending in "\"), or one that is not text: the
    // stored name stays.
    if (r.name.empty()) return std::nullopt;
    for (unsigned char c : r.name)
        if (c < 0x20) return std::nullopt;
    return r;
}

size_t restoreRecycleNames(VolumeParser& parser, const std::atomic<bool>* stop) {
    size_t renamed = 0;
    EntryInfo info;
    for (EntryId bin : parser.children(kRootId)) {
        if (stopped(stop)) break;
        if (!parser.entryInfo(bin, info) || info.kind != EntryKind::Folder || !isRecycleFolder(info.name)) continue;
        for (EntryId user : parser.children(bin)) {
            if (stopped(stop)) break;
            if (!parser.entryInfo(user, info) || info.kind != EntryKind::Folder) continue;
            const std::vector<EntryId> kids = parser.children(user);
            std::map<std::string, Found> records;  // "$I" name → its record
            for (EntryId e : kids) {
                if (!parser.entryInfo(e, info) || info.kind != EntryKind::File || info.name.rfind("$I", 0) != 0 ||
                    info.size > kMaxRecycleRecordBytes)
                    continue;
                MemorySink sink(kMaxRecycleRecordBytes + 1);
                if (parser.writeContent(e, sink).status == WriteStatus::Failed) continue;
                auto rec = parseRecycleRecord(sink.bytes.data(), sink.bytes.size());
                if (!rec) continue;
                const bool live = info.state == EntryState::Live;
                auto it = records.find(info.name);
                // A deleted and a live "$I" of one name: the one in use wins.
                if (it == records.end() || (live && !it->second.live)) records[info.name] = Found{*rec, live};
            }
            for (const auto& [iname, found] : records) {
                const std::string rname = "$R" + iname.substr(2);
                for (EntryId d : kids) {
                    if (!parser.entryInfo(d, info) || info.name != rname) continue;
                    parser.restoreName(d, {found.record.name, found.record.originalPath, found.record.deletedAt});
                    ++renamed;
                }
            }
        }
    }
    return renamed;
}

}  // namespace brantlow
