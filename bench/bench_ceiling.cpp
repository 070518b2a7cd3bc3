// The ceiling of the change scan: the same rows the client stores for the
// synthetic run of ChangeWorkload.h, written and read back through plain
// SQLite with nothing of the client around them. One prepared statement per
// step, large transactions, rows in inode order, INSERT OR IGNORE with a
// changes() test (a rename's second record merges into its first), then a
// read of every share by its path prefix, in one of two plans:
//
//   bench_ceiling --n 1e6 --plan index   covering path index built after the inserts
//   bench_ceiling --n 1e6 --plan scan    no path index: one sequential scan per share
//
// Both keep the store's first layout (one table of ten columns, 4 KiB
// pages, a 16 MiB page cache, no journal, no syncs). A third plan is the
// floor of the store's fourth layout (one event a row, a table per share),
// which the present layout's blocks of events replaced, with nothing of the
// store around them:
//
//   bench_ceiling --n 1e6 --plan floor   a table per share, rowid = inode, the
//       path without the share's prefix in the pieces of the store's name
//       dictionary, the details packed; 16 KiB pages, 64-row INSERTs behind
//       an exact bitmap of the inodes seen, one scan of each share's table
#include "bench/BenchSupport.h"
#include "bench/ChangeWorkload.h"

#include "hostlib/eventstore/PathDictionary.h"
#include "hostlib/eventstore/EventDetails.h"

#include <sqlite3.h>
#include <memory>
#include <vector>

