#include "hostlib/eventstore/EventBatch.h"

#include "hostlib/eventstore/BlockEvents.h"

#include <algorithm>

namespace eventstore {

void EventBatch::Attach(Connection* connection) {
    m_connection = connection;
    m_index = WaitingIndex();
    m_waiting.clear();
    m_sharesWaiting.clear();
    m_anyAccepted = false;
    m_inTransaction = false;
    m_eventsInTransaction = 0;
}

CRyError EventBatch::EnsureTransaction() {
    if (m_inTransaction) return CRyError::Success();
    const Status status = m_connection->Execute("BEGIN");
    if (!status.ok()) return WriteError(FX_LOCATION, "Begin", status);
    m_inTransaction = true;
    return CRyError::Success();
}

CRyError EventBatch::WriteError(const FXCodeLocation& where, const char* operation,
                                const Status& status) {
    return m_endStore(m_store.Failed(where, operation, status));
}

EventBatch::Row EventBatch::Encode(size_t share, const ChangeEventItem& event) {
    std::string& bytes = m_waiting[share].bytes;
    const size_t at = bytes.size();
    EncodeEventBody(m_connection->shares.Prefix(share).size(), event, m_connection->names, bytes);
    return Row{event.llInode, static_cast<uint32_t>(at), static_cast<uint32_t>(bytes.size() - at),
               false};
}

bool EventBatch::IsFull(const Waiting& waiting) const {
    return waiting.rows.size() == m_eventsPerBlock ||
           waiting.bytes.size() - waiting.replacedBytes >= kBlockBytes;
}

CRyError EventBatch::Accept(size_t share, const ChangeEventItem& event) {
    const size_t shares = m_connection->shares.Count();
    if (m_waiting.size() != shares) {
        // The first event: the shares are all there.
        m_waiting.resize(shares);
        m_eventsPerBlock = kMaxEventsPerBlock;
        while (m_eventsPerBlock > kMinEventsPerBlock && m_eventsPerBlock * shares > kWaitingEvents)
            m_eventsPerBlock /= 2;
        m_index.Reserve(shares * m_eventsPerBlock);
    }
    Waiting& waiting = m_waiting[share];
    if (!waiting.listed) {
        waiting.listed = true;
        m_sharesWaiting.push_back(share);
    }
    m_index.Put(event.llInode,
                static_cast<uint32_t>(share * m_eventsPerBlock + waiting.rows.size()));
    waiting.rows.push_back(Encode(share, event));
    m_anyAccepted = true;
    CRyError error = IsFull(waiting) ? FlushShare(share) : CRyError::Success();
    // The partly filled blocks wait for more events: writing them now would
    // cost a short block per share of a volume of many shares.
    if (error.IsSuccess() && m_eventsInTransaction >= kEventsPerTransaction) {
        error = m_store.Inject(STORE_WHERE, "Commit");
        if (error.IsSuccess()) error = CommitWritten();
    }
    return error.IsError() ? error.Push(FX_LOCATION) : error;
}

bool EventBatch::FindWaiting(long long inode, size_t* share) const {
    const uint32_t slot = m_index.Find(inode);
    if (slot == WaitingIndex::kAbsent) return false;
    if (share) *share = slot / m_eventsPerBlock;
    return true;
}

bool EventBatch::ReadWaiting(long long inode, ChangeEventItem& event) const {
    const uint32_t slot = m_index.Find(inode);
    if (slot == WaitingIndex::kAbsent) return false;
    const size_t share = slot / m_eventsPerBlock;
    const Row& row = m_waiting[share].rows[slot % m_eventsPerBlock];
    return DecodeEventBody(BodyOf(share, row), inode, m_connection->shares.Prefix(share),
                           m_connection->names, event);
}

CRyError EventBatch::ReplaceWaiting(const ChangeEventItem& event) {
    const uint32_t slot = m_index.Find(event.llInode);
    const size_t share = slot / m_eventsPerBlock;
    Waiting& waiting = m_waiting[share];
    Row& row = waiting.rows[slot % m_eventsPerBlock];
    waiting.replacedBytes += row.size;
    row = Encode(share, event);
    return waiting.replacedBytes > kMaxReplacedBytes || IsFull(waiting) ? FlushShare(share)
                                                                        : CRyError::Success();
}

void EventBatch::DropWaiting(long long inode) {
    const uint32_t slot = m_index.Find(inode);
    if (slot == WaitingIndex::kAbsent) return;
    Waiting& waiting = m_waiting[slot / m_eventsPerBlock];
    Row& row = waiting.rows[slot % m_eventsPerBlock];
    row.dropped = true;
    waiting.replacedBytes += row.size;
    m_index.Remove(inode);
}

const std::string& EventBatch::EncodeApart(size_t share, const ChangeEventItem& event) {
    m_apart.clear();
    EncodeEventBody(m_connection->shares.Prefix(share).size(), event, m_connection->names, m_apart);
    return m_apart;
}

CRyError EventBatch::FlushShare(size_t share) {
    Waiting& waiting = m_waiting[share];
    if (waiting.rows.empty()) return CRyError::Success();
    CRyError error = EnsureTransaction();
    if (error.IsError()) return error.Push(FX_LOCATION);
    // In inode order, as a share's read has always handed them out: the
    // index of the waiting events is no longer needed for them.
    const auto byInode = [](const Row& a, const Row& b) { return a.inode < b.inode; };
    if (!std::is_sorted(waiting.rows.begin(), waiting.rows.end(), byInode))
        std::sort(waiting.rows.begin(), waiting.rows.end(), byInode);
    m_block.clear();
    int64_t previous = 0;
    size_t count = 0;
    for (const Row& row : waiting.rows) {
        if (row.dropped) continue;
        AppendBlockEvent(m_block, previous, row.inode, BodyOf(share, row));
        ++count;
    }
    Status status;
    int64_t block = 0;
    if (count) status = m_connection->AddBlock(share, m_block, block);
    for (size_t at = 0; at < waiting.rows.size() && status.ok(); ++at) {
        const Row& row = waiting.rows[at];
        if (row.dropped) continue;
        m_index.Remove(row.inode);
        status = m_connection->inodes.Put(row.inode, block);
    }
    if (!status.ok()) return WriteError(FX_LOCATION, "Insert", status).Push(FX_LOCATION);
    m_eventsInTransaction += count;
    waiting.rows.clear();
    waiting.bytes.clear();
    waiting.replacedBytes = 0;
    return error;
}

CRyError EventBatch::FlushAndCommit() {
    CRyError error;
    // Only the shares that were given events since the last flush: a read of
    // each share commits first, and walking every share there would make a
    // volume's reads quadratic in its shares.
    for (size_t i = 0; m_connection && i < m_sharesWaiting.size() && error.IsSuccess(); ++i)
        error = FlushShare(m_sharesWaiting[i]);
    if (error.IsSuccess()) {
        for (size_t share : m_sharesWaiting) m_waiting[share].listed = false;
        m_sharesWaiting.clear();
    }
    if (error.IsSuccess() && m_connection && m_connection->inodes.Pending()) {
        error = EnsureTransaction();
        const Status status = error.IsSuccess() ? m_connection->inodes.Flush() : Status();
        if (!status.ok()) error = WriteError(FX_LOCATION, "Insert", status);
    }
    return error.IsError() ? error.Push(FX_LOCATION) : CommitWritten();
}

CRyError EventBatch::CommitWritten() {
    if (!m_inTransaction) return CRyError::Success();
    const Status status = m_connection->Execute("COMMIT");
    if (!status.ok()) return WriteError(FX_LOCATION, "Commit", status);
    m_inTransaction = false;
    m_eventsInTransaction = 0;
    return CRyError::Success();
}

CRyError EventBatch::Commit() {
    CRyError error = m_store.Inject(STORE_WHERE, "Commit");
    if (error.IsSuccess()) error = FlushAndCommit();
    return error.IsError() ? error.Push(FX_LOCATION) : error;
}

}  // namespace eventstore
