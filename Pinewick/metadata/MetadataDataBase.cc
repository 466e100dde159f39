#include "Pinewick/metadata/MetadataDataBase.h"

#include <sqlite3.h>

#include "Pinewick/config/Log.h"
#include "Pinewick/metadata/SqliteConnection.h"
#include "platform/dispatch.h"

namespace tw {

namespace {

const std::vector<const char*> kSchema = {
    "CREATE TABLE IF NOT EXISTS Metadata (node INT NOT NULL, volume TEXT NOT NULL, path TEXT NOT NULL, "
    "revision TEXT NOT NULL, state TEXT NOT NULL);",
    "CREATE INDEX IF NOT EXISTS Idx1 ON Metadata(node, volume);",
    "CREATE INDEX IF NOT EXISTS Idx2 ON Metadata(path);",
    "CREATE TABLE IF NOT EXISTS SentUploads (path TEXT NOT NULL, size INT NOT NULL, mtime INT NOT NULL, "
    "PRIMARY KEY (path, size, mtime));",
};

// Sent uploads kept per path: each answered upload forgets them, so only a path cut again and again
// gathers more, and its latest are the ones a retry can meet.
constexpr int kSentUploadsPerPath = 8;

}  // namespace

std::string Record::description() const {
    return "Record(volumeUUID: \"" + volumeUUID + "\", itemNode: " + std::to_string(itemNode) + ", path: \"" +
           path + "\", revision: \"" + revision + "\", state: \"" + state + "\")";
}

MetadataDataBase::MetadataDataBase(std::string databasePath) : path_(std::move(databasePath)) {
    TW_TRACE_IN("init()");
    db_ = std::make_unique<SerialDatabase>(path_, kQueueLabel, kSchema);
    TW_TRACE_OUT("init()");
}

MetadataDataBase::~MetadataDataBase() = default;

bool MetadataDataBase::isOpen() const {
    return db_->isOpen();
}

void MetadataDataBase::addRecord(const Record& record) {
    if (!SqliteConnection::bindableNode(record.itemNode)) {
        log().logWarning("Could not insert record.");
        return;
    }
    db_->run([&](SqliteConnection& db) {
        bool exists = false;
        if (auto find = db.prepare("SELECT * FROM Metadata WHERE node = ? AND volume = ?;")) {
            find->bind(1, static_cast<int64_t>(record.itemNode));
            find->bind(2, record.volumeUUID);
            exists = find->step() == SQLITE_ROW;
        }
        const char* sql =
            exists
                ? "UPDATE Metadata SET path = ?3, revision = ?4, state = ?5 WHERE node = ?1 AND volume = ?2;"
                : "INSERT INTO Metadata (node, volume, path, revision, state) VALUES (?, ?, ?, ?, ?);";
        auto statement = db.prepare(sql);
        if (!statement) return;
        statement->bind(1, static_cast<int64_t>(record.itemNode));
        statement->bind(2, record.volumeUUID);
        statement->bind(3, record.path);
        statement->bind(4, record.revision);
        statement->bind(5, record.state);
        if (statement->step() != SQLITE_DONE) log().logWarning("Could not insert record.");
    });
}

std::optional<Record> MetadataDataBase::findRecord(uint64_t node, const std::string& volume) {
    if (!SqliteConnection::bindableNode(node)) return std::nullopt;
    std::optional<Record> found;
    db_->run([&](SqliteConnection& db) {
        auto statement = db.prepare("SELECT * FROM Metadata WHERE node = ? AND volume = ?;");
        if (!statement) return;
        statement->bind(1, static_cast<int64_t>(node));
        statement->bind(2, volume);
        if (statement->step() != SQLITE_ROW) return;
        found = Record{volume, node, statement->columnText(2), statement->columnText(3),
                       statement->columnText(4)};
    });
    return found;
}

std::vector<Record> MetadataDataBase::findRecord(const std::string& path) {
    std::vector<Record> rows;
    db_->run([&](SqliteConnection& db) {
        auto statement = db.prepare("SELECT * FROM Metadata WHERE path = ?;");
        if (!statement) return;
        statement->bind(1, path);
        while (statement->step() == SQLITE_ROW) {
            Record r;
            r.itemNode = static_cast<uint64_t>(statement->columnInt64(0));
            r.volumeUUID = statement->columnText(1);
            r.path = statement->columnText(2);
            r.revision = statement->columnText(3);
            r.state = statement->columnText(4);
            rows.push_back(std::move(r));
        }
    });
    return rows;
}

void MetadataDataBase::removeRecord(const Record& record) {
    if (!SqliteConnection::bindableNode(record.itemNode)) return;  // it cannot have been stored
    db_->run([&](SqliteConnection& db) {
        auto statement = db.prepare("DELETE FROM Metadata WHERE node = ? AND volume = ?;");
        if (!statement) return;
        statement->bind(1, static_cast<int64_t>(record.itemNode));
        statement->bind(2, record.volumeUUID);
        if (statement->step() != SQLITE_DONE)
            log().logWarning("Could not delete record for item " + record.description() + ".");
    });
}

void MetadataDataBase::moveFolderRows(const std::string& from, const std::string& to) {
    if (from.empty() || from == to) return;
    db_->run([&](SqliteConnection& db) {
        auto statement = db.prepare(
            "UPDATE Metadata SET path = ?2 || substr(path, length(?1) + 1) "
            "WHERE substr(path, 1, length(?1) + 1) = ?1 || '/';");
        if (!statement) return;
        statement->bind(1, from);
        statement->bind(2, to);
        if (statement->step() != SQLITE_DONE) log().logWarning("Could not move the rows under " + from + ".");
    });
}

void MetadataDataBase::noteSentUpload(const std::string& path, uint64_t size, int64_t modificationSeconds) {
    if (!SqliteConnection::bindableNode(size)) return;
    db_->run([&](SqliteConnection& db) {
        if (auto insert =
                db.prepare("INSERT OR REPLACE INTO SentUploads (path, size, mtime) VALUES (?, ?, ?);")) {
            insert->bind(1, path);
            insert->bind(2, static_cast<int64_t>(size));
            insert->bind(3, modificationSeconds);
            if (insert->step() != SQLITE_DONE) log().logWarning("Could not note the upload of " + path + ".");
        }
        if (auto prune =
                db.prepare("DELETE FROM SentUploads WHERE path = ?1 AND rowid NOT IN (SELECT rowid FROM "
                           "SentUploads WHERE path = ?1 ORDER BY rowid DESC LIMIT ?2);")) {
            prune->bind(1, path);
            prune->bind(2, static_cast<int64_t>(kSentUploadsPerPath));
            (void)prune->step();
        }
    });
}

bool MetadataDataBase::sentUpload(const std::string& path, uint64_t size, int64_t modificationSeconds) {
    if (!SqliteConnection::bindableNode(size)) return false;
    bool found = false;
    db_->run([&](SqliteConnection& db) {
        auto statement = db.prepare("SELECT 1 FROM SentUploads WHERE path = ? AND size = ? AND mtime = ?;");
        if (!statement) return;
        statement->bind(1, path);
        statement->bind(2, static_cast<int64_t>(size));
        statement->bind(3, modificationSeconds);
        found = statement->step() == SQLITE_ROW;
    });
    return found;
}

bool MetadataDataBase::anySentUpload(const std::string& path) {
    bool found = false;
    db_->run([&](SqliteConnection& db) {
        auto statement = db.prepare("SELECT 1 FROM SentUploads WHERE path = ? LIMIT 1;");
        if (!statement) return;
        statement->bind(1, path);
        found = statement->step() == SQLITE_ROW;
    });
    return found;
}

void MetadataDataBase::forgetSentUploads(const std::string& path) {
    db_->run([&](SqliteConnection& db) {
        auto statement = db.prepare("DELETE FROM SentUploads WHERE path = ?;");
        if (!statement) return;
        statement->bind(1, path);
        (void)statement->step();
    });
}

}  // namespace tw
