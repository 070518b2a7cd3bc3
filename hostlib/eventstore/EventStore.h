// The state of one change event store and the steps its operations share,
// over its parts: the file (StoreFile), the connection with its shares,
// inode map and moved index (Connection), the waiting events (EventBatch),
// the read cursor (ReadCursor) and the failure policy (StoreFailure).
// Memory stays bounded whatever the volume: at most 64 unwritten events per
// share (fewer for many shares), 65,536 unwritten entries of the inode map,
// a dictionary of at most 8,192 directory names, and the inode filter. The
// store takes the fault hook set for new stores when it is created. Not
// thread-safe.
#pragma once

#include "hostlib/eventstore/EventBatch.h"
#include "hostlib/eventstore/InodeFilter.h"
#include "hostlib/eventstore/ReadCursor.h"
#include "hostlib/eventstore/StoreFailure.h"

#include <memory>
#include <string>

namespace eventstore {

class EventStore {
public:
    EventStore(const std::string& folder, const std::string& path);
    // The file stays in the job results: it is left holding every event taken.
    ~EventStore();
    EventStore(const EventStore&) = delete;
    EventStore& operator=(const EventStore&) = delete;

    // The hook each store created from now on takes (Create()).
    static void SetFaultHookForNewStores(FaultHook hook);

    // Closes any earlier file and creates a fresh one, with the hook armed.
    CRyError Create();
    // The fault hook, then whether the store is open and has not failed.
    CRyError Begin(const Where& where, const char* operation) const {
        return store.Check(where, operation, conn != nullptr);
    }
    // Ends the store after a failed write; returns error.
    CRyError Fail(const CRyError& error) {
        return store.End(error, [this] { Discard(); });
    }
    // The written block that holds the inode's event, if any (found false).
    CRyError FindStored(long long inode, StoredBlock& block, bool& found, const char* operation);
    // Keeps moved in step with an event written to share id.
    CRyError NoteOldPath(size_t id, const ChangeEventItem& event, const char* operation);
    CRyError NoEventOf(const FXCodeLocation& where, const char* operation, long long inode) const;
    // Commits the waiting events and starts a read of prefix; withLeft adds
    // the events whose old path lies under prefix while their path does not.
    CRyError PrepareRead(const std::string& prefix, bool withLeft);

    std::string strJobResultsDir;
    StoreFailure store;
    std::unique_ptr<Connection> conn;
    EventBatch batch;
    ReadCursor cursor;
    InodeFilter seenInodes;

private:
    CRyError Open();
    void Discard();
    void Close();
};

}  // namespace eventstore
