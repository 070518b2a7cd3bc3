#include "hostlib/eventstore/EventStore.h"

#include "host/FXErrorUtil.h"
#include "hostlib/eventstore/StoreFile.h"

#include <unistd.h>
#include <new>

namespace eventstore {

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

void EventStore::SetFaultHookForNewStores(FaultHook hook) { HookForNewStores() = std::move(hook); }

EventStore::EventStore(const std::string& folder, const std::string& path)
    : strJobResultsDir(folder),
      store(path),
      batch(store, [this](const CRyError& error) { return Fail(error); }) {}

EventStore::~EventStore() {
    if (conn && !store.Ended()) {
        cursor.End(conn.get());
        batch.FlushAndCommit();
    }
}

CRyError EventStore::Create() {
    store.SetFaultHook(HookForNewStores());
    CRyError error = store.Inject(STORE_WHERE, "Create");
    if (error.IsError()) return error;
    Close();
    if (strJobResultsDir.empty())
        return store.Error(FX_LOCATION, "Create", "no job results folder");
    error = Open();
    if (error.IsError()) {
        Close();
        return error.Push(FX_LOCATION);
    }
    return error;
}

void EventStore::Discard() {
    cursor.End(conn.get());
    batch.Attach(nullptr);
    conn.reset();
    unlink(store.Path().c_str());
}

void EventStore::Close() {
    cursor.End(conn.get());
    batch.Attach(nullptr);
    conn.reset();
    seenInodes.Clear();
    store.Forget();
}

CRyError EventStore::Open() {
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

CRyError EventStore::FindStored(long long inode, StoredBlock& block, bool& found,
                                const char* operation) {
    const Status status = conn->FindBlock(inode, block);
    found = status.ok() && block.id;
    if (status.ok()) return CRyError::Success();
    if (status.IsCorruption()) return store.CorruptRow(FX_LOCATION, operation, inode);
    return store.Failed(FX_LOCATION, operation, status);
}

CRyError EventStore::NoteOldPath(size_t id, const ChangeEventItem& event, const char* operation) {
    const bool elsewhere =
        !event.strOldPath.empty() && conn->shares.ShareOf(event.strOldPath) != id;
    if (!conn->moved.NeedsWrite(elsewhere)) return CRyError::Success();
    CRyError error = batch.EnsureTransaction();
    if (error.IsError()) return error.Push(FX_LOCATION);
    const Status status = conn->moved.Write(event.llInode, id, elsewhere);
    if (!status.ok()) return Fail(store.Failed(FX_LOCATION, operation, status));
    return error;
}

CRyError EventStore::NoEventOf(const FXCodeLocation& where, const char* operation,
                               long long inode) const {
    return store.Error(where, operation, "no event of inode " + std::to_string(inode));
}

CRyError EventStore::PrepareRead(const std::string& prefix, bool withLeft) {
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

}  // namespace eventstore
