// The snapshot a volume keeps when the job's own snapshot of it was not
// made (its creation failed or was stopped, or the snapshot could not be
// read): the newest other snapshot of this client, by the job id in its
// name. Retention and the post-backup clean-up otherwise delete every
// snapshot but the job's own, and would leave the volume with none: the
// next incremental job would have nothing to compare with, and nothing
// consistent would be left to read from.
#pragma once

#include "records/SnapRecords.h"
#include "snapclient/snapshots/SnapshotJobId.h"

#include <string>
#include <vector>

// Empty when the job's snapshot current is among the listed ones, or when
// no other listed snapshot carries a job id after prefix.
inline std::string LastGoodSnapshot(const std::vector<SnapShotInfo_t>& snapshots,
                                    const std::string& prefix, const std::string& current) {
    std::string newest;
    unsigned long long newestJob = 0;
    for (const SnapShotInfo_t& snapshot : snapshots) {
        const std::string& name = snapshot.strName;
        if (name == current) return std::string();
        unsigned long long job = 0;
        if (!SnapshotJobId(name, prefix, job) || (!newest.empty() && job <= newestJob)) continue;
        newest = name;
        newestJob = job;
    }
    return newest;
}
