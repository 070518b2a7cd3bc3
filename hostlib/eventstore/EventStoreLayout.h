// The layout of a change database file, stated once for the store that
// writes it and for the reader that tools use (docs/change-database.md):
// the version kept in PRAGMA user_version, the tables with the statements
// on them, and how one event fills one row of a share table.
//
// Each share's events live in a table of their own (share_<id>, its prefix
// in shares), so reading a share is a plain scan of its table; share_0
// holds the events of no share. moved lists the inodes whose old path lies
// in another table than their path, so that the share they left finds them.
// Paths are kept in the pieces of EventStorePaths.h, with the dictionary in
// names.
#pragma once

#include "hostlib/eventstore/EventStorePaths.h"
#include "hostlib/eventstore/EventStoreRow.h"
#include "records/SnapRecords.h"

#include <sqlite3.h>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace eventstore {

const int kLayoutVersion = 4;
// What a reader says of a file of an earlier layout of this store, or
// nullptr when the version is none of ours.
const char* OlderLayout(int version);

// Creates the tables of an empty file, with the settings a store needs,
// and sets the version.
std::string CreateSchemaSql();
// Sets the page cache for a store of that many tables.
std::string CacheSizeSql(size_t tables);
// shares: (?1 id, ?2 prefix); every table by id. names: (?1 id, ?2
// name); every name by id.
extern const char kNoteShare[];
extern const char kReadShares[];
extern const char kNoteName[];
extern const char kReadNames[];
// moved: (?1 inode, ?2 table) replaced or added; ?1 removed; every row.
extern const char kNoteMoved[];
extern const char kForgetMoved[];
extern const char kReadMoved[];

std::string ShareTableName(size_t id);

// The statements on one share table. The reads return the row's columns in
// the order ReadEventRow takes them; kSelectInode and kInodeStored take the
// inode as ?1; kInsertOne and kUpdateEvent take a row's values as
// BindEncodedRow binds them.
enum TableStatement {
    kCreateTable,
    kInsertOne,
    kSelectInode,
    kInodeStored,
    kUpdateEvent,
    kDeleteEvent,
    kScanTable,
    kTableStatements
};
std::string ShareTableSql(TableStatement statement, const std::string& table);
// INSERT of rows rows, each bound by BindEncodedRow at 1 + row * kValuesPerRow.
const int kValuesPerRow = 5;
std::string InsertRowsSql(const std::string& table, size_t rows);

// One row's values as stored: the path without the table's prefix and the
// old path in the pieces of EventStorePaths.h, the change as its code (or,
// code -1, its text), the details packed. The views point into the bytes
// EncodeEventRow wrote (RowAt), or into the statement's current row.
struct EncodedRow {
    long long inode = 0;
    int code = -1;
    std::string_view path, oldPath, change, details;
};
// Where the values of a row that EncodeEventRow wrote lie: one after the
// other, of these lengths.
struct RowShape {
    long long inode = 0;
    int code = -1;
    uint32_t path = 0, oldPath = 0, change = 0, details = 0;
    size_t Bytes() const { return size_t(path) + oldPath + change + details; }
};
// Appends the row of an event for a table of prefixLength bytes (which the
// path begins with) to bytes. New directory names get numbers in names; the
// caller writes them before the statement that stores the row runs.
RowShape EncodeEventRow(size_t prefixLength, const ChangeEventItem& event, PathDictionary& names,
                        std::string& bytes);
// The row of that shape whose bytes begin at at.
EncodedRow RowAt(const char* at, const RowShape& shape);
// Binds a row's values from parameter first on, without copying its bytes.
// A value that cannot be bound stays NULL, which the table's NOT NULL
// constraints turn into a failed statement.
void BindEncodedRow(sqlite3_stmt* statement, int first, const EncodedRow& row);
// The event of a row of the table with that prefix; false when the row is
// damaged.
bool DecodeEventRow(const EncodedRow& row, const std::string& prefix, const PathDictionary& names,
                    ChangeEventItem& event);
// Reads the path alone of the current row, prefix included; false when it
// is damaged.
bool ReadRowPath(sqlite3_stmt* statement, const std::string& prefix, const PathDictionary& names,
                 std::string& path);
// Reads the current row into event; false when the row is damaged.
bool ReadEventRow(sqlite3_stmt* statement, const std::string& prefix, const PathDictionary& names,
                  ChangeEventItem& event);

}  // namespace eventstore
