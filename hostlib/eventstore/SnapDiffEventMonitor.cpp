// The public operations of the change event store, over its parts: the
// file (EventStoreFile), the connection with its shares, inode map and
// moved index (EventStoreConnection), the waiting events (EventStoreBatch),
// the read cursor (EventStoreCursor) and the failure policy
// (EventStoreFailure).
#include "host/SnapDiffEventMonitor.h"

#include "host/FXErrorUtil.h"
#include "host/LogWriter.h"
#include "hostlib/eventstore/EventStoreBatch.h"
#include "hostlib/eventstore/EventStoreBlock.h"
#include "hostlib/eventstore/EventStoreCursor.h"
#include "hostlib/eventstore/EventStoreFile.h"
#include "hostlib/eventstore/EventStoreInodeFilter.h"
#include "hostlib/eventstore/EventStoreName.h"

#include <unistd.h>
#include <new>
#include <string_view>
#include <type_traits>
#include <unordered_set>

using namespace eventstore;

static_assert(std::is_same<CSnapDiffEventMonitor::FaultHook, FaultHook>::value,
              "the store's parts name the public hook type");

namespace {
// The hook a store takes when it is created. A client makes its stores
// inside the agent's calls, out of a test's reach, so a test arms the hook
// for the stores made from then on; each store then keeps its own, and
// nothing is looked up process-wide on the path of an event.
FaultHook& HookForNewStores() {
    static FaultHook hook;
    return hook;
}
}  // namespace

struct CSnapDiffEventMonitor::Impl {
    Impl(const std::string& folder, const std::string& path)
        : strJobResultsDir(folder),
          store(path),
          batch(store, [this](const CRyError& error) { return Fail(error); }) {}

    std::string strJobResultsDir;
    StoreFailure store;
    std::unique_ptr<Connection> conn;
    EventBatch batch;
    ReadCursor cursor;
    EventStoreInodeFilter seenInodes;

    CRyError Begin(const Where& where, const char* operation) const {
        return store.Check(where, operation, conn != nullptr);
    }

    CRyError Fail(const CRyError& error) {
        return store.End(error, [this] { Discard(); });
    }

    void Discard() {
        cursor.End(conn.get());
        batch.Attach(nullptr);
        conn.reset();
        unlink(store.Path().c_str());
    }

    void Close() {
        cursor.End(conn.get());
        batch.Attach(nullptr);
        conn.reset();
        seenInodes.Clear();
        store.Forget();
    }

    CRyError Open() {
        CRyError error = CreateStoreFile(store);
        if (error.IsError()) return error;
        conn.reset(new (std::nothrow) Connection());
        if (!conn) {
            Discard();
            return FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_OUTOFMEMORY);
        }
        // A store that could not be set up leaves no file behind.
        const Status status = conn->Open(store.Path());
        if (!status.ok()) {
            error = conn->db ? store.Failed(FX_LOCATION, "Create", status)
                             : FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_OUTOFMEMORY);
            Discard();
            return error;
        }
        batch.Attach(conn.get());
        return error;
    }

    // The written block that holds the inode's event, if any (found false).
    CRyError FindStored(long long inode, StoredBlock& block, bool& found, const char* operation) {
        const Status status = conn->FindBlock(inode, block);
        found = status.ok() && block.id;
        if (status.ok()) return CRyError::Success();
        if (status.IsCorrupt()) return store.CorruptRow(FX_LOCATION, operation, inode);
        return store.Failed(FX_LOCATION, operation, status);
    }

    // Keeps moved in step with an event written to share id.
    CRyError NoteOldPath(size_t id, const ChangeEventItem& event, const char* operation) {
        const bool elsewhere =
            !event.strOldPath.empty() && conn->shares.ShareOf(event.strOldPath) != id;
        if (!conn->moved.NeedsWrite(elsewhere)) return CRyError::Success();
        CRyError error = batch.EnsureTransaction();
        if (error.IsError()) return error.Push(FX_LOCATION);
        const Status status = conn->moved.Write(event.llInode, id, elsewhere);
        if (!status.ok()) return Fail(store.Failed(FX_LOCATION, operation, status));
        return error;
    }

    CRyError NoEventOf(const FXCodeLocation& where, const char* operation, long long inode) const {
        return store.Error(where, operation, "no event of inode " + std::to_string(inode));
    }

    CRyError PrepareRead(const std::string& prefix, bool withLeft) {
        // Whatever happens below, the earlier read is over: a failed prepare
        // must never leave the agent reading the previous share's events.
        cursor.End(conn.get());
        CRyError error = Begin(STORE_WHERE, "Prepare");
        if (error.IsError()) return error;
        error = batch.Commit();
        if (error.IsError()) return error.Push(FX_LOCATION);
        cursor.Start(conn->shares, prefix, withLeft, conn->moved.Any());
        return error;
    }
};

