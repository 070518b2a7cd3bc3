// `snapagent history`: a client's job history (JobHistory.h), oldest job
// first: each job's state, base and times, and per share what the job did
// and whether it can be the base of the next comparison. Read-only.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace snapagent {

extern const char kHistoryUsage[];

// 0 when every record was read, 1 when one could not be, 2 on a usage error.
int RunHistoryCommand(const std::vector<std::string>& args, FILE* out);

}  // namespace snapagent
