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
    // prepares its statements; SQLITE_OK or the failing code. rowsPerInsert
    // is the size of its many-row INSERT.
    int Add(sqlite3* db, sqlite3_stmt* noteShare, const std::string& prefix, size_t rowsPerInsert);
    size_t TableOf(const std::string& path) const;

private:
    std::vector<std::unique_ptr<ShareTable>> m_tables;
    std::unordered_map<std::string_view, size_t> m_byPrefix;
    std::vector<size_t> m_prefixLengths;  // longest first
};

}  // namespace eventstore
