#include "host/SnapDiffEventMonitor.h"

#include "host/FXErrorUtil.h"
#include "host/LogWriter.h"
#include "hostlib/eventstore/EventStoreInodeFilter.h"
#include "hostlib/eventstore/EventStoreName.h"
#include "hostlib/eventstore/EventStoreRow.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sqlite3.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

// Rows per INSERT statement: many rows per statement insert markedly faster
// than one at a time, and 64 rows of 5 values stay far below SQLite's limit
// on parameters.
const size_t kRowsPerInsert = 64;
const int kValuesPerRow = 5;
// Inserts are committed in batches of this many rows.
const size_t kRowsPerTransaction = size_t(1) << 16;

// The store is scratch data of one job, rebuilt by the next comparison if
// the job runs again: it needs neither rollback nor durability, and its
// cache and temporary storage must keep the proxy's memory bounded. Inserts
// in inode order touch only the right edge of each table and reads stream
// through a table, so a page cache beyond 8 MiB buys no speed, only resident
// memory. Large pages cost one system call per 64 KiB instead of per 4 KiB.
// Each share's events live in a table of their own (share_<id>, its prefix
// in shares), so reading a share is a plain scan of its table; share_0 holds
// the events of no share. moved lists the inodes whose old path lies in
// another table than their path, so that the share they left finds them.
const char kCreateSchema[] =
    "PRAGMA page_size=65536;"
    "PRAGMA journal_mode=OFF;"
    "PRAGMA synchronous=OFF;"
    "PRAGMA cache_size=-8192;"
    "PRAGMA temp_store=FILE;"
    "CREATE TABLE shares(id INTEGER PRIMARY KEY, prefix BLOB NOT NULL);"
    "CREATE TABLE moved(inode INTEGER PRIMARY KEY, share INTEGER NOT NULL);"
    // Readers tell the layout of a file by this number (docs/change-database.md).
    "PRAGMA user_version=2;";
const char kNoteShare[] = "INSERT INTO shares VALUES (?1, ?2)";
const char kNoteMoved[] = "INSERT OR REPLACE INTO moved VALUES (?1, ?2)";
const char kForgetMoved[] = "DELETE FROM moved WHERE inode = ?1";
const char kReadMoved[] = "SELECT inode, share FROM moved";

// Statements of one share table; @ stands for its name.
#define EVENT_COLUMNS "inode, path, old_path, change, details"
const char kCreateTable[] =
    "CREATE TABLE @(inode INTEGER PRIMARY KEY, path BLOB NOT NULL, old_path BLOB NOT NULL,"
    " change NOT NULL, details BLOB NOT NULL)";
const char kSelectInode[] = "SELECT " EVENT_COLUMNS " FROM @ WHERE inode = ?1";
const char kInodeStored[] = "SELECT 1 FROM @ WHERE inode = ?1";
const char kUpdateEvent[] =
    "UPDATE @ SET path = ?2, old_path = ?3, change = ?4, details = ?5 WHERE inode = ?1";
const char kDeleteEvent[] = "DELETE FROM @ WHERE inode = ?1";
const char kScanTable[] = "SELECT " EVENT_COLUMNS " FROM @";
#undef EVENT_COLUMNS

std::string ForTable(const char* sql, const std::string& table) {
    std::string text = sql;
    for (size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, table);
    return text;
}

std::string InsertStatementText(const std::string& table, size_t rows) {
    std::string text = "INSERT INTO " + table + " VALUES ";
    for (size_t row = 0; row < rows; ++row) {
        text += row ? ",(" : "(";
        for (int value = 0; value < kValuesPerRow; ++value) text += value ? ",?" : "?";
        text += ")";
    }
    return text;
}

bool BeginsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && memcmp(text.data(), prefix.data(), prefix.size()) == 0;
}

std::string HexOf(const std::string& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += kHex[c >> 4];
        hex += kHex[c & 0xF];
    }
    return hex;
}

// The view a person reads in the sqlite3 shell: every table's events with
// the full paths and the change text as TEXT.
std::string EventsViewText(const std::vector<std::string>& prefixes) {
    std::string text = "CREATE VIEW events AS ";
    for (size_t id = 0; id < prefixes.size(); ++id) {
        if (id) text += " UNION ALL ";
        text += "SELECT inode, CAST(X'" + HexOf(prefixes[id]) +
                "' || path AS TEXT) AS path, CAST(old_path AS TEXT) AS old_path, CASE change";
        for (int code = 0; code < 3; ++code)
            text += " WHEN " + std::to_string(code) + " THEN '" + eventstore::kChangeTexts[code] + "'";
        text += " ELSE CAST(change AS TEXT) END AS change_type FROM share_" + std::to_string(id);
    }
    return text;
}

