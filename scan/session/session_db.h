// A thin hold on SQLite: a connection and its prepared statements, errors
// kept as text for the operator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

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
    // n bytes at offset of a blob (table.column of row rowid), read in
    // place; false when the row is missing or the blob shorter.
    bool readBlob(const char* table, const char* column, int64_t rowid, uint64_t offset, void* out, size_t n);
    void fail(int code);

private:
    sqlite3* db_ = nullptr;
    std::string error_;
    int code_ = 0;
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
