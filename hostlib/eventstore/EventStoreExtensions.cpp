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

const SnapDiffEventMonitorExtensions kExtensions = {sizeof(SnapDiffEventMonitorExtensions),
                                                    SetSharePrefixes, PrepareSelectQueryForShare};

}  // namespace

extern "C" const SnapDiffEventMonitorExtensions* GetSnapDiffEventMonitorExtensions() {
    return &kExtensions;
}