// A code location costs two heap strings; the hot operations keep only the
// pointers and build one when they fail.
struct Where {
    const char* file;
    const char* function;
    int line;
    FXCodeLocation Location() const { return FXCodeLocation(file, function, line); }
};
#define STORE_WHERE (Where{__FILE__, __PRETTY_FUNCTION__, __LINE__})

struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
typedef std::unique_ptr<sqlite3_stmt, StatementFinalizer> Statement;

struct DatabaseCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};

// One table of events with its statements and the rows accepted for it but
// not yet written (the first pendingCount of pending). Their inodes are
// unique among every table's rows, written or not.
struct ShareTable {
    std::string prefix;  // the stored paths lack it
    std::vector<ChangeEventItem> pending;
    size_t pendingCount = 0;
    Statement insertOne, insertMany, selectInode, inodeStored, updateEvent, deleteEvent, scan;

    ShareTable() : pending(kRowsPerInsert) {}
};

// One open database with its reusable statements. The handle is declared
// first so that it is closed after every statement is finalized.
struct Connection {
    std::unique_ptr<sqlite3, DatabaseCloser> db;
    Statement noteShare, noteMoved, forgetMoved, readMoved;
    std::vector<std::unique_ptr<ShareTable>> tables;
    // Share tables by prefix, and the lengths of the prefixes, longest first:
    // a path's table is found with one hash look-up per length (a volume's
    // shares mostly have prefixes of one or two lengths) instead of a
    // comparison per share.
    std::unordered_map<std::string_view, size_t> byPrefix;
    std::vector<size_t> prefixLengths;
};

// Strings are bound without a copy: every caller keeps them alive and
// unchanged until the statement has been stepped and reset.
void BindBytes(sqlite3_stmt* statement, int index, const char* bytes, size_t size) {
    sqlite3_bind_blob64(statement, index, bytes, size, SQLITE_STATIC);
}

void ColumnBytes(sqlite3_stmt* statement, int column, std::string& out, size_t keep = 0) {
    const void* bytes = sqlite3_column_blob(statement, column);
    int size = sqlite3_column_bytes(statement, column);
    out.resize(keep);
    if (size > 0) out.append(static_cast<const char*>(bytes), static_cast<size_t>(size));
}

CSnapDiffEventMonitor::FaultHook& InstalledFaultHook() {
    static CSnapDiffEventMonitor::FaultHook hook;
    return hook;
}

CRyError RunFaultHook(const char* operation) {
    const CSnapDiffEventMonitor::FaultHook& hook = InstalledFaultHook();
    return hook ? hook(operation) : CRyError::Success();
}

}  // namespace

struct CSnapDiffEventMonitor::Impl {
    enum ReadState { kNoRead, kStreaming, kExhausted };
    // What one part of a read returns from its table: every row, the rows
    // whose path begins with the prefix, or those whose old path does while
    // their path does not (from the table itself or through moved).
    enum PhaseKind { kWhole, kPathUnder, kLeftInTable, kLeftThroughMoved };
    struct Phase {
        PhaseKind kind;
        size_t table;
    };

    std::string strJobResultsDir;
    std::string strPath;
    std::unique_ptr<Connection> conn;
    EventStoreInodeFilter seenInodes;
    bool anyAccepted = false;
    bool anyMoved = false;
    bool inTransaction = false;
    size_t rowsInTransaction = 0;
    // The details of the rows of one INSERT, alive until it has run.
    unsigned char packed[kRowsPerInsert][eventstore::kMaxPackedDetails];
    ReadState readState = kNoRead;
    std::string readPrefix;
    std::vector<Phase> phases;
    size_t phase = 0;
    // A write that failed may have left part of its rows behind (there is no
    // journal to roll back), so after one the store refuses all further work
    // and its file is removed: a full disk is the usual cause, and the next
    // share's store needs the space.
    CRyError failure;

    sqlite3* Db() const { return conn->db.get(); }

    CRyError SqliteError(const FXCodeLocation& where, const char* operation) const {
        return FXErrorUtil::ErrorWin32(where, ERROR_FUNCTION_FAILED,
                                       "%s failed on the event store [%s]: %s", operation,
                                       strPath.c_str(), sqlite3_errmsg(Db()));
    }

    CRyError MarkFailed(const CRyError& error) {
        failure = error;
        Discard();
        return error;
    }

    void Discard() {
        EndRead();
        conn.reset();
        inTransaction = false;
        unlink(strPath.c_str());
    }

