#include "hostlib/eventstore/EventStoreConnection.h"

#include "host/FXErrorUtil.h"
#include "hostlib/eventstore/EventStoreFile.h"

namespace eventstore {

CRyError Connection::Execute(const StoreFailure& store, const FXCodeLocation& where, const char* operation,
                             const std::string& sql) {
    if (sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        return store.SqliteError(where, operation, db.get());
    return CRyError::Success();
}

CRyError Connection::Open(const StoreFailure& store, size_t rowsPerInsert) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(SqliteFileName(store.Path()).c_str(), &raw,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    db.reset(raw);
    if (!raw) return FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_OUTOFMEMORY);
    if (rc != SQLITE_OK) return store.SqliteError(FX_LOCATION, "Create", raw);
    CRyError error = Execute(store, FX_LOCATION, "Create", CreateSchemaSql());
    if (error.IsSuccess() && (Prepare(raw, kNoteShare, noteShare, true) != SQLITE_OK || moved.Prepare(raw) != SQLITE_OK))
        error = store.SqliteError(FX_LOCATION, "Create", raw);
    if (error.IsSuccess()) error = AddTables(store, {std::string()}, "Create", rowsPerInsert);
    return error;
}

CRyError Connection::AddTables(const StoreFailure& store, const std::vector<std::string>& prefixes,
                               const char* operation, size_t rowsPerInsert) {
    CRyError error = Execute(store, FX_LOCATION, operation, "BEGIN");
    for (const std::string& prefix : prefixes) {
        if (error.IsError()) break;
        if (tables.Add(db.get(), noteShare.get(), prefix, rowsPerInsert) != SQLITE_OK)
            error = store.SqliteError(FX_LOCATION, operation, db.get());
    }
    if (error.IsSuccess()) error = Execute(store, FX_LOCATION, operation, "DROP VIEW IF EXISTS events");
    // The view joins the tables in one compound SELECT, which SQLite limits
    // (500 terms unless built otherwise): a volume with more shares gets no
    // view rather than a failed job. The view is for people; the store never
    // reads it.
    const int terms = sqlite3_limit(db.get(), SQLITE_LIMIT_COMPOUND_SELECT, -1);
    if (error.IsSuccess() && tables.Count() <= static_cast<size_t>(terms > 0 ? terms : 1))
        error = Execute(store, FX_LOCATION, operation, EventsViewSql(tables.Prefixes()));
    if (error.IsSuccess()) error = Execute(store, FX_LOCATION, operation, "COMMIT");
    return error;
}

}  // namespace eventstore
