#include "scan/session/listing_session.h"

#include <algorithm>
#include <ctime>
#include <unordered_set>

#include "scan/session/session_codec.h"

namespace brantlow::session {

namespace {

enum Content : uint8_t { kContentNone = 0, kContentExtents = 1, kContentKept = 2, kContentByParser = 3 };

// A chunk of the listing: this many entries, or this many bytes of them.
// The kept bytes go out in pieces of kKeptPiece, at each checkpoint or
// when kKeptHeld of them wait.
constexpr uint32_t kChunkEntries = 4096;
constexpr size_t kChunkBytes = 256 * 1024;
constexpr size_t kKeptPiece = 4u << 20;
constexpr size_t kKeptHeld = 64u << 20;

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
    if (!f.db().exec("DELETE FROM entry_chunks; DELETE FROM kept;") || !f.setMeta("finished", "0")) {
        f.writeFailed();
        return st;
    }
    parser.loadAllocationMap();
    Statement chunkIns(f.db(), "INSERT INTO entry_chunks(first, count, rows) VALUES(?, ?, ?)");
    Statement keptIns(f.db(), "INSERT INTO kept(at, data) VALUES(?, ?)");
    BlobWriter chunk;
    int64_t chunkFirst = 1;
    uint32_t chunkCount = 0;
    std::string kept;
    kept.reserve(kKeptHeld + kMaxKeptBytes);
    uint64_t keptAt = 0, keptFlushed = 0;
    auto flushChunk = [&]() {
        if (chunkCount == 0) return true;
        const bool ok = chunkIns.bind(1, chunkFirst).bind(2, static_cast<int64_t>(chunkCount))
                            .bindBlob(3, chunk.data().data(), chunk.data().size()).run();
        chunkFirst += chunkCount;
        chunkCount = 0;
        chunk.clear();
        return ok;
    };
    // The kept bytes go out at each checkpoint (or when many), in pieces:
    // a reopen reads the entries, which then lie together, not the bytes.
    auto flushKept = [&]() {
        for (size_t at = 0; at < kept.size(); at += kKeptPiece) {
            const size_t n = std::min(kKeptPiece, kept.size() - at);
            if (!keptIns.bind(1, static_cast<int64_t>(keptFlushed)).bindBlob(2, kept.data() + at, n).run()) return false;
            keptFlushed += n;
        }
        kept.clear();
        return true;
    };
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
    std::string packedRanges;
    KeepSink keep;
    auto put = [&](EntryId id, const EntryInfo& info, int64_t parent, bool stream) -> int64_t {
        const int64_t me = next++;
        PackedEntry e;
        e.parentGap = static_cast<uint64_t>(me - parent);
        e.kind = info.kind;
        e.state = info.state;
        e.orphan = info.orphan;
        e.hasChildren = info.hasChildren;
        e.skipOnSave = info.skipOnSave;
        e.firstLetterLost = info.firstLetterLost;
        e.stream = stream;
        e.name = info.name;
        e.attributes = info.attributes;
        e.originalPath = info.originalPath;
        e.size = info.size;
        e.created = info.created;
        e.modified = info.modified;
        e.accessed = info.accessed;
        e.deletedAt = info.deletedAt;
        e.sourceId = id;
        if (info.kind != EntryKind::Folder) {
            if (info.state == EntryState::Deleted || info.orphan) {
                e.hasEstimate = true;
                e.estimate = parser.recoverability(id);
            }
            const std::vector<VolumeRange> ranges = parser.contentRanges(id);
            packedRanges.clear();
            if (!ranges.empty()) packedRanges = encodeRanges(ranges);
            e.extents = packedRanges;
            WriteResult r;
            if (const auto len = parser.plainContentLength(id)) {
                e.content = kContentExtents;
                e.length = *len;
            } else {
                keep.bytes.clear();
                keep.over = true;
                if (info.size <= kKeptContentBytes) r = parser.writeContent(id, keep);
                if (info.size <= kKeptContentBytes && keep.over) {
                    e.content = kContentKept;
                    ++st.kept;
                    e.keptAt = keptAt;
                    e.keptBytes = keep.bytes.size();
                    e.status = static_cast<uint8_t>(r.status);
                    e.reason = std::string_view(r.reason).substr(0, 4096);
                    kept += keep.bytes;
                    keptAt += keep.bytes.size();
                } else {
                    e.content = kContentByParser;
                    ++st.byParser;
                }
            }
            // Asked after the writer, as a save asks (a writer may take
            // them away).
            OptTime at, mt;
            parser.outputTimes(id, at, mt);
            if (!sameTime(at, info.accessed) || !sameTime(mt, info.modified)) {
                e.outTimes = true;
                e.outAccessed = at;
                e.outModified = mt;
            }
            encodeEntry(chunk, e);
        } else {
            encodeEntry(chunk, e);
        }
        ++chunkCount;
        ++st.entries;
        if ((chunkCount >= kChunkEntries || chunk.data().size() >= kChunkBytes) && !flushChunk()) return -1;
        if (kept.size() >= kKeptHeld && !flushKept()) return -1;
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
        if (f.due()) {
            if (!flushChunk() || !flushKept()) {
                f.writeFailed();
                return st;
            }
            if (!(f.commit() && f.begin())) return st;
        }
        if (info.kind == EntryKind::Folder && entered.insert(id).second) {
            std::vector<EntryId> kids = parser.children(id);
            if (!kids.empty()) stack.push_back({me, std::move(kids), 0});
        }
    }
    if (!flushChunk() || !flushKept()) {
        f.writeFailed();
        return st;
    }
    const std::string damage = parser.damage().summary();
    if (!f.setMeta("damage", damage) || !f.setMeta("entries", std::to_string(st.entries)) ||
        !f.setMeta("finished", "1") || !f.commit())
        return st;
    st.complete = true;
    return st;
}


bool StoredListing::load(std::unique_ptr<SessionFile> file, std::string& why) {
    keptSource_.reset();
    rows_.clear();
    pool_.clear();
    keptPieces_.clear();
    keptTotal_ = 0;
    byParser_ = 0;
    file_ = std::move(file);
    SessionFile& f = *file_;
    auto bad = [&](const std::string& what) {
        why = "is damaged (" + what + ")";
        rows_.clear();
        pool_.clear();
        return false;
    };
    const std::string count = f.meta("entries");
    if (count.empty() || count.size() > 10 || !std::all_of(count.begin(), count.end(), ::isdigit))
        return bad("no entry count");
    uint64_t expected = 0;
    for (char c : count) expected = expected * 10 + static_cast<uint64_t>(c - '0');
    if (expected >= 0xfffffffeu) return bad("too many entries");
    // Room for the rows and their bytes at once, no more than the file holds.
    int64_t pages = 0, pageSize = 0, chunkBytes = 0;
    if (!f.db().queryInt("PRAGMA page_count", pages) || !f.db().queryInt("PRAGMA page_size", pageSize) ||
        !f.db().queryInt("SELECT coalesce(sum(length(rows)), 0) FROM entry_chunks", chunkBytes))
        return bad(f.db().error());
    const uint64_t fileBytes =
        static_cast<uint64_t>(std::max<int64_t>(pages, 0)) * static_cast<uint64_t>(std::max<int64_t>(pageSize, 0));
    pool_.reserve(static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(std::max<int64_t>(chunkBytes, 0)), fileBytes)));
    rows_.reserve(static_cast<size_t>(std::min<uint64_t>(expected, fileBytes / 4)));

    Statement s(f.db(), "SELECT first, count, rows FROM entry_chunks ORDER BY first");
    std::vector<uint32_t> parents;
    parents.reserve(rows_.capacity());
    PackedEntry e;
    while (s.step()) {
        const int64_t first = s.integer(0), n = s.integer(1);
        if (first != static_cast<int64_t>(rows_.size()) + 1) return bad("entry numbers out of order");
        if (n < 1 || static_cast<uint64_t>(n) > expected - rows_.size())
            return bad("a chunk of " + std::to_string(n) + " entries from entry " + std::to_string(first));
        size_t bytes = 0;
        const uint8_t* p = s.blob(2, bytes);
        const size_t base = pool_.size();
        if (p) pool_.append(reinterpret_cast<const char*>(p), bytes);
        BlobReader r(reinterpret_cast<const uint8_t*>(pool_.data()) + base, bytes);
        for (int64_t k = 0; k < n; ++k) {
            const uint64_t id = rows_.size() + 1;
            const uint64_t at = base + (bytes - r.left());
            if (!decodeEntry(r, e)) return bad("entry " + std::to_string(id) + " cannot be read");
            // Parents come before their children: a row cannot make a loop.
            if (e.parentGap == 0 || e.parentGap > id)
                return bad("entry " + std::to_string(id) + " names a later parent");
            const uint64_t parent = id - e.parentGap;
            if (e.stream && parent > 0 && rows_[parent - 1].stream) return bad("a stream of a stream");
            if (e.content == kContentKept) {
                // The kept bytes follow one another in entry order.
                if (e.keptAt != keptTotal_) return bad("entry " + std::to_string(id) + " keeps bytes out of order");
                keptTotal_ += e.keptBytes;
            }
            if (e.content == kContentByParser) ++byParser_;
            rows_.push_back({at, static_cast<uint32_t>(parent), e.content, e.stream});
            parents.push_back(static_cast<uint32_t>(parent));
        }
        if (!r.atEnd()) return bad("the chunk from entry " + std::to_string(first) + " has bytes left over");
    }
    if (s.failed()) return bad(f.db().error());
    if (rows_.size() != expected)
        return bad(std::to_string(rows_.size()) + " entries of " + std::to_string(expected) + " recorded");
    // The kept bytes: pieces one after the other, as many as the entries keep.
    Statement k(f.db(), "SELECT at, length(data) FROM kept ORDER BY at");
    uint64_t end = 0;
    while (k.step()) {
        if (k.integer(0) != static_cast<int64_t>(end) || k.integer(1) <= 0 || k.integer(1) > (64 << 20))
            return bad("the kept bytes are out of order");
        keptPieces_.push_back(end);
        end += static_cast<uint64_t>(k.integer(1));
    }
    if (k.failed()) return bad(f.db().error());
    if (end != keptTotal_) return bad(std::to_string(end) + " kept bytes of " + std::to_string(keptTotal_) + " recorded");
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