    // The fault hook, then whether the store can serve an operation at all.
    CRyError Begin(const Where& where, const char* operation) const {
        CRyError injected = RunFaultHook(operation);
        if (injected.IsError()) return injected.Push(where.Location());
        if (failure.IsError()) {
            return FXErrorUtil::ErrorWin32(
                where.Location(), ERROR_FUNCTION_FAILED,
                "%s failed on the event store [%s]: the store failed earlier: %s", operation,
                strPath.c_str(), failure.Message().c_str());
        }
        if (!conn) {
            return FXErrorUtil::ErrorWin32(where.Location(), ERROR_FUNCTION_FAILED,
                                           "%s failed on the event store [%s]: the store is not open",
                                           operation, strPath.c_str());
        }
        return CRyError::Success();
    }

    void Close() {
        EndRead();
        conn.reset();
        seenInodes.Clear();
        anyAccepted = false;
        anyMoved = false;
        inTransaction = false;
        rowsInTransaction = 0;
        failure = CRyError();
    }

    void EndRead() {
        if (conn && readState == kStreaming && phase < phases.size()) sqlite3_reset(PhaseStatement());
        phases.clear();
        phase = 0;
        readState = kNoRead;
    }

    CRyError Execute(const FXCodeLocation& where, const char* operation, const std::string& sql) {
        if (sqlite3_exec(Db(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            return SqliteError(where, operation);
        }
        return CRyError::Success();
    }

    CRyError PrepareStatement(const std::string& sql, Statement& statement, const char* operation) {
        sqlite3_stmt* raw = nullptr;
        int rc = sqlite3_prepare_v3(Db(), sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
        statement.reset(raw);
        return rc == SQLITE_OK ? CRyError::Success() : SqliteError(FX_LOCATION, operation);
    }

    // SQLite takes a name that begins with "file:" for a URI and decodes its
    // %XX escapes, so a relative job results folder of such a name would put
    // the store in another folder; "./" keeps it the plain path it is.
    std::string OpenName() const { return strPath[0] == '/' ? strPath : "./" + strPath; }

    CRyError CreateFileExclusively() {
        CRyError injected = RunFaultHook("CreateFile");
        if (injected.IsError()) return injected.Push(FX_LOCATION);
        int fd = open(strPath.c_str(), O_CREAT | O_EXCL | O_NOFOLLOW | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0) {
            close(fd);
            return CRyError::Success();
        }
        const int openErrno = errno;
        struct stat status;
        if (lstat(strPath.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
            return FXErrorUtil::ErrorWin32(
                FX_LOCATION, ERROR_FUNCTION_FAILED,
                "Create failed on the event store [%s]: [%s] is a symbolic link, which could "
                "redirect the store's writes",
                strPath.c_str(), strPath.c_str());
        }
        return FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_FUNCTION_FAILED,
                                       "Create failed on the event store [%s]: unable to open [%s]: %s",
                                       strPath.c_str(), strPath.c_str(), strerror(openErrno));
    }

    CRyError Open() {
        // The earlier store may still be open in another store object: its
        // file is unlinked, never emptied, so that object keeps its own data.
        static const char* const kSideFiles[] = {"", "-journal", "-wal", "-shm"};
        for (const char* side : kSideFiles) {
            std::string file = strPath + side;
            if (unlink(file.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR) {
                return FXErrorUtil::ErrorWin32(
                    FX_LOCATION, ERROR_FUNCTION_FAILED,
                    "Create failed on the event store [%s]: cannot remove the earlier file [%s]: %s",
                    strPath.c_str(), file.c_str(), strerror(errno));
            }
        }
        // The file is made here, readable by its owner alone (it names every
        // changed file of the volume), and never through a link: one planted
        // after the unlink could point our writes anywhere. Links in the
        // folder's own path are the operator's choice and are followed.
        CRyError error = CreateFileExclusively();
        if (error.IsError()) return error;
        // A store that could not be set up leaves no file behind.
        error = OpenCreatedFile();
        if (error.IsError()) Discard();
        return error;
    }

    CRyError OpenCreatedFile() {
        conn.reset(new (std::nothrow) Connection());
        if (!conn) return FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_OUTOFMEMORY);
        // A store serves one thread, so SQLite need not lock the connection.
        sqlite3* raw = nullptr;
        int rc = sqlite3_open_v2(OpenName().c_str(), &raw,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
        conn->db.reset(raw);
        if (!raw) return FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_OUTOFMEMORY);
        if (rc != SQLITE_OK) return SqliteError(FX_LOCATION, "Create");
        // CREATE TABLE (not IF NOT EXISTS) also refuses a database that
        // somebody put in place of the empty file made above.
        CRyError error = Execute(FX_LOCATION, "Create", kCreateSchema);
        const struct {
            const char* sql;
            Statement& statement;
        } statements[] = {{kNoteShare, conn->noteShare},
                          {kNoteMoved, conn->noteMoved},
                          {kForgetMoved, conn->forgetMoved},
                          {kReadMoved, conn->readMoved}};
        for (const auto& entry : statements) {
            if (error.IsError()) break;
            error = PrepareStatement(entry.sql, entry.statement, "Create");
        }
        if (error.IsSuccess()) error = AddTables({std::string()}, "Create");
        return error;
    }

    // Creates a table for each prefix, then the view over all of them.
    CRyError AddTables(const std::vector<std::string>& prefixes, const char* operation) {
        std::vector<std::string> all;
        for (const auto& table : conn->tables) all.push_back(table->prefix);
        CRyError error = Execute(FX_LOCATION, operation, "BEGIN");
        for (const std::string& prefix : prefixes) {
            if (error.IsError()) break;
            const size_t id = conn->tables.size();
            const std::string name = "share_" + std::to_string(id);
            std::unique_ptr<ShareTable> table(new ShareTable());
            table->prefix = prefix;
            sqlite3_stmt* note = conn->noteShare.get();
            sqlite3_bind_int64(note, 1, static_cast<int64_t>(id));
            BindBytes(note, 2, prefix.data(), prefix.size());
            if (sqlite3_step(note) != SQLITE_DONE) error = SqliteError(FX_LOCATION, operation);
            sqlite3_reset(note);
            if (error.IsSuccess()) error = Execute(FX_LOCATION, operation, ForTable(kCreateTable, name));
            const struct {
                std::string sql;
                Statement& statement;
            } statements[] = {{InsertStatementText(name, 1), table->insertOne},
                              {InsertStatementText(name, kRowsPerInsert), table->insertMany},
                              {ForTable(kSelectInode, name), table->selectInode},
                              {ForTable(kInodeStored, name), table->inodeStored},
                              {ForTable(kUpdateEvent, name), table->updateEvent},
                              {ForTable(kDeleteEvent, name), table->deleteEvent},
                              {ForTable(kScanTable, name), table->scan}};
            for (const auto& entry : statements) {
                if (error.IsError()) break;
                error = PrepareStatement(entry.sql, entry.statement, operation);
            }
            all.push_back(prefix);
            conn->tables.push_back(std::move(table));
            if (!id) continue;
            const std::string& kept = conn->tables.back()->prefix;
            conn->byPrefix[std::string_view(kept)] = id;
            std::vector<size_t>& lengths = conn->prefixLengths;
            if (std::find(lengths.begin(), lengths.end(), kept.size()) == lengths.end())
                lengths.insert(std::upper_bound(lengths.begin(), lengths.end(), kept.size(), std::greater<size_t>()),
                               kept.size());
        }
        if (error.IsSuccess()) error = Execute(FX_LOCATION, operation, "DROP VIEW IF EXISTS events");
        if (error.IsSuccess()) error = Execute(FX_LOCATION, operation, EventsViewText(all));
        if (error.IsSuccess()) error = Execute(FX_LOCATION, operation, "COMMIT");
        return error;
    }

    // The table of a path: the longest share prefix that holds it, else share_0.
    size_t TableOf(const std::string& path) const {
        for (size_t length : conn->prefixLengths) {
            if (length > path.size()) continue;
            auto found = conn->byPrefix.find(std::string_view(path.data(), length));
            if (found != conn->byPrefix.end()) return found->second;
        }
        return 0;
    }

    CRyError EnsureTransaction() {
        if (inTransaction) return CRyError::Success();
        CRyError error = Execute(FX_LOCATION, "Begin", "BEGIN");
        if (error.IsError()) return MarkFailed(error);
        inTransaction = true;
        return CRyError::Success();
    }

    // Binds the five values of an event from parameter first on. A value
    // that cannot be bound stays NULL, which the table's NOT NULL
    // constraints turn into a failed statement.
    void BindEvent(sqlite3_stmt* statement, int first, const ShareTable& table,
                   const ChangeEventItem& event, unsigned char* details) {
        const size_t cut = table.prefix.size();
        sqlite3_bind_int64(statement, first, event.llInode);
        BindBytes(statement, first + 1, event.strPath.data() + cut, event.strPath.size() - cut);
        BindBytes(statement, first + 2, event.strOldPath.data(), event.strOldPath.size());
        const int code = eventstore::ChangeCodeOf(event.strChangeType);
        if (code >= 0) {
            sqlite3_bind_int(statement, first + 3, code);
        } else {
            BindBytes(statement, first + 3, event.strChangeType.data(), event.strChangeType.size());
        }
        const size_t size = eventstore::PackDetails(event, details);
        BindBytes(statement, first + 4, reinterpret_cast<const char*>(details), size);
    }

    bool ReadEvent(sqlite3_stmt* statement, const ShareTable& table, ChangeEventItem& event) {
        event.llInode = sqlite3_column_int64(statement, 0);
        if (event.strPath.size() < table.prefix.size() ||
            memcmp(event.strPath.data(), table.prefix.data(), table.prefix.size()) != 0) {
            event.strPath = table.prefix;
        }
        ColumnBytes(statement, 1, event.strPath, table.prefix.size());
        ColumnBytes(statement, 2, event.strOldPath);
        if (sqlite3_column_type(statement, 3) == SQLITE_INTEGER) {
            const int64_t code = sqlite3_column_int64(statement, 3);
            if (code < 0 || code > 2) return false;
            event.strChangeType = eventstore::ChangeTextOf(static_cast<int>(code));
        } else {
            ColumnBytes(statement, 3, event.strChangeType);
        }
        return eventstore::UnpackDetails(
            static_cast<const unsigned char*>(sqlite3_column_blob(statement, 4)),
            static_cast<size_t>(sqlite3_column_bytes(statement, 4)), event);
    }

    CRyError CorruptRow(const FXCodeLocation& where, const char* operation, long long inode) const {
        return FXErrorUtil::ErrorWin32(where, ERROR_FUNCTION_FAILED,
                                       "%s failed on the event store [%s]: the row of inode %lld is damaged",
                                       operation, strPath.c_str(), inode);
    }

    CRyError WriteRows(ShareTable& table, sqlite3_stmt* statement, size_t first, size_t count) {
        for (size_t row = 0; row < count; ++row) {
            BindEvent(statement, static_cast<int>(row) * kValuesPerRow + 1, table,
                      table.pending[first + row], packed[row]);
        }
        int rc = sqlite3_step(statement);
        CRyError error = rc == SQLITE_DONE ? CRyError::Success() : SqliteError(FX_LOCATION, "Insert");
        sqlite3_reset(statement);
        return error.IsError() ? MarkFailed(error) : error;
    }

    CRyError FlushTable(ShareTable& table) {
        if (table.pendingCount == 0) return CRyError::Success();
        CRyError error = EnsureTransaction();
        if (table.pendingCount == kRowsPerInsert) {
            if (error.IsSuccess()) error = WriteRows(table, table.insertMany.get(), 0, kRowsPerInsert);
        } else {
            for (size_t row = 0; row < table.pendingCount && error.IsSuccess(); ++row) {
                error = WriteRows(table, table.insertOne.get(), row, 1);
            }
        }
        if (error.IsError()) return error.Push(FX_LOCATION);
        rowsInTransaction += table.pendingCount;
        table.pendingCount = 0;
        return error;
    }

    // Writes out everything accepted so far and commits it.
    CRyError FlushAndCommit() {
        CRyError error;
        for (size_t id = 0; conn && id < conn->tables.size() && error.IsSuccess(); ++id)
            error = FlushTable(*conn->tables[id]);
        if (error.IsError()) return error.Push(FX_LOCATION);
        if (!inTransaction) return error;
        error = Execute(FX_LOCATION, "Commit", "COMMIT");
        if (error.IsError()) return MarkFailed(error);
        inTransaction = false;
        rowsInTransaction = 0;
        return error;
    }

    CRyError Commit() {
        CRyError error = RunFaultHook("Commit");
        if (error.IsSuccess()) error = FlushAndCommit();
        return error.IsError() ? error.Push(FX_LOCATION) : error;
    }

    // Accepts an event for its table; writes the table's rows once there
    // are enough for one INSERT.
    CRyError Accept(size_t id, const ChangeEventItem& event) {
        ShareTable& table = *conn->tables[id];
        table.pending[table.pendingCount++] = event;
        anyAccepted = true;
        CRyError error = table.pendingCount == kRowsPerInsert ? FlushTable(table) : CRyError::Success();
        if (error.IsSuccess() && rowsInTransaction >= kRowsPerTransaction) error = Commit();
        return error;
    }

    ChangeEventItem* FindPending(long long inode, size_t* tableId = nullptr) {
        for (size_t id = 0; id < conn->tables.size(); ++id) {
            ShareTable& table = *conn->tables[id];
            for (size_t i = 0; i < table.pendingCount; ++i) {
                if (table.pending[i].llInode != inode) continue;
                if (tableId) *tableId = id;
                return &table.pending[i];
            }
        }
        return nullptr;
    }

    void DropPending(size_t id, ChangeEventItem* event) {
        ShareTable& table = *conn->tables[id];
        ChangeEventItem* last = &table.pending[table.pendingCount - 1];
        if (event != last) std::swap(*event, *last);
        --table.pendingCount;
    }

    // The table whose written rows hold the inode, or the count of tables.
    CRyError FindStored(long long inode, size_t& found, const char* operation) {
        for (found = 0; found < conn->tables.size(); ++found) {
            sqlite3_stmt* statement = conn->tables[found]->inodeStored.get();
            sqlite3_bind_int64(statement, 1, inode);
            int rc = sqlite3_step(statement);
            sqlite3_reset(statement);
            if (rc == SQLITE_ROW) break;
            if (rc != SQLITE_DONE) return SqliteError(FX_LOCATION, operation);
        }
        return CRyError::Success();
    }

    // Keeps moved in step with an event written to table id.
    CRyError NoteOldPath(size_t id, const ChangeEventItem& event, const char* operation) {
        const bool elsewhere = !event.strOldPath.empty() && TableOf(event.strOldPath) != id;
        if (!elsewhere && !anyMoved) return CRyError::Success();
        CRyError error = EnsureTransaction();
        if (error.IsError()) return error.Push(FX_LOCATION);
        sqlite3_stmt* statement = elsewhere ? conn->noteMoved.get() : conn->forgetMoved.get();
        sqlite3_bind_int64(statement, 1, event.llInode);
        if (elsewhere) sqlite3_bind_int64(statement, 2, static_cast<int64_t>(id));
        int rc = sqlite3_step(statement);
        if (rc != SQLITE_DONE) error = SqliteError(FX_LOCATION, operation);
        sqlite3_reset(statement);
        if (error.IsError()) return MarkFailed(error);
        anyMoved = anyMoved || elsewhere;
        return error;
    }

    CRyError PrepareRead(const std::string& prefix, bool withLeft) {
        // Whatever happens below, the earlier read is over: a failed prepare
        // must never leave the agent reading the previous share's events.
        EndRead();
        CRyError error = Begin(STORE_WHERE, "Prepare");
        if (error.IsError()) return error;
        error = Commit();
        if (error.IsError()) return error.Push(FX_LOCATION);
        readPrefix = prefix;
        // A table whose prefix begins with the read's is read whole; one whose
        // prefix begins the read's holds some of its events among others.
        for (size_t id = 0; id < conn->tables.size(); ++id) {
            const std::string& tablePrefix = conn->tables[id]->prefix;
            if (BeginsWith(tablePrefix, prefix)) {
                phases.push_back({kWhole, id});
            } else if (BeginsWith(prefix, tablePrefix)) {
                phases.push_back({kPathUnder, id});
            }
        }
        if (withLeft) {
            // An event whose old path lies in the prefix and path outside it is
            // in a table that holds both (one that begins the prefix), or else
            // listed in moved.
            for (size_t id = 0; id < conn->tables.size(); ++id) {
                const std::string& tablePrefix = conn->tables[id]->prefix;
                if (tablePrefix.size() < prefix.size() && BeginsWith(prefix, tablePrefix))
                    phases.push_back({kLeftInTable, id});
            }
            if (anyMoved) phases.push_back({kLeftThroughMoved, 0});
        }
        readState = kStreaming;
        return error;
    }

    sqlite3_stmt* PhaseStatement() const {
        const Phase& current = phases[phase];
        return current.kind == kLeftThroughMoved ? conn->readMoved.get()
                                                 : conn->tables[current.table]->scan.get();
    }

    bool LeftThePrefix(const ChangeEventItem& event) const {
        return BeginsWith(event.strOldPath, readPrefix) && !BeginsWith(event.strPath, readPrefix);
    }

    // 0 with the next event, 1 at the end, -1 with the reason in reason.
    int Next(ChangeEventItem& event, CRyError& reason) {
        while (phase < phases.size()) {
            const Phase current = phases[phase];
            sqlite3_stmt* statement = PhaseStatement();
            int rc = sqlite3_step(statement);
            if (rc == SQLITE_DONE) {
                sqlite3_reset(statement);
                ++phase;
                continue;
            }
            if (rc != SQLITE_ROW) {
                reason = SqliteError(FX_LOCATION, "GetNextEvent");
                return -1;
            }
            if (current.kind == kLeftThroughMoved) {
                const int64_t inode = sqlite3_column_int64(statement, 0);
                const int64_t id = sqlite3_column_int64(statement, 1);
                if (id < 0 || static_cast<uint64_t>(id) >= conn->tables.size()) {
                    reason = CorruptRow(FX_LOCATION, "GetNextEvent", inode);
                    return -1;
                }
                const ShareTable& table = *conn->tables[id];
                sqlite3_stmt* lookup = table.selectInode.get();
                sqlite3_bind_int64(lookup, 1, inode);
                rc = sqlite3_step(lookup);
                const bool read = rc == SQLITE_ROW && ReadEvent(lookup, table, event);
                sqlite3_reset(lookup);
                if (!read) {
                    reason = rc == SQLITE_ROW || rc == SQLITE_DONE ? CorruptRow(FX_LOCATION, "GetNextEvent", inode)
                                                                 : SqliteError(FX_LOCATION, "GetNextEvent");
                    return -1;
                }
                if (LeftThePrefix(event)) return 0;
                continue;
            }
            const ShareTable& table = *conn->tables[current.table];
            if (current.kind == kPathUnder) {
                // Only the path, until it is known to belong to the read.
                ColumnBytes(statement, 1, event.strPath);
                event.strPath.insert(0, table.prefix);
                if (!BeginsWith(event.strPath, readPrefix)) continue;
            }
            if (!ReadEvent(statement, table, event)) {
                reason = CorruptRow(FX_LOCATION, "GetNextEvent", sqlite3_column_int64(statement, 0));
                return -1;
            }
            // One whose old path lies in another table comes through moved.
            if (current.kind == kLeftInTable &&
                (!LeftThePrefix(event) || TableOf(event.strOldPath) != current.table))
                continue;
            return 0;
        }
        return 1;
    }
};

CSnapDiffEventMonitor::CSnapDiffEventMonitor(const std::string& jobResultsDir,
                                             const std::string& prevSnapName,
                                             const std::string& currSnapAndVolume)
    : m_pImpl(new Impl()) {
    std::string folder = jobResultsDir;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    m_strFilePath = folder + EventStoreFileName(prevSnapName, currSnapAndVolume);
    m_pImpl->strJobResultsDir = jobResultsDir;
    m_pImpl->strPath = m_strFilePath;
}

CSnapDiffEventMonitor::~CSnapDiffEventMonitor() {
    // The file stays in the job results; leave it holding every event taken.
    if (m_pImpl->conn && m_pImpl->failure.IsSuccess()) {
        m_pImpl->EndRead();
        m_pImpl->FlushAndCommit();
    }
}

void CSnapDiffEventMonitor::SetFaultHook(FaultHook hook) { InstalledFaultHook() = std::move(hook); }

CRyError CSnapDiffEventMonitor::Create() {
    CRyError error = RunFaultHook("Create");
    if (error.IsError()) return error.Push(FX_LOCATION);
    m_pImpl->Close();
    if (m_pImpl->strJobResultsDir.empty()) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_FUNCTION_FAILED,
                                       "Create failed on the event store [%s]: no job results folder",
                                       m_strFilePath.c_str());
    }
    error = m_pImpl->Open();
    if (error.IsError()) {
        m_pImpl->Close();
        return error.Push(FX_LOCATION);
    }
    return error;
}

CRyError CSnapDiffEventMonitor::SetSharePrefixes(const std::vector<std::string>& prefixes) {
    Impl& m = *m_pImpl;
    CRyError error = m.Begin(STORE_WHERE, "SetSharePrefixes");
    if (error.IsError()) return error;
    if (m.anyAccepted) {
        return FXErrorUtil::ErrorWin32(
            FX_LOCATION, ERROR_FUNCTION_FAILED,
            "SetSharePrefixes failed on the event store [%s]: events are stored already",
            m.strPath.c_str());
    }
    std::vector<std::string> added;
    for (const std::string& prefix : prefixes) {
        bool known = prefix.empty() || std::find(added.begin(), added.end(), prefix) != added.end();
        for (const auto& table : m.conn->tables) known = known || table->prefix == prefix;
        if (!known) added.push_back(prefix);
    }
    if (added.empty()) return error;
    error = m.AddTables(added, "SetSharePrefixes");
    return error.IsError() ? m.MarkFailed(error) : error;
}

CRyError CSnapDiffEventMonitor::InsertEvent(const ChangeEventItem& event, bool& exists) {
    Impl& m = *m_pImpl;
    CRyError error = m.Begin(STORE_WHERE, "InsertEvent");
    if (error.IsError()) return error;
    exists = false;
    // Most changes are new inodes; only those the filter may have seen cost
    // a look at the unwritten rows and a query per table.
    if (m.seenInodes.MayContain(event.llInode)) {
        if (m.FindPending(event.llInode)) {
            exists = true;
            return error;
        }
        size_t stored = 0;
        error = m.FindStored(event.llInode, stored, "InsertEvent");
        if (error.IsError()) return error;
        exists = stored < m.conn->tables.size();
        if (exists) return error;
    }
    m.seenInodes.Add(event.llInode);
    const size_t id = m.TableOf(event.strPath);
    if (!event.strOldPath.empty()) error = m.NoteOldPath(id, event, "InsertEvent");
    if (error.IsSuccess()) error = m.Accept(id, event);
    return error.IsError() ? error.Push(FX_LOCATION) : error;
}

CRyError CSnapDiffEventMonitor::GetEventOfInode(long long& inode, ChangeEventItem& event) {
    Impl& m = *m_pImpl;
    CRyError error = m.Begin(STORE_WHERE, "GetEventOfInode");
    if (error.IsError()) return error;
    if (const ChangeEventItem* waiting = m.FindPending(inode)) {
        event = *waiting;
        return error;
    }
    size_t id = 0;
    error = m.FindStored(inode, id, "GetEventOfInode");
    if (error.IsError()) return error;
    if (id == m.conn->tables.size()) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_FUNCTION_FAILED,
                                       "GetEventOfInode failed on the event store [%s]: no event of inode %lld",
                                       m.strPath.c_str(), inode);
    }
    const ShareTable& table = *m.conn->tables[id];
    sqlite3_stmt* statement = table.selectInode.get();
    sqlite3_bind_int64(statement, 1, inode);
    int rc = sqlite3_step(statement);
    if (rc != SQLITE_ROW) {
        error = m.SqliteError(FX_LOCATION, "GetEventOfInode");
    } else if (!m.ReadEvent(statement, table, event)) {
        error = m.CorruptRow(FX_LOCATION, "GetEventOfInode", inode);
    }
    sqlite3_reset(statement);
    return error;
}

