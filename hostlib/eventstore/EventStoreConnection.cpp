#include "hostlib/eventstore/EventStoreConnection.h"

#include "host/FXErrorUtil.h"
#include "hostlib/eventstore/EventStoreBlock.h"
#include "hostlib/eventstore/EventStoreFile.h"
#include "hostlib/eventstore/EventStoreLayout.h"

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
    const std::pair<const char*, Statement*> statements[] = {
        {kNoteShare, &noteShare}, {kNoteName, &noteName},         {kAddBlock, &addBlock},
        {kReadBlock, &readBlock}, {kRewriteBlock, &rewriteBlock}, {kReadShareBlocks, &shareBlocks}};
    for (const auto& statement : statements) {
        if (error.IsSuccess() &&
            Prepare(raw, statement.first, *statement.second, true) != SQLITE_OK)
            error = store.SqliteError(FX_LOCATION, "Create", raw);
    }
    if (error.IsSuccess() && (inodes.Prepare(raw) != SQLITE_OK || moved.Prepare(raw) != SQLITE_OK))
        error = store.SqliteError(FX_LOCATION, "Create", raw);
    if (error.IsSuccess()) error = AddShares(store, {std::string()}, "Create");
    return error;
}

CRyError Connection::AddShares(const StoreFailure& store, const std::vector<std::string>& prefixes,
                               const char* operation) {
    CRyError error = Execute(store, FX_LOCATION, operation, "BEGIN");
    for (const std::string& prefix : prefixes) {
        if (error.IsError()) break;
        sqlite3_bind_int64(noteShare.get(), 1, static_cast<int64_t>(shares.Count()));
        BindBytes(noteShare.get(), 2, prefix.data(), prefix.size());
        const int rc = sqlite3_step(noteShare.get());
        sqlite3_reset(noteShare.get());
        if (rc != SQLITE_DONE) {
            error = store.SqliteError(FX_LOCATION, operation, db.get());
        } else {
            shares.Add(prefix);
        }
    }
    if (error.IsSuccess()) error = Execute(store, FX_LOCATION, operation, "COMMIT");
    return error;
}

int Connection::WriteNewNames() {
    for (; namesWritten < names.Count(); ++namesWritten) {
        const std::string_view name = names.Name(namesWritten);
        sqlite3_bind_int64(noteName.get(), 1, static_cast<int64_t>(namesWritten));
        BindBytes(noteName.get(), 2, name.data(), name.size());
        const int rc = sqlite3_step(noteName.get());
        sqlite3_reset(noteName.get());
        if (rc != SQLITE_DONE) return rc;
    }
    return SQLITE_DONE;
}

int Connection::AddBlock(size_t share, const std::string& events, int64_t& id) {
    int rc = WriteNewNames();
    if (rc != SQLITE_DONE) return rc;
    sqlite3_bind_int64(addBlock.get(), 1, static_cast<int64_t>(share));
    BindBytes(addBlock.get(), 2, events.data(), events.size());
    rc = sqlite3_step(addBlock.get());
    sqlite3_reset(addBlock.get());
    id = sqlite3_last_insert_rowid(db.get());
    return rc;
}

int Connection::FindBlock(int64_t inode, StoredBlock& block) {
    int rc = inodes.Find(inode, block.id);
    if (rc != SQLITE_ROW) return rc;
    sqlite3_bind_int64(readBlock.get(), 1, block.id);
    rc = sqlite3_step(readBlock.get());
    if (rc == SQLITE_ROW) {
        const int64_t share = sqlite3_column_int64(readBlock.get(), 0);
        if (share < 0 || static_cast<uint64_t>(share) >= shares.Count()) rc = SQLITE_CORRUPT;
        block.share = static_cast<size_t>(share);
        ColumnBytes(readBlock.get(), 1, block.events);
    } else if (rc == SQLITE_DONE) {
        rc = SQLITE_CORRUPT;
    }
    sqlite3_reset(readBlock.get());
    return rc;
}

bool Connection::EventIn(const StoredBlock& block, int64_t inode, ChangeEventItem& event) const {
    BlockEvents events(block.events);
    while (events.Next(&event)) {
        if (events.Inode() == inode) return events.Read(shares.Prefix(block.share), names, event);
    }
    return false;
}

int Connection::RewriteBlock(int64_t id, const std::string& events) {
    int rc = WriteNewNames();
    if (rc != SQLITE_DONE) return rc;
    sqlite3_bind_int64(rewriteBlock.get(), 1, id);
    BindBytes(rewriteBlock.get(), 2, events.data(), events.size());
    rc = sqlite3_step(rewriteBlock.get());
    sqlite3_reset(rewriteBlock.get());
    return rc;
}

}  // namespace eventstore
