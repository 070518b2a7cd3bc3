// The share tables of one change event store and the routing of a path to
// its table: the table of the longest share prefix that begins the path,
// else share_0 (the empty prefix, made first). A path's table is found with
// one hash look-up per distinct prefix length (a volume's shares mostly have
// prefixes of one or two lengths) instead of a comparison per share.
#pragma once

#include "hostlib/eventstore/EventStoreLayout.h"
#include "hostlib/eventstore/EventStoreSql.h"

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace eventstore {

// One table with its statements; the stored paths lack its prefix.
// insertMany is prepared by InsertMany.
struct ShareTable {
    std::string prefix;
    Statement insertOne, insertMany, selectInode, inodeStored, updateEvent, deleteEvent, scan;
};

class ShareTables {
public:
    size_t Count() const { return m_tables.size(); }
    ShareTable& operator[](size_t id) { return *m_tables[id]; }
    const ShareTable& operator[](size_t id) const { return *m_tables[id]; }
    std::vector<std::string> Prefixes() const;

    // Notes the next table in shares (with noteShare), creates it and
    // prepares its statements; SQLITE_OK or the failing code.
    int Add(sqlite3* db, sqlite3_stmt* noteShare, const std::string& prefix);
    // The INSERT of rows rows into table id, prepared on first use: it
    // holds some 30 KiB, and most tables of a volume of many shares never
    // fill one. nullptr when it cannot be prepared (sqlite3_errmsg says why).
    sqlite3_stmt* InsertMany(sqlite3* db, size_t id, size_t rows);
    size_t TableOf(const std::string& path) const;

private:
    std::vector<std::unique_ptr<ShareTable>> m_tables;
    std::unordered_map<std::string_view, size_t> m_byPrefix;
    std::vector<size_t> m_prefixLengths;  // longest first
};

}  // namespace eventstore
