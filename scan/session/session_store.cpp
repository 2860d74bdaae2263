#include "scan/session/session_store.h"

#include <gcrypt.h>
#include <sqlite3.h>

#include <cstring>

#include "platform/files.h"

namespace brantlow::session {

namespace {

constexpr uint64_t kMiB = 1u << 20;

uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

const char* kSchema = R"(
CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;
CREATE TABLE sources(idx INTEGER PRIMARY KEY, path TEXT NOT NULL, size INTEGER NOT NULL, hash TEXT NOT NULL);
-- A listing, in tree order, parents before children: entry_chunks holds
-- entries first .. first + count - 1 packed one after the other in rows
-- (session_codec.h: PackedEntry); kept holds the bytes of the small files
-- whose content is kept, one stream cut in pieces, at: the offset of the
-- piece's first byte in the stream.
CREATE TABLE entry_chunks(first INTEGER PRIMARY KEY, count INTEGER NOT NULL, rows BLOB NOT NULL);
CREATE TABLE kept(at INTEGER PRIMARY KEY, data BLOB NOT NULL);
-- A carve: the files found, in the order found.
CREATE TABLE finds(
  id INTEGER PRIMARY KEY, start INTEGER NOT NULL, size INTEGER NOT NULL, type INTEGER NOT NULL,
  extension TEXT, status INTEGER NOT NULL, detected TEXT, label TEXT,
  first_sectors INTEGER NOT NULL, gap_sectors INTEGER NOT NULL);
-- A sector scan: the volumes found, in the order found.
CREATE TABLE found_volumes(
  id INTEGER PRIMARY KEY, number TEXT NOT NULL, file_system TEXT NOT NULL, size_text TEXT NOT NULL,
  start_sector INTEGER NOT NULL, size_sectors INTEGER NOT NULL);
-- Where an unfinished job stands: its position and the state it goes on from.
CREATE TABLE progress(job TEXT PRIMARY KEY, position INTEGER NOT NULL, total INTEGER NOT NULL,
  rows INTEGER NOT NULL, state BLOB) WITHOUT ROWID;
)";

std::string hex(const uint8_t* p, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

}  // namespace

const char* kindName(SessionKind k) {
    switch (k) {
        case SessionKind::Listing: return "listing";
        case SessionKind::Carve: return "carve";
        case SessionKind::SectorScan: return "sector scan";
    }
    return "listing";
}

SourceIdentity identifySource(const std::string& path, readWriteInterface& reader) {
    SourceIdentity id;
    id.path = path;
    id.size = reader.sizeBytes();
    std::vector<uint8_t> buf(kMiB);
    gcry_md_hd_t md = nullptr;
    if (gcry_md_open(&md, GCRY_MD_SHA256, 0) != 0) return id;
    auto take = [&](uint64_t at, uint64_t n) {
        std::memset(buf.data(), 0, buf.size());
        const long long got = reader.readAbsolute(at, buf.data(), static_cast<size_t>(n));
        if (got > 0) gcry_md_write(md, buf.data(), static_cast<size_t>(got));
    };
    const uint64_t head = std::min(id.size, kMiB);
    take(0, head);
    if (id.size > head) {
        const uint64_t tail = std::min(id.size - head, kMiB);
        take(id.size - tail, tail);
    }
    id.hash = hex(gcry_md_read(md, GCRY_MD_SHA256), 32);
    gcry_md_close(md);
    return id;
}

std::string checkHeader(const uint8_t* head, size_t n, uint64_t size, uint64_t walSize, Refusal& refusal) {
    static const char magic[16] = "SQLite format 3";
    refusal = Refusal::NotASession;
    if (n < 100 || std::memcmp(head, magic, 16) != 0) return "is not a session file";
    if (static_cast<int32_t>(be32(head + 68)) != kApplicationId) return "is a database, not a session file";
    refusal = Refusal::Newer;
    const int32_t version = static_cast<int32_t>(be32(head + 60));
    if (version > kSchemaVersion)
        return "was written by a newer version of Brantlow (session layout " + std::to_string(version) +
               "; this version reads up to " + std::to_string(kSchemaVersion) + ")";
    refusal = Refusal::Damaged;
    if (version < 1) return "is damaged (no session layout recorded)";
    // Page size (1 stands for 65536) and page count: a file shorter than
    // its header says was cut, unless its log still holds the rest.
    uint32_t page = (uint32_t{head[16]} << 8) | head[17];
    if (page == 1) page = 65536;
    if (page < 512 || (page & (page - 1))) return "is damaged (its header is not valid)";
    const uint64_t pages = be32(head + 28);
    if (walSize == 0 && pages && pages * page > size)
        return "is damaged: it was cut short (" + std::to_string(size) + " of " + std::to_string(pages * page) +
               " bytes)";
    refusal = Refusal::None;
    return {};
}

Opening SessionFile::open(const std::string& path, SessionKind kind, const std::string& job,
                          const std::vector<SourceIdentity>& sources, bool overwrite) {
    Opening o;
    std::unique_ptr<SessionFile> f(new SessionFile());
    f->path_ = path;
    f->kind_ = kind;
    std::vector<uint8_t> head;
    uint64_t size = 0;
    const int e = platform::fileHead(path, 100, head, size);
    if (e != 0 && e != ENOENT) {
        o.refusal = e == EINVAL ? Refusal::NotASession : Refusal::CannotWrite;
        o.reason = e == EINVAL ? "is not a regular file" : std::string("cannot be read: ") + std::strerror(e);
        return o;
    }
    const bool exists = e == 0;
    if (exists && overwrite) {
        for (const char* suffix : {"-wal", "-shm", "-journal", ""}) {
            if (int r = platform::removeFile(path + suffix)) {
                o.refusal = Refusal::CannotWrite;
                o.reason = std::string("cannot be replaced: ") + std::strerror(r);
                return o;
            }
        }
    } else if (exists) {
        std::vector<uint8_t> whead;
        uint64_t wal = 0;
        platform::fileHead(path + "-wal", 0, whead, wal);
        o.reason = checkHeader(head.data(), head.size(), size, wal, o.refusal);
        if (o.refusal != Refusal::None) return o;
        if (!f->db_.open(path, false)) {
            o.refusal = Refusal::Damaged;
            o.reason = "cannot be opened: " + f->db_.error();
            return o;
        }
        auto damaged = [&](const std::string& what) {
            o.refusal = Refusal::Damaged;
            o.reason = "is damaged (" + what + ")";
            o.file.reset();
            return std::move(o);
        };
        if (!f->db_.exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA wal_autocheckpoint=16384;")) return damaged(f->db_.error());
        const std::string storedKind = f->meta("kind");
        if (storedKind.empty()) return damaged("no job recorded");
        if (storedKind != kindName(kind)) {
            o.refusal = Refusal::OtherJob;
            o.reason = "holds a " + storedKind + ", not a " + kindName(kind);
            return o;
        }
        if (kind == SessionKind::Listing && static_cast<int32_t>(be32(head.data() + 60)) < kSchemaVersion) {
            o.refusal = Refusal::Older;
            o.reason = "was written by an older version of Brantlow (session layout " +
                       std::to_string(be32(head.data() + 60)) + "; this version reads listings of layout " +
                       std::to_string(kSchemaVersion) + "): run the scan again, or use --session-overwrite";
            return o;
        }
        if (f->meta("job") != job) {
            o.refusal = Refusal::OtherJob;
            o.reason = "holds another " + storedKind + " (" + f->meta("job") + ")";
            return o;
        }
        Statement s(f->db_, "SELECT path, size, hash FROM sources ORDER BY idx");
        std::vector<SourceIdentity> stored;
        while (s.step() && stored.size() <= 64) stored.push_back({s.text(0), static_cast<uint64_t>(s.integer(1)), s.text(2)});
        if (s.failed()) return damaged(f->db_.error());
        if (stored.size() != sources.size()) {
            o.refusal = Refusal::OtherSource;
            o.reason = "was made from " + std::to_string(stored.size()) + " sources, not " + std::to_string(sources.size());
            return o;
        }
        for (size_t i = 0; i < stored.size(); ++i) {
            if (stored[i].size != sources[i].size) {
                o.refusal = Refusal::OtherSource;
                o.reason = "was made from a source of " + std::to_string(stored[i].size) + " bytes (" + stored[i].path +
                           "); " + sources[i].path + " has " + std::to_string(sources[i].size);
                return o;
            }
            if (stored[i].hash != sources[i].hash) {
                o.refusal = Refusal::OtherSource;
                o.reason = "does not match the source: the first or last MiB of " + sources[i].path +
                           " differ from the source it was made from (" + stored[i].path + ")";
                return o;
            }
        }
        o.existed = true;
        o.file = std::move(f);
        return o;
    }
    std::string why;
    if (!f->create(job, sources, why)) {
        platform::removeFile(path);
        o.refusal = Refusal::CannotWrite;
        o.reason = "cannot be written: " + why;
        return o;
    }
    o.file = std::move(f);
    return o;
}

bool SessionFile::create(const std::string& job, const std::vector<SourceIdentity>& sources, std::string& why) {
    if (!db_.open(path_, true)) {
        why = db_.error();
        return false;
    }
    // The header fields first, written straight into the file; then the
    // write-ahead log for everything after.
    const std::string pragmas = "PRAGMA application_id=" + std::to_string(kApplicationId) +
                                "; PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";";
    bool ok = db_.exec(pragmas.c_str()) && db_.exec("BEGIN") && db_.exec(kSchema);
    if (ok) {
        Statement m(db_, "INSERT INTO meta(key, value) VALUES(?, ?)");
        auto put = [&](const char* k, const std::string& v) { return m.bind(1, k).bind(2, v).run(); };
        ok = put("kind", kindName(kind_)) && put("job", job) && put("finished", "0") && put("writer", "Brantlow 1.0");
        Statement s(db_, "INSERT INTO sources(idx, path, size, hash) VALUES(?, ?, ?, ?)");
        for (size_t i = 0; ok && i < sources.size(); ++i)
            ok = s.bind(1, static_cast<int64_t>(i)).bind(2, sources[i].path).bind(3, static_cast<int64_t>(sources[i].size))
                     .bind(4, sources[i].hash).run();
    }
    ok = ok && db_.exec("COMMIT") && db_.exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA wal_autocheckpoint=16384;");
    if (!ok) {
        why = db_.error();
        db_.close();
        return false;
    }
    return true;
}

std::string SessionFile::meta(const std::string& key) {
    Statement s(db_, "SELECT value FROM meta WHERE key = ?");
    s.bind(1, key);
    return s.step() ? s.text(0) : std::string();
}

bool SessionFile::setMeta(const std::string& key, const std::string& value) {
    if (!writable_) return false;
    Statement s(db_, "INSERT OR REPLACE INTO meta(key, value) VALUES(?, ?)");
    if (!s.bind(1, key).bind(2, value).run()) {
        writeFailed();
        return false;
    }
    return true;
}

bool SessionFile::finished() { return meta("finished") == "1"; }

bool SessionFile::begin() {
    if (!writable_) return false;
    if (inTransaction_) return true;
    if (!db_.exec("BEGIN IMMEDIATE")) {
        writeFailed();
        return false;
    }
    inTransaction_ = true;
    return true;
}

bool SessionFile::commit() {
    if (!writable_) return false;
    if (inTransaction_ && !db_.exec("COMMIT")) {
        writeFailed();
        return false;
    }
    inTransaction_ = false;
    lastCommit_ = std::chrono::steady_clock::now();
    return true;
}

void SessionFile::writeFailed() {
    if (!writable_) return;
    writable_ = false;
    stopReason_ = db_.error();
    if (sqlite3_get_autocommit(db_.handle()) == 0) sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    inTransaction_ = false;
}

}  // namespace brantlow::session
