#include "hostlib/eventstore/EventStoreLayout.h"

#include "hostlib/eventstore/EventStoreSql.h"

#include <algorithm>

namespace eventstore {

namespace {

// Columns of a share table, in the order of its reads and its INSERT.
#define EVENT_COLUMNS "inode, path, old_path, change, details"
// Statements of one share table; @ stands for its name.
const char* const kTableSql[] = {
    "CREATE TABLE @(inode INTEGER PRIMARY KEY, path BLOB NOT NULL, old_path BLOB NOT NULL,"
    " change NOT NULL, details BLOB NOT NULL)",
    "INSERT INTO @ VALUES (?,?,?,?,?)",
    "SELECT " EVENT_COLUMNS " FROM @ WHERE inode = ?1",
    "SELECT 1 FROM @ WHERE inode = ?1",
    "UPDATE @ SET path = ?2, old_path = ?3, change = ?4, details = ?5 WHERE inode = ?1",
    "DELETE FROM @ WHERE inode = ?1",
    "SELECT " EVENT_COLUMNS " FROM @",
};
#undef EVENT_COLUMNS

}  // namespace

const char* OlderLayout(int version) {
    switch (version) {
        case 1:
            return "layout 1 (one events table, times as columns)";
        case 2:
            return "layout 2 (a table per share, paths written out)";
        case 3:
            return "layout 3 (flags and file type packed apart)";
        default:
            return nullptr;
    }
}

// The store is scratch data of one job, rebuilt by the next comparison if
// the job runs again: it needs neither rollback nor durability, and its
// cache and temporary storage must keep the proxy's memory bounded. Inserts
// in inode order touch only the right edge of each table and reads stream
// through a table, so for a few shares a page cache beyond 8 MiB buys no
// speed, only resident memory. The page size weighs few shares against
// many: each table keeps its root and last page in the cache, which at
// 64 KiB pages made a change cost twice as much at a thousand shares, while
// 4 KiB pages cost a tenth more per change at three (one system call and
// one page header per 4 KiB).
std::string CreateSchemaSql() {
    return "PRAGMA page_size=16384;"
           "PRAGMA journal_mode=OFF;"
           "PRAGMA synchronous=OFF;"
           "PRAGMA temp_store=FILE;"
           "CREATE TABLE shares(id INTEGER PRIMARY KEY, prefix BLOB NOT NULL);"
           "CREATE TABLE moved(inode INTEGER PRIMARY KEY, share INTEGER NOT NULL);"
           "CREATE TABLE names(id INTEGER PRIMARY KEY, name BLOB NOT NULL);"
           "PRAGMA user_version=" +
           std::to_string(kLayoutVersion) + ";";
}
// Room for the root and last pages of every table: a thousand shares write
// some 15 % faster with 32 MiB than with 16. Capped, so that a volume of
// very many shares costs no more memory than 1,024 do.
std::string CacheSizeSql(size_t tables) {
    const size_t kib = std::min<size_t>(std::max<size_t>(8192, tables * 32), 32768);
    return "PRAGMA cache_size=-" + std::to_string(kib);
}

const char kNoteShare[] = "INSERT INTO shares VALUES (?1, ?2)";
const char kReadShares[] = "SELECT id, prefix FROM shares ORDER BY id";
const char kNoteName[] = "INSERT INTO names VALUES (?1, ?2)";
const char kReadNames[] = "SELECT id, name FROM names ORDER BY id";
const char kNoteMoved[] = "INSERT OR REPLACE INTO moved VALUES (?1, ?2)";
const char kForgetMoved[] = "DELETE FROM moved WHERE inode = ?1";
const char kReadMoved[] = "SELECT inode, share FROM moved";

std::string ShareTableName(size_t id) { return "share_" + std::to_string(id); }

std::string ShareTableSql(TableStatement statement, const std::string& table) {
    std::string text = kTableSql[statement];
    for (size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, table);
    return text;
}

std::string InsertRowsSql(const std::string& table, size_t rows) {
    std::string text = "INSERT INTO " + table + " VALUES ";
    for (size_t row = 0; row < rows; ++row) {
        text += row ? ",(" : "(";
        for (int value = 0; value < kValuesPerRow; ++value) text += value ? ",?" : "?";
        text += ")";
    }
    return text;
}

RowShape EncodeEventRow(size_t prefixLength, const ChangeEventItem& event, PathDictionary& names,
                        std::string& bytes) {
    RowShape shape;
    shape.inode = event.llInode;
    size_t at = bytes.size();
    names.Encode(std::string_view(event.strPath).substr(prefixLength), bytes);
    shape.path = static_cast<uint32_t>(bytes.size() - at);
    at = bytes.size();
    names.Encode(event.strOldPath, bytes);
    shape.oldPath = static_cast<uint32_t>(bytes.size() - at);
    shape.code = ChangeCodeOf(event.strChangeType);
    if (shape.code < 0) {
        bytes += event.strChangeType;
        shape.change = static_cast<uint32_t>(event.strChangeType.size());
    }
    unsigned char details[kMaxPackedDetails];
    shape.details = static_cast<uint32_t>(PackDetails(event, details));
    bytes.append(reinterpret_cast<const char*>(details), shape.details);
    return shape;
}

EncodedRow RowAt(const char* at, const RowShape& shape) {
    EncodedRow row;
    row.inode = shape.inode;
    row.code = shape.code;
    row.path = std::string_view(at, shape.path);
    row.oldPath = std::string_view(at += shape.path, shape.oldPath);
    row.change = std::string_view(at += shape.oldPath, shape.change);
    row.details = std::string_view(at + shape.change, shape.details);
    return row;
}

void BindEncodedRow(sqlite3_stmt* statement, int first, const EncodedRow& row) {
    sqlite3_bind_int64(statement, first, row.inode);
    BindBytes(statement, first + 1, row.path.data(), row.path.size());
    BindBytes(statement, first + 2, row.oldPath.data(), row.oldPath.size());
    if (row.code >= 0) {
        sqlite3_bind_int(statement, first + 3, row.code);
    } else {
        BindBytes(statement, first + 3, row.change.data(), row.change.size());
    }
    BindBytes(statement, first + 4, row.details.data(), row.details.size());
}

namespace {
std::string_view ColumnView(sqlite3_stmt* statement, int column) {
    const void* bytes = sqlite3_column_blob(statement, column);
    return std::string_view(static_cast<const char*>(bytes),
                            static_cast<size_t>(sqlite3_column_bytes(statement, column)));
}

bool DecodePath(std::string_view encoded, const PathDictionary& names, std::string& path) {
    return names.Decode(reinterpret_cast<const unsigned char*>(encoded.data()), encoded.size(),
                        path);
}
}  // namespace

bool DecodeEventRow(const EncodedRow& row, const std::string& prefix, const PathDictionary& names,
                    ChangeEventItem& event) {
    event.llInode = row.inode;
    event.strPath.assign(prefix);
    event.strOldPath.clear();
    if (!DecodePath(row.path, names, event.strPath) ||
        !DecodePath(row.oldPath, names, event.strOldPath))
        return false;
    if (row.code >= 0) {
        if (row.code > 2) return false;
        event.strChangeType = ChangeTextOf(row.code);
    } else {
        event.strChangeType.assign(row.change.data(), row.change.size());
    }
    return UnpackDetails(reinterpret_cast<const unsigned char*>(row.details.data()),
                         row.details.size(), event);
}

bool ReadRowPath(sqlite3_stmt* statement, const std::string& prefix, const PathDictionary& names,
                 std::string& path) {
    path.assign(prefix);
    return DecodePath(ColumnView(statement, 1), names, path);
}

bool ReadEventRow(sqlite3_stmt* statement, const std::string& prefix, const PathDictionary& names,
                  ChangeEventItem& event) {
    EncodedRow row;
    row.inode = sqlite3_column_int64(statement, 0);
    row.path = ColumnView(statement, 1);
    row.oldPath = ColumnView(statement, 2);
    if (sqlite3_column_type(statement, 3) == SQLITE_INTEGER) {
        const int64_t code = sqlite3_column_int64(statement, 3);
        row.code = code < 0 || code > 2 ? 3 : static_cast<int>(code);
    } else {
        row.change = ColumnView(statement, 3);
    }
    row.details = ColumnView(statement, 4);
    return DecodeEventRow(row, prefix, names, event);
}

}  // namespace eventstore
