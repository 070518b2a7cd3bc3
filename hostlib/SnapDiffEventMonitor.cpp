#include "host/SnapDiffEventMonitor.h"

#include "host/FXErrorUtil.h"
#include "host/LogWriter.h"
#include "hostlib/EventStoreInodeFilter.h"
#include "hostlib/EventStoreName.h"
#include "hostlib/EventStorePrefixRange.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Rows per INSERT statement: many rows per statement insert markedly faster
// than one at a time, and 64 rows of 10 values stay far below SQLite's limit
// on parameters.
const size_t kRowsPerInsert = 64;
const int kValuesPerRow = 10;
// Inserts are committed in batches of this many rows.
const size_t kRowsPerTransaction = size_t(1) << 16;
// A volume usually has few shares, and one sequential scan per share with
// the prefix range as a filter beats reading through an index by more than
// two to one. Building a covering path index costs about as much as a dozen
// scans, after which every read is cheap; a store asked for more prefixes
// than this builds it once, which keeps any number of shares within about
// half of the better of the two plans.
const int kScansBeforePathIndex = 8;

// The store is scratch data of one job, rebuilt by the next comparison if
// the job runs again: it needs neither rollback nor durability, and its
// cache and temporary storage must keep the proxy's memory bounded. Inserts
// in inode order touch only the right edge of the table and reads stream
// through it, so a page cache beyond 8 MiB buys no speed, only resident
// memory (and the sort that builds the path index takes as much again).
const char kCreateSchema[] =
    "PRAGMA page_size=4096;"
    "PRAGMA journal_mode=OFF;"
    "PRAGMA synchronous=OFF;"
    "PRAGMA cache_size=-8192;"
    "PRAGMA temp_store=FILE;"
    "CREATE TABLE events(inode INTEGER PRIMARY KEY, path BLOB NOT NULL, old_path BLOB NOT NULL,"
    " ctime INTEGER NOT NULL, mtime INTEGER NOT NULL, atime INTEGER NOT NULL,"
    " change_type BLOB NOT NULL, attribute INTEGER NOT NULL, flags INTEGER NOT NULL,"
    " file_type INTEGER NOT NULL);"
    // Paths are BLOBs because a name may hold any byte; people reading the
    // file in the sqlite3 shell compare and match text, which never equals a
    // BLOB, so they get a view of the same rows with TEXT columns.
    "CREATE VIEW events_text AS SELECT inode, CAST(path AS TEXT) AS path,"
    " CAST(old_path AS TEXT) AS old_path, ctime, mtime, atime,"
    " CAST(change_type AS TEXT) AS change_type, attribute, flags, file_type FROM events;"
    // Readers tell the layout of a file by this number (docs/change-database.md).
    "PRAGMA user_version=1;";
const char kCreatePathIndex[] =
    "CREATE INDEX events_by_path ON events(path, old_path, ctime, mtime, atime, change_type,"
    " attribute, flags, file_type)";
#define EVENT_COLUMNS "inode, path, old_path, ctime, mtime, atime, change_type, attribute, flags, file_type"
const char kSelectInode[] = "SELECT " EVENT_COLUMNS " FROM events WHERE inode = ?1";
const char kInodeStored[] = "SELECT 1 FROM events WHERE inode = ?1";
const char kUpdateEvent[] =
    "UPDATE events SET path = ?2, old_path = ?3, ctime = ?4, mtime = ?5, atime = ?6,"
    " change_type = ?7, attribute = ?8, flags = ?9, file_type = ?10 WHERE inode = ?1";
const char kReadRange[] = "SELECT " EVENT_COLUMNS " FROM events WHERE path >= ?1 AND path < ?2";
const char kReadFrom[] = "SELECT " EVENT_COLUMNS " FROM events WHERE path >= ?1";
// The events that left a prefix: old path inside it, path outside. With no
// upper bound every path >= the prefix lies inside it.
const char kReadLeftRange[] = "SELECT " EVENT_COLUMNS " FROM events"
    " WHERE old_path >= ?1 AND old_path < ?2 AND (path < ?1 OR path >= ?2)";
const char kReadLeftFrom[] = "SELECT " EVENT_COLUMNS " FROM events WHERE old_path >= ?1 AND path < ?1";
#undef EVENT_COLUMNS

std::string InsertStatementText(size_t rows) {
    std::string text = "INSERT INTO events VALUES ";
    for (size_t row = 0; row < rows; ++row) {
        text += row ? ",(" : "(";
        for (int value = 0; value < kValuesPerRow; ++value) text += value ? ",?" : "?";
        text += ")";
    }
    return text;
}

struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
typedef std::unique_ptr<sqlite3_stmt, StatementFinalizer> Statement;

struct DatabaseCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};

