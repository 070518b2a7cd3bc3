// The events a change event store has accepted but not yet written, held
// by share, and the transactions that write them. An event's body
// (BlockEvents.h) is encoded as it is accepted, while the event is at
// hand, and waits as bytes in its share's buffer until the share has a
// block's worth (kMaxEventsPerBlock events or kBlockBytes bytes); the block
// is then one row, its events in inode order, and its inodes go to the
// inode map. A volume of many
// shares takes fewer events per block, so that the events waiting in all
// shares stay within kWaitingEvents: ten thousand shares then cost the
// memory that a few hundred do. The waiting events are found by inode
// through one index. The written blocks are committed every
// kEventsPerTransaction events, and every event is written and committed
// whenever the store is read. A write that fails ends the store through
// endStore (StoreFailure.h).
#pragma once

#include "hostlib/eventstore/Connection.h"
#include "hostlib/eventstore/StoreFailure.h"
#include "hostlib/eventstore/WaitingIndex.h"

#include <functional>
#include <string_view>
#include <vector>

namespace eventstore {

class EventBatch {
public:
    static constexpr size_t kMaxEventsPerBlock = 64;
    static constexpr size_t kMinEventsPerBlock = 8;
    static constexpr size_t kBlockBytes = 1536;
    static constexpr size_t kWaitingEvents = 32768;
    static constexpr size_t kEventsPerTransaction = size_t(1) << 16;
    typedef std::function<CRyError(const CRyError&)> EndStore;

    EventBatch(const StoreFailure& store, EndStore endStore)
        : m_store(store), m_endStore(std::move(endStore)) {}

    // Starts over on a newly opened connection (nullptr: none).
    void Attach(Connection* connection);
    bool AnyAccepted() const { return m_anyAccepted; }

    CRyError EnsureTransaction();
    // Takes an event of a share; writes the share's block once it is full,
    // and commits the written blocks once the transaction is full. No share
    // may be added once an event is taken.
    CRyError Accept(size_t share, const ChangeEventItem& event);
    // Whether an event of the inode waits (and in which share).
    bool FindWaiting(long long inode, size_t* share = nullptr) const;
    // The waiting event of the inode; false when none waits or its bytes
    // are damaged.
    bool ReadWaiting(long long inode, ChangeEventItem& event) const;
    // Puts event in place of its inode's waiting one, which must exist. The
    // replaced bytes stay in the share's buffer until its block is written,
    // which an inode reported over and over brings forward.
    CRyError ReplaceWaiting(const ChangeEventItem& event);
    // Forgets the inode's waiting event, if any.
    void DropWaiting(long long inode);
    // Writes out every waiting event and commits; the "Commit" fault hook first.
    CRyError Commit();
    // The same without the hook, for the store's destructor.
    CRyError FlushAndCommit();
    // The body of an event of a share, encoded outside the batch: valid
    // until the next call.
    const std::string& EncodeApart(size_t share, const ChangeEventItem& event);

private:
    struct Row {
        int64_t inode;
        uint32_t at, size;  // of its body in its share's bytes
        bool dropped;
    };
    struct Waiting {
        std::vector<Row> rows;
        std::string bytes;
        size_t replacedBytes = 0;
        bool listed = false;  // in m_sharesWaiting
    };
    static constexpr size_t kMaxReplacedBytes = size_t(1) << 16;
    std::string_view BodyOf(size_t share, const Row& row) const {
        return std::string_view(m_waiting[share].bytes).substr(row.at, row.size);
    }
    Row Encode(size_t share, const ChangeEventItem& event);
    bool IsFull(const Waiting& waiting) const;
    // Ends the store with a failed write of operation.
    CRyError WriteError(const FXCodeLocation& where, const char* operation, const Status& status);
    CRyError FlushShare(size_t share);
    // Commits the blocks written so far; the waiting events keep waiting.
    CRyError CommitWritten();

    const StoreFailure& m_store;
    EndStore m_endStore;
    Connection* m_connection = nullptr;
    std::vector<Waiting> m_waiting;       // by share
    std::vector<size_t> m_sharesWaiting;  // each share given events since the last flush of all
    size_t m_eventsPerBlock = kMaxEventsPerBlock;
    WaitingIndex m_index;  // inode: share * m_eventsPerBlock + row
    bool m_anyAccepted = false;
    bool m_inTransaction = false;
    size_t m_eventsInTransaction = 0;
    std::string m_apart, m_block;
};

}  // namespace eventstore
