// The operations every host store has, over our store's state (EventStore);
// ExtendedStore holds the rest.
#include "host/SnapDiffEventMonitor.h"

#include "host/LogWriter.h"
#include "hostlib/eventstore/BlockEvents.h"
#include "hostlib/eventstore/EventStore.h"
#include "hostlib/eventstore/ExtendedStore.h"
#include "hostlib/eventstore/FileName.h"

using namespace eventstore;

// Our store's state, which its extended operations reach too.
struct CSnapDiffEventMonitor::Impl : EventStore {
    using EventStore::EventStore;
};

EventStore& ExtendedStore::Of(CSnapDiffEventMonitor& store) { return *store.m_pImpl; }

CSnapDiffEventMonitor::CSnapDiffEventMonitor(const std::string& jobResultsDir,
                                             const std::string& prevSnapName,
                                             const std::string& currSnapAndVolume) {
    std::string folder = jobResultsDir;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    m_strFilePath = folder + EventStoreFileName(prevSnapName, currSnapAndVolume);
    m_pImpl.reset(new Impl(jobResultsDir, m_strFilePath));
}

CSnapDiffEventMonitor::~CSnapDiffEventMonitor() = default;

CRyError CSnapDiffEventMonitor::Create() { return m_pImpl->Create(); }

CRyError CSnapDiffEventMonitor::InsertEvent(const ChangeEventItem& event, bool& exists) {
    EventStore& m = *m_pImpl;
    CRyError error = m.Begin(STORE_WHERE, "InsertEvent");
    if (error.IsError()) return error;
    exists = false;
    // Most changes are new inodes; only those the filter may have seen cost
    // a look at the waiting events and the inode map.
    if (m.seenInodes.MayContain(event.llInode)) {
        if (m.batch.FindWaiting(event.llInode)) {
            exists = true;
            return error;
        }
        StoredBlock block;
        error = m.FindStored(event.llInode, block, exists, "InsertEvent");
        if (error.IsError() || exists) return error;
    }
    m.seenInodes.Add(event.llInode);
    const size_t share = m.conn->shares.ShareOf(event.strPath);
    if (!event.strOldPath.empty()) error = m.NoteOldPath(share, event, "InsertEvent");
    if (error.IsSuccess()) error = m.batch.Accept(share, event);
    return error.IsError() ? error.Push(FX_LOCATION) : error;
}

CRyError CSnapDiffEventMonitor::GetEventOfInode(long long& inode, ChangeEventItem& event) {
    EventStore& m = *m_pImpl;
    CRyError error = m.Begin(STORE_WHERE, "GetEventOfInode");
    if (error.IsError()) return error;
    if (m.batch.FindWaiting(inode))
        return m.batch.ReadWaiting(inode, event)
                   ? error
                   : m.store.CorruptRow(FX_LOCATION, "GetEventOfInode", inode);
    StoredBlock block;
    bool found = false;
    error = m.FindStored(inode, block, found, "GetEventOfInode");
    if (error.IsError()) return error;
    if (!found) return m.NoEventOf(FX_LOCATION, "GetEventOfInode", inode);
    if (!m.conn->EventIn(block, inode, event))
        return m.store.CorruptRow(FX_LOCATION, "GetEventOfInode", inode);
    return error;
}

CRyError CSnapDiffEventMonitor::UpdateExistingEventOfInode(const ChangeEventItem& event) {
    EventStore& m = *m_pImpl;
    const char* const operation = "UpdateExistingEventOfInode";
    CRyError error = m.Begin(STORE_WHERE, operation);
    if (error.IsError()) return error;
    const size_t target = m.conn->shares.ShareOf(event.strPath);
    size_t share = 0;
    if (m.batch.FindWaiting(event.llInode, &share)) {
        if (share == target) {
            error = m.batch.ReplaceWaiting(event);
        } else {
            m.batch.DropWaiting(event.llInode);
            error = m.batch.Accept(target, event);
        }
    } else {
        StoredBlock block;
        bool found = false;
        error = m.FindStored(event.llInode, block, found, operation);
        if (error.IsError()) return error;
        if (!found) return m.NoEventOf(FX_LOCATION, operation, event.llInode);
        error = m.batch.EnsureTransaction();
        if (error.IsError()) return error.Push(FX_LOCATION);
        // The event stays in its block while its share does; a new path in
        // another share moves it to that share's next block.
        const bool stays = block.share == target;
        if (!EditBlock(block.events, event.llInode,
                       stays ? &m.batch.EncodeApart(target, event) : nullptr))
            return m.store.CorruptRow(FX_LOCATION, operation, event.llInode);
        const Status status = m.conn->RewriteBlock(block.id, block.events);
        if (!status.ok()) return m.Fail(m.store.Failed(FX_LOCATION, operation, status));
        if (!stays) error = m.batch.Accept(target, event);
    }
    if (error.IsSuccess()) error = m.NoteOldPath(target, event, operation);
    return error.IsError() ? error.Push(FX_LOCATION) : error;
}

CRyError CSnapDiffEventMonitor::PrepareSelectQueryWithPathPrefix(const std::string& prefix) {
    CRyError error = m_pImpl->PrepareRead(prefix, false);
    return error.IsError() ? error.Push(FX_LOCATION) : error;
}

int CSnapDiffEventMonitor::GetNextEvent(ChangeEventItem& event) {
    EventStore& m = *m_pImpl;
    if (m.Begin(STORE_WHERE, "GetNextEvent").IsError()) return -1;
    if (m.cursor.GetState() == ReadCursor::kExhausted) return 1;
    if (m.cursor.GetState() == ReadCursor::kNoRead) return -1;
    bool found = false;
    const Status status = m.cursor.Next(*m.conn, event, found);
    if (status.ok()) return found ? 0 : 1;
    // The agent learns only "failure" from -1; keep the reason in the log.
    if (g_ptrLogWriter && g_ptrLogWriter->GetLevel() >= -1) {
        g_ptrLogWriter->Log(-1, __PRETTY_FUNCTION__, __LINE__,
                            "Reading the event store [%s] failed: %s", m.store.Path().c_str(),
                            m.store.Failed(FX_LOCATION, "GetNextEvent", status).Message().c_str());
    }
    m.cursor.End(m.conn.get());
    return -1;
}