// One open database with its reusable statements. The handle is declared
// first so that it is closed after every statement is finalized.
struct Connection {
    std::unique_ptr<sqlite3, DatabaseCloser> db;
    Statement insertOne;
    Statement insertMany;
    Statement selectInode;
    Statement inodeStored;
    Statement updateEvent;
    Statement readRange;
    Statement readFrom;
    Statement readLeftRange;
    Statement readLeftFrom;
};

// Strings are bound without a copy: every caller keeps them alive and
// unchanged until the statement has been stepped and reset.
void BindBytes(sqlite3_stmt* statement, int index, const std::string& bytes) {
    sqlite3_bind_blob64(statement, index, bytes.data(), bytes.size(), SQLITE_STATIC);
}

// Binds the ten values of an event from parameter first on, in column order.
// A value that cannot be bound stays NULL, which the table's NOT NULL
// constraints turn into a failed statement.
void BindEvent(sqlite3_stmt* statement, int first, const ChangeEventItem& event) {
    sqlite3_bind_int64(statement, first, event.llInode);
    BindBytes(statement, first + 1, event.strPath);
    BindBytes(statement, first + 2, event.strOldPath);
    sqlite3_bind_int64(statement, first + 3, event.llCtime);
    sqlite3_bind_int64(statement, first + 4, event.llMtime);
    sqlite3_bind_int64(statement, first + 5, event.llAtime);
    BindBytes(statement, first + 6, event.strChangeType);
    sqlite3_bind_int64(statement, first + 7, event.llAttribute);
    sqlite3_bind_int64(statement, first + 8, event.uiChangeFlags);
    sqlite3_bind_int64(statement, first + 9, event.uiFileType);
}

void ColumnBytes(sqlite3_stmt* statement, int column, std::string& out) {
    const void* bytes = sqlite3_column_blob(statement, column);
    int size = sqlite3_column_bytes(statement, column);
    if (size > 0) {
        out.assign(static_cast<const char*>(bytes), static_cast<size_t>(size));
    } else {
        out.clear();
    }
}

