#include "platform/sqlite.h"

#include <sqlite3.h>

namespace tw::platform {

void SqliteClose::operator()(sqlite3* db) const {
    sqlite3_close_v2(db);
}
void SqliteStatement::Finalize::operator()(sqlite3_stmt* statement) const {
    if (!inUse) {
        sqlite3_finalize(statement);
        return;
    }
    // Reset now, not when next taken: a statement left mid-way would hold its read transaction open.
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    *inUse = false;
}

struct SqliteStatementCache::Slot {
    std::unique_ptr<sqlite3_stmt, SqliteStatement::Finalize> statement;
    bool inUse = false;
};

SqliteStatementCache::SqliteStatementCache() = default;
SqliteStatementCache::~SqliteStatementCache() = default;

SqliteStatement SqliteStatementCache::take(sqlite3* db, const char* sql) {
    auto& slot = slots_[sql];
    if (!slot) {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr) != SQLITE_OK || !raw) {
            sqlite3_finalize(raw);
            slots_.erase(sql);
            return SqliteStatement(db, sql);  // does not prepare either: ok() says so
        }
        slot = std::make_unique<Slot>();
        slot->statement.reset(raw);
    }
    if (slot->inUse) return SqliteStatement(db, sql);
    slot->inUse = true;
    return SqliteStatement(slot->statement.get(), &slot->inUse);
}

SqliteStatement::SqliteStatement(sqlite3* db, const char* sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) == SQLITE_OK)
        stmt_.reset(raw);
    else
        sqlite3_finalize(raw);
}

SqliteStatement& SqliteStatement::bind(int index, int64_t value) {
    if (stmt_) sqlite3_bind_int64(stmt_.get(), index, value);
    return *this;
}

SqliteStatement& SqliteStatement::bind(int index, double value) {
    if (stmt_) sqlite3_bind_double(stmt_.get(), index, value);
    return *this;
}

SqliteStatement& SqliteStatement::bind(int index, const std::string& value) {
    if (stmt_)
        sqlite3_bind_text(stmt_.get(), index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
}

int SqliteStatement::step() {
    return stmt_ ? sqlite3_step(stmt_.get()) : SQLITE_MISUSE;
}

bool SqliteStatement::row() {
    return step() == SQLITE_ROW;
}

bool SqliteStatement::run() {
    if (!stmt_) return false;
    int rc;
    while ((rc = sqlite3_step(stmt_.get())) == SQLITE_ROW) {
    }
    return rc == SQLITE_DONE;
}

int64_t SqliteStatement::columnInt64(int column) const {
    return sqlite3_column_int64(stmt_.get(), column);
}

double SqliteStatement::columnDouble(int column) const {
    return sqlite3_column_double(stmt_.get(), column);
}

std::string SqliteStatement::columnText(int column) const {
    const unsigned char* text = sqlite3_column_text(stmt_.get(), column);
    int length = sqlite3_column_bytes(stmt_.get(), column);
    if (!text || length <= 0) return "";
    return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
}

}  // namespace tw::platform
