#include "tools/JobRunner.h"

#include "host/ContentMapper.h"
#include "tools/ItemText.h"

#include <boost/make_shared.hpp>
#include <functional>

namespace snapagent {

const char kFullJobReason[] = "full job";

namespace {

const char kSnapMapFileName[] = "nativeSnapMapInfo.vkf";

// Records a failed step; true when the step succeeded.
bool Check(JobObserver& observer, JobResult& result, const char* operation, const CRyError& err) {
    observer.OnStep(operation, err);
    if (!err.IsError()) return true;
    result.strFailedStep = operation;
    result.strError = OneLine(err.AsString());
    return false;
}

void CompareShare(CFileServerSnapClientBase& client, const JobSpec& spec, JobObserver& observer,
                  ShareResult& share) {
    std::function<FileServerSnapshotCompareItem()> source;
    CRyError err = client.CompareSnapshots(share.strShare, std::string(), source);
    observer.OnStep("CompareSnapshots", err);
    if (err.IsError()) {
        share.strFullScanReason = OneLine(err.AsString());
        return;
    }
    if (!source) {
        share.strFullScanReason = "CompareSnapshots succeeded without binding an item source";
        return;
    }
    for (;;) {
        FileServerSnapshotCompareItem item = source();
        if (item.uiStatus == kItemNoMore) break;
        if (item.uiStatus == kItemFailure) {
            // The list is incomplete: only a walk of the share is safe now.
            share.strFullScanReason = "the change list failed after " +
                                      std::to_string(share.nItems) + " items (status 6)";
            share.items.clear();
            return;
        }
        ++share.nItems;
        observer.OnItem(share.strShare, item);
        if (spec.bKeepItems) share.items.push_back(item);
    }
    share.bCompared = true;
}

}  // namespace

std::string SnapMapFileOf(const std::string& resultsDir) {
    return resultsDir + "/" + kSnapMapFileName;
}

void RunJob(const PluginLoader& plugin, const JobSpec& spec, JobObserver& observer,
            JobResult& result) {
    result = JobResult();
    std::string error;
    ClientPtr client = plugin.NewClient(error);
    if (!client) {
        result.strFailedStep = "GetSnapClient";
        result.strError = error;
        return;
    }

    // A non-auto-mount agent: no content mapper at Initialize, shares are
    // found in the proxy's mount table.
    const ContentMapperAPIPtr noMapper;
    if (!Check(observer, result, "Initialize",
               client->Initialize(spec.llJobId, spec.ulClientId, spec.ulAppId1, spec.ulAppId2,
                                  spec.strResultsDir, std::string(),
                                  SnapMapFileOf(spec.strResultsDir), spec.llPrevJobId, 0, 0, 0,
                                  noMapper)))
        return;

    CRyError support = client->VerifySnapScanSupport();
    observer.OnStep("VerifySnapScanSupport", support);

    std::list<std::string> shares = spec.shares;
    if (!Check(observer, result, "ConfigureSnapshot",
               client->ConfigureSnapshot(shares, std::list<std::string>(),
                                         std::list<std::string>())))
        return;
    result.keptShares = shares;

    boost::shared_ptr<CContentMapper> mapper = boost::make_shared<CContentMapper>();
    ContentMapperAPIPtr mapperApi = mapper;
    if (!Check(observer, result, "UpdateContentMapperPaths",
               client->UpdateContentMapperPaths(mapperApi)))
        return;
    result.readPaths = mapper->GetPathMap();

    if (!observer.OnSnapshotsTaken(result, error)) {
        result.strFailedStep = "listing the shares";
        result.strError = error;
        return;
    }

    for (const std::string& path : shares) {
        ShareResult share;
        share.strShare = path;
        if (spec.llPrevJobId == 0) {
            share.strFullScanReason = kFullJobReason;
        } else if (support.IsError()) {
            share.strFullScanReason = OneLine(support.AsString());
        } else {
            CompareShare(*client, spec, observer, share);
        }
        observer.OnShareDone(share);
        result.shares.push_back(std::move(share));
    }

    if (!Check(observer, result, "CleanupSnapshotsPostBackup",
               client->CleanupSnapshotsPostBackup(false)))
        return;
    result.bOk = true;
}

}  // namespace snapagent
