// `snapagent demo`: the project's main job, end to end on the embedded local
// array. Builds a DemoWorld, fills it, runs a full job, changes the trees in
// every way an agent must follow (and once in each way the design cannot
// describe exactly), runs an incremental job, prints each share's change
// list, the verification, the known limits met and the snapshots left on
// the array. The exit status is 0 only when every share verified and only
// the current job's snapshots remain.
#pragma once

#include "tools/CommandLine.h"

#include <cstdio>

namespace snapagent {

// Prints results to out and progress to stderr; returns the exit status.
int RunDemo(const DemoOptions& options, FILE* out);

}  // namespace snapagent
