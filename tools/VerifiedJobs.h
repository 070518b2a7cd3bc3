// Runs a series of jobs on a DemoWorld and checks each incremental job's
// delivered changes: right after each job's snapshots are taken, every
// share's live tree is listed with lstat and compared with the snapshot
// copy the agent reads it through; the listings of the previous and the
// current job then judge the items delivered (Verification.h).
#pragma once

#include "tools/DemoWorld.h"
#include "tools/JobRunner.h"
#include "tools/TreeListing.h"
#include "tools/Verification.h"

#include <map>
#include <string>
#include <vector>

namespace snapagent {

struct VerifiedJob {
    JobResult job;
    std::vector<ShareVerdict> verdicts;  // one per share of the world, for an incremental job
    std::string strError;                // set when the job or a listing failed
    bool Verified() const;               // no error, and every share verified
};

class VerifiedJobs {
public:
    VerifiedJobs(const PluginLoader& plugin, const DemoWorld& world, JobObserver* progress);

    // Runs the job (full when prevJobId is 0) and, when it is incremental,
    // verifies it against the previous job's listings.
    VerifiedJob Run(LONGLONG jobId, LONGLONG prevJobId);

    // Listing of a share at the last job's snapshot.
    const TreeListing& LastListing(const std::string& sharePath) { return m_listings[sharePath]; }

private:
    const PluginLoader& m_plugin;
    const DemoWorld& m_world;
    JobObserver* m_pProgress;
    std::map<std::string, TreeListing> m_listings;  // share path -> at the last job's snapshot
};

}  // namespace snapagent
