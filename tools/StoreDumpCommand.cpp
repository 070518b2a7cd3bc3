// snapagent inspect STORE: prints every event of a change database, one line
// each, with its times and flags decoded, so that a support engineer can see
// what a job's SnapDiff run gathered without knowing how the rows are packed
// (docs/change-database.md).
#include "tools/StoreDumpCommand.h"

#include "hostlib/eventstore/EventStoreRow.h"
#include "tools/ItemText.h"

#include <ctime>
#include <memory>
#include <sqlite3.h>

namespace snapagent {

const char kInspectUsage[] =
    "usage: snapagent inspect STORE\n"
    "\n"
    "Prints every event of a change database (a *.events.db file of a job's\n"
    "results folder), one line each: inode, the share's table, the change kinds\n"
    "reported (flags), the file type, the SnapDiff change text, the three times\n"
    "in UTC, the attribute bits, the path and the old path.\n";

namespace {

const int kLayoutVersion = 2;

struct DatabaseCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
typedef std::unique_ptr<sqlite3_stmt, StatementFinalizer> Statement;

std::string Bytes(sqlite3_stmt* statement, int column) {
    const void* bytes = sqlite3_column_blob(statement, column);
    return std::string(static_cast<const char*>(bytes), bytes ? sqlite3_column_bytes(statement, column) : 0);
}

std::string TimeText(int64_t seconds) {
    std::string text = std::to_string(seconds);
    const time_t value = static_cast<time_t>(seconds);
    struct tm utc;
    char formatted[32];
    if (seconds >= 0 && gmtime_r(&value, &utc) && strftime(formatted, sizeof formatted, "%Y-%m-%dT%H:%M:%SZ", &utc))
        text += std::string("(") + formatted + ")";
    return text;
}

std::string FlagsText(uint32_t flags) {
    static const char* const kNames[] = {"modified", "created", "deleted"};
    std::string text = std::to_string(flags) + "(";
    for (int bit = 0; bit < 3; ++bit) {
        if (!(flags & (1u << bit))) continue;
        if (text.back() != '(') text += ",";
        text += kNames[bit];
    }
    return text + ")";
}

int Fail(const std::string& store, const std::string& reason) {
    fprintf(stderr, "snapagent: inspect: %s: %s\n", store.c_str(), reason.c_str());
    return 1;
}

}  // namespace

int RunInspectCommand(const std::vector<std::string>& args, FILE* out) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        fputs(kInspectUsage, out);
        return 0;
    }
    if (args.size() != 1) {
        fprintf(stderr, "snapagent: error: inspect takes one STORE (see snapagent inspect --help)\n");
        return 2;
    }
    const std::string& store = args[0];
    // "./" keeps SQLite from reading a relative name that begins with "file:" as a URI.
    const std::string name = store[0] == '/' ? store : "./" + store;
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(name.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    std::unique_ptr<sqlite3, DatabaseCloser> db(raw);
    if (rc != SQLITE_OK) return Fail(store, raw ? sqlite3_errmsg(raw) : "out of memory");

    auto prepare = [&](const std::string& sql, Statement& statement) {
        sqlite3_stmt* prepared = nullptr;
        const bool ok = sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &prepared, nullptr) == SQLITE_OK;
        statement.reset(prepared);
        return ok;
    };
    Statement version, shares;
    if (!prepare("PRAGMA user_version", version) || sqlite3_step(version.get()) != SQLITE_ROW)
        return Fail(store, sqlite3_errmsg(db.get()));
    if (sqlite3_column_int(version.get(), 0) != kLayoutVersion)
        return Fail(store, "not a change database of this agent (user_version " +
                               std::to_string(sqlite3_column_int(version.get(), 0)) + ")");
    if (!prepare("SELECT id, prefix FROM shares ORDER BY id", shares))
        return Fail(store, sqlite3_errmsg(db.get()));

    int step;
    while ((step = sqlite3_step(shares.get())) == SQLITE_ROW) {
        const int64_t id = sqlite3_column_int64(shares.get(), 0);
        const std::string prefix = Bytes(shares.get(), 1);
        Statement events;
        if (!prepare("SELECT inode, path, old_path, change, details FROM share_" + std::to_string(id), events))
            return Fail(store, sqlite3_errmsg(db.get()));
        while ((step = sqlite3_step(events.get())) == SQLITE_ROW) {
            ChangeEventItem event;
            event.llInode = sqlite3_column_int64(events.get(), 0);
            const bool known = sqlite3_column_type(events.get(), 3) == SQLITE_INTEGER;
            const int64_t code = known ? sqlite3_column_int64(events.get(), 3) : -1;
            if (!eventstore::UnpackDetails(static_cast<const unsigned char*>(sqlite3_column_blob(events.get(), 4)),
                                           static_cast<size_t>(sqlite3_column_bytes(events.get(), 4)), event) ||
                (known && (code < 0 || code > 2)))
                return Fail(store, "the row of inode " + std::to_string(event.llInode) + " is damaged");
            const std::string change = known ? eventstore::kChangeTexts[code] : Bytes(events.get(), 3);
            fprintf(out,
                    "inode %lld table share_%lld flags %s type %s change %s ctime %s mtime %s atime %s "
                    "attribute %lld path %s old_path %s\n",
                    static_cast<long long>(event.llInode), static_cast<long long>(id),
                    FlagsText(event.uiChangeFlags).c_str(), event.uiFileType == 2 ? "directory" : "file",
                    PrintablePath(change).c_str(), TimeText(event.llCtime).c_str(),
                    TimeText(event.llMtime).c_str(), TimeText(event.llAtime).c_str(),
                    static_cast<long long>(event.llAttribute),
                    PrintablePath(prefix + Bytes(events.get(), 1)).c_str(),
                    PrintablePath(Bytes(events.get(), 2)).c_str());
        }
        if (step != SQLITE_DONE) return Fail(store, sqlite3_errmsg(db.get()));
    }
    if (step != SQLITE_DONE) return Fail(store, sqlite3_errmsg(db.get()));
    return 0;
}

}  // namespace snapagent
