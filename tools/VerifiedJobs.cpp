#include "tools/VerifiedJobs.h"

namespace snapagent {
namespace {

const char kSnapshotMarker[] = "/.snapshot/";

// Lists every kept share when its snapshot exists, and checks the live
// listing against the snapshot copy the agent reads.
class ListingObserver : public JobObserver {
public:
    ListingObserver(const DemoWorld& world, JobObserver* progress)
        : m_world(world), m_pProgress(progress) {}

    void OnStep(const std::string& operation, const CRyError& result) override {
        if (m_pProgress) m_pProgress->OnStep(operation, result);
    }
    void OnItem(const std::string& share, const FileServerSnapshotCompareItem& item) override {
        if (m_pProgress) m_pProgress->OnItem(share, item);
    }
    void OnShareDone(const ShareResult& share) override {
        if (m_pProgress) m_pProgress->OnShareDone(share);
    }

    // Not found for a share read from no snapshot, corruption for a copy
    // that is not the live tree it was taken of.
    hostlib::Status OnSnapshotsTaken(const JobResult& sofar) override {
        for (const BuiltShare& share : m_world.Shares()) {
            auto read = sofar.readPaths.find(share.strSharePath + "/");
            if (read == sofar.readPaths.end() ||
                read->second.find(kSnapshotMarker) == std::string::npos)
                return hostlib::Status::NotFound("share " + share.strSharePath +
                                                 " is not read from a snapshot");
            TreeListing live, copy;
            hostlib::Status listed = ListTree(share.strLiveDir, live);
            if (listed.ok()) listed = ListTree(read->second, copy);
            if (!listed.ok()) return listed;
            const std::string difference = CompareTreeShape(live, copy);
            if (!difference.empty())
                return hostlib::Status::Corruption("snapshot copy " + read->second +
                                                   " differs from the live share: " + difference);
            listings[share.strSharePath] = std::move(live);
        }
        return m_pProgress ? m_pProgress->OnSnapshotsTaken(sofar) : hostlib::Status::OK();
    }

    std::map<std::string, TreeListing> listings;

private:
    const DemoWorld& m_world;
    JobObserver* m_pProgress;
};

}  // namespace

bool VerifiedJob::Verified() const {
    if (!strError.empty()) return false;
    for (const ShareVerdict& v : verdicts)
        if (!v.Verified()) return false;
    return true;
}

VerifiedJobs::VerifiedJobs(const PluginLoader& plugin, const DemoWorld& world,
                           JobObserver* progress)
    : m_plugin(plugin), m_world(world), m_pProgress(progress) {}

VerifiedJob VerifiedJobs::Run(LONGLONG jobId, LONGLONG prevJobId) {
    VerifiedJob out;
    JobSpec plan;
    plan.ulClientId = m_world.Settings().ulClientId;
    plan.llJobId = jobId;
    plan.llPrevJobId = prevJobId;
    for (const BuiltShare& share : m_world.Shares()) plan.shares.push_back(share.strSharePath);
    if (const hostlib::Status made = m_world.ResultsDir(jobId, plan.strResultsDir); !made.ok()) {
        out.strError = made.message();
        return out;
    }

    ListingObserver observer(m_world, m_pProgress);
    RunJob(m_plugin, plan, observer, out.job);
    if (!out.job.bOk) {
        out.strError = out.job.strFailedStep + " failed: " + out.job.strError;
        return out;
    }
    if (prevJobId != 0) {
        std::vector<ShareChanges> changes;
        for (const BuiltShare& share : m_world.Shares()) {
            ShareChanges c;
            c.strSharePath = share.strSharePath;
            c.strVolume = share.strVolume;
            c.previous = m_listings[share.strSharePath];
            c.current = observer.listings[share.strSharePath];
            for (const ShareResult& r : out.job.shares) {
                if (r.strShare != share.strSharePath) continue;
                if (!r.bCompared) {
                    out.strError += (out.strError.empty() ? "" : "; ") + share.strSharePath +
                                    " needs a full scan: " + r.strFullScanReason;
                }
                c.items = r.items;
            }
            changes.push_back(std::move(c));
        }
        out.verdicts = VerifyJob(changes);
    }
    m_listings = std::move(observer.listings);
    return out;
}

}  // namespace snapagent
