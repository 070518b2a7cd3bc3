// The operator's view of the local array's long operations: a snapshot copy
// of a large volume, the deletion of such a copy and a SnapDiff walk over
// two catalogs take minutes, inside one array call. The process that drives
// the jobs (snapagent) installs an operator to show how far each has come
// and to ask it to stop; the plug-in knows nothing of it, and without an
// operator nothing is reported and nothing stops.
//
// A stop is honoured between two files, never inside one, and leaves what a
// killed process leaves: a creation or deletion stopped part-way leaves
// debris that the next creation (or the next opening of the array) clears;
// a stopped deletion's snapshot is no longer listed. The operation then
// fails with Status::kAborted (kArrayErrStopped at the array interface),
// and its last report has bStopped set.
//
// Process-wide: set it before the array is used, from the thread that uses
// it (the callbacks run on that thread).
#pragma once

#include "hostlib/Status.h"

#include <cstdint>
#include <functional>
#include <string>

// kSnapshotting: a read-only btrfs snapshot, one call that counts no files.
enum class LocalArrayWork { kCopying, kDeleting, kComparing, kSnapshotting };

struct LocalArrayActivity {
    LocalArrayWork work = LocalArrayWork::kCopying;
    std::string strVolume;
    std::string strSnapshot;
    uint64_t ullDone = 0;      // files copied or removed, changes found
    uint64_t ullExpected = 0;  // files the previous snapshot held; 0 unknown
    bool bFinished = false;    // the last report of this operation
    bool bStopped = false;     // it was stopped at the operator's request
    uint64_t ullLeftOut = 0;   // a copy's last report: items the snapshot could not keep
};

struct LocalArrayOperator {
    std::function<void(const LocalArrayActivity&)> onActivity;
    std::function<bool()> stopRequested;
    // Opening the array clears no debris (snapagent check changes nothing).
    bool bInspectOnly = false;
};

void SetLocalArrayOperator(const LocalArrayOperator& op);
const LocalArrayOperator& CurrentLocalArrayOperator();

// Counts the files of one long operation, reports them to the operator and
// answers a stop request with a failure (Status::kAborted) naming the
// operation.
class ActivityMeter {
public:
    ActivityMeter(LocalArrayWork work, const std::string& volume, const std::string& snapshot,
                  uint64_t expected = 0);
    ~ActivityMeter();
    ActivityMeter(const ActivityMeter&) = delete;
    ActivityMeter& operator=(const ActivityMeter&) = delete;

    // Counts done more files; fails when the operator asked to stop.
    hostlib::Status Tick(uint64_t done = 1);
    // Items the snapshot made could not keep, for the last report.
    void LeftOut(uint64_t items) { m_activity.ullLeftOut = items; }

private:
    LocalArrayActivity m_activity;
    uint64_t m_ullReported = 0;
};

// True when the operator asked the array to stop.
bool LocalArrayStopRequested();
