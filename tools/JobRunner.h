// Drives one backup job through the plug-in as a NAS agent does, with a new
// client object for the job: Initialize, VerifySnapScanSupport,
// ConfigureSnapshot (which also applies retention), UpdateContentMapperPaths,
// then for an incremental job CompareSnapshots for each kept share with the
// pull loop until status 5 or 6, and CleanupSnapshotsPostBackup.
//
// A share that cannot be compared (refused, failed comparison, status 6, or
// a client that may not use the fast scan at all) is reported as needing a
// full scan and the job goes on with the next share. A failure of any other
// step ends the job with that step's error.
#pragma once

#include "host/CRyError.h"
#include "records/SnapRecords.h"
#include "tools/PluginLoader.h"

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
    std::string strResultsDir;  // job results folder; must exist
    std::list<std::string> shares;
    bool bKeepItems = true;  // hold each share's items in the result
};

// The reason given for every share of a full job.
extern const char kFullJobReason[];

struct ShareResult {
    std::string strShare;  // as the plug-in kept it
    bool bCompared = false;
    std::string strFullScanReason;  // why the agent must walk the share (when not compared)
    std::vector<FileServerSnapshotCompareItem> items;  // without the final status 5
    size_t nItems = 0;
};

struct JobResult {
    bool bOk = false;
    std::string strFailedStep;  // operation that ended the job
    std::string strError;       // its CRyError text
    std::list<std::string> keptShares;
    std::map<std::string, std::string> readPaths;  // content mapper map: share + "/" -> read path
    std::vector<ShareResult> shares;
};

// Hooks for progress, listings and output; every hook is optional.
class JobObserver {
public:
    virtual ~JobObserver() = default;
    virtual void OnStep(const std::string& operation, const CRyError& result) {}
    // The job's snapshots exist and the agent knows where to read each share.
    // Returning false (with error set) ends the job before any comparison.
    virtual bool OnSnapshotsTaken(const JobResult& sofar, std::string& error) { return true; }
    virtual void OnItem(const std::string& share, const FileServerSnapshotCompareItem& item) {}
    virtual void OnShareDone(const ShareResult& share) {}
};

// The snapshot map file of a job, inside its results folder.
std::string SnapMapFileOf(const std::string& resultsDir);

// Runs the job; result.bOk tells whether every step other than the
// per-share comparisons succeeded.
void RunJob(const PluginLoader& plugin, const JobSpec& spec, JobObserver& observer,
            JobResult& result);

}  // namespace snapagent
