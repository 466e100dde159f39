// The SQLite plumbing every database here shares (the application's two metadata databases and the
// reference server's store): an owned connection and a prepared statement that is finalised when
// dropped, with binds, steps and column reads, and a cache that keeps statements prepared.
//
// Thread-safety: none; a connection and its statements are used by one thread (or under one lock) at
// a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

namespace tw::platform {

struct SqliteClose {
    void operator()(sqlite3* db) const;
};
// An open connection, closed when dropped.
using SqliteDatabase = std::unique_ptr<sqlite3, SqliteClose>;

class SqliteStatementCache;

class SqliteStatement {
public:
    // Prepares `sql` on `db`; `ok()` says whether it prepared.
    SqliteStatement(sqlite3* db, const char* sql);
    SqliteStatement(SqliteStatement&&) noexcept = default;
    SqliteStatement& operator=(SqliteStatement&&) noexcept = default;

    bool ok() const { return stmt_ != nullptr; }
    // Binds do nothing on a statement that did not prepare.
    SqliteStatement& bind(int index, int64_t value);
    SqliteStatement& bind(int index, double value);
    SqliteStatement& bind(int index, const std::string& value);  // copied by SQLite
    // sqlite3_step's result code (SQLITE_MISUSE when the statement did not prepare).
    int step();
    // Steps once; true while a row is available.
    bool row();
    // Steps to completion; true when the statement finished without error.
    bool run();
    int64_t columnInt64(int column) const;
    double columnDouble(int column) const;
    std::string columnText(int column) const;

private:
    friend class SqliteStatementCache;
    // Dropped: finalised, or, lent by a cache (`inUse` set), reset and given back.
    struct Finalize {
        Finalize() noexcept : inUse(nullptr) {}
        explicit Finalize(bool* lentFlag) noexcept : inUse(lentFlag) {}
        bool* inUse;
        void operator()(sqlite3_stmt* statement) const;
    };
    SqliteStatement(sqlite3_stmt* lent, bool* inUse) : stmt_(lent, Finalize{inUse}) {}
    std::unique_ptr<sqlite3_stmt, Finalize> stmt_;
};

// Statements kept prepared, by their text, for one connection: preparing one costs more than running
// the small statements that records use, and a burst of file changes runs thousands of them. A text
// taken while its statement is still in use (a query run inside another's loop) is prepared afresh.
// Destroy it before its connection.
class SqliteStatementCache {
public:
    SqliteStatementCache();
    ~SqliteStatementCache();
    SqliteStatementCache(const SqliteStatementCache&) = delete;
    SqliteStatementCache& operator=(const SqliteStatementCache&) = delete;
    SqliteStatement take(sqlite3* db, const char* sql);

private:
    struct Slot;
    std::unordered_map<std::string, std::unique_ptr<Slot>> slots_;
};

}  // namespace tw::platform
