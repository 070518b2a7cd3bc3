#include "hostlib/eventstore/Sql.h"

namespace eventstore {

Status SqliteStatus(sqlite3* db, int code) {
    std::string message =
        db && sqlite3_errcode(db) == code ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    return code == SQLITE_CORRUPT ? Status::Corruption(std::move(message))
                                  : Status::IOError(std::move(message));
}

Status DamagedRow(long long inode) {
    return Status::Corruption("the row of inode " + std::to_string(inode) + " is damaged");
}

void ColumnBytes(sqlite3_stmt* statement, int column, std::string& out, size_t keep) {
    const void* bytes = sqlite3_column_blob(statement, column);
    const int size = sqlite3_column_bytes(statement, column);
    out.resize(keep);
    if (size > 0) out.append(static_cast<const char*>(bytes), static_cast<size_t>(size));
}

Status Prepare(sqlite3* db, const std::string& sql, Statement& statement, bool persistent) {
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v3(db, sql.c_str(), -1,
                                      persistent ? SQLITE_PREPARE_PERSISTENT : 0, &raw, nullptr);
    statement.reset(raw);
    return rc == SQLITE_OK ? Status() : SqliteStatus(db, rc);
}

Status StepOnce(sqlite3_stmt* statement) {
    const int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    return rc == SQLITE_DONE ? Status() : SqliteStatus(sqlite3_db_handle(statement), rc);
}

}  // namespace eventstore
