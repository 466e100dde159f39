#include "Pinewick/metadata/SqliteConnection.h"

#include <sqlite3.h>

#include "Pinewick/config/Log.h"
#include "platform/dispatch.h"

namespace tw {

std::unique_ptr<SqliteConnection> SqliteConnection::open(const std::string& path,
                                                         const std::vector<const char*>& schema) {
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    platform::SqliteDatabase db(raw);
    std::string reason;
    if (rc == SQLITE_OK) {
        // Another process of ours may hold a write lock for a moment.
        sqlite3_busy_timeout(db.get(), 2000);
        // SQLite reads the file only when a statement needs it, so a file that is not a database opens
        // fine and would then fail every statement silently. Reading the schema now finds it, before
        // anything could be written.
        rc = sqlite3_exec(db.get(), "SELECT count(*) FROM sqlite_master;", nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) {
        reason = db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc);
        log().logFatal("the Database at " + path + " is corrupt.");
        log().logWarning("SQLite: " + reason + " (" + path + ")");
        return nullptr;
    }
    // Every record save with a revision writes a row. With the default rollback journal each write
    // waits for two fsyncs (milliseconds); a write-ahead log synced at checkpoints keeps every committed
    // row across a crash of the application and costs microseconds. Where WAL is not available the
    // default journal stays, which is merely slower.
    sqlite3_exec(db.get(), "PRAGMA journal_mode=WAL;", nullptr, nullptr, nullptr);
    sqlite3_exec(db.get(), "PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
    std::unique_ptr<SqliteConnection> connection(new SqliteConnection(std::move(db)));
    for (const char* statement : schema) connection->runStatement(statement);
    return connection;
}

SqliteConnection::~SqliteConnection() = default;

std::optional<SqliteConnection::Statement> SqliteConnection::prepare(const char* sql) {
    Statement statement = statements_.take(db_.get(), sql);
    if (!statement.ok()) return std::nullopt;
    return statement;
}

void SqliteConnection::runStatement(const char* sql) {
    auto statement = prepare(sql);
    if (!statement) return;
    if (statement->step() != SQLITE_DONE) log().logWarning(std::string(sql) + " failed.");
}

SerialDatabase::SerialDatabase(std::string path, std::string queueLabel,
                               const std::vector<const char*>& schema)
    : path_(std::move(path)), queue_(platform::DispatchQueue::serial(std::move(queueLabel))) {
    queue_->sync([&] { connection_ = SqliteConnection::open(path_, schema); });
}

SerialDatabase::~SerialDatabase() {
    queue_->sync([this] { connection_.reset(); });
}

void SerialDatabase::run(const std::function<void(SqliteConnection& connection)>& work) {
    queue_->sync([&] {
        if (connection_) work(*connection_);
    });
}

bool SerialDatabase::isOpen() {
    bool open = false;
    queue_->sync([&] { open = connection_ != nullptr; });
    return open;
}

}  // namespace tw
