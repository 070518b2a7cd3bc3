// `snapagent job`: one job on whatever array the config names, printing the
// change list of each compared share (as text, or as JSON lines with
// --json) on out, and one outcome line per share on stderr. Returns the exit
// status (docs/exit-codes.md).
#pragma once

#include "tools/CommandLine.h"

#include <cstdio>
#include <string>

namespace snapagent {

enum ExitStatus {
    kExitDone = 0,           // every share compared, or backed up in full, as asked
    kExitFailed = 1,         // the job (or the command) failed
    kExitUsage = 2,          // the command line is wrong
    kExitIncomplete = 3,     // the job ran; some share needs a full scan or was not backed up
    kExitInterrupted = 130,  // SIGINT
    kExitTerminated = 143,   // SIGTERM
};

int RunJobCommand(JobOptions options, FILE* out);
// After a usage error: the --json job summary, when --json was given.
void WriteUsageErrorJson(const JobOptions& options, const std::string& error, FILE* out);

}  // namespace snapagent