bool StoredListing::unpack(EntryId id, PackedEntry& e) const {
    const Row* r = row(id);
    if (!r) return false;
    BlobReader b(reinterpret_cast<const uint8_t*>(pool_.data()) + r->at, pool_.size() - r->at);
    return decodeEntry(b, e);
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
    PackedEntry e;
    if (!unpack(id, e)) return false;
    out.name.assign(e.name);
    out.kind = e.kind;
    out.state = e.state;
    out.orphan = e.orphan;
    out.size = e.size;
    out.created = e.created;
    out.modified = e.modified;
    out.accessed = e.accessed;
    out.attributes.assign(e.attributes);
    out.hasChildren = e.hasChildren;
    out.skipOnSave = e.skipOnSave;
    out.firstLetterLost = e.firstLetterLost;
    out.originalPath.assign(e.originalPath);
    out.deletedAt = e.deletedAt;
    return true;
}

ListTexts StoredListing::listTexts(EntryId id) const {
    EntryInfo info;
    return readEntry(id, info) ? plainTexts(info) : ListTexts{};
}

void StoredListing::outputTimes(EntryId id, OptTime& accessed, OptTime& modified) const {
    PackedEntry e;
    if (!unpack(id, e)) return;
    // A file the parser wrote: its times as the parser gives them now.
    if (e.content == kContentByParser && rescanned_) {
        rescanned_->outputTimes(e.sourceId, accessed, modified);
        return;
    }
    accessed = e.outTimes ? e.outAccessed : e.accessed;
    modified = e.outTimes ? e.outModified : e.modified;
}

