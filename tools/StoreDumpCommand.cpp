// snapagent inspect STORE: prints every event of a change database, one line
// each, with its times and flags decoded, so that a support engineer can see
// what a job's SnapDiff run gathered without knowing how the rows are packed
// (docs/change-database.md).
#include "tools/StoreDumpCommand.h"

#include "hostlib/TextBytes.h"
#include "hostlib/eventstore/StoreReader.h"
#include "tools/CommandLine.h"
#include "tools/ItemJson.h"
#include "tools/ItemText.h"

#include <ctime>
#include <nlohmann/json.hpp>

namespace snapagent {

const char kInspectUsage[] =
    "usage: snapagent inspect [--sql | --json] STORE\n"
    "\n"
    "Prints every event of a change database (a *.events.db file of a job's\n"
    "results folder), one line each: inode, the share's table, the change kinds\n"
    "reported (flags), the file type, the SnapDiff change text, the three times\n"
    "in UTC, the attribute bits, the path and the old path.\n"
    "\n"
    "  --sql   print SQL that makes a table events of them instead, with whole\n"
    "          paths (a directory's ending in /) and the file type in words\n"
    "          (kind), for the sqlite3 shell:\n"
    "          snapagent inspect --sql STORE | sqlite3 events.db\n"
    "  --json  one JSON object per event: inode, table, flags, kind, change,\n"
    "          ctime, mtime, atime, attribute, path, path_hex, old_path,\n"
    "          old_path_hex (/usr/share/doc/snapclient/change-database.md)\n";

std::string UtcTimeText(int64_t seconds) {
    const time_t value = static_cast<time_t>(seconds);
    struct tm utc;
    char formatted[32];
    if (seconds >= 0 && gmtime_r(&value, &utc) &&
        strftime(formatted, sizeof formatted, "%Y-%m-%dT%H:%M:%SZ", &utc))
        return formatted;
    return std::string();
}

namespace {

std::string TimeText(int64_t seconds) {
    const std::string utc = UtcTimeText(seconds);
    return std::to_string(seconds) + (utc.empty() ? "" : "(" + utc + ")");
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

// A literal that gives the bytes back exactly, whatever they are.
std::string SqlText(const std::string& bytes) {
    return "CAST(X'" + HexOfBytes(bytes, true) + "' AS TEXT)";
}

// The file type SnapDiff reports, in words.
const char* KindText(uint32_t fileType) {
    switch (fileType) {
        case 1:
            return "file";
        case 2:
            return "directory";
        case 5:
            return "symbolic link";
        default:
            return "other";
    }
}

// The store ends every path with "/"; for people a directory keeps it, as
// in the change list, and anything else loses it, so that
// path LIKE '%.txt' finds the text files.
std::string PathForPeople(std::string path, uint32_t fileType) {
    if (fileType != 2 && path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

void PrintLine(FILE* out, const ChangeEventItem& event, int64_t table) {
    fprintf(out,
            "inode %lld table share_%lld flags %s type %s change %s ctime %s mtime %s atime %s "
            "attribute %lld path %s old_path %s\n",
            static_cast<long long>(event.llInode), static_cast<long long>(table),
            FlagsText(event.uiChangeFlags).c_str(), KindText(event.uiFileType),
            PrintablePath(event.strChangeType).c_str(), TimeText(event.llCtime).c_str(),
            TimeText(event.llMtime).c_str(), TimeText(event.llAtime).c_str(),
            static_cast<long long>(event.llAttribute),
            PrintablePath(PathForPeople(event.strPath, event.uiFileType)).c_str(),
            PrintablePath(PathForPeople(event.strOldPath, event.uiFileType)).c_str());
}

void PrintInsert(FILE* out, const ChangeEventItem& event, int64_t table) {
    fprintf(out,
            "INSERT INTO events VALUES (%lld, %lld, %s, %s, %s, %u, %u, '%s', %lld, %lld, %lld, "
            "%lld);\n",
            static_cast<long long>(event.llInode), static_cast<long long>(table),
            SqlText(PathForPeople(event.strPath, event.uiFileType)).c_str(),
            SqlText(PathForPeople(event.strOldPath, event.uiFileType)).c_str(),
            SqlText(event.strChangeType).c_str(), event.uiChangeFlags, event.uiFileType,
            KindText(event.uiFileType), static_cast<long long>(event.llCtime),
            static_cast<long long>(event.llMtime), static_cast<long long>(event.llAtime),
            static_cast<long long>(event.llAttribute));
}

// Paths as in the items of snapagent job --json: text when UTF-8, and
// their exact bytes in hex.
void PrintJson(FILE* out, const ChangeEventItem& event, int64_t table) {
    nlohmann::ordered_json line;
    line["inode"] = event.llInode;
    line["table"] = table;
    line["flags"] = event.uiChangeFlags;
    line["kind"] = KindText(event.uiFileType);
    line["change"] = PathJson(event.strChangeType);
    line["ctime"] = event.llCtime;
    line["mtime"] = event.llMtime;
    line["atime"] = event.llAtime;
    line["attribute"] = event.llAttribute;
    const std::string path = PathForPeople(event.strPath, event.uiFileType);
    const std::string oldPath = PathForPeople(event.strOldPath, event.uiFileType);
    line["path"] = PathJson(path);
    line["path_hex"] = HexOfBytes(path, false);
    line["old_path"] = PathJson(oldPath);
    line["old_path_hex"] = HexOfBytes(oldPath, false);
    fprintf(out, "%s\n",
            line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

int Fail(const std::string& store, const std::string& reason) {
    fprintf(stderr, "snapagent: inspect: %s: %s\n", store.c_str(), reason.c_str());
    return 1;
}

}  // namespace

int RunInspectCommand(const std::vector<std::string>& args, FILE* out) {
    InspectOptions options;
    std::string error;
    if (!ParseInspectOptions(args, options, error)) {
        fprintf(stderr, "snapagent: error: %s (see snapagent inspect --help)\n",
                PrintablePath(error).c_str());
        return 2;
    }
    if (options.common.bHelp) {
        fputs(kInspectUsage, out);
        return 0;
    }
    const bool sql = options.bSql;
    if (sql && options.common.bJson) {
        fprintf(stderr,
                "snapagent: error: --sql and --json exclude each other (see snapagent "
                "inspect --help)\n");
        return 2;
    }
    const std::string& store = options.strStore;
    eventstore::StoreReader reader;
    hostlib::Status status = reader.Open(store);
    if (!status.ok()) return Fail(store, status.message());
    if (sql)
        fputs(
            "CREATE TABLE events(inode INTEGER PRIMARY KEY, share_table INTEGER, path TEXT, "
            "old_path TEXT, change_type TEXT, flags INTEGER, file_type INTEGER, kind TEXT, "
            "ctime INTEGER, mtime INTEGER, atime INTEGER, attribute INTEGER);\nBEGIN;\n",
            out);
    ChangeEventItem event;
    int64_t table = 0;
    bool more = false;
    while ((status = reader.Next(event, table, more)).ok() && more)
        (sql ? PrintInsert : options.common.bJson ? PrintJson : PrintLine)(out, event, table);
    if (!status.ok()) return Fail(store, status.message());
    if (sql) fputs("COMMIT;\n", out);
    if (fflush(out) != 0 || ferror(out)) return Fail(store, "cannot write the events");
    return 0;
}

}  // namespace snapagent
