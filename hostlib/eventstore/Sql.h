// The SQLite pieces every part of the change event store uses: the Status of
// a failed call, handles that finalize and close themselves, and byte binds
// and reads without copies.
#pragma once

#include "hostlib/Status.h"

#include <sqlite3.h>
#include <memory>
#include <string>

namespace eventstore {

using hostlib::Status;

// The failure code gave on db: db's message when it holds that code, else
// SQLite's text for the code (a code of the store's own checks). A damaged
// file is a corruption; every other failure, a full disk included, an I/O
// error.
Status SqliteStatus(sqlite3* db, int code);

// The stored event of inode does not read back.
Status DamagedRow(long long inode);

struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
typedef std::unique_ptr<sqlite3_stmt, StatementFinalizer> Statement;

struct DatabaseCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
typedef std::unique_ptr<sqlite3, DatabaseCloser> Database;

// Steps a statement that returns no row, and resets it.
Status StepOnce(sqlite3_stmt* statement);

// Bytes are bound without a copy: the caller keeps them alive and unchanged
// until the statement has been stepped and reset.
inline void BindBytes(sqlite3_stmt* statement, int index, const char* bytes, size_t size) {
    sqlite3_bind_blob64(statement, index, bytes, size, SQLITE_STATIC);
}

// The column's bytes after the first keep bytes of out.
void ColumnBytes(sqlite3_stmt* statement, int column, std::string& out, size_t keep = 0);

// A persistent statement is one the store keeps for its whole life.
Status Prepare(sqlite3* db, const std::string& sql, Statement& statement, bool persistent);

}  // namespace eventstore
