#include "tools/JobRunner.h"

#include "host/ContentMapper.h"
#include "tools/ItemText.h"
#include "tools/ShareWalk.h"

#include <sys/stat.h>

#include <boost/make_shared.hpp>
#include <regex>
#include <set>

namespace snapagent {

const char kFullJobReason[] = "full job";

namespace {

const char kSnapMapFileName[] = "nativeSnapMapInfo.vkf";

// One job on one client object: the agent's side of the calls.
class JobDriver {
public:
    JobDriver(CFileServerSnapClientBase& client, const JobSpec& plan, JobObserver& observer,
              JobResult& result)
        : m_client(client), m_spec(plan), m_observer(observer), m_result(result) {}

    void Run();
    // Reports every share that has no outcome yet as not backed up: with
    // the failure the log caught for it when logged, else with reason. The
    // shares ConfigureSnapshot kept are left to their comparison unless
    // keptToo.
    void ReportDropped(const std::string& reason, bool logged, bool keptToo);

private:
    // True when the agent was asked to stop; the job then ends here.
    bool Stopping() {
        const std::string reason = m_spec.stopReason ? m_spec.stopReason() : std::string();
        if (reason.empty()) return false;
        m_result.bInterrupted = true;
        m_result.strStopReason = reason;
        return true;
    }
    // Calls one operation between stop checks; true when the job goes on.
    template <typename Call>
    bool Step(const char* operation, Call call, CRyError* outcome = nullptr);
    void CompareShare(ShareResult& share);
    void ListShare(ShareResult& share);
    // The folder the agent reads the share from: its snapshot, or the
    // share itself when the plug-in mapped it to none.
    std::string ReadRoot(const std::string& share) const;
    // The size of a created or modified regular file where the agent reads it.
    uint64_t SizeRead(const std::string& share, const FileServerSnapshotCompareItem& item) const;
    std::string LoggedFailure(const std::string& share) const {
        return m_spec.loggedFailure ? m_spec.loggedFailure(share) : std::string();
    }
    // Why a kept share is read live, or empty when it is read through its
    // snapshot.
    std::string ReadLiveReason(const std::string& share) const;
    void Report(ShareResult share) {
        m_observer.OnShareDone(share);
        m_result.shares.push_back(std::move(share));
    }

