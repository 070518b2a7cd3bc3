// The snapshots an operator deleted with `snapagent snapshots --delete`, kept
// in the client's job history folder (deleted-snapshots.jsonl, one JSON line
// each), so that the next job backs the shares whose base it was up in full
// instead of asking the plug-in to compare from a snapshot that is gone.
#pragma once

#include "hostlib/Status.h"
#include "tools/JobHistory.h"

#include <cstdint>
#include <string>
#include <vector>

namespace snapagent {

struct DeletedSnapshot {
    std::string strVolume;
    std::string strName;
    ULONG ulApp = 0;
    uint64_t ullJob = 0;
    int64_t llDeleted = 0;  // seconds since the epoch
};

// Appends one deletion; a failure's message names the file.
hostlib::Status RecordDeletedSnapshot(const std::string& stateDir, ULONG clientId,
                                      const DeletedSnapshot& deleted);

// Why the share cannot be compared from the base job's snapshot because an
// operator deleted it after that job ended, or empty. A line that cannot be
// read (a torn last line) is left out: that share is then compared, and the
// plug-in reports the missing snapshot.
std::string DeletedBaseReason(const std::string& stateDir, const JobRecord& base,
                              const std::string& share);

}  // namespace snapagent
