// The SQLite plumbing both metadata databases share: one open connection, statements that are
// prepared, bound, stepped and finalised within one call, and the start-up that refuses a file which is
// not a database (leaving it untouched) instead of writing into it.
//
// Thread-safety: none; each database uses its connection only on its own serial queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace tw {

class SqliteConnection {
public:
    class Statement {
    public:
        Statement(Statement&&) noexcept = default;
        Statement& operator=(Statement&&) noexcept = default;
        void bind(int index, int64_t value);
        void bind(int index, double value);
        void bind(int index, const std::string& value);  // copied by SQLite
        // sqlite3_step's result code.
        int step();
        int64_t columnInt64(int column);
        double columnDouble(int column);
        std::string columnText(int column);

    private:
        friend class SqliteConnection;
        struct Finalize {
            void operator()(sqlite3_stmt* statement) const;
        };
        explicit Statement(sqlite3_stmt* s) : stmt_(s) {}
        std::unique_ptr<sqlite3_stmt, Finalize> stmt_;
    };

    // Opens (creating if absent) the database at `path` and runs each schema statement once. When the
    // file cannot be opened or is not a database, logs "the Database at PATH is corrupt." and returns
    // null; the file is not modified.
    static std::unique_ptr<SqliteConnection> open(const std::string& path, const std::vector<const char*>& schema);
    ~SqliteConnection();
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    // The prepared statement, or none when it does not prepare (nothing is logged).
    std::optional<Statement> prepare(const char* sql);
    // Prepares, steps once, finalises. A step that does not finish logs "<sql> failed.".
    void runStatement(const char* sql);

private:
    struct Close {
        void operator()(sqlite3* db) const;
    };
    explicit SqliteConnection(sqlite3* db) : db_(db) {}
    std::unique_ptr<sqlite3, Close> db_;
};

}  // namespace tw
