// The table through which a plug-in reaches what our change event store
// offers beyond the operations every host store has (ExtendedStore.h):
// events kept by share, a share's read that also yields the events whose old
// path lies in the share while their path does not. A host may lack them;
// the plug-in includes this header for the table's layout only, looks the
// table up in the process at run time
// (dlsym of GetSnapDiffEventMonitorExtensions) and, without it, reads each
// share by path prefix and remembers the rest itself. The table is static
// and lives as long as the host library; its functions return status
// values and never throw.
#pragma once

#include "host/SnapDiffEventMonitor.h"

#include <string>
#include <vector>

struct SnapDiffEventMonitorExtensions {
    // sizeof the table the host was built with: a later, longer table keeps
    // these entries first, so a plug-in uses the entries the size covers.
    unsigned long ulSize;
    CRyError (*SetSharePrefixes)(CSnapDiffEventMonitor& store,
                                 const std::vector<std::string>& prefixes);
    CRyError (*PrepareSelectQueryForShare)(CSnapDiffEventMonitor& store, const std::string& prefix);
};

#define SNAPDIFF_EVENT_MONITOR_EXTENSIONS "GetSnapDiffEventMonitorExtensions"

extern "C" const SnapDiffEventMonitorExtensions* GetSnapDiffEventMonitorExtensions();
