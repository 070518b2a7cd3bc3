// The table through which a plug-in reaches the store's own operations
// without binding to them, so that it also loads in a host whose store has
// only the operations every host store has.
#include "hostlib/eventstore/SnapDiffEventMonitorExtensions.h"

#include "hostlib/eventstore/ExtendedStore.h"

namespace {

// A repeated inode crosses from the plug-in to the store once: built on the
// store's public operations, so it keeps working whatever the store keeps.
CRyError InsertOrGetEvent(CSnapDiffEventMonitor& store, const ChangeEventItem& event, bool& exists,
                          ChangeEventItem& stored) {
    CRyError error = store.InsertEvent(event, exists);
    if (error.IsSuccess() && exists) {
        long long inode = event.llInode;
        error = store.GetEventOfInode(inode, stored);
    }
    return error;
}

const SnapDiffEventMonitorExtensions kExtensions = {
    sizeof(SnapDiffEventMonitorExtensions), eventstore::ExtendedStore::SetSharePrefixes,
    eventstore::ExtendedStore::PrepareSelectQueryForShare, InsertOrGetEvent};

}  // namespace

extern "C" const SnapDiffEventMonitorExtensions* GetSnapDiffEventMonitorExtensions() {
    return &kExtensions;
}
