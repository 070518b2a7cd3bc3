// SIGINT and SIGTERM during a job. The first SIGINT asks the job to stop at
// its next check, between plug-in calls or pulls, so no call on the array
// is cut off half-way; the handler says at once, on stderr, what the job
// finishes before it stops (SetFinishing). A second SIGINT, or SIGTERM, asks
// for more: the local array also stops its long operation in progress (a
// snapshot copy, a deletion, a SnapDiff run) between two files, leaving what
// a killed process leaves, which is consistent (LocalArrayOperator.h).
// Installed once a job starts and kept until the process exits: a stop that
// comes after the job recorded its end changes nothing, so the caller never
// sees a process killed by the signal while the job history says it is done.
#pragma once

#include <string>

namespace snapagent {

class StopSignals {
public:
    // Clears any earlier request and installs the handlers for good.
    static void Install();
    // True once SIGINT or SIGTERM arrived.
    static bool Requested();
    // True once a second SIGINT or a SIGTERM arrived: stop now.
    static bool Urgent();
    // The signal that asked to stop last, 0 when none did.
    static int Signal();
    // What the job would finish after a first SIGINT now, e.g. "the
    // snapshots of ConfigureSnapshot"; kept for the handler to print. Empty:
    // the handler prints nothing (a quiet run).
    static void SetFinishing(const std::string& what);
};

}  // namespace snapagent
