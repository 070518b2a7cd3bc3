// `snapagent snapshots --delete`: takes the snapshots of a retired client or
// application off the array, through the array back end the plug-in uses.
// It refuses, deleting nothing, when a name matches no snapshot, when a
// snapshot is the base of some share's next incremental job (unless
// forced: that share's next job then backs it up in full), and when the
// operator does not confirm (on a terminal it asks; elsewhere --yes is the
// confirmation). Each deletion of a job's snapshot is noted in the job
// history (DeletedSnapshots.h).
#pragma once

#include "tools/ClientSnapshots.h"
#include "tools/CommandLine.h"

#include <cstdio>
#include <string>
#include <vector>

namespace snapagent {

// listings: every volume in scope, each listed completely. Returns the exit
// status (docs/exit-codes.md).
int DeleteSnapshots(ArrayBackend& array, const std::string& stateDir,
                    const std::vector<VolumeListing>& listings, const SnapshotsOptions& options,
                    FILE* out);

}  // namespace snapagent
