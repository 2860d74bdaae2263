// A thin hold on SQLite: a connection and its prepared statements, errors
// kept as text for the operator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_blob;

namespace brantlow::session {

class Database {
public:
    Database() = default;
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Opens path read-write; create: may make it. False with error().
    bool open(const std::string& path, bool create);
    void close();
    bool isOpen() const { return db_ != nullptr; }
    // Runs statements without results. False with error().
    bool exec(const char* sql);
    // The single integer a statement ("PRAGMA user_version") gives; false on error.
    bool queryInt(const char* sql, int64_t& out);
    std::string error() const { return error_; }
    // SQLite's primary result code of the last failure (SQLITE_FULL...).
    int errorCode() const { return code_; }
    sqlite3* handle() const { return db_; }
    void fail(int code);

private:
    sqlite3* db_ = nullptr;
    std::string error_;
    int code_ = 0;
};

// Reads pieces of one blob column, the blob left open between reads: the
// next read in the same row goes straight to its page (SQLite keeps the
// row's overflow pages listed while it is open), not along the chain from
// the blob's first page.
class BlobSource {
public:
    BlobSource(Database& db, const char* table, const char* column) : db_(db), table_(table), column_(column) {}
    ~BlobSource();
    BlobSource(const BlobSource&) = delete;
    BlobSource& operator=(const BlobSource&) = delete;
    // n bytes at offset of the row's blob; false when the row is missing or
    // the blob shorter.
    bool read(int64_t rowid, uint64_t offset, void* out, size_t n);

private:
    void close();
    Database& db_;
    std::string table_, column_;
    sqlite3_blob* blob_ = nullptr;
    int64_t row_ = 0;
};

class Statement {
public:
    Statement(Database& db, const char* sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return st_ != nullptr; }

    Statement& bind(int i, int64_t v);
    Statement& bind(int i, std::string_view text);
    Statement& bindBlob(int i, const void* data, size_t n);
    Statement& bindNull(int i);
    // A row (true) or the end or an error (false; failed() tells which).
    bool step();
    bool failed() const { return failed_; }
    // Runs to the end and resets; false on error.
    bool run();
    void reset();

    bool isNull(int col) const;
    int64_t integer(int col) const;
    std::string text(int col) const;
    // The column's bytes (a blob or text); n gets the length.
    const uint8_t* blob(int col, size_t& n) const;

private:
    Database& db_;
    sqlite3_stmt* st_ = nullptr;
    bool failed_ = false;
};

}  // namespace brantlow::session
