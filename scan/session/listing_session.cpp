#include "scan/session/listing_session.h"

#include <algorithm>
#include <ctime>
#include <unordered_set>

#include "scan/session/session_codec.h"

namespace brantlow::session {

namespace {

enum Flags : int64_t {
    kOrphan = 1,
    kHasChildren = 2,
    kSkipOnSave = 4,
    kFirstLetterLost = 8,
    kStream = 16,
    kEstimate = 32,
};
enum Content : uint8_t { kNone = 0, kExtents = 1, kKept = 2, kByParser = 3 };

// Bounds on what a row may hold: no name, path or text of a file system is
// longer; a file of a million fragments fits the extents.
constexpr size_t kMaxNameBytes = 64 * 1024;
constexpr size_t kMaxExtentBytes = 32u << 20;

constexpr const char* kInsert =
    "INSERT INTO entries(id, parent, source_id, name, kind, state, flags, size, created, created_ns, modified, "
    "modified_ns, accessed, accessed_ns, attributes, original_path, deleted_at, deleted_at_ns, out_accessed, "
    "out_accessed_ns, out_modified, out_modified_ns, recoverable, units, overwritten, content, length, extents, data, "
    "status, reason, texts) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";

void bindTime(Statement& s, int col, const OptTime& t) {
    if (t) {
        s.bind(col, t->sec).bind(col + 1, t->nsec);
    } else {
        s.bindNull(col).bindNull(col + 1);
    }
}

OptTime timeAt(const Statement& s, int col) {
    if (s.isNull(col)) return std::nullopt;
    const int64_t ns = s.integer(col + 1);
    if (ns < 0 || ns > 999999999) return std::nullopt;
    return FileTime{s.integer(col), static_cast<int32_t>(ns)};
}

// The list's columns from the entry itself: times as UTC, the size in bytes.
ListTexts plainTexts(const EntryInfo& info) {
    ListTexts t;
    auto text = [](const OptTime& v) {
        if (!v) return std::string();
        const time_t sec = static_cast<time_t>(v->sec);
        struct tm tm {};
        if (!gmtime_r(&sec, &tm)) return std::string();
        char buf[32];
        std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
        return std::string(buf);
    };
    t.created = text(info.created);
    t.accessed = text(info.accessed);
    t.modified = text(info.modified);
    if (info.kind != EntryKind::Folder) t.size = std::to_string(info.size);
    t.attributes = info.attributes;
    return t;
}

bool sameTime(const OptTime& a, const OptTime& b) {
    return a.has_value() == b.has_value() && (!a || (a->sec == b->sec && a->nsec == b->nsec));
}

// What a writer hands over, kept in memory up to a bound.
class KeepSink : public ContentSink {
public:
    bool write(const void* data, size_t n) override {
        if (n > kKeptContentBytes - std::min<uint64_t>(bytes.size(), kKeptContentBytes)) return over = false;
        bytes.append(static_cast<const char*>(data), n);
        return true;
    }
    bool writeZeros(uint64_t n) override {
        if (n > kKeptContentBytes - std::min<uint64_t>(bytes.size(), kKeptContentBytes)) return over = false;
        bytes.append(static_cast<size_t>(n), '\0');
        return true;
    }
    uint64_t size() const override { return bytes.size(); }
    std::string bytes;
    bool over = true;  // false once the bound was passed
};

}  // namespace

ListingStats writeListing(SessionFile& f, VolumeParser& parser, const std::atomic<bool>* stop) {
    ListingStats st;
    if (!f.begin()) return st;
    if (!f.db().exec("DELETE FROM entries") || !f.setMeta("finished", "0")) {
        f.writeFailed();
        return st;
    }
    parser.loadAllocationMap();
    Statement ins(f.db(), kInsert);
    int64_t next = 1;
    // Depth first, children in tree order, each folder entered once (as the
    // tree walk does).
    struct Frame {
        int64_t row;
        std::vector<EntryId> kids;
        size_t next = 0;
    };
    std::unordered_set<EntryId> entered{kRootId};
    std::vector<Frame> stack;
    stack.push_back({0, parser.children(kRootId), 0});
    EntryInfo info;
    auto put = [&](EntryId id, const EntryInfo& info, int64_t parent, bool stream) -> int64_t {
        const int64_t me = next++;
        int64_t flags = (info.orphan ? kOrphan : 0) | (info.hasChildren ? kHasChildren : 0) |
                        (info.skipOnSave ? kSkipOnSave : 0) | (info.firstLetterLost ? kFirstLetterLost : 0) |
                        (stream ? kStream : 0);
        ins.bind(1, me).bind(2, parent).bind(3, static_cast<int64_t>(id));
        ins.bindBlob(4, info.name.data(), info.name.size());
        ins.bind(5, static_cast<int64_t>(info.kind)).bind(6, static_cast<int64_t>(info.state));
        ins.bind(8, static_cast<int64_t>(info.size));
        bindTime(ins, 9, info.created);
        bindTime(ins, 11, info.modified);
        bindTime(ins, 13, info.accessed);
        ins.bind(15, info.attributes);
        if (info.originalPath.empty())
            ins.bindNull(16);
        else
            ins.bindBlob(16, info.originalPath.data(), info.originalPath.size());
        bindTime(ins, 17, info.deletedAt);
        uint8_t content = kNone;
        if (info.kind != EntryKind::Folder) {
            if (info.state == EntryState::Deleted || info.orphan) {
                const RecoveryEstimate e = parser.recoverability(id);
                flags |= kEstimate;
                ins.bind(23, static_cast<int64_t>(e.state)).bind(24, static_cast<int64_t>(e.units))
                    .bind(25, static_cast<int64_t>(e.overwritten));
            }
            const std::vector<VolumeRange> ranges = parser.contentRanges(id);
            if (!ranges.empty()) {
                const std::string packed = encodeRanges(ranges);
                ins.bindBlob(28, packed.data(), packed.size());
            }
            if (const auto len = parser.plainContentLength(id)) {
                content = kExtents;
                ins.bind(27, static_cast<int64_t>(*len));
            } else {
                KeepSink keep;
                WriteResult r;
                if (info.size <= kKeptContentBytes) r = parser.writeContent(id, keep);
                if (info.size <= kKeptContentBytes && keep.over) {
                    content = kKept;
                    ++st.kept;
                    ins.bindBlob(29, keep.bytes.data(), keep.bytes.size());
                    ins.bind(30, static_cast<int64_t>(r.status)).bind(31, r.reason);
                } else {
                    content = kByParser;
                    ++st.byParser;
                }
            }
            // Asked after the writer, as a save asks (a writer may take
            // them away).
            OptTime at, mt;
            parser.outputTimes(id, at, mt);
            if (!sameTime(at, info.accessed) || !sameTime(mt, info.modified)) {
                bindTime(ins, 19, at);
                bindTime(ins, 21, mt);
            }
        }
        ins.bind(7, flags).bind(26, content);
        if (!ins.run()) return -1;
        ++st.entries;
        return me;
    };
    while (!stack.empty()) {
        if (stop && stop->load(std::memory_order_relaxed)) return st;
        Frame& fr = stack.back();
        if (fr.next >= fr.kids.size()) {
            stack.pop_back();
            continue;
        }
        const EntryId id = fr.kids[fr.next++];
        const int64_t parent = fr.row;
        info = EntryInfo{};
        if (!parser.entryInfo(id, info)) continue;
        const int64_t me = put(id, info, parent, false);
        if (me < 0) {
            f.writeFailed();
            return st;
        }
        for (EntryId s : parser.streams(id)) {
            EntryInfo si;
            if (parser.entryInfo(s, si) && put(s, si, me, true) < 0) {
                f.writeFailed();
                return st;
            }
        }
        if (f.due() && !(f.commit() && f.begin())) return st;
        if (info.kind == EntryKind::Folder && entered.insert(id).second) {
            std::vector<EntryId> kids = parser.children(id);
            if (!kids.empty()) stack.push_back({me, std::move(kids), 0});
        }
    }
    const std::string damage = parser.damage().summary();
    if (!f.setMeta("damage", damage) || !f.setMeta("entries", std::to_string(st.entries)) ||
        !f.setMeta("finished", "1") || !f.commit())
        return st;
    st.complete = true;
    return st;
}

bool StoredListing::load(std::unique_ptr<SessionFile> file, std::string& why) {
    rows_.clear();
    file_ = std::move(file);
    SessionFile& f = *file_;
    Statement s(f.db(),
                "SELECT id, parent, source_id, name, kind, state, flags, size, created, created_ns, modified, "
                "modified_ns, accessed, accessed_ns, attributes, original_path, deleted_at, deleted_at_ns, "
                "out_accessed, out_accessed_ns, out_modified, out_modified_ns, recoverable, units, overwritten, "
                "content, length, extents, length(data), status, 0, texts FROM entries ORDER BY id");
    std::vector<uint32_t> parents;
    auto bad = [&](const std::string& what) {
        why = "is damaged (" + what + ")";
        rows_.clear();
        return false;
    };
    const std::string count = f.meta("entries");
    uint64_t expected = 0;
    for (char c : count) expected = expected * 10 + static_cast<uint64_t>(c - '0');
    if (count.empty() || count.size() > 10 || !std::all_of(count.begin(), count.end(), ::isdigit))
        return bad("no entry count");
    rows_.reserve(static_cast<size_t>(std::min<uint64_t>(expected, 1u << 20)));
    while (s.step()) {
        if (rows_.size() >= 0xfffffffeu) return bad("too many entries");
        const int64_t id = s.integer(0), parent = s.integer(1);
        if (id != static_cast<int64_t>(rows_.size()) + 1) return bad("entry numbers out of order");
        // Parents come before their children: a row cannot make a loop.
        if (parent < 0 || parent >= id) return bad("entry " + std::to_string(id) + " names a later parent");
        Row r;
        size_t n = 0;
        const uint8_t* p = s.blob(3, n);
        if (n > kMaxNameBytes) return bad("entry " + std::to_string(id) + " has a name of " + std::to_string(n) + " bytes");
        r.info.name.assign(reinterpret_cast<const char*>(p ? p : reinterpret_cast<const uint8_t*>("")), n);
        const int64_t kind = s.integer(4), state = s.integer(5), flags = s.integer(6), content = s.integer(25);
        if (kind < 0 || kind > 2 || state < 0 || state > 1 || content < 0 || content > 3)
            return bad("entry " + std::to_string(id) + " has an unknown kind, state or content");
        r.info.kind = static_cast<EntryKind>(kind);
        r.info.state = static_cast<EntryState>(state);
        r.info.orphan = flags & kOrphan;
        r.info.hasChildren = flags & kHasChildren;
        r.info.skipOnSave = flags & kSkipOnSave;
        r.info.firstLetterLost = flags & kFirstLetterLost;
        r.stream = flags & kStream;
        r.info.size = static_cast<uint64_t>(s.integer(7));
        r.info.created = timeAt(s, 8);
        r.info.modified = timeAt(s, 10);
        r.info.accessed = timeAt(s, 12);
        r.info.attributes = s.text(14);
        r.info.originalPath = s.text(15);
        if (r.info.attributes.size() > kMaxNameBytes || r.info.originalPath.size() > kMaxNameBytes)
            return bad("entry " + std::to_string(id) + " has an attribute text or former path too long");
        r.info.deletedAt = timeAt(s, 16);
        r.outAccessed = s.isNull(18) && s.isNull(20) ? r.info.accessed : timeAt(s, 18);
        r.outModified = s.isNull(18) && s.isNull(20) ? r.info.modified : timeAt(s, 20);
        if (flags & kEstimate) {
            const int64_t st = s.integer(22);
            if (st < 0 || st > static_cast<int64_t>(Recoverability::Uncertain))
                return bad("entry " + std::to_string(id) + " has an unknown recoverability");
            r.estimate.state = static_cast<Recoverability>(st);
            r.estimate.units = static_cast<uint64_t>(s.integer(23));
            r.estimate.overwritten = static_cast<uint64_t>(s.integer(24));
        }
        r.content = static_cast<uint8_t>(content);
        r.length = static_cast<uint64_t>(s.integer(26));
        r.sourceId = static_cast<uint64_t>(s.integer(2));
        p = s.blob(27, n);
        if (n > kMaxExtentBytes) return bad("entry " + std::to_string(id) + " has " + std::to_string(n) + " bytes of extents");
        std::vector<VolumeRange> check;
        if (p && !decodeRanges(p, n, check)) return bad("entry " + std::to_string(id) + " has unreadable extents");
        if (p) r.extents.assign(reinterpret_cast<const char*>(p), n);
        if (r.content == kKept) {
            // The bytes themselves are read when a writer asks for them.
            if (s.integer(28) < 0 || static_cast<uint64_t>(s.integer(28)) > kKeptContentBytes)
                return bad("entry " + std::to_string(id) + " keeps too many bytes");
            const int64_t status = s.integer(29);
            if (status < 0 || status > 2) return bad("entry " + std::to_string(id) + " has an unknown write status");
        }
        // The list's columns as the parser wrote them, where they were kept.
        p = s.blob(31, n);
        if (p) {
            BlobReader tr(p, n);
            for (int k = 0; k < 5; ++k) tr.bytes(4096);
            if (!tr.ok() || !tr.atEnd()) return bad("entry " + std::to_string(id) + " has unreadable list texts");
        }
        if (r.content == kByParser) ++byParser_;
        if (parent > 0 && r.stream != false && rows_[static_cast<size_t>(parent - 1)].stream)
            return bad("a stream of a stream");
        parents.push_back(static_cast<uint32_t>(parent));
        rows_.push_back(std::move(r));
    }
    if (s.failed()) return bad(f.db().error());
    if (rows_.size() != expected)
        return bad(std::to_string(rows_.size()) + " entries of " + std::to_string(expected) + " recorded");
    // Children and streams of each row, in row order.
    const size_t n = rows_.size();
    firstKid_.assign(n + 2, 0);
    firstStream_.assign(n + 2, 0);
    for (size_t i = 0; i < n; ++i) ++(rows_[i].stream ? firstStream_ : firstKid_)[parents[i] + 1];
    for (size_t i = 1; i < n + 2; ++i) {
        firstKid_[i] += firstKid_[i - 1];
        firstStream_[i] += firstStream_[i - 1];
    }
    kids_.assign(firstKid_[n + 1], 0);
    streamIds_.assign(firstStream_[n + 1], 0);
    std::vector<uint32_t> fillK(firstKid_.begin(), firstKid_.end() - 1), fillS(firstStream_.begin(), firstStream_.end() - 1);
    for (size_t i = 0; i < n; ++i) {
        if (rows_[i].stream)
            streamIds_[fillS[parents[i]]++] = i + 1;
        else
            kids_[fillK[parents[i]]++] = i + 1;
    }
    return true;
}

std::vector<EntryId> StoredListing::children(EntryId folder) const {
    const size_t k = folder == kRootId ? 0 : static_cast<size_t>(folder);
    if (folder != kRootId && !row(folder)) return {};
    return {kids_.begin() + firstKid_[k], kids_.begin() + firstKid_[k + 1]};
}

std::vector<EntryId> StoredListing::streams(EntryId id) const {
    if (!row(id)) return {};
    const size_t k = static_cast<size_t>(id);
    return {streamIds_.begin() + firstStream_[k], streamIds_.begin() + firstStream_[k + 1]};
}

bool StoredListing::readEntry(EntryId id, EntryInfo& out) const {
    const Row* r = row(id);
    if (!r) return false;
    out = r->info;
    return true;
}

ListTexts StoredListing::listTexts(EntryId id) const {
    const Row* r = row(id);
    return r ? plainTexts(r->info) : ListTexts{};
}

void StoredListing::outputTimes(EntryId id, OptTime& accessed, OptTime& modified) const {
    if (const Row* r = row(id)) {
        // A file the parser wrote: its times as the parser gives them now.
        if (r->content == kByParser && rescanned_) {
            rescanned_->outputTimes(r->sourceId, accessed, modified);
            return;
        }
        accessed = r->outAccessed;
        modified = r->outModified;
    }
}

RecoveryEstimate StoredListing::recoverability(EntryId id) const {
    const Row* r = row(id);
    return r ? r->estimate : RecoveryEstimate{};
}

std::vector<VolumeRange> StoredListing::contentRanges(EntryId id) const {
    std::vector<VolumeRange> out;
    if (const Row* r = row(id); r && !r->extents.empty())
        decodeRanges(reinterpret_cast<const uint8_t*>(r->extents.data()), r->extents.size(), out);
    return out;
}

std::optional<uint64_t> StoredListing::plainContentLength(EntryId id) const {
    const Row* r = row(id);
    if (!r || r->content != kExtents) return std::nullopt;
    return r->length;
}

WriteResult StoredListing::writeContent(EntryId id, ContentSink& out) {
    const Row* r = row(id);
    if (!r) return WriteResult::failed("no such entry");
    switch (r->content) {
        case kNone: return WriteResult::complete();
        case kKept: {
            std::string data, reason;
            int64_t status = -1;
            {
                std::lock_guard<std::mutex> lock(fileMutex_);
                Statement q(file_->db(), "SELECT data, status, reason FROM entries WHERE id = ?");
                q.bind(1, static_cast<int64_t>(id));
                if (q.step()) {
                    size_t n = 0;
                    const uint8_t* p = q.blob(0, n);
                    if (n <= kKeptContentBytes && p) data.assign(reinterpret_cast<const char*>(p), n);
                    status = n <= kKeptContentBytes ? q.integer(1) : -1;
                    reason = q.text(2).substr(0, 4096);
                }
            }
            if (status < 0 || status > 2) return WriteResult::failed("the session's copy of this file cannot be read");
            if (!out.write(data.data(), data.size())) return WriteResult::failed("write error");
            return WriteResult{static_cast<WriteStatus>(status), reason};
        }
        case kByParser: {
            VolumeParser* p = rescan_ ? rescan_() : nullptr;
            rescanned_ = p;
            if (!p) return WriteResult::failed("the volume's metadata could not be read again for this file");
            return p->writeContent(r->sourceId, out);
        }
        default: break;
    }
    // The extents in order, cut at the length; short reads give zeros.
    std::vector<uint8_t> buf;
    bool readOk = true;
    uint64_t left = r->length;
    for (const VolumeRange& v : contentRanges(id)) {
        uint64_t done = 0;
        while (left && done < v.length) {
            if (stopRequested.load(std::memory_order_relaxed)) return WriteResult::failed("stopped");
            if (out.full()) return WriteResult::complete();
            const size_t n = static_cast<size_t>(std::min<uint64_t>({left, v.length - done, 4u << 20}));
            buf.resize(n);
            if (v.offset + done >= volume_.sizeBytes() || volume_.read(v.offset + done, buf.data(), n) != n)
                readOk = false;
            if (!out.write(buf.data(), n)) return WriteResult::failed("write error");
            done += n;
            left -= n;
        }
    }
    if (left) return WriteResult::partial("the stored extents end before the file does");
    if (!readOk) return WriteResult::partial("unreadable clusters (written as zeros)");
    return WriteResult::complete();
}

}  // namespace brantlow::session
