// Operations our change event store offers beyond those every host store
// has, on a CSnapDiffEventMonitor of our host. A plug-in reaches the first
// two through the table of SnapDiffEventMonitorExtensions.h, so that it also
// runs on a host whose store lacks them; tests and our tools call them here.
// They return status values and never throw.
#pragma once

#include "host/SnapDiffEventMonitor.h"
#include "hostlib/eventstore/StoreFailure.h"

#include <string>
#include <vector>

namespace eventstore {

class EventStore;

class ExtendedStore {
public:
    // The backup paths, each followed by "/", of the shares whose events the
    // store will take; called after Create() and before the first event. An
    // event goes to the share of the longest prefix that begins its path,
    // else to a share of its own for the rest. Without this call every event
    // goes to that one share; the events read back are the same either way.
    static CRyError SetSharePrefixes(CSnapDiffEventMonitor& store,
                                     const std::vector<std::string>& prefixes);
    // Starts a read of the events whose path begins with prefix, followed by
    // the events whose old path begins with prefix while their path does not.
    // A share is read so: an inode that left it for another share still
    // tells it that the old name is gone.
    static CRyError PrepareSelectQueryForShare(CSnapDiffEventMonitor& store,
                                               const std::string& prefix);

    // Test hook: called with the operation's name ("Create", "CreateFile"
    // (after the earlier file is removed), "SetSharePrefixes", "InsertEvent",
    // "GetEventOfInode", "UpdateExistingEventOfInode", "Prepare",
    // "GetNextEvent", "Commit") before it runs; an error result makes the
    // operation fail with it. Each store keeps the hook set when it is
    // created (Create()); a later call reaches only the stores created after
    // it.
    static void SetFaultHook(FaultHook hook);

private:
    static EventStore& Of(CSnapDiffEventMonitor& store);
};

}  // namespace eventstore