CRyError CSnapDiffEventMonitor::UpdateExistingEventOfInode(const ChangeEventItem& event) {
    Impl& m = *m_pImpl;
    CRyError error = m.Begin(STORE_WHERE, "UpdateExistingEventOfInode");
    if (error.IsError()) return error;
    const char* const operation = "UpdateExistingEventOfInode";
    const size_t target = m.TableOf(event.strPath);
    size_t id = 0;
    if (ChangeEventItem* waiting = m.FindPending(event.llInode, &id)) {
        if (id == target) {
            *waiting = event;
        } else {
            m.DropPending(id, waiting);
            error = m.Accept(target, event);
        }
    } else {
        error = m.FindStored(event.llInode, id, operation);
        if (error.IsError()) return error;
        if (id == m.conn->tables.size()) {
            return FXErrorUtil::ErrorWin32(
                FX_LOCATION, ERROR_FUNCTION_FAILED,
                "UpdateExistingEventOfInode failed on the event store [%s]: no event of inode %lld",
                m.strPath.c_str(), static_cast<long long>(event.llInode));
        }
        error = m.EnsureTransaction();
        if (error.IsError()) return error.Push(FX_LOCATION);
        // A new path in another share moves the row to that share's table.
        ShareTable& table = *m.conn->tables[id];
        sqlite3_stmt* statement = id == target ? table.updateEvent.get() : table.deleteEvent.get();
        if (id == target) {
            m.BindEvent(statement, 1, table, event, m.packed[0]);
        } else {
            sqlite3_bind_int64(statement, 1, event.llInode);
        }
        int rc = sqlite3_step(statement);
        if (rc != SQLITE_DONE) error = m.SqliteError(FX_LOCATION, operation);
        sqlite3_reset(statement);
        if (error.IsError()) return m.MarkFailed(error);
        if (id != target) error = m.Accept(target, event);
    }
    if (error.IsSuccess()) error = m.NoteOldPath(target, event, operation);
    return error.IsError() ? error.Push(FX_LOCATION) : error;
}

