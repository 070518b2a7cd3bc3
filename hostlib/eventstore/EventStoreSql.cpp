#include "hostlib/eventstore/EventStoreSql.h"

namespace eventstore {

void ColumnBytes(sqlite3_stmt* statement, int column, std::string& out, size_t keep) {
    const void* bytes = sqlite3_column_blob(statement, column);
    const int size = sqlite3_column_bytes(statement, column);
    out.resize(keep);
    if (size > 0) out.append(static_cast<const char*>(bytes), static_cast<size_t>(size));
}

int Prepare(sqlite3* db, const std::string& sql, Statement& statement, bool persistent) {
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v3(db, sql.c_str(), -1,
                                      persistent ? SQLITE_PREPARE_PERSISTENT : 0, &raw, nullptr);
    statement.reset(raw);
    return rc;
}

}  // namespace eventstore
