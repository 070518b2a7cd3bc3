#include "hostlib/eventstore/EventStoreMoved.h"

#include "hostlib/eventstore/EventStoreLayout.h"

namespace eventstore {

int MovedIndex::Prepare(sqlite3* db) {
    int rc = eventstore::Prepare(db, kNoteMoved, m_note, true);
    if (rc == SQLITE_OK) rc = eventstore::Prepare(db, kForgetMoved, m_forget, true);
    if (rc == SQLITE_OK) rc = eventstore::Prepare(db, kReadMoved, m_read, true);
    return rc;
}

int MovedIndex::Write(int64_t inode, size_t table, bool elsewhere) {
    sqlite3_stmt* statement = elsewhere ? m_note.get() : m_forget.get();
    sqlite3_bind_int64(statement, 1, inode);
    if (elsewhere) sqlite3_bind_int64(statement, 2, static_cast<int64_t>(table));
    const int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    if (rc == SQLITE_DONE) m_any = m_any || elsewhere;
    return rc;
}

}  // namespace eventstore
