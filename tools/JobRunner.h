// Drives one backup job through the plug-in as a NAS agent does, with a new
// client object for the job: Initialize, VerifySnapScanSupport,
// ConfigureSnapshot (which also applies retention), UpdateContentMapperPaths,
// DeleteAutoMountFailedSnapshots when mounts failed, then for an incremental
// job CompareSnapshots for each kept share with the pull loop until status 5
// or 6, and CleanupSnapshotsPostBackup.
//
// An auto-mount agent hands the client its content mapper at Initialize and
// gets the read paths back in that same mapper; the others pass none.
//
// A stop request (plan.stopReason) is honoured between plug-in calls and
// between pulls, never inside one: the call in progress finishes, so the
// array is left as that call leaves it (a SnapDiff run is whole inside
// CompareSnapshots). The job then ends without cleanup, and the client is
// destroyed, which releases its change event stores and its array
// connection. A request that came during the clean-up ends the job as
// interrupted too: the array may have stopped a deletion part-way.
//
// A share of plan.fullShares is not compared: it is backed up in full
// with its reason. With plan.bListFull, each share backed up in full or
// read live is walked (ShareWalk.h) and its items delivered as a compared
// share's are; a walk that fails makes the share need a full scan.
//
// A share that cannot be compared (failed comparison, status 6, or a client
// that may not use the fast scan at all) is reported as needing a full scan
// and the job goes on with the next share. A share that ConfigureSnapshot
// did not keep is reported as not backed up, with the reason the agent's
// log caught for it (plan.loggedFailure). A failure of any other step ends the
// job with that step's error; the shares not reported by then are reported
// as not backed up.
#pragma once

#include "host/CRyError.h"
#include "hostlib/Status.h"
#include "records/SnapRecords.h"
#include "tools/PluginLoader.h"

#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

namespace snapagent {

struct JobSpec {
    ULONG ulClientId = 1;
    ULONG ulAppId1 = 0;
    ULONG ulAppId2 = 0;
    LONGLONG llJobId = 1;
    LONGLONG llPrevJobId = 0;  // 0: a full job, nothing is compared
    // Shares (without a trailing "/") the agent backs up in full although
    // the job is incremental, each with the reason: the previous job did not
    // back them up, so no comparison from its snapshot is complete.
    std::map<std::string, std::string> fullShares;
    std::string strResultsDir;  // job results folder; must exist
    std::list<std::string> shares;
    bool bKeepItems = true;  // hold each share's items in the result
    // Walk each share backed up in full (or read live) and deliver its
    // items as the agent reads them, one at a time.
    bool bListFull = false;
    bool bAutoMount = false;              // pass a content mapper; clean up with autoMount true
    std::list<std::string> failedMounts;  // for DeleteAutoMountFailedSnapshots; none: not called
    bool bCleanup = true;                 // call CleanupSnapshotsPostBackup at the end
    // Asked between calls and pulls, and once more after the clean-up;
    // a non-empty answer ends the job as interrupted, and is the reason
    // every share not settled by then is reported as not backed up.
    std::function<std::string()> stopReason;
    // The failure the plug-in logged for a share during the current call
    // (the line that names it), which says why it dropped the share or could
    // not compare it; empty when unknown.
    std::function<std::string(const std::string& share)> loggedFailure;
};

// The reason given for every share of a full job.
extern const char kFullJobReason[];

struct ShareResult {
    std::string strShare;  // as the plug-in kept it (as given, when dropped)
    bool bCompared = false;
    bool bFull = false;      // backed up in full, as the job chose
    bool bDropped = false;   // not backed up at all
    bool bReadLive = false;  // backed up from the live files, not a snapshot
    // Why the agent walks the share (when not compared: kFullJobReason in a
    // full job), or why it was not backed up (when dropped).
    std::string strFullScanReason;
    std::vector<FileServerSnapshotCompareItem> items;  // without the final status 5
    size_t nItems = 0;
    // The sizes of the regular files among the items (a compared share's
    // created and modified ones, as its snapshot holds them; a listed full
    // share's all); known once the share's list or walk ended.
    uint64_t ullBytes = 0;
    bool bBytesKnown = false;
};

struct JobResult {
    bool bOk = false;
    bool bInterrupted = false;  // a stop request ended the job early
    std::string strStopReason;  // the stop request's answer
    std::string strStoppedIn;   // the operation called last when it was noticed
    std::string strFailedStep;  // operation that ended the job
    std::string strError;       // its CRyError text
    CRyError failure;           // the error that ended the job
    std::list<std::string> keptShares;
    std::map<std::string, std::string> readPaths;  // content mapper map: share + "/" -> read path
    std::vector<ShareResult> shares;
};

// Hooks for progress, listings and output; every hook is optional.
class JobObserver {
public:
    virtual ~JobObserver() = default;
    // Before each plug-in operation; OnStep follows when it returns.
    virtual void OnCalling(const std::string& operation) {}
    virtual void OnStep(const std::string& operation, const CRyError& result) {}
    // What ConfigureSnapshot kept, and the content mapper's map after
    // UpdateContentMapperPaths.
    virtual void OnSharesKept(const std::list<std::string>& shares) {}
    virtual void OnReadPaths(const std::map<std::string, std::string>& readPaths) {}
    // The job's snapshots exist and the agent knows where to read each share.
    // A failed Status ends the job before any comparison, with its message.
    virtual hostlib::Status OnSnapshotsTaken(const JobResult& sofar) {
        return hostlib::Status::OK();
    }
    // Before a share's comparison.
    virtual void OnShareStart(const std::string& share) {}
    virtual void OnItem(const std::string& share, const FileServerSnapshotCompareItem& item) {}
    // The pull that ended a share's list (status 5 or 6).
    virtual void OnListEnd(const std::string& share, const FileServerSnapshotCompareItem& item) {}
    // Once per share given to the job: its outcome (after its items).
    virtual void OnShareDone(const ShareResult& share) {}
};

// A share path without its trailing "/" delimiters, as the plug-in looks a
// share up.
std::string BareShare(std::string path);

// The snapshot map file of a job, inside its results folder.
std::string SnapMapFileOf(const std::string& resultsDir);

// Runs the job; result.bOk tells whether every step other than the
// per-share comparisons succeeded.
void RunJob(const PluginLoader& plugin, const JobSpec& plan, JobObserver& observer,
            JobResult& result);

}  // namespace snapagent
