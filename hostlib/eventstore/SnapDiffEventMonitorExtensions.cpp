// The table through which a plug-in reaches the store's own operations
// without binding to them, so that it also loads in a host whose store has
// only the operations every host store has.
#include "hostlib/eventstore/SnapDiffEventMonitorExtensions.h"

#include "hostlib/eventstore/ExtendedStore.h"

namespace {

const SnapDiffEventMonitorExtensions kExtensions = {
    sizeof(SnapDiffEventMonitorExtensions), eventstore::ExtendedStore::SetSharePrefixes,
    eventstore::ExtendedStore::PrepareSelectQueryForShare};

}  // namespace

extern "C" const SnapDiffEventMonitorExtensions* GetSnapDiffEventMonitorExtensions() {
    return &kExtensions;
}
