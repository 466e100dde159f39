#include "platform/sqlite.h"

#include <sqlite3.h>

namespace tw::platform {

void SqliteClose::operator()(sqlite3* db) const {
    sqlite3_close_v2(db);
}
void SqliteStatement::Finalize::operator()(sqlite3_stmt* statement) const {
    sqlite3_finalize(statement);
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
