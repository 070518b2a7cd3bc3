// The table through which a plug-in reaches the store's own operations
// without binding to them, so that it also loads in a host whose store has
// only the operations every host store has.
#include "host/SnapDiffEventMonitorExtensions.h"

namespace {

CRyError SetSharePrefixes(CSnapDiffEventMonitor& store, const std::vector<std::string>& prefixes) {
    return store.SetSharePrefixes(prefixes);
}

CRyError PrepareSelectQueryForShare(CSnapDiffEventMonitor& store, const std::string& prefix) {
    return store.PrepareSelectQueryForShare(prefix);
}

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

const SnapDiffEventMonitorExtensions kExtensions = {sizeof(SnapDiffEventMonitorExtensions),
                                                    SetSharePrefixes, PrepareSelectQueryForShare,
                                                    InsertOrGetEvent};

}  // namespace

extern "C" const SnapDiffEventMonitorExtensions* GetSnapDiffEventMonitorExtensions() {
    return &kExtensions;
}
