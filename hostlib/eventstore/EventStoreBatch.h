// The rows a change event store has accepted but not yet written, and the
// transactions that write them. A table's rows wait until there are enough
// for one many-row INSERT (many rows per statement insert markedly faster
// than one at a time; 64 rows of 5 values stay far below SQLite's limit on
// parameters); inserts are committed every kRowsPerTransaction rows, and
// whenever the store is read. At most kRowsPerInsert rows wait per table,
// found by inode through one index. The table of each of the last rows
// written (kRecentRows slots, by inode) is remembered too, so that a
// repeated report of an inode asks its table first. A write that fails ends
// the store through endStore (EventStoreFailure.h).
#pragma once

#include "hostlib/eventstore/EventStoreConnection.h"
#include "hostlib/eventstore/EventStoreWaitingIndex.h"

#include <functional>
#include <vector>

namespace eventstore {

class RowBatch {
public:
    static constexpr size_t kRowsPerInsert = 64;
    static constexpr size_t kRowsPerTransaction = size_t(1) << 16;
    static constexpr size_t kRecentRows = 4096;
    typedef std::function<CRyError(const CRyError&)> EndStore;

    RowBatch(const StoreFailure& store, EndStore endStore) : m_store(store), m_endStore(std::move(endStore)) {}

    // Starts over on a newly opened connection (nullptr: none).
    void Attach(Connection* connection);
    bool AnyAccepted() const { return m_anyAccepted; }

    CRyError EnsureTransaction();
    // Takes an event for table id; writes the table's rows once there are
    // enough for one INSERT, and commits once the transaction is full. No
    // table may be added once an event is taken.
    CRyError Accept(size_t id, const ChangeEventItem& event);
    // The waiting row of the inode (and its table), or nullptr.
    ChangeEventItem* FindWaiting(long long inode, size_t* tableId = nullptr);
    void DropWaiting(size_t id, ChangeEventItem* event);
    // The table that last held a written row of the inode, if remembered;
    // the count of tables otherwise. Remember notes one found elsewhere.
    size_t RecentTable(long long inode) const;
    void Remember(long long inode, size_t id);
    // Writes out every waiting row and commits; the "Commit" fault hook first.
    CRyError Commit();
    // The same without the hook, for the store's destructor.
    CRyError FlushAndCommit();
    // Room for the values of a row bound outside the batch.
    RowBytes& Bytes() { return m_rows[0]; }

private:
    CRyError WriteRows(size_t id, sqlite3_stmt* statement, size_t first, size_t count);
    CRyError FlushTable(size_t id);

    const StoreFailure& m_store;
    EndStore m_endStore;
    Connection* m_connection = nullptr;
    std::vector<std::vector<ChangeEventItem>> m_waiting;  // by table, the first m_waitingCount[id]
    std::vector<size_t> m_waitingCount;
    WaitingIndex m_index;  // inode: table * kRowsPerInsert + row
    struct Recent {
        long long inode;
        size_t table;
    };
    std::vector<Recent> m_recent;
    bool m_anyAccepted = false;
    bool m_inTransaction = false;
    size_t m_rowsInTransaction = 0;
    RowBytes m_rows[kRowsPerInsert];
};

}  // namespace eventstore
