// snapagent inspect: the events of a change database, decoded for people.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace snapagent {

extern const char kInspectUsage[];

// Seconds since the epoch as people read them, "2026-12-07T21:00:00Z";
// empty before the epoch or beyond what the system's calendar spells.
std::string UtcTimeText(int64_t seconds);

// Prints every event of the store named by args; 0, 1 on failure, 2 on a usage error.
int RunInspectCommand(const std::vector<std::string>& args, FILE* out);

}  // namespace snapagent
