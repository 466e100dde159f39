#include "Pinewick/metadata/ConsistencyCheckDataBase.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "Pinewick/config/Log.h"
#include "Pinewick/metadata/SqliteConnection.h"
#include "platform/dispatch.h"

namespace tw {

namespace {

const std::vector<const char*> kSchema = {
    "CREATE TABLE IF NOT EXISTS ConsistencyCheck (node INT NOT NULL, volume TEXT NOT NULL, refreshDate REAL "
    "NOT NULL);",
    "CREATE INDEX IF NOT EXISTS Idx1 ON ConsistencyCheck(node, volume);",
    "CREATE INDEX IF NOT EXISTS Idx2 ON ConsistencyCheck(refreshDate);",
};

double secondsSince1970(std::chrono::system_clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

std::chrono::system_clock::time_point fromSeconds(double seconds) {
    // A value no clock can hold (a hand-edited file) reads as the epoch instead of overflowing.
    if (!std::isfinite(seconds) || std::fabs(seconds) > 9.0e9) return {};
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::duration<double>(seconds)));
}

}  // namespace

std::string CCDBRecord::description() const {
    return "CCDBRecord(volumeUUID: \"" + volumeUUID + "\", folderNode: " + std::to_string(folderNode) +
           ", refreshDate: " + std::to_string(secondsSince1970(refreshDate)) + ")";
}

ConsistencyCheckDataBase::ConsistencyCheckDataBase(std::string databasePath)
    : path_(std::move(databasePath)) {
    TW_TRACE_IN("init()");
    db_ = std::make_unique<SerialDatabase>(path_, kQueueLabel, kSchema);
    TW_TRACE_OUT("init()");
}

ConsistencyCheckDataBase::~ConsistencyCheckDataBase() = default;

bool ConsistencyCheckDataBase::isOpen() const {
    return db_->isOpen();
}

void ConsistencyCheckDataBase::addRecord(const CCDBRecord& record) {
    if (!SqliteConnection::bindableNode(record.folderNode)) {
        log().logWarning("Could not insert record.");
        return;
    }
    db_->run([&](SqliteConnection& db) {
        auto statement =
            db.prepare("INSERT INTO ConsistencyCheck (node, volume, refreshDate) VALUES (?, ?, ?);");
        if (!statement) return;
        statement->bind(1, static_cast<int64_t>(record.folderNode));
        statement->bind(2, record.volumeUUID);
        statement->bind(3, secondsSince1970(record.refreshDate));
        if (statement->step() != SQLITE_DONE) log().logWarning("Could not insert record.");
    });
}

void ConsistencyCheckDataBase::refreshRecord(const CCDBRecord& record) {
    if (!SqliteConnection::bindableNode(record.folderNode)) return;
    db_->run([&](SqliteConnection& db) {
        auto statement =
            db.prepare("UPDATE ConsistencyCheck SET refreshDate = ? WHERE node = ? AND volume = ?;");
        if (!statement) return;
        statement->bind(1, secondsSince1970(record.refreshDate));
        statement->bind(2, static_cast<int64_t>(record.folderNode));
        statement->bind(3, record.volumeUUID);
        if (statement->step() != SQLITE_DONE) log().logWarning("Could not update record.");
    });
}

void ConsistencyCheckDataBase::removeRecord(const CCDBRecord& record) {
    if (!SqliteConnection::bindableNode(record.folderNode)) return;
    db_->run([&](SqliteConnection& db) {
        auto statement = db.prepare("DELETE FROM ConsistencyCheck WHERE node = ? AND volume = ?;");
        if (!statement) return;
        statement->bind(1, static_cast<int64_t>(record.folderNode));
        statement->bind(2, record.volumeUUID);
        if (statement->step() != SQLITE_DONE)
            log().logWarning("Could not delete record for item " + record.description() + ".");
    });
}

std::optional<CCDBRecord> ConsistencyCheckDataBase::findRecord(uint64_t node, const std::string& volume) {
    if (!SqliteConnection::bindableNode(node)) return std::nullopt;
    std::optional<CCDBRecord> found;
    db_->run([&](SqliteConnection& db) {
        auto statement = db.prepare("SELECT * FROM ConsistencyCheck WHERE node = ? AND volume = ?;");
        if (!statement) return;
        statement->bind(1, static_cast<int64_t>(node));
        statement->bind(2, volume);
        if (statement->step() != SQLITE_ROW) return;
        found = CCDBRecord{volume, node, fromSeconds(statement->columnDouble(2))};
    });
    return found;
}

std::optional<CCDBRecord> ConsistencyCheckDataBase::lastRefreshDateRecord() {
    std::optional<CCDBRecord> found;
    db_->run([&](SqliteConnection& db) {
        auto statement = db.prepare("SELECT * FROM ConsistencyCheck ORDER BY refreshDate LIMIT 1;");
        if (!statement) return;
        if (statement->step() != SQLITE_ROW) return;
        found = CCDBRecord{statement->columnText(1), static_cast<uint64_t>(statement->columnInt64(0)),
                           fromSeconds(statement->columnDouble(2))};
    });
    return found;
}

std::vector<CCDBRecord> ConsistencyCheckDataBase::lastRefreshDateRecords(size_t limit) {
    std::vector<CCDBRecord> rows;
    db_->run([&](SqliteConnection& db) {
        auto statement = db.prepare("SELECT * FROM ConsistencyCheck ORDER BY refreshDate LIMIT ?;");
        if (!statement) return;
        statement->bind(1, static_cast<int64_t>(limit));
        while (statement->step() == SQLITE_ROW)
            rows.push_back(CCDBRecord{statement->columnText(1),
                                      static_cast<uint64_t>(statement->columnInt64(0)),
                                      fromSeconds(statement->columnDouble(2))});
    });
    return rows;
}

uint64_t ConsistencyCheckDataBase::rowCount() {
    uint64_t count = 0;
    db_->run([&](SqliteConnection& db) {
        auto statement = db.prepare("SELECT COUNT(*) FROM ConsistencyCheck;");
        if (statement && statement->step() == SQLITE_ROW)
            count = static_cast<uint64_t>(std::max<int64_t>(0, statement->columnInt64(0)));
    });
    return count;
}

std::optional<std::chrono::system_clock::time_point> ConsistencyCheckDataBase::oldestRefresh(
    const std::string& volume) {
    std::optional<std::chrono::system_clock::time_point> oldest;
    db_->run([&](SqliteConnection& db) {
        auto statement =
            db.prepare("SELECT MIN(refreshDate), COUNT(*) FROM ConsistencyCheck WHERE volume = ?;");
        if (!statement) return;
        statement->bind(1, volume);
        if (statement->step() == SQLITE_ROW && statement->columnInt64(1) > 0)
            oldest = fromSeconds(statement->columnDouble(0));
    });
    return oldest;
}

}  // namespace tw
