#include "hostlib/eventstore/EventStoreLayout.h"

#include "hostlib/eventstore/EventStoreSql.h"

namespace eventstore {

namespace {

// Columns of a share table, in the order of its reads and its INSERT.
#define EVENT_COLUMNS "inode, path, old_path, change, details"
// Statements of one share table; @ stands for its name.
const char* const kTableSql[] = {
    "CREATE TABLE @(inode INTEGER PRIMARY KEY, path BLOB NOT NULL, old_path BLOB NOT NULL,"
    " change NOT NULL, details BLOB NOT NULL)",
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
        default:
            return nullptr;
    }
}

// The store is scratch data of one job, rebuilt by the next comparison if
// the job runs again: it needs neither rollback nor durability, and its
// cache and temporary storage must keep the proxy's memory bounded. Inserts
// in inode order touch only the right edge of each table and reads stream
// through a table, so a page cache beyond 8 MiB buys no speed, only resident
// memory. Large pages cost one system call per 64 KiB instead of per 4 KiB.
std::string CreateSchemaSql() {
    return "PRAGMA page_size=65536;"
           "PRAGMA journal_mode=OFF;"
           "PRAGMA synchronous=OFF;"
           "PRAGMA cache_size=-8192;"
           "PRAGMA temp_store=FILE;"
           "CREATE TABLE shares(id INTEGER PRIMARY KEY, prefix BLOB NOT NULL);"
           "CREATE TABLE moved(inode INTEGER PRIMARY KEY, share INTEGER NOT NULL);"
           "CREATE TABLE names(id INTEGER PRIMARY KEY, name BLOB NOT NULL);"
           "PRAGMA user_version=" +
           std::to_string(kLayoutVersion) + ";";
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

void BindEventRow(sqlite3_stmt* statement, int first, size_t prefixLength, const ChangeEventItem& event,
                  PathDictionary& names, RowBytes& bytes) {
    sqlite3_bind_int64(statement, first, event.llInode);
    bytes.path.clear();
    names.Encode(std::string_view(event.strPath).substr(prefixLength), bytes.path);
    BindBytes(statement, first + 1, bytes.path.data(), bytes.path.size());
    bytes.oldPath.clear();
    names.Encode(event.strOldPath, bytes.oldPath);
    BindBytes(statement, first + 2, bytes.oldPath.data(), bytes.oldPath.size());
    const int code = ChangeCodeOf(event.strChangeType);
    if (code >= 0) {
        sqlite3_bind_int(statement, first + 3, code);
    } else {
        BindBytes(statement, first + 3, event.strChangeType.data(), event.strChangeType.size());
    }
    const size_t size = PackDetails(event, bytes.details);
    BindBytes(statement, first + 4, reinterpret_cast<const char*>(bytes.details), size);
}

namespace {
bool ReadPath(sqlite3_stmt* statement, int column, const PathDictionary& names, std::string& path) {
    return names.Decode(static_cast<const unsigned char*>(sqlite3_column_blob(statement, column)),
                        static_cast<size_t>(sqlite3_column_bytes(statement, column)), path);
}
}  // namespace

bool ReadRowPath(sqlite3_stmt* statement, const std::string& prefix, const PathDictionary& names,
                 std::string& path) {
    path.assign(prefix);
    return ReadPath(statement, 1, names, path);
}

bool ReadEventRow(sqlite3_stmt* statement, const std::string& prefix, const PathDictionary& names,
                  ChangeEventItem& event) {
    event.llInode = sqlite3_column_int64(statement, 0);
    event.strOldPath.clear();
    if (!ReadRowPath(statement, prefix, names, event.strPath) || !ReadPath(statement, 2, names, event.strOldPath))
        return false;
    if (sqlite3_column_type(statement, 3) == SQLITE_INTEGER) {
        const int64_t code = sqlite3_column_int64(statement, 3);
        if (code < 0 || code > 2) return false;
        event.strChangeType = ChangeTextOf(static_cast<int>(code));
    } else {
        ColumnBytes(statement, 3, event.strChangeType);
    }
    return UnpackDetails(static_cast<const unsigned char*>(sqlite3_column_blob(statement, 4)),
                         static_cast<size_t>(sqlite3_column_bytes(statement, 4)), event);
}

}  // namespace eventstore
