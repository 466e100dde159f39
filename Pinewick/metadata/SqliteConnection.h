// The SQLite plumbing both metadata databases share: one open connection, statements that are
// prepared, bound, stepped and finalised within one call, the start-up that refuses a file which is
// not a database (leaving it untouched) instead of writing into it, and the serial queue every use of
// the connection runs on.
//
// Thread-safety: a SqliteConnection has none; a SerialDatabase runs each use of its connection on its
// own serial queue, so callers may be on any thread but that queue.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sqlite.h"

namespace tw {

namespace platform {
class DispatchQueue;
}

class SqliteConnection {
public:
    using Statement = platform::SqliteStatement;

    // Opens (creating if absent) the database at `path` and runs each schema statement once. When the
    // file cannot be opened or is not a database, logs "the Database at PATH is corrupt." and returns
    // null; the file is not modified.
    static std::unique_ptr<SqliteConnection> open(const std::string& path,
                                                  const std::vector<const char*>& schema);
    ~SqliteConnection();
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    // The prepared statement, or none when it does not prepare (nothing is logged).
    std::optional<Statement> prepare(const char* sql);
    // Prepares, steps once, finalises. A step that does not finish logs "<sql> failed.".
    void runStatement(const char* sql);

    // SQLite integers are signed; file numbers never reach the upper half, and one that does is refused
    // rather than stored as a negative number that would never be found again.
    static bool bindableNode(uint64_t node) {
        return node <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    }

private:
    explicit SqliteConnection(platform::SqliteDatabase db) : db_(std::move(db)) {}
    platform::SqliteDatabase db_;
    platform::SqliteStatementCache statements_;  // after db_: finalised before it closes
};

// A database file used through one connection on one serial queue: opened with its schema when made,
// closed when destroyed.
class SerialDatabase {
public:
    SerialDatabase(std::string path, std::string queueLabel, const std::vector<const char*>& schema);
    ~SerialDatabase();
    SerialDatabase(const SerialDatabase&) = delete;
    SerialDatabase& operator=(const SerialDatabase&) = delete;

    // Runs `work` with the connection on the queue and waits for it; not at all when the database
    // could not be opened.
    void run(const std::function<void(SqliteConnection& connection)>& work);
    // False when the database could not be opened (or is not a database).
    bool isOpen();
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::shared_ptr<platform::DispatchQueue> queue_;
    std::unique_ptr<SqliteConnection> connection_;  // touched only on `queue_`
};

}  // namespace tw