RecoveryEstimate StoredListing::recoverability(EntryId id) const {
    PackedEntry e;
    return unpack(id, e) ? e.estimate : RecoveryEstimate{};
}

std::vector<VolumeRange> StoredListing::contentRanges(EntryId id) const {
    std::vector<VolumeRange> out;
    PackedEntry e;
    if (unpack(id, e) && !e.extents.empty())
        decodeRanges(reinterpret_cast<const uint8_t*>(e.extents.data()), e.extents.size(), out);
    return out;
}

std::optional<uint64_t> StoredListing::plainContentLength(EntryId id) const {
    PackedEntry e;
    if (!unpack(id, e) || e.content != kContentExtents) return std::nullopt;
    return e.length;
}

WriteResult StoredListing::writeContent(EntryId id, ContentSink& out) {
    const Row* r = row(id);
    if (!r) return WriteResult::failed("no such entry");
    switch (r->content) {
        case kContentNone: return WriteResult::complete();
        case kContentKept: {
            PackedEntry e;
            if (!unpack(id, e)) return WriteResult::failed("no such entry");
            std::string data(static_cast<size_t>(e.keptBytes), '\0');
            bool ok = true;
            {
                // From the piece that holds its first byte on (a file's
                // bytes may straddle two pieces).
                std::lock_guard<std::mutex> lock(fileMutex_);
                uint64_t at = e.keptAt, done = 0;
                auto piece = std::upper_bound(keptPieces_.begin(), keptPieces_.end(), at);
                while (ok && done < data.size()) {
                    if (piece == keptPieces_.begin()) {
                        ok = false;
                        break;
                    }
                    const uint64_t start = *(piece - 1);
                    const uint64_t end = piece == keptPieces_.end() ? keptTotal_ : *piece;
                    const uint64_t n = std::min<uint64_t>(data.size() - done, end - at);
                    if (!keptSource_) keptSource_ = std::make_unique<BlobSource>(file_->db(), "kept", "data");
                    ok = n > 0 && keptSource_->read(static_cast<int64_t>(start), at - start, data.data() + done,
                                                    static_cast<size_t>(n));
                    done += n;
                    at += n;
                    ++piece;
                }
            }
            if (!ok) return WriteResult::failed("the session's copy of this file cannot be read");
            if (!out.write(data.data(), data.size())) return WriteResult::failed("write error");
            return WriteResult{static_cast<WriteStatus>(e.status), std::string(e.reason)};
        }
        case kContentByParser: {
            VolumeParser* p = rescan_ ? rescan_() : nullptr;
            rescanned_ = p;
            if (!p) return WriteResult::failed("the volume's metadata could not be read again for this file");
            PackedEntry e;
            if (!unpack(id, e)) return WriteResult::failed("no such entry");
            return p->writeContent(e.sourceId, out);
        }
        default: break;
    }
    // The extents in order, cut at the length; short reads give zeros.
    std::vector<uint8_t> buf;
    bool readOk = true;
    uint64_t left = plainContentLength(id).value_or(0);
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
