// `snapagent job`: one job on whatever array the config names, printing the
// change list of each compared share (as text, or as JSON lines with
// --json) on out. Returns the exit status: 0 when the job ran (shares that
// need a full scan are reported, not failures), 1 when a step failed.
#pragma once

#include "tools/CommandLine.h"

#include <cstdio>

namespace snapagent {

int RunJobCommand(JobOptions options, FILE* out);

}  // namespace snapagent
