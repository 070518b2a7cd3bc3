// The job history of a client in the state folder: one record per job
// (<state>/client<N>/history/job<J>.json) that says, per share, what the job
// did and whether the agent received all of it. A job writes its record as
// "running" before its first plug-in call and again when it ends, each time
// whole (a temporary file, synced, renamed over the record): a killed job
// leaves "running", which reads as "did not end", never a record that claims
// more than the job did. The next job compares a share only from a job whose
// record says it backed that share up completely.
#pragma once

#include "hostlib/Status.h"
#include "records/SnapRecords.h"

#include <string>
#include <vector>

namespace snapagent {

struct ShareRecord {
    std::string strShare;   // absolute, without a trailing "/"
    std::string strVolume;  // the array volume the plug-in resolved it to; may be empty
    // "full", "compared", "read_live", "needs_full_scan", "not_backed_up",
    // "stopped"
    std::string strOutcome;
    uint64_t ullItems = 0;   // compare items delivered
    bool bReceived = false;  // every item and the outcome reached the agent's reader
    std::string strReason;   // why, unless backed up as asked
};

struct JobRecord {
    ULONG ulClientId = 0;
    ULONG ulAppId1 = 0;
    ULONG ulAppId2 = 0;
    LONGLONG llJobId = 0;
    LONGLONG llPrevJobId = 0;
    // "running" (written at the start; read later it means the job did not
    // end), "done", "incomplete" (some share not backed up as asked),
    // "failed", "stopped".
    std::string strState = "running";
    int64_t llStarted = 0;  // seconds since the epoch
    int64_t llEnded = 0;    // 0 while running
    std::string strError;   // why a failed or stopped job ended
    std::vector<ShareRecord> shares;

    // The job ran to its end (done or incomplete), so its snapshots may
    // serve as bases.
    bool Ended() const { return strState == "done" || strState == "incomplete"; }
    // Empty when the job backed the share up completely (in full or
    // compared, every item received, and the job ran to its end); else why
    // not, as "job 5 did not back up this share".
    std::string WhyNotBackedUp(const std::string& share) const;
};

// <state>/client<N>/history.
std::string HistoryFolder(const std::string& stateDir, ULONG clientId);

// Replaces the job's record; failed with a one-line message naming the file.
hostlib::Status WriteJobRecord(const std::string& stateDir, const JobRecord& record);

// The client's records, oldest job first. A record that cannot be read is
// left out, and the Status fails naming each one left out ("; " between
// them), with the first one's code; the others are still in records.
hostlib::Status ReadJobRecords(const std::string& stateDir, ULONG clientId,
                               std::vector<JobRecord>& records);

// The record of one job: not found when the job has no record, corruption
// when the file holds no record of this job, an I/O error when it cannot be
// read.
hostlib::Status ReadJobRecord(const std::string& stateDir, ULONG clientId, LONGLONG jobId,
                              JobRecord& record);

// The latest job of the application below jobId that ran to its end, or
// null.
const JobRecord* LatestEndedJob(const std::vector<JobRecord>& records, ULONG appId1, ULONG appId2,
                                LONGLONG belowJobId);

// The record's JSON form, as `snapagent history --json` prints it.
std::string JobRecordJson(const JobRecord& record);

}  // namespace snapagent
