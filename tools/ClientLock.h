// One job of a client at a time: two jobs of one client on one array would
// each take the other's snapshots for old ones and delete them, and the
// second would empty the first's snapshot map file. `snapagent job` holds an
// exclusive lock on <state folder>/client<N>.lock for the whole job (the
// file holds the holder's pid and job id, for the error of a second job).
// The lock goes with the process, also when it is killed.
#pragma once

#include "hostlib/Status.h"
#include "records/SnapRecords.h"

#include <string>

namespace snapagent {

// The job id `snapagent snapshots --delete` holds the lock under.
constexpr LONGLONG kSnapshotDeletionJob = 0;

class ClientLock {
public:
    ClientLock() = default;
    ~ClientLock();
    ClientLock(const ClientLock&) = delete;
    ClientLock& operator=(const ClientLock&) = delete;

    // wait: block until the other job ends; else fail at once (an I/O
    // error, as every failure here) naming the job that holds it.
    hostlib::Status Acquire(const std::string& stateDir, ULONG clientId, LONGLONG jobId, bool wait);

private:
    int m_fd = -1;
};

}  // namespace snapagent
