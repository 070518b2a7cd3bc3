#include "hostlib/eventstore/EventStoreBatch.h"

#include "hostlib/eventstore/EventStoreLayout.h"

#include <utility>

namespace eventstore {

void RowBatch::Attach(Connection* connection) {
    m_connection = connection;
    m_waiting.clear();
    m_waitingCount.clear();
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
    if (m_waiting.size() <= id) {
        m_waiting.resize(id + 1);
        m_waitingCount.resize(id + 1);
    }
    std::vector<ChangeEventItem>& waiting = m_waiting[id];
    if (waiting.empty()) waiting.resize(kRowsPerInsert);
    waiting[m_waitingCount[id]++] = event;
    m_anyAccepted = true;
    CRyError error = m_waitingCount[id] == kRowsPerInsert ? FlushTable(id) : CRyError::Success();
    if (error.IsSuccess() && m_rowsInTransaction >= kRowsPerTransaction) error = Commit();
    return error;
}

ChangeEventItem* RowBatch::FindWaiting(long long inode, size_t* tableId) {
    for (size_t id = 0; id < m_waiting.size(); ++id) {
        for (size_t i = 0; i < m_waitingCount[id]; ++i) {
            if (m_waiting[id][i].llInode != inode) continue;
            if (tableId) *tableId = id;
            return &m_waiting[id][i];
        }
    }
    return nullptr;
}

void RowBatch::DropWaiting(size_t id, ChangeEventItem* event) {
    ChangeEventItem* last = &m_waiting[id][m_waitingCount[id] - 1];
    if (event != last) std::swap(*event, *last);
    --m_waitingCount[id];
}

CRyError RowBatch::WriteRows(size_t id, sqlite3_stmt* statement, size_t first, size_t count) {
    const size_t cut = m_connection->tables[id].prefix.size();
    for (size_t row = 0; row < count; ++row)
        BindEventRow(statement, static_cast<int>(row) * kValuesPerRow + 1, cut, m_waiting[id][first + row],
                     m_packed[row]);
    const int rc = sqlite3_step(statement);
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
    if (count == kRowsPerInsert) {
        if (error.IsSuccess()) error = WriteRows(id, table.insertMany.get(), 0, kRowsPerInsert);
    } else {
        for (size_t row = 0; row < count && error.IsSuccess(); ++row)
            error = WriteRows(id, table.insertOne.get(), row, 1);
    }
    if (error.IsError()) return error.Push(FX_LOCATION);
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
