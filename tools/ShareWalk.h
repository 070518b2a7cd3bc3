// The walk of a share the agent backs up in full: every folder, file and
// link below the folder it reads the share from (its snapshot, or the live
// share), one at a time and in pre-order, so that no share's tree is ever
// held in memory. Each comes as a compare item "created" named by the
// share's own path (the agent's name for it, not the snapshot's), a
// folder's ending in "/". The root's ".snapshot", the array's view of the
// share's snapshots, is no part of it.
#pragma once

#include "records/SnapRecords.h"

#include <cstdint>
#include <functional>
#include <string>

namespace snapagent {

// onItem gets each item and, for a regular file, its size (else 0); it
// returns false to end the walk there. False with error naming the entry
// that could not be read, after what was read before it; true when the
// walk ended, or onItem ended it.
bool WalkShare(const std::string& readRoot, const std::string& share,
               const std::function<bool(const FileServerSnapshotCompareItem&, uint64_t)>& onItem,
               std::string& error);

}  // namespace snapagent
