// `snapagent check`: what a job would need, tried without changing anything
// on the array: the config, the client's credentials, the connection to the
// array, each share's volume and .snapshot folder, the log file and the
// results folder. One line per check on out; the exit status is 0 when
// every check passed, 1 otherwise.
#pragma once

#include "tools/CommandLine.h"

#include <cstdio>

namespace snapagent {

int RunCheckCommand(const CheckOptions& options, FILE* out);

}  // namespace snapagent
