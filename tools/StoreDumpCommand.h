// snapagent inspect: the events of a change database, decoded for people.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace snapagent {

extern const char kInspectUsage[];

// Prints every event of the store named by args; 0, 1 on failure, 2 on a usage error.
int RunInspectCommand(const std::vector<std::string>& args, FILE* out);

}  // namespace snapagent