    CFileServerSnapClientBase& m_client;
    const JobSpec& m_spec;
    JobObserver& m_observer;
    JobResult& m_result;
    std::map<std::string, std::string> m_configureFailures;  // by share, as logged
};

std::string JobDriver::ReadLiveReason(const std::string& share) const {
    const auto read = m_result.readPaths.find(BareShare(share) + "/");
    if (read == m_result.readPaths.end() ||
        (read->second + "/").find("/.snapshot/") != std::string::npos)
        return std::string();
    const auto logged = m_configureFailures.find(share);
    const std::string why = logged == m_configureFailures.end() ? std::string() : logged->second;
    if (why.empty()) return "the plug-in reads " + read->second;
    // The plug-in's failure line of a refused creation, said as what failed
    // and what to do.
    static const std::regex kCreation(
        "Could not create snapshot:\\[(.*)\\] on path:\\[(.*)\\] Backup path:\\[.*\\]\\. "
        "Error code:\\[(-?[0-9]+)\\] Error Message:\\[(.*)\\]\\.");
    std::smatch created;
    if (std::regex_match(why, created, kCreation))
        return "the array could not make snapshot " + created[1].str() + " of " + created[2].str() +
               ": " + created[4].str() + " (array error " + created[3].str() +
               "); mend what the array reports (snapagent check tests the array) before the "
               "next job";
    return why.find(".snapshot path is not accessible") != std::string::npos
               ? "no .snapshot below this share: " + why
               : why;
}

std::string JobDriver::ReadRoot(const std::string& share) const {
    const auto read = m_result.readPaths.find(BareShare(share) + "/");
    return read == m_result.readPaths.end() ? BareShare(share) : read->second;
}

uint64_t JobDriver::SizeRead(const std::string& share,
                             const FileServerSnapshotCompareItem& item) const {
    const std::string bare = BareShare(share);
    struct stat st;
    if ((item.uiStatus != kItemCreated && item.uiStatus != kItemModified) ||
        item.strPath.compare(0, bare.size(), bare) != 0 ||
        lstat((BareShare(ReadRoot(share)) + item.strPath.substr(bare.size())).c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode))
        return 0;
    return static_cast<uint64_t>(st.st_size);
}

void JobDriver::ListShare(ShareResult& share) {
    m_observer.OnShareStart(share.strShare);
    std::string error;
    const bool walked = WalkShare(
        ReadRoot(share.strShare), BareShare(share.strShare),
        [&](const FileServerSnapshotCompareItem& item, uint64_t size) {
            if (Stopping()) return false;
            ++share.nItems;
            share.ullBytes += size;
            m_observer.OnItem(share.strShare, item);
            return true;
        },
        error);
    if (m_result.bInterrupted) return;
    if (walked) {
        share.bBytesKnown = true;
        return;
    }
    // What the agent read of it is no whole backup.
    share.bFull = share.bReadLive = false;
    share.strFullScanReason = "the walk of the share failed after " +
                              Counted(share.nItems, "item", "items") + ": " + error;
}

template <typename Call>
bool JobDriver::Step(const char* operation, Call call, CRyError* outcome) {
    if (Stopping()) return false;
    m_result.strStoppedIn = operation;
    m_observer.OnCalling(operation);
    const CRyError err = call();
    m_observer.OnStep(operation, err);
    if (outcome) {
        // The caller decides what a failure means.
        *outcome = err;
        return true;
    }
    if (!err.IsError()) return true;
    m_result.strFailedStep = operation;
    m_result.strError = OneLine(err.AsString());
    m_result.failure = err;
    return false;
}

void JobDriver::CompareShare(ShareResult& share) {
    std::function<FileServerSnapshotCompareItem()> source;
    CRyError err;
    if (!Step(
            "CompareSnapshots",
            [&] { return m_client.CompareSnapshots(share.strShare, std::string(), source); }, &err))
        return;
    if (err.IsError()) {
        const std::string logged = LoggedFailure(share.strShare);
        share.strFullScanReason = (logged.empty() ? "" : logged + ": ") + ErrorLine(err, false);
        return;
    }
    if (!source) {
        share.strFullScanReason = "CompareSnapshots succeeded without binding an item source";
        return;
    }
    for (;;) {
        if (Stopping()) return;
        FileServerSnapshotCompareItem item = source();
        if (item.uiStatus == kItemNoMore || item.uiStatus == kItemFailure)
            m_observer.OnListEnd(share.strShare, item);
        if (item.uiStatus == kItemNoMore) break;
        if (item.uiStatus == kItemFailure) {
            // The list is incomplete: only a walk of the share is safe now.
            share.strFullScanReason = "the change list failed after " +
                                      std::to_string(share.nItems) + " items (status 6)";
            share.items.clear();
            return;
        }
        ++share.nItems;
        share.ullBytes += SizeRead(share.strShare, item);
        m_observer.OnItem(share.strShare, item);
        if (m_spec.bKeepItems) share.items.push_back(item);
    }
    share.bCompared = true;
    share.bBytesKnown = true;
}

void JobDriver::Run() {
    const JobSpec& plan = m_spec;
    // An auto-mount agent owns a content mapper for the job; the others
    // pass none at Initialize and get a fresh one for the read paths.
    boost::shared_ptr<CContentMapper> mapper = boost::make_shared<CContentMapper>();
    const ContentMapperAPIPtr initMapper =
        plan.bAutoMount ? ContentMapperAPIPtr(mapper) : ContentMapperAPIPtr();
    if (!Step("Initialize", [&] {
            return m_client.Initialize(plan.llJobId, plan.ulClientId, plan.ulAppId1, plan.ulAppId2,
                                       plan.strResultsDir, std::string(),
                                       SnapMapFileOf(plan.strResultsDir), plan.llPrevJobId, 0, 0, 0,
                                       initMapper);
        }))
        return;

    CRyError support;
    if (!Step(
            "VerifySnapScanSupport", [&] { return m_client.VerifySnapScanSupport(); }, &support))
        return;

    std::list<std::string> shares = plan.shares;
    if (!Step("ConfigureSnapshot", [&] {
            return m_client.ConfigureSnapshot(shares, std::list<std::string>(),
                                              std::list<std::string>());
        }))
        return;
    m_result.keptShares = shares;
    for (const std::string& share : shares) m_configureFailures[share] = LoggedFailure(share);
    m_observer.OnSharesKept(shares);
    ReportDropped("not kept by ConfigureSnapshot", true, false);

    ContentMapperAPIPtr mapperApi = mapper;
    if (!Step("UpdateContentMapperPaths",
              [&] { return m_client.UpdateContentMapperPaths(mapperApi); }))
        return;
    // The client may have put another content mapper in the agent's pointer.
    boost::shared_ptr<CContentMapper> updated =
        boost::dynamic_pointer_cast<CContentMapper>(mapperApi);
    if (updated) m_result.readPaths = updated->GetPathMap();
    m_observer.OnReadPaths(m_result.readPaths);

    if (!plan.failedMounts.empty() && !Step("DeleteAutoMountFailedSnapshots", [&] {
            return m_client.DeleteAutoMountFailedSnapshots(plan.failedMounts);
        }))
        return;

    if (const hostlib::Status listed = m_observer.OnSnapshotsTaken(m_result); !listed.ok()) {
        m_result.strFailedStep = "listing the shares";
        m_result.strError = listed.message();
        return;
    }

    for (const std::string& path : shares) {
        if (Stopping()) return;
        ShareResult share;
        share.strShare = path;
        const auto chosen = plan.fullShares.find(BareShare(path));
        if (plan.llPrevJobId == 0 || chosen != plan.fullShares.end()) {
            share.bFull = true;
            share.strFullScanReason = plan.llPrevJobId == 0 ? kFullJobReason : chosen->second;
        } else if (support.IsError()) {
            share.strFullScanReason = ErrorLine(support, false);
        } else {
            m_observer.OnShareStart(path);
            CompareShare(share);
            if (m_result.bInterrupted) return;
        }
        const std::string live = share.bCompared ? std::string() : ReadLiveReason(path);
        if (!live.empty()) {
            share.bFull = false;
            share.bReadLive = true;
            share.strFullScanReason = live;
        }
        if (plan.bListFull && (share.bFull || share.bReadLive)) {
            ListShare(share);
            if (m_result.bInterrupted) return;
        }
        Report(std::move(share));
    }

    if (plan.bCleanup && !Step("CleanupSnapshotsPostBackup", [&] {
            return m_client.CleanupSnapshotsPostBackup(plan.bAutoMount);
        }))
        return;
    if (Stopping()) return;
    m_result.bOk = true;
}

void JobDriver::ReportDropped(const std::string& reason, bool logged, bool keptToo) {
    std::set<std::string> known;
    for (const ShareResult& done : m_result.shares) known.insert(BareShare(done.strShare));
    // A kept share under the name the plug-in kept, before the name given.
    std::list<std::string> shares = m_result.keptShares;
    if (!keptToo) {
        for (const std::string& kept : shares) known.insert(BareShare(kept));
        shares.clear();
    }
    shares.insert(shares.end(), m_spec.shares.begin(), m_spec.shares.end());
    for (const std::string& given : shares) {
        if (!known.insert(BareShare(given)).second) continue;
        ShareResult share;
        share.strShare = given;
        share.bDropped = true;
        if (logged) share.strFullScanReason = LoggedFailure(given);
        if (share.strFullScanReason.empty()) share.strFullScanReason = reason;
        Report(std::move(share));
    }
}

}  // namespace

std::string BareShare(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string SnapMapFileOf(const std::string& resultsDir) {
    return resultsDir + "/" + kSnapMapFileName;
}

void RunJob(const PluginLoader& plugin, const JobSpec& plan, JobObserver& observer,
            JobResult& result) {
    result = JobResult();
    ClientPtr client;
    if (const hostlib::Status made = plugin.NewClient(client); !made.ok()) {
        result.strFailedStep = "GetSnapClient";
        result.strError = made.message();
        return;
    }
    JobDriver driver(*client, plan, observer, result);
    driver.Run();
    if (result.bInterrupted)
        driver.ReportDropped(result.strStopReason, false, true);
    else if (!result.bOk)
        driver.ReportDropped("the job failed at " + result.strFailedStep, true, true);
}

}  // namespace snapagent