CRyError CSnapDiffEventMonitor::PrepareSelectQueryWithPathPrefix(const std::string& prefix) {
    CRyError error = m_pImpl->PrepareRead(prefix, false);
    return error.IsError() ? error.Push(FX_LOCATION) : error;
}

CRyError CSnapDiffEventMonitor::PrepareSelectQueryForShare(const std::string& prefix) {
    CRyError error = m_pImpl->PrepareRead(prefix, true);
    return error.IsError() ? error.Push(FX_LOCATION) : error;
}

int CSnapDiffEventMonitor::GetNextEvent(ChangeEventItem& event) {
    Impl& m = *m_pImpl;
    if (m.Begin(STORE_WHERE, "GetNextEvent").IsError()) return -1;
    if (m.readState == Impl::kExhausted) return 1;
    if (m.readState == Impl::kNoRead) return -1;
    CRyError reason;
    const int result = m.Next(event, reason);
    if (result == 0) return 0;
    if (result == 1) {
        m.EndRead();
        m.readState = Impl::kExhausted;
        return 1;
    }
    // The agent learns only "failure" from -1; keep the reason in the log.
    if (g_ptrLogWriter && g_ptrLogWriter->GetLevel() >= -1) {
        g_ptrLogWriter->Log(-1, __PRETTY_FUNCTION__, __LINE__, "Reading the event store [%s] failed: %s",
                            m.strPath.c_str(), reason.Message().c_str());
    }
    m.EndRead();
    return -1;
}
