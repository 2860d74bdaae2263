#include "scan/session/session_db.h"

#include <sqlite3.h>

namespace brantlow::session {

Database::~Database() { close(); }

bool Database::open(const std::string& path, bool create) {
    close();
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
    const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        fail(rc);
        close();
        return false;
    }
    sqlite3_extended_result_codes(db_, 0);
    // A session written on another machine may be large: no limit but
    // SQLite's own on a blob or a row.
    return true;
}

void Database::close() {
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
}

void Database::fail(int code) {
    code_ = code & 0xff;
    error_ = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
}

bool Database::exec(const char* sql) {
    char* msg = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &msg);
    if (rc == SQLITE_OK) return true;
    code_ = rc & 0xff;
    error_ = msg ? msg : sqlite3_errstr(rc);
    sqlite3_free(msg);
    return false;
}

BlobSource::~BlobSource() { close(); }

void BlobSource::close() {
    if (blob_) sqlite3_blob_close(blob_);
    blob_ = nullptr;
}

bool BlobSource::read(int64_t rowid, uint64_t offset, void* out, size_t n) {
    int rc = SQLITE_OK;
    if (blob_ && row_ != rowid) {
        rc = sqlite3_blob_reopen(blob_, rowid);
        if (rc != SQLITE_OK) close();
    }
    if (!blob_) rc = sqlite3_blob_open(db_.handle(), "main", table_.c_str(), column_.c_str(), rowid, 0, &blob_);
    if (rc == SQLITE_OK) {
        row_ = rowid;
        const uint64_t size = static_cast<uint64_t>(sqlite3_blob_bytes(blob_));
        rc = offset > size || n > size - offset || n > 0x7fffffff ? SQLITE_CORRUPT
             : n == 0 ? SQLITE_OK
                      : sqlite3_blob_read(blob_, out, static_cast<int>(n), static_cast<int>(offset));
    }
    if (rc != SQLITE_OK) {
        close();
        db_.fail(rc);
    }
    return rc == SQLITE_OK;
}

bool Database::queryInt(const char* sql, int64_t& out) {
    Statement s(*this, sql);
    if (!s.ok() || !s.step()) return false;
    out = s.integer(0);
    return true;
}

Statement::Statement(Database& db, const char* sql) : db_(db) {
    if (!db.handle()) {
        failed_ = true;
        return;
    }
    const int rc = sqlite3_prepare_v2(db.handle(), sql, -1, &st_, nullptr);
    if (rc != SQLITE_OK) {
        db.fail(rc);
        st_ = nullptr;
        failed_ = true;
    }
}

Statement::~Statement() {
    if (st_) sqlite3_finalize(st_);
}

Statement& Statement::bind(int i, int64_t v) {
    if (st_) sqlite3_bind_int64(st_, i, v);
    return *this;
}
Statement& Statement::bind(int i, std::string_view text) {
    if (st_) sqlite3_bind_text(st_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
}
Statement& Statement::bindBlob(int i, const void* data, size_t n) {
    if (st_) sqlite3_bind_blob64(st_, i, n ? data : "", n, SQLITE_TRANSIENT);
    return *this;
}
Statement& Statement::bindNull(int i) {
    if (st_) sqlite3_bind_null(st_, i);
    return *this;
}

bool Statement::step() {
    if (!st_) return false;
    const int rc = sqlite3_step(st_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) {
        failed_ = true;
        db_.fail(rc);
    }
    return false;
}

bool Statement::run() {
    while (step()) {
    }
    const bool good = !failed_;
    reset();
    return good;
}

void Statement::reset() {
    if (!st_) return;
    sqlite3_reset(st_);
    sqlite3_clear_bindings(st_);
    failed_ = false;
}

bool Statement::isNull(int col) const { return sqlite3_column_type(st_, col) == SQLITE_NULL; }
int64_t Statement::integer(int col) const { return sqlite3_column_int64(st_, col); }
std::string Statement::text(int col) const {
    size_t n = 0;
    const uint8_t* p = blob(col, n);
    return p ? std::string(reinterpret_cast<const char*>(p), n) : std::string();
}
const uint8_t* Statement::blob(int col, size_t& n) const {
    const void* p = sqlite3_column_blob(st_, col);
    const int len = sqlite3_column_bytes(st_, col);
    n = len > 0 ? static_cast<size_t>(len) : 0;
    return static_cast<const uint8_t*>(p);
}

}  // namespace brantlow::session
