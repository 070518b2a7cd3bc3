// The job id a snapshot name of this client carries: the name is the
// client's prefix followed by the job id in plain decimal digits, as
// GetSnapshotName writes it. Retention, the post-backup clean-up and the
// choice of a volume's last good snapshot all read names with this one
// rule, so that they agree on which snapshots are the client's.
#pragma once

#include <string>

// False for a name of another prefix, or whose rest is not one to twenty
// digits that fit 64 bits (no sign, no blank, nothing after).
bool SnapshotJobId(const std::string& name, const std::string& prefix, unsigned long long& job);

// True for a snapshot of this client whose job id is above job's: a job
// started after this one still reads or compares it, so no clean-up of this
// job may delete it.
inline bool IsSnapshotOfLaterJob(const std::string& name, const std::string& prefix,
                                 long long job) {
    unsigned long long id = 0;
    return SnapshotJobId(name, prefix, id) && id > static_cast<unsigned long long>(job);
}