CSnapDiffEventMonitor::CSnapDiffEventMonitor(const std::string& jobResultsDir,
                                             const std::string& prevSnapName,
                                             const std::string& currSnapAndVolume) {
    std::string folder = jobResultsDir;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    m_strFilePath = folder + EventStoreFileName(prevSnapName, currSnapAndVolume);
    m_pImpl.reset(new Impl(jobResultsDir, m_strFilePath));
}

CSnapDiffEventMonitor::~CSnapDiffEventMonitor() {
    // The file stays in the job results; leave it holding every event taken.
    if (m_pImpl->conn && !m_pImpl->store.Ended()) {
        m_pImpl->cursor.End(m_pImpl->conn.get());
        m_pImpl->batch.FlushAndCommit();
    }
}

void CSnapDiffEventMonitor::SetFaultHook(FaultHook hook) { HookForNewStores() = std::move(hook); }

CRyError CSnapDiffEventMonitor::Create() {
    m_pImpl->store.SetFaultHook(HookForNewStores());
    CRyError error = m_pImpl->store.Inject(STORE_WHERE, "Create");
    if (error.IsError()) return error;
    m_pImpl->Close();
    if (m_pImpl->strJobResultsDir.empty())
        return m_pImpl->store.Error(FX_LOCATION, "Create", "no job results folder");
    error = m_pImpl->Open();
    if (error.IsError()) {
        m_pImpl->Close();
        return error.Push(FX_LOCATION);
    }
    return error;
}

CRyError CSnapDiffEventMonitor::SetSharePrefixes(const std::vector<std::string>& prefixes) {
    Impl& m = *m_pImpl;
    CRyError error = m.Begin(STORE_WHERE, "SetSharePrefixes");
    if (error.IsError()) return error;
    if (m.batch.AnyAccepted())
        return m.store.Error(FX_LOCATION, "SetSharePrefixes", "events are stored already");
    // A set, not a search of the lists: a volume may have thousands of shares.
    const std::vector<std::string>& known = m.conn->shares.Prefixes();
    std::unordered_set<std::string_view> seen(known.begin(), known.end());
    std::vector<std::string> added;
    for (const std::string& prefix : prefixes)
        if (!prefix.empty() && seen.insert(prefix).second) added.push_back(prefix);
    if (added.empty()) return error;
    const Status status = m.conn->AddShares(added);
    return status.ok() ? error : m.Fail(m.store.Failed(FX_LOCATION, "SetSharePrefixes", status));
}

CRyError CSnapDiffEventMonitor::InsertEvent(const ChangeEventItem& event, bool& exists) {
    Impl& m = *m_pImpl;
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
    Impl& m = *m_pImpl;
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
    Impl& m = *m_pImpl;
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

CRyError CSnapDiffEventMonitor::PrepareSelectQueryForShare(const std::string& prefix) {
    CRyError error = m_pImpl->PrepareRead(prefix, true);
    return error.IsError() ? error.Push(FX_LOCATION) : error;
}

int CSnapDiffEventMonitor::GetNextEvent(ChangeEventItem& event) {
    Impl& m = *m_pImpl;
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
