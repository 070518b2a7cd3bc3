// `snapagent snapshots`: the snapshots a client's jobs left on the array,
// per volume, with the job, application and time of each and the one the
// next incremental job compares from. Read-only: it lists, and creates,
// deletes or locks nothing on the array and writes nothing in the state
// folder.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace snapagent {

extern const char kSnapshotsUsage[];

// 0 when every volume was listed, 1 when one could not be (or the config or
// the array failed), 2 on a usage error.
int RunSnapshotsCommand(const std::vector<std::string>& args, FILE* out);

}  // namespace snapagent
