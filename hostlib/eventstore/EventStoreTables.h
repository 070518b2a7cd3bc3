// The share tables of one change event store and the routing of a path to
// its table: the table of the longest share prefix that begins the path,
// else share_0 (the empty prefix, made first). A path's table is found with
// one probe of a flat hash table per distinct prefix length (a volume's
// shares mostly have prefixes of one or two lengths), so that routing costs
// the same for a volume of a thousand shares as for one of three.
//
// A table's statements are prepared on first use: most tables of a volume
// of many shares never need most of them, and preparing them all when the
// tables are made cost more than writing the rows of a small share.
#pragma once

#include "hostlib/eventstore/EventStoreLayout.h"
#include "hostlib/eventstore/EventStoreSql.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace eventstore {

// One table; the stored paths lack its prefix.
struct ShareTable {
    std::string prefix;
    Statement statements[kTableStatements];  // by TableStatement
    Statement insertMany;
};

class ShareTables {
public:
    size_t Count() const { return m_tables.size(); }
    const ShareTable& operator[](size_t id) const { return *m_tables[id]; }
    std::vector<std::string> Prefixes() const;

    // Notes the next table in shares (with noteShare) and creates it;
    // SQLITE_OK or the failing code.
    int Add(sqlite3* db, sqlite3_stmt* noteShare, const std::string& prefix);
    // Statement which of table id, prepared on first use; nullptr when it
    // cannot be prepared (sqlite3_errmsg says why).
    sqlite3_stmt* Get(sqlite3* db, size_t id, TableStatement which);
    // The statement of table id if prepared, else nullptr.
    sqlite3_stmt* Prepared(size_t id, TableStatement which) const {
        return m_tables[id]->statements[which].get();
    }
    // The INSERT of rows rows into table id, prepared on first use (rows is
    // the same for every call on a store); nullptr as Get.
    sqlite3_stmt* InsertMany(sqlite3* db, size_t id, size_t rows);
    size_t TableOf(const std::string& path) const;
    // The tables a read of prefix looks at, each list in id order: under,
    // those whose prefix begins with prefix; above, those whose shorter
    // prefix begins prefix. A read costs the tables it touches, not every
    // table of the store.
    void Related(const std::string& prefix, std::vector<size_t>& under,
                 std::vector<size_t>& above) const;

private:
    // A prefix's bytes sit in m_prefixBytes, next to the others, so that a
    // look-up touches a few cache lines whatever the number of shares.
    struct Slot {
        uint32_t hash;
        uint32_t id;  // 0: free (share_0, the empty prefix, is what no look-up finds)
        uint32_t at;  // of its prefix in m_prefixBytes
        uint32_t length;
    };
    size_t SlotOf(std::string_view prefix, uint32_t hash) const;
    void Place(size_t id, uint32_t at);
    void Grow();

    std::vector<std::unique_ptr<ShareTable>> m_tables;
    std::string m_prefixBytes;
    std::vector<Slot> m_slots;             // a power of two, at most half full; a prefix
                                           // made twice routes to its last table
    std::vector<size_t> m_prefixLengths;   // longest first
    mutable std::vector<size_t> m_sorted;  // ids by prefix, sorted on the first read
};

}  // namespace eventstore