void ReadEvent(sqlite3_stmt* statement, ChangeEventItem& event) {
    event.llInode = sqlite3_column_int64(statement, 0);
    ColumnBytes(statement, 1, event.strPath);
    ColumnBytes(statement, 2, event.strOldPath);
    event.llCtime = sqlite3_column_int64(statement, 3);
    event.llMtime = sqlite3_column_int64(statement, 4);
    event.llAtime = sqlite3_column_int64(statement, 5);
    ColumnBytes(statement, 6, event.strChangeType);
    event.llAttribute = sqlite3_column_int64(statement, 7);
    event.uiChangeFlags = static_cast<uint32_t>(sqlite3_column_int64(statement, 8));
    event.uiFileType = static_cast<uint32_t>(sqlite3_column_int64(statement, 9));
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

    std::string strJobResultsDir;
    std::string strPath;
    std::unique_ptr<Connection> conn;
    // Events accepted but not yet written; the first pendingCount are used.
    // Their inodes are unique among themselves and in the database.
    std::vector<ChangeEventItem> pending;
    size_t pendingCount = 0;
    EventStoreInodeFilter seenInodes;
    bool inTransaction = false;
    size_t rowsInTransaction = 0;
    int readsPrepared = 0;
    bool pathIndexBuilt = false;
    ReadState readState = kNoRead;
    sqlite3_stmt* read = nullptr;
    // The second part of a share's read, run once the first is exhausted.
    sqlite3_stmt* readNext = nullptr;
    std::string readPrefix;
    std::string readBound;
    // A write that failed may have left part of its rows behind (there is no
    // journal to roll back), so after one the store refuses all further work
    // and its file is removed: a full disk is the usual cause, and the next
    // share's store needs the space.
    CRyError failure;

    Impl() : pending(kRowsPerInsert) {}

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
        pendingCount = 0;
        inTransaction = false;
        unlink(strPath.c_str());
    }

    // The fault hook, then whether the store can serve an operation at all.
    CRyError Begin(const FXCodeLocation& where, const char* operation) const {
        CRyError injected = RunFaultHook(operation);
        if (injected.IsError()) return injected.Push(where);
        if (failure.IsError()) {
            return FXErrorUtil::ErrorWin32(
                where, ERROR_FUNCTION_FAILED,
                "%s failed on the event store [%s]: the store failed earlier: %s", operation,
                strPath.c_str(), failure.Message().c_str());
        }
        if (!conn) {
            return FXErrorUtil::ErrorWin32(where, ERROR_FUNCTION_FAILED,
                                           "%s failed on the event store [%s]: the store is not open",
                                           operation, strPath.c_str());
        }
        return CRyError::Success();
    }

    void Close() {
        EndRead();
        conn.reset();
        pendingCount = 0;
        seenInodes.Clear();
        inTransaction = false;
        rowsInTransaction = 0;
        readsPrepared = 0;
        pathIndexBuilt = false;
        failure = CRyError();
    }

    void EndRead() {
        if (read) sqlite3_reset(read);
        read = nullptr;
        readNext = nullptr;
        readState = kNoRead;
    }

    CRyError Execute(const FXCodeLocation& where, const char* operation, const char* sql) {
        if (sqlite3_exec(Db(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
            return SqliteError(where, operation);
        }
        return CRyError::Success();
    }

    CRyError PrepareStatement(const char* sql, Statement& statement) {
        sqlite3_stmt* raw = nullptr;
        int rc = sqlite3_prepare_v3(Db(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
        statement.reset(raw);
        return rc == SQLITE_OK ? CRyError::Success() : SqliteError(FX_LOCATION, "Create");
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
            std::string sql;
            Statement& statement;
        } statements[] = {{InsertStatementText(1), conn->insertOne},
                          {InsertStatementText(kRowsPerInsert), conn->insertMany},
                          {kSelectInode, conn->selectInode},
                          {kInodeStored, conn->inodeStored},
                          {kUpdateEvent, conn->updateEvent},
                          {kReadRange, conn->readRange},
                          {kReadFrom, conn->readFrom},
                          {kReadLeftRange, conn->readLeftRange},
                          {kReadLeftFrom, conn->readLeftFrom}};
        for (const auto& entry : statements) {
            if (error.IsError()) break;
            error = PrepareStatement(entry.sql.c_str(), entry.statement);
        }
        return error;
    }

    CRyError EnsureTransaction() {
        if (inTransaction) return CRyError::Success();
        CRyError error = Execute(FX_LOCATION, "Begin", "BEGIN");
        if (error.IsError()) return MarkFailed(error);
        inTransaction = true;
        return CRyError::Success();
    }

    CRyError WriteRows(sqlite3_stmt* statement, size_t first, size_t count) {
        for (size_t row = 0; row < count; ++row) {
            BindEvent(statement, static_cast<int>(row) * kValuesPerRow + 1, pending[first + row]);
        }
        int rc = sqlite3_step(statement);
        CRyError error = rc == SQLITE_DONE ? CRyError::Success() : SqliteError(FX_LOCATION, "Insert");
        sqlite3_reset(statement);
        return error.IsError() ? MarkFailed(error) : error;
    }

    CRyError FlushPending() {
        if (pendingCount == 0) return CRyError::Success();
        CRyError error = EnsureTransaction();
        if (pendingCount == kRowsPerInsert) {
            if (error.IsSuccess()) error = WriteRows(conn->insertMany.get(), 0, kRowsPerInsert);
        } else {
            for (size_t row = 0; row < pendingCount && error.IsSuccess(); ++row) {
                error = WriteRows(conn->insertOne.get(), row, 1);
            }
        }
        if (error.IsError()) return error.Push(FX_LOCATION);
        rowsInTransaction += pendingCount;
        pendingCount = 0;
        return error;
    }

    // Writes out everything accepted so far and commits it.
    CRyError FlushAndCommit() {
        CRyError error = FlushPending();
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

    ChangeEventItem* FindPending(long long inode) {
        for (size_t i = 0; i < pendingCount; ++i) {
            if (pending[i].llInode == inode) return &pending[i];
        }
        return nullptr;
    }

    CRyError IsStored(long long inode, bool& stored) {
        sqlite3_stmt* statement = conn->inodeStored.get();
        sqlite3_bind_int64(statement, 1, inode);
        int rc = sqlite3_step(statement);
        stored = rc == SQLITE_ROW;
        CRyError error = (rc == SQLITE_ROW || rc == SQLITE_DONE)
                             ? CRyError::Success()
                             : SqliteError(FX_LOCATION, "InsertEvent");
        sqlite3_reset(statement);
        return error;
    }

    CRyError PrepareRead(const std::string& prefix, bool withLeft) {
        // Whatever happens below, the earlier read is over: a failed prepare
        // must never leave the agent reading the previous share's events.
        EndRead();
        CRyError error = Begin(FX_LOCATION, "Prepare");
        if (error.IsError()) return error;
        error = Commit();
        if (error.IsSuccess()) error = BuildPathIndexWhenWorthIt();
        if (error.IsError()) return error.Push(FX_LOCATION);
        readPrefix = prefix;
        const bool bounded = EventStorePrefixUpperBound(readPrefix, readBound);
        read = bounded ? conn->readRange.get() : conn->readFrom.get();
        readNext = !withLeft ? nullptr : bounded ? conn->readLeftRange.get() : conn->readLeftFrom.get();
        for (sqlite3_stmt* statement : {read, readNext}) {
            if (!statement) continue;
            BindBytes(statement, 1, readPrefix);
            if (bounded) BindBytes(statement, 2, readBound);
        }
        readState = kStreaming;
        return error;
    }

    CRyError BuildPathIndexWhenWorthIt() {
        ++readsPrepared;
        if (pathIndexBuilt || readsPrepared <= kScansBeforePathIndex) return CRyError::Success();
        CRyError error = Execute(FX_LOCATION, "Prepare", kCreatePathIndex);
        if (error.IsError()) return MarkFailed(error);
        pathIndexBuilt = true;
        return error;
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

CRyError CSnapDiffEventMonitor::InsertEvent(const ChangeEventItem& event, bool& exists) {
    Impl& m = *m_pImpl;
    CRyError error = m.Begin(FX_LOCATION, "InsertEvent");
    if (error.IsError()) return error;
    exists = false;
    // Most changes are new inodes; only those the filter may have seen cost
    // a look at the unwritten rows and a query.
    if (m.seenInodes.MayContain(event.llInode)) {
        if (m.FindPending(event.llInode)) {
            exists = true;
            return error;
        }
        error = m.IsStored(event.llInode, exists);
        if (error.IsError() || exists) return error;
    }
    m.seenInodes.Add(event.llInode);
    m.pending[m.pendingCount++] = event;
    if (m.pendingCount == kRowsPerInsert) error = m.FlushPending();
    if (error.IsSuccess() && m.rowsInTransaction >= kRowsPerTransaction) error = m.Commit();
    return error.IsError() ? error.Push(FX_LOCATION) : error;
}

CRyError CSnapDiffEventMonitor::GetEventOfInode(long long& inode, ChangeEventItem& event) {
    Impl& m = *m_pImpl;
    CRyError error = m.Begin(FX_LOCATION, "GetEventOfInode");
    if (error.IsError()) return error;
    if (const ChangeEventItem* waiting = m.FindPending(inode)) {
        event = *waiting;
        return error;
    }
    sqlite3_stmt* statement = m.conn->selectInode.get();
    sqlite3_bind_int64(statement, 1, inode);
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
        ReadEvent(statement, event);
    } else if (rc == SQLITE_DONE) {
        error = FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_FUNCTION_FAILED,
                                        "GetEventOfInode failed on the event store [%s]: no event of inode %lld",
                                        m.strPath.c_str(), inode);
    } else {
        error = m.SqliteError(FX_LOCATION, "GetEventOfInode");
    }
    sqlite3_reset(statement);
    return error;
}

CRyError CSnapDiffEventMonitor::UpdateExistingEventOfInode(const ChangeEventItem& event) {
    Impl& m = *m_pImpl;
    CRyError error = m.Begin(FX_LOCATION, "UpdateExistingEventOfInode");
    if (error.IsError()) return error;
    if (ChangeEventItem* waiting = m.FindPending(event.llInode)) {
        *waiting = event;
        return error;
    }
    error = m.EnsureTransaction();
    if (error.IsError()) return error.Push(FX_LOCATION);
    sqlite3_stmt* statement = m.conn->updateEvent.get();
    BindEvent(statement, 1, event);
    int rc = sqlite3_step(statement);
    if (rc != SQLITE_DONE) {
        error = m.SqliteError(FX_LOCATION, "UpdateExistingEventOfInode");
    } else if (sqlite3_changes(m.Db()) == 0) {
        error = FXErrorUtil::ErrorWin32(
            FX_LOCATION, ERROR_FUNCTION_FAILED,
            "UpdateExistingEventOfInode failed on the event store [%s]: no event of inode %lld",
            m.strPath.c_str(), static_cast<long long>(event.llInode));
    }
    sqlite3_reset(statement);
    return rc != SQLITE_DONE ? m.MarkFailed(error) : error;
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
    if (m.Begin(FX_LOCATION, "GetNextEvent").IsError()) return -1;
    if (m.readState == Impl::kExhausted) return 1;
    if (m.readState == Impl::kNoRead) return -1;
    int rc = sqlite3_step(m.read);
    if (rc == SQLITE_DONE && m.readNext) {
        sqlite3_reset(m.read);
        m.read = m.readNext;
        m.readNext = nullptr;
        rc = sqlite3_step(m.read);
    }
    if (rc == SQLITE_ROW) {
        ReadEvent(m.read, event);
        return 0;
    }
    if (rc == SQLITE_DONE) {
        m.EndRead();
        m.readState = Impl::kExhausted;
        return 1;
    }
    // The agent learns only "failure" from -1; keep SQLite's reason in the log.
    if (g_ptrLogWriter && g_ptrLogWriter->GetLevel() >= -1) {
        g_ptrLogWriter->Log(-1, __PRETTY_FUNCTION__, __LINE__,
                            "Reading the event store [%s] failed: %s", m.strPath.c_str(),
                            sqlite3_errmsg(m.Db()));
    }
    m.EndRead();
    return -1;
}
