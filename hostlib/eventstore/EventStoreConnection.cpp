#include "hostlib/eventstore/EventStoreConnection.h"

#include "host/FXErrorUtil.h"
#include "hostlib/eventstore/EventStoreFile.h"

namespace eventstore {

CRyError Connection::Execute(const StoreFailure& store, const FXCodeLocation& where,
                             const char* operation, const std::string& sql) {
    if (sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        return store.SqliteError(where, operation, db.get());
    return CRyError::Success();
}

CRyError Connection::Open(const StoreFailure& store) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(SqliteFileName(store.Path()).c_str(), &raw,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    db.reset(raw);
    if (!raw) return FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_OUTOFMEMORY);
    if (rc != SQLITE_OK) return store.SqliteError(FX_LOCATION, "Create", raw);
    CRyError error = Execute(store, FX_LOCATION, "Create", CreateSchemaSql());
    if (error.IsSuccess() &&
        (Prepare(raw, kNoteShare, noteShare, true) != SQLITE_OK ||
         Prepare(raw, kNoteName, noteName, true) != SQLITE_OK || moved.Prepare(raw) != SQLITE_OK))
        error = store.SqliteError(FX_LOCATION, "Create", raw);
    if (error.IsSuccess()) error = AddTables(store, {std::string()}, "Create");
    return error;
}

CRyError Connection::AddTables(const StoreFailure& store, const std::vector<std::string>& prefixes,
                               const char* operation) {
    CRyError error = Execute(store, FX_LOCATION, operation, "BEGIN");
    for (const std::string& prefix : prefixes) {
        if (error.IsError()) break;
        if (tables.Add(db.get(), noteShare.get(), prefix) != SQLITE_OK)
            error = store.SqliteError(FX_LOCATION, operation, db.get());
    }
    if (error.IsSuccess()) error = Execute(store, FX_LOCATION, operation, "COMMIT");
    if (error.IsSuccess())
        error = Execute(store, FX_LOCATION, operation, CacheSizeSql(tables.Count()));
    return error;
}

int Connection::WriteNewNames() {
    for (; namesWritten < names.Count(); ++namesWritten) {
        const std::string& name = names.Name(namesWritten);
        sqlite3_bind_int64(noteName.get(), 1, static_cast<int64_t>(namesWritten));
        BindBytes(noteName.get(), 2, name.data(), name.size());
        const int rc = sqlite3_step(noteName.get());
        sqlite3_reset(noteName.get());
        if (rc != SQLITE_DONE) return rc;
    }
    return SQLITE_DONE;
}

}  // namespace eventstore
