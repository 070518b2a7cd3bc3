#include "hostlib/eventstore/MovedIndex.h"

#include "hostlib/eventstore/Layout.h"

namespace eventstore {

Status MovedIndex::Prepare(sqlite3* db) {
    Status status = eventstore::Prepare(db, kNoteMoved, m_note, true);
    if (status.ok()) status = eventstore::Prepare(db, kForgetMoved, m_forget, true);
    if (status.ok()) status = eventstore::Prepare(db, kReadMoved, m_read, true);
    return status;
}

Status MovedIndex::Write(int64_t inode, size_t table, bool elsewhere) {
    sqlite3_stmt* statement = elsewhere ? m_note.get() : m_forget.get();
    sqlite3_bind_int64(statement, 1, inode);
    if (elsewhere) sqlite3_bind_int64(statement, 2, static_cast<int64_t>(table));
    Status status = StepOnce(statement);
    if (status.ok()) m_any = m_any || elsewhere;
    return status;
}

}  // namespace eventstore
