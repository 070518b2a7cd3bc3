// The rows a change event store has accepted but not yet written, and the
// transactions that write them. A row is encoded as it is accepted, while
// its event is at hand, and waits as bytes in its table's buffer until
// there are enough for one many-row INSERT (many rows per statement insert
// markedly faster than one at a time; 64 rows of 5 values stay far below
// SQLite's limit on parameters). The rows written are committed every
// kRowsPerTransaction rows, and every row is written and committed whenever
// the store is read. A volume of many shares takes fewer rows per INSERT,
// so that the rows waiting in all tables (and the statements that take
// them) stay within kWaitingRows: a thousand shares then cost what a few
// do. The waiting rows are found by inode through one index. The table of
// each of the last rows written (kRecentRows slots, by inode) is remembered
// too, so that a repeated report of an inode asks its table first. A write
// that fails ends the store through endStore (EventStoreFailure.h).
#pragma once

#include "hostlib/eventstore/EventStoreConnection.h"
#include "hostlib/eventstore/EventStoreWaitingIndex.h"

#include <functional>
#include <vector>

namespace eventstore {

class RowBatch {
public:
    static constexpr size_t kMaxRowsPerInsert = 64;
    static constexpr size_t kMinRowsPerInsert = 8;
    static constexpr size_t kWaitingRows = 16384;
    static constexpr size_t kRowsPerTransaction = size_t(1) << 16;
    static constexpr size_t kRecentRows = 4096;
    typedef std::function<CRyError(const CRyError&)> EndStore;

    RowBatch(const StoreFailure& store, EndStore endStore)
        : m_store(store), m_endStore(std::move(endStore)) {}

    // Starts over on a newly opened connection (nullptr: none).
    void Attach(Connection* connection);
    bool AnyAccepted() const { return m_anyAccepted; }

    CRyError EnsureTransaction();
    // Takes an event for table id; writes the table's rows once there are
    // enough for one INSERT, and commits the written rows once the
    // transaction is full. No table may be added once an event is taken.
    CRyError Accept(size_t id, const ChangeEventItem& event);
    // Whether a row of the inode waits (and in which table).
    bool FindWaiting(long long inode, size_t* tableId = nullptr) const;
    // The event of the inode's waiting row; false when none waits.
    bool ReadWaiting(long long inode, ChangeEventItem& event) const;
    // Puts event in place of its inode's waiting row, which must exist. The
    // replaced bytes stay in the table's buffer until its rows are written,
    // which an inode reported over and over brings forward.
    CRyError ReplaceWaiting(const ChangeEventItem& event);
    // Forgets the inode's waiting row, if any.
    void DropWaiting(long long inode);
    // The table that last held a written row of the inode, if remembered;
    // the count of tables otherwise. Remember notes one found elsewhere.
    size_t RecentTable(long long inode) const;
    void Remember(long long inode, size_t id);
    // Writes out every waiting row and commits; the "Commit" fault hook first.
    CRyError Commit();
    // The same without the hook, for the store's destructor.
    CRyError FlushAndCommit();
    // The row of an event for table id, written outside the batch: its
    // bytes stay valid until the next call.
    EncodedRow EncodeApart(size_t id, const ChangeEventItem& event);

private:
    struct Row {
        RowShape shape;
        size_t at;  // in its table's bytes
        bool dropped;
    };
    struct Waiting {
        std::vector<Row> rows;
        std::string bytes;
        size_t replacedBytes = 0;
    };
    static constexpr size_t kMaxReplacedBytes = size_t(1) << 16;
    EncodedRow RowOf(size_t id, const Row& row) const {
        return RowAt(m_waiting[id].bytes.data() + row.at, row.shape);
    }
    CRyError WriteRows(sqlite3_stmt* statement, const EncodedRow* rows, size_t count);
    CRyError FlushTable(size_t id);
    // Commits the rows written so far; the waiting ones keep waiting.
    CRyError CommitWritten();

    const StoreFailure& m_store;
    EndStore m_endStore;
    Connection* m_connection = nullptr;
    std::vector<Waiting> m_waiting;  // by table
    size_t m_rowsPerInsert = kMaxRowsPerInsert;
    WaitingIndex m_index;  // inode: table * m_rowsPerInsert + row
    struct Recent {
        long long inode;
        size_t table;
    };
    std::vector<Recent> m_recent;
    bool m_anyAccepted = false;
    bool m_inTransaction = false;
    size_t m_rowsInTransaction = 0;
    std::string m_apart;
    EncodedRow m_rows[kMaxRowsPerInsert];
};

}  // namespace eventstore
