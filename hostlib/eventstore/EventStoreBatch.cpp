#include "hostlib/eventstore/EventStoreBatch.h"

#include "hostlib/eventstore/EventStoreLayout.h"

#include <cstdint>
#include <utility>

namespace eventstore {

void RowBatch::Attach(Connection* connection) {
    m_connection = connection;
    m_index = WaitingIndex();
    m_waiting.clear();
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
        m_rowsPerInsert = kMaxRowsPerInsert;
        while (m_rowsPerInsert > kMinRowsPerInsert && m_rowsPerInsert * tables > kWaitingRows)
            m_rowsPerInsert /= 2;
        m_index.Reserve(tables * m_rowsPerInsert);
    }
    Waiting& waiting = m_waiting[id];
    const size_t at = waiting.bytes.size();
    const RowShape shape = EncodeEventRow(m_connection->tables[id].prefix.size(), event,
                                          m_connection->names, waiting.bytes);
    m_index.Put(event.llInode, static_cast<uint32_t>(id * m_rowsPerInsert + waiting.rows.size()));
    waiting.rows.push_back({shape, at, false});
    m_anyAccepted = true;
    CRyError error = waiting.rows.size() == m_rowsPerInsert ? FlushTable(id) : CRyError::Success();
    // The rows still waiting stay for their table's next INSERT: writing
    // them now would cost a short INSERT per table of a volume of many shares.
    if (error.IsSuccess() && m_rowsInTransaction >= kRowsPerTransaction) {
        error = RunFaultHook(STORE_WHERE, "Commit");
        if (error.IsSuccess()) error = CommitWritten();
    }
    return error.IsError() ? error.Push(FX_LOCATION) : error;
}

bool RowBatch::FindWaiting(long long inode, size_t* tableId) const {
    const uint32_t slot = m_index.Find(inode);
    if (slot == WaitingIndex::kAbsent) return false;
    if (tableId) *tableId = slot / m_rowsPerInsert;
    return true;
}

bool RowBatch::ReadWaiting(long long inode, ChangeEventItem& event) const {
    const uint32_t slot = m_index.Find(inode);
    if (slot == WaitingIndex::kAbsent) return false;
    const size_t id = slot / m_rowsPerInsert;
    const Row& row = m_waiting[id].rows[slot % m_rowsPerInsert];
    return DecodeEventRow(RowOf(id, row), m_connection->tables[id].prefix, m_connection->names,
                          event);
}

CRyError RowBatch::ReplaceWaiting(const ChangeEventItem& event) {
    const uint32_t slot = m_index.Find(event.llInode);
    const size_t id = slot / m_rowsPerInsert;
    Waiting& waiting = m_waiting[id];
    Row& row = waiting.rows[slot % m_rowsPerInsert];
    waiting.replacedBytes += row.shape.Bytes();
    row.at = waiting.bytes.size();
    row.shape = EncodeEventRow(m_connection->tables[id].prefix.size(), event, m_connection->names,
                               waiting.bytes);
    return waiting.replacedBytes > kMaxReplacedBytes ? FlushTable(id) : CRyError::Success();
}

void RowBatch::DropWaiting(long long inode) {
    const uint32_t slot = m_index.Find(inode);
    if (slot == WaitingIndex::kAbsent) return;
    Waiting& waiting = m_waiting[slot / m_rowsPerInsert];
    waiting.rows[slot % m_rowsPerInsert].dropped = true;
    m_index.Remove(inode);
}

EncodedRow RowBatch::EncodeApart(size_t id, const ChangeEventItem& event) {
    m_apart.clear();
    const RowShape shape =
        EncodeEventRow(m_connection->tables[id].prefix.size(), event, m_connection->names, m_apart);
    return RowAt(m_apart.data(), shape);
}

size_t RowBatch::RecentTable(long long inode) const {
    const Recent& recent = m_recent[static_cast<uint64_t>(inode) % kRecentRows];
    return recent.inode == inode && recent.table != SIZE_MAX ? recent.table
                                                             : m_connection->tables.Count();
}

void RowBatch::Remember(long long inode, size_t id) {
    m_recent[static_cast<uint64_t>(inode) % kRecentRows] = {inode, id};
}

CRyError RowBatch::WriteRows(sqlite3_stmt* statement, const EncodedRow* rows, size_t count) {
    for (size_t row = 0; row < count; ++row)
        BindEncodedRow(statement, static_cast<int>(row) * kValuesPerRow + 1, rows[row]);
    int rc = m_connection->WriteNewNames();
    if (rc == SQLITE_DONE) rc = sqlite3_step(statement);
    CRyError error = rc == SQLITE_DONE
                         ? CRyError::Success()
                         : m_store.SqliteError(FX_LOCATION, "Insert", m_connection->db.get());
    sqlite3_reset(statement);
    return error.IsError() ? m_endStore(error) : error;
}

CRyError RowBatch::FlushTable(size_t id) {
    Waiting& waiting = m_waiting[id];
    if (waiting.rows.empty()) return CRyError::Success();
    CRyError error = EnsureTransaction();
    size_t count = 0;
    for (const Row& row : waiting.rows)
        if (!row.dropped) m_rows[count++] = RowOf(id, row);
    sqlite3* db = m_connection->db.get();
    const bool full = count == m_rowsPerInsert;
    sqlite3_stmt* insert = error.IsError() || !count ? nullptr
                           : full ? m_connection->tables.InsertMany(db, id, m_rowsPerInsert)
                                  : m_connection->tables.Get(db, id, kInsertOne);
    if (error.IsSuccess() && count && !insert)
        error = m_endStore(m_store.SqliteError(FX_LOCATION, "Insert", db));
    if (full && error.IsSuccess()) {
        error = WriteRows(insert, m_rows, count);
    } else {
        for (size_t row = 0; row < count && error.IsSuccess(); ++row)
            error = WriteRows(insert, m_rows + row, 1);
    }
    if (error.IsError()) return error.Push(FX_LOCATION);
    for (const Row& row : waiting.rows) {
        if (row.dropped) continue;
        m_index.Remove(row.shape.inode);
        Remember(row.shape.inode, id);
    }
    m_rowsInTransaction += count;
    waiting.rows.clear();
    waiting.bytes.clear();
    waiting.replacedBytes = 0;
    return error;
}

CRyError RowBatch::FlushAndCommit() {
    CRyError error;
    for (size_t id = 0; m_connection && id < m_waiting.size() && error.IsSuccess(); ++id)
        error = FlushTable(id);
    return error.IsError() ? error.Push(FX_LOCATION) : CommitWritten();
}

CRyError RowBatch::CommitWritten() {
    if (!m_inTransaction) return CRyError::Success();
    CRyError error = m_connection->Execute(m_store, FX_LOCATION, "Commit", "COMMIT");
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