namespace {

using namespace bench;

const uint64_t kRowsPerTransaction = uint64_t(1) << 16;

const char kSchema[] =
    "PRAGMA page_size=4096;"
    "PRAGMA journal_mode=OFF;"
    "PRAGMA synchronous=OFF;"
    "PRAGMA cache_size=-16384;"
    "PRAGMA temp_store=FILE;"
    "CREATE TABLE events(inode INTEGER PRIMARY KEY, path BLOB NOT NULL, old_path BLOB NOT NULL,"
    " ctime INTEGER NOT NULL, mtime INTEGER NOT NULL, atime INTEGER NOT NULL,"
    " change_type BLOB NOT NULL, attribute INTEGER NOT NULL, flags INTEGER NOT NULL,"
    " file_type INTEGER NOT NULL);";
const char kIndex[] =
    "CREATE INDEX events_by_path ON events(path, old_path, ctime, mtime, atime, change_type,"
    " attribute, flags, file_type)";
const char kInsert[] = "INSERT OR IGNORE INTO events VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10)";
// A rename's creation after its deletion: the new name, the old one kept.
const char kMerge[] =
    "UPDATE events SET old_path = path, path = ?2, change_type = ?3, flags = flags | ?4"
    " WHERE inode = ?1";
const char kRead[] =
    "SELECT inode, path, old_path, ctime, mtime, atime, change_type, attribute, flags, file_type"
    " FROM events WHERE path >= ?1 AND path < ?2";

struct Db {
    sqlite3* handle = nullptr;
    ~Db() { sqlite3_close_v2(handle); }
    void Exec(const char* sql) {
        if (sqlite3_exec(handle, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            Fail(std::string(sql) + ": " + sqlite3_errmsg(handle));
    }
};

struct Stmt {
    sqlite3_stmt* handle = nullptr;
    Stmt(Db& db, const char* sql) {
        if (sqlite3_prepare_v3(db.handle, sql, -1, SQLITE_PREPARE_PERSISTENT, &handle, nullptr) !=
            SQLITE_OK)
            Fail(std::string(sql) + ": " + sqlite3_errmsg(db.handle));
    }
    ~Stmt() { sqlite3_finalize(handle); }
    void Text(int index, const std::string& bytes) {
        sqlite3_bind_blob64(handle, index, bytes.data(), bytes.size(), SQLITE_STATIC);
    }
    void StepDone(Db& db) {
        if (sqlite3_step(handle) != SQLITE_DONE)
            Fail(std::string("step: ") + sqlite3_errmsg(db.handle));
        sqlite3_reset(handle);
    }
};

uint32_t FlagOf(ChangeKind kind) {
    switch (kind) {
        case ChangeKind::kModification:
            return 1;
        case ChangeKind::kCreation:
        case ChangeKind::kRenameTo:
            return 2;
        default:
            return 4;
    }
}

void InsertAll(Db& db, const ChangeWorkload& workload) {
    Stmt insert(db, kInsert);
    Stmt merge(db, kMerge);
    WorkloadChange change;
    std::string path, changeType;
    const std::string empty;
    db.Exec("BEGIN");
    for (uint64_t i = 0; i < workload.Records(); ++i) {
        workload.Fill(i, change);
        path.assign(change.backupPath).push_back('/');
        changeType.assign(ChangeTypeText(change.kind));
        sqlite3_bind_int64(insert.handle, 1, static_cast<int64_t>(change.inode));
        insert.Text(2, path);
        insert.Text(3, empty);
        sqlite3_bind_int64(insert.handle, 4, change.ctime);
        sqlite3_bind_int64(insert.handle, 5, change.mtime);
        sqlite3_bind_int64(insert.handle, 6, change.atime);
        insert.Text(7, changeType);
        sqlite3_bind_int64(insert.handle, 8, change.attribute);
        sqlite3_bind_int64(insert.handle, 9, FlagOf(change.kind));
        sqlite3_bind_int64(insert.handle, 10, change.fileType);
        insert.StepDone(db);
        if (sqlite3_changes(db.handle) == 0) {
            sqlite3_bind_int64(merge.handle, 1, static_cast<int64_t>(change.inode));
            merge.Text(2, path);
            merge.Text(3, changeType);
            sqlite3_bind_int64(merge.handle, 4, FlagOf(change.kind));
            merge.StepDone(db);
        }
        if ((i + 1) % kRowsPerTransaction == 0) {
            db.Exec("COMMIT");
            db.Exec("BEGIN");
        }
    }
    db.Exec("COMMIT");
}

// Reads every share's rows into reused strings, as a reader that hands them
// on would; returns the rows read.
uint64_t ReadAllShares(Db& db, unsigned shares) {
    Stmt read(db, kRead);
    std::string path, oldPath, changeType;
    int64_t sink = 0;
    uint64_t rows = 0;
    for (unsigned share = 0; share < shares; ++share) {
        const std::string prefix = ChangeWorkload::ShareBackupPath(share) + "/";
        std::string bound = prefix;
        bound.back() = '/' + 1;
        read.Text(1, prefix);
        read.Text(2, bound);
        int rc;
        while ((rc = sqlite3_step(read.handle)) == SQLITE_ROW) {
            sink += sqlite3_column_int64(read.handle, 0);
            path.assign(static_cast<const char*>(sqlite3_column_blob(read.handle, 1)),
                        sqlite3_column_bytes(read.handle, 1));
            const void* old = sqlite3_column_blob(read.handle, 2);
            oldPath.assign(old ? static_cast<const char*>(old) : "",
                           sqlite3_column_bytes(read.handle, 2));
            for (int column = 3; column < 6; ++column)
                sink += sqlite3_column_int64(read.handle, column);
            changeType.assign(static_cast<const char*>(sqlite3_column_blob(read.handle, 6)),
                              sqlite3_column_bytes(read.handle, 6));
            for (int column = 7; column < 10; ++column)
                sink += sqlite3_column_int64(read.handle, column);
            ++rows;
        }
        if (rc != SQLITE_DONE) Fail(std::string("read: ") + sqlite3_errmsg(db.handle));
        sqlite3_reset(read.handle);
    }
    if (sink == 42) Fail("unreachable");  // keeps the reads from being optimised away
    return rows;
}

// The floor of the fourth layout.
const char kFloorSettings[] =
    "PRAGMA page_size=16384;"
    "PRAGMA journal_mode=OFF;"
    "PRAGMA synchronous=OFF;"
    "PRAGMA cache_size=-8192;"
    "PRAGMA temp_store=FILE;"
    "CREATE TABLE names(id INTEGER PRIMARY KEY, name BLOB NOT NULL);";
const size_t kFloorRows = 64;

struct FloorRow {
    int64_t inode;
    std::string path, oldPath, details;
    int change;
};

struct FloorTable {
    std::unique_ptr<Stmt> insertMany, insertOne, update, scan;
    std::vector<FloorRow> pending = std::vector<FloorRow>(kFloorRows);
    size_t count = 0;
    size_t prefixLength = 0;
};

int ChangeCode(ChangeKind kind) {
    switch (kind) {
        case ChangeKind::kModification:
            return 0;
        case ChangeKind::kCreation:
        case ChangeKind::kRenameTo:
            return 1;
        default:
            return 2;
    }
}

std::string FloorInsertText(unsigned share, size_t rows) {
    std::string text = "INSERT INTO share_" + std::to_string(share) + " VALUES ";
    for (size_t row = 0; row < rows; ++row) text += row ? ",(?,?,?,?,?)" : "(?,?,?,?,?)";
    return text;
}

void FloorWrite(Db& db, FloorTable& table, Stmt& statement, size_t first, size_t rows) {
    for (size_t row = 0; row < rows; ++row) {
        const FloorRow& r = table.pending[first + row];
        const int at = static_cast<int>(row) * 5;
        sqlite3_bind_int64(statement.handle, at + 1, r.inode);
        statement.Text(at + 2, r.path);
        statement.Text(at + 3, r.oldPath);
        sqlite3_bind_int(statement.handle, at + 4, r.change);
        statement.Text(at + 5, r.details);
    }
    statement.StepDone(db);
}

void FloorFlush(Db& db, FloorTable& table) {
    if (table.count == kFloorRows) {
        FloorWrite(db, table, *table.insertMany, 0, kFloorRows);
    } else {
        for (size_t row = 0; row < table.count; ++row)
            FloorWrite(db, table, *table.insertOne, row, 1);
    }
    table.count = 0;
}

uint64_t FloorInsertAndRead(Db& db, const ChangeWorkload& workload) {
    db.Exec(kFloorSettings);
    std::vector<FloorTable> tables(workload.Shares());
    for (unsigned share = 0; share < workload.Shares(); ++share) {
        const std::string name = "share_" + std::to_string(share);
        db.Exec(("CREATE TABLE " + name +
                 "(inode INTEGER PRIMARY KEY, path BLOB NOT NULL,"
                 " old_path BLOB NOT NULL, change NOT NULL, details BLOB NOT NULL)")
                    .c_str());
        FloorTable& table = tables[share];
        table.insertMany.reset(new Stmt(db, FloorInsertText(share, kFloorRows).c_str()));
        table.insertOne.reset(new Stmt(db, FloorInsertText(share, 1).c_str()));
        table.update.reset(new Stmt(db, ("UPDATE " + name +
                                         " SET old_path = CAST(?2 || path AS BLOB), path = ?3,"
                                         " change = ?4, details = ?5 WHERE inode = ?1")
                                            .c_str()));
        table.scan.reset(
            new Stmt(db, ("SELECT inode, path, old_path, change, details FROM " + name).c_str()));
        table.prefixLength = ChangeWorkload::ShareBackupPath(share).size() + 1;
    }
    std::vector<bool> seen;
    WorkloadChange change;
    ChangeEventItem event;
    std::string path, oldPath, details;
    eventstore::PathDictionary names;
    size_t namesWritten = 0;
    Stmt noteName(db, "INSERT INTO names VALUES (?1, ?2)");
    // Encodes text into out, noting the names it numbered first.
    auto encode = [&](const std::string& text, std::string& out) {
        out.clear();
        names.Encode(text, out);
        for (; namesWritten < names.Count(); ++namesWritten) {
            sqlite3_bind_int64(noteName.handle, 1, static_cast<int64_t>(namesWritten));
            noteName.Text(2, std::string(names.Name(namesWritten)));
            noteName.StepDone(db);
        }
    };
    db.Exec("BEGIN");
    for (uint64_t i = 0; i < workload.Records(); ++i) {
        workload.Fill(i, change);
        FloorTable& table = tables[change.share];
        oldPath.assign(change.backupPath, table.prefixLength, std::string::npos).push_back('/');
        encode(oldPath, path);
        event.llMtime = change.mtime;
        event.llCtime = change.ctime;
        event.llAtime = change.atime;
        event.llAttribute = change.attribute;
        event.uiChangeFlags = FlagOf(change.kind);
        event.uiFileType = change.fileType;
        if (change.inode >= seen.size()) seen.resize(change.inode * 2 + 1024);
        if (seen[change.inode]) {
            // A rename's creation after its deletion: the new name, the old one kept.
            FloorRow* row = nullptr;
            for (size_t r = 0; r < table.count; ++r)
                if (table.pending[r].inode == static_cast<int64_t>(change.inode))
                    row = &table.pending[r];
            event.uiChangeFlags |= 4;
            unsigned char packed[eventstore::kMaxPackedDetails];
            details.assign(reinterpret_cast<char*>(packed), eventstore::PackDetails(event, packed));
            // Encoded pieces end at a "/", so the prefix's pieces and the
            // path's join into the old path's.
            encode(ChangeWorkload::ShareBackupPath(change.share) + "/", oldPath);
            if (row) {
                row->oldPath = oldPath + row->path;
                row->path = path;
                row->change = ChangeCode(change.kind);
                row->details = details;
            } else {
                sqlite3_bind_int64(table.update->handle, 1, static_cast<int64_t>(change.inode));
                table.update->Text(2, oldPath);
                table.update->Text(3, path);
                sqlite3_bind_int(table.update->handle, 4, ChangeCode(change.kind));
                table.update->Text(5, details);
                table.update->StepDone(db);
            }
            continue;
        }
        seen[change.inode] = true;
        FloorRow& row = table.pending[table.count++];
        row.inode = static_cast<int64_t>(change.inode);
        row.path = path;
        row.oldPath.clear();
        row.change = ChangeCode(change.kind);
        unsigned char packed[eventstore::kMaxPackedDetails];
        row.details.assign(reinterpret_cast<char*>(packed), eventstore::PackDetails(event, packed));
        if (table.count == kFloorRows) FloorFlush(db, table);
        if ((i + 1) % kRowsPerTransaction == 0) {
            db.Exec("COMMIT");
            db.Exec("BEGIN");
        }
    }
    for (FloorTable& table : tables) FloorFlush(db, table);
    db.Exec("COMMIT");

    // Each share's table read whole, its rows decoded as a reader hands them on.
    uint64_t rows = 0;
    int64_t sink = 0;
    for (unsigned share = 0; share < workload.Shares(); ++share) {
        Stmt& scan = *tables[share].scan;
        const std::string prefix = ChangeWorkload::ShareBackupPath(share) + "/";
        int rc;
        while ((rc = sqlite3_step(scan.handle)) == SQLITE_ROW) {
            sink += sqlite3_column_int64(scan.handle, 0);
            path.assign(prefix);
            oldPath.clear();
            if (!names.Decode(
                    static_cast<const unsigned char*>(sqlite3_column_blob(scan.handle, 1)),
                    sqlite3_column_bytes(scan.handle, 1), path) ||
                !names.Decode(
                    static_cast<const unsigned char*>(sqlite3_column_blob(scan.handle, 2)),
                    sqlite3_column_bytes(scan.handle, 2), oldPath))
                Fail("a path does not decode");
            sink += sqlite3_column_int(scan.handle, 3);
            if (!eventstore::UnpackDetails(
                    static_cast<const unsigned char*>(sqlite3_column_blob(scan.handle, 4)),
                    sqlite3_column_bytes(scan.handle, 4), event))
                Fail("a packed row does not unpack");
            sink += event.llMtime;
            ++rows;
        }
        if (rc != SQLITE_DONE) Fail(std::string("read: ") + sqlite3_errmsg(db.handle));
    }
    if (sink == 42) Fail("unreachable");
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options(argc, argv);
    const uint64_t n = options.Number("n", 100000);
    const unsigned shares = static_cast<unsigned>(options.Number("shares", 3));
    const std::string plan = options.Text("plan", "scan");
    if (plan != "scan" && plan != "index" && plan != "floor")
        Fail("--plan is scan, index or floor");
    if (n == 0 || shares == 0) Fail("--n and --shares must be positive");
    const ChangeWorkload workload(n, shares);
    ScratchDir scratch(options.Text("work", ""));

    Db db;
    const std::string file = scratch.Path() + "/ceiling.db";
    if (sqlite3_open_v2(file.c_str(), &db.handle,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK)
        Fail("cannot open " + file);

    const double start = NowSeconds();
    double inserted = start, indexed = start;
    uint64_t rows = 0;
    if (plan == "floor") {
        rows = FloorInsertAndRead(db, workload);
    } else {
        db.Exec(kSchema);
        InsertAll(db, workload);
        inserted = NowSeconds();
        if (plan == "index") db.Exec(kIndex);
        indexed = NowSeconds();
        rows = ReadAllShares(db, shares);
    }
    const double seconds = NowSeconds() - start;

    uint64_t expectedRows = 0;
    for (uint64_t i = 0; i < n; ++i)
        if (workload.KindOf(i) != ChangeKind::kRenameTo)
            ++expectedRows;  // merged into its deletion
    if (rows != expectedRows)
        Fail("read " + std::to_string(rows) + " rows of " + std::to_string(expectedRows));

    PrintResult({{"n", n},
                 {"shares", shares},
                 {"plan", plan},
                 {"seconds", seconds},
                 {"rows_per_s", n / seconds},
                 {"insert_s", inserted - start},
                 {"index_s", indexed - inserted},
                 {"read_s", seconds - (indexed - start)},
                 {"peak_rss_mib", PeakRssMiB()}});
    return 0;
}
