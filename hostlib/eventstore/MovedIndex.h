// The moved index of a change event store: the inodes whose old path lies in
// another share table than their path, each with the table holding its row.
// A share's read finds here the inodes that left it for another share, so
// that it still learns that their old names are gone. Kept in step with
// every row written: listed while the old path lies elsewhere, dropped when
// a later report brings it back.
#pragma once

#include "hostlib/eventstore/Sql.h"

#include <cstdint>

namespace eventstore {

class MovedIndex {
public:
    Status Prepare(sqlite3* db);
    bool Any() const { return m_any; }
    // Whether a row written to a table needs a write here: its old path lies
    // in another table (elsewhere), or an earlier row may be listed.
    bool NeedsWrite(bool elsewhere) const { return elsewhere || m_any; }
    // Lists or drops the inode, in the store's open transaction.
    Status Write(int64_t inode, size_t table, bool elsewhere);
    // Rows (inode, table) of the index.
    sqlite3_stmt* Reader() const { return m_read.get(); }

private:
    Statement m_note, m_forget, m_read;
    bool m_any = false;
};

}  // namespace eventstore
