#include "hostlib/eventstore/EventStoreBatch.h"

#include "hostlib/eventstore/EventStoreLayout.h"

#include <cstdint>
#include <utility>

namespace eventstore {

void RowBatch::Attach(Connection* connection) {
    m_connection = connection;
    m_index = WaitingIndex();
    m_waiting.clear();
    m_waitingCount.clear();
    m_recent.assign(connection ? kRecentRows : 0, Recent{0, SIZE_MAX});
    m_anyAccepted = false;
    m_inTransaction = false;
    m_rowsInTransaction = 0;
}

CRyError RowBatch::EnsureTransaction() {
    if (m_inTransaction) return CRyError::Success();
    CRyError error = m_connection->Execute(m_store, FX_LOCATION, "Begin", "BEGIN");
    if (error.IsError()) return m_endStore(error);
    m_inTransaction = true;
    return error;
}

CRyError RowBatch::Accept(size_t id, const ChangeEventItem& event) {
    const size_t tables = m_connection->tables.Count();
    if (m_waiting.size() != tables) {
        // The first event: the tables are all there.
        m_waiting.resize(tables);
        m_waitingCount.resize(tables);
        m_index.Reserve(tables * kRowsPerInsert);
    }
    std::vector<ChangeEventItem>& waiting = m_waiting[id];
    if (waiting.empty()) waiting.resize(kRowsPerInsert);
    m_index.Put(event.llInode, static_cast<uint32_t>(id * kRowsPerInsert + m_waitingCount[id]));
    waiting[m_waitingCount[id]++] = event;
    m_anyAccepted = true;
    CRyError error = m_waitingCount[id] == kRowsPerInsert ? FlushTable(id) : CRyError::Success();
    if (error.IsSuccess() && m_rowsInTransaction >= kRowsPerTransaction) error = Commit();
    return error;
}

ChangeEventItem* RowBatch::FindWaiting(long long inode, size_t* tableId) {
    const uint32_t slot = m_index.Find(inode);
    if (slot == WaitingIndex::kAbsent) return nullptr;
    if (tableId) *tableId = slot / kRowsPerInsert;
    return &m_waiting[slot / kRowsPerInsert][slot % kRowsPerInsert];
}

void RowBatch::DropWaiting(size_t id, ChangeEventItem* event) {
    ChangeEventItem* last = &m_waiting[id][m_waitingCount[id] - 1];
    m_index.Remove(event->llInode);
    if (event != last) {
        std::swap(*event, *last);
        m_index.Put(event->llInode, static_cast<uint32_t>(id * kRowsPerInsert + (event - m_waiting[id].data())));
    }
    --m_waitingCount[id];
}

size_t RowBatch::RecentTable(long long inode) const {
    const Recent& recent = m_recent[static_cast<uint64_t>(inode) % kRecentRows];
    return recent.inode == inode && recent.table != SIZE_MAX ? recent.table : m_connection->tables.Count();
}

void RowBatch::Remember(long long inode, size_t id) { m_recent[static_cast<uint64_t>(inode) % kRecentRows] = {inode, id}; }

CRyError RowBatch::WriteRows(size_t id, sqlite3_stmt* statement, size_t first, size_t count) {
    const size_t cut = m_connection->tables[id].prefix.size();
    for (size_t row = 0; row < count; ++row)
        BindEventRow(statement, static_cast<int>(row) * kValuesPerRow + 1, cut, m_waiting[id][first + row],
                     m_connection->names, m_rows[row]);
    int rc = m_connection->WriteNewNames();
    if (rc == SQLITE_DONE) rc = sqlite3_step(statement);
    CRyError error =
        rc == SQLITE_DONE ? CRyError::Success() : m_store.SqliteError(FX_LOCATION, "Insert", m_connection->db.get());
    sqlite3_reset(statement);
    return error.IsError() ? m_endStore(error) : error;
}

CRyError RowBatch::FlushTable(size_t id) {
    const size_t count = m_waitingCount[id];
    if (count == 0) return CRyError::Success();
    CRyError error = EnsureTransaction();
    ShareTable& table = m_connection->tables[id];
    if (count == kRowsPerInsert && error.IsSuccess()) {
        sqlite3_stmt* insertMany = m_connection->tables.InsertMany(m_connection->db.get(), id, kRowsPerInsert);
        error = insertMany ? WriteRows(id, insertMany, 0, kRowsPerInsert)
                           : m_endStore(m_store.SqliteError(FX_LOCATION, "Insert", m_connection->db.get()));
    } else {
        for (size_t row = 0; row < count && error.IsSuccess(); ++row)
            error = WriteRows(id, table.insertOne.get(), row, 1);
    }
    if (error.IsError()) return error.Push(FX_LOCATION);
    for (size_t row = 0; row < count; ++row) {
        const long long inode = m_waiting[id][row].llInode;
        m_index.Remove(inode);
        Remember(inode, id);
    }
    m_rowsInTransaction += count;
    m_waitingCount[id] = 0;
    return error;
}

CRyError RowBatch::FlushAndCommit() {
    CRyError error;
    for (size_t id = 0; m_connection && id < m_waiting.size() && error.IsSuccess(); ++id) error = FlushTable(id);
    if (error.IsError()) return error.Push(FX_LOCATION);
    if (!m_inTransaction) return error;
    error = m_connection->Execute(m_store, FX_LOCATION, "Commit", "COMMIT");
    if (error.IsError()) return m_endStore(error);
    m_inTransaction = false;
    m_rowsInTransaction = 0;
    return error;
}

CRyError RowBatch::Commit() {
    CRyError error = RunFaultHook(STORE_WHERE, "Commit");
    if (error.IsSuccess()) error = FlushAndCommit();
    return error.IsError() ? error.Push(FX_LOCATION) : error;
}

}  // namespace eventstore
