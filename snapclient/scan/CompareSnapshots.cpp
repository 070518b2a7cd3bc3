// CompareSnapshots: the agent asks for one share's changes between the
// previous and the current job's snapshot. The first share of a volume
// starts one SnapDiff run for the whole volume; its changes are decoded,
// placed under the backup paths of every share the run serves and stored,
// one batch at a time, in the volume's change event database. Later shares
// of the volume are served from that database without a second run.
//
// A run that fails after SnapDiff started, by an error or an exception,
// ends its SnapDiff session (VolumeRun): sessions are a limited resource of
// the array and a later job would otherwise find none. A run that sees too
// many empty batches in a row fails rather than pretending the array sent
// everything, so that the agent falls back to a full scan instead of
// missing changes.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXErrorUtil.h"
#include "host/FXPath.h"
#include "snapclient/ClientErrors.h"
#include "snapclient/ClientLog.h"
#include "snapclient/scan/VolumeRun.h"
#include "snapclient/shares/ShareMatcher.h"

namespace {

const int kDefaultItemsPerBatch = 256;
const char kUnmatchableVolumePath[] =
    "Share [%s] has volume path [%s], which SnapDiff results cannot be matched to";

}  // namespace

CRyError CNetAppSnapClient::CompareSnapshots(
    std::string path, std::string, std::function<FileServerSnapshotCompareItem()>& source) try {
    SC_OPERATION();
    SC_TRACE_FUNCTION();
    if (!m_pManageOntap)
        return NoArray(SC_LOCATION, "ManageOntap not initialized. Snapshot comparison failed.");
    std::string lookupPath = path;
    FXPath::RemoveTrailingDelimiter(lookupPath);

    bool compared = false;
    for (FileServerExportInfo& share : m_lstExportInfo) {
        if (share.strBackupPath != lookupPath) continue;
        if (!HasMatchableVolumePath(share)) {
            // No change could be placed under this share: an empty list
            // would tell the agent that nothing changed.
            SC_LOG_ALWAYS(-1, kUnmatchableVolumePath, share.strBackupPath.c_str(),
                          share.strVolumePath.c_str());
            return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_FUNCTION_FAILED,
                                           kUnmatchableVolumePath, share.strBackupPath.c_str(),
                                           share.strVolumePath.c_str());
        }
        if (share.bSnapDiffDone) {
            CRyError err = ServeGatheredShare(share, path, source);
            if (err.IsError()) return err.Push(SC_LOCATION);
            return err;
        }
        if (!IsPathEligibleForSnapDiffScan(share)) {
            // No longer a SnapDiff share, so it stops blocking the others.
            share.bSnapDiffEnabled = false;
            break;
        }
        CRyError err = CompareShareVolume(share, source);
        if (err.IsError()) return err.Push(SC_LOCATION);
        compared = true;
    }
    if (compared) return CRyError::Success();
    return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_FUNCTION_FAILED,
                                   "Could not compare snapshots for path [%s]", lookupPath.c_str());
} catch (...) {
    return SC_CAUGHT();
}

CRyError CNetAppSnapClient::ServeGatheredShare(
    const FileServerExportInfo& share, const std::string& path,
    std::function<FileServerSnapshotCompareItem()>& source) {
    if (const CRyError* undeliverable = m_verdicts.Undeliverable(share.strBackupPath))
        return *undeliverable;
    auto found = m_mapEventDBs.find(share.strVolume);
    if (found == m_mapEventDBs.end())
        return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_FUNCTION_FAILED,
                                       "Could not find EventDB for path [%s]", path.c_str());
    m_pEventDB = found->second;
    CRyError err = BindShareEvents(share, source);
    if (err.IsError()) return err;
    SC_LOG(3,
           "[%s] share events has been processed already, as part of the volume [%s]. Returning "
           "existing file events db.",
           path.c_str(), share.strVolume.c_str());
    return CRyError::Success();
}

CRyError CNetAppSnapClient::BindShareEvents(
    const FileServerExportInfo& share, std::function<FileServerSnapshotCompareItem()>& source) {
    // The share's read also takes the events whose old path lies in it while
    // their path does not: a file that left for another share of the volume
    // must still be reported gone from this one.
    CRyError err = PrepareShareRead(share);
    if (err.IsError())
        return err.Push(SC_LOCATION, "Unable to prepare select query for the event database");
    source = std::bind(&CNetAppSnapClient::GetSnapshotCompareItem, this);
    return CRyError::Success();
}

CRyError CNetAppSnapClient::CompareShareVolume(
    FileServerExportInfo& share, std::function<FileServerSnapshotCompareItem()>& source) {
    if (!m_pManageOntap->OpenConnection())
        return ArrayUnreachable(SC_LOCATION, m_stArrayInfo.strArrayName);

    VolumeRun run(*this, *m_pManageOntap, share, m_verdicts, m_pRunMatcher);
    GetCommonVolumeShares(share, run.Shares());
    run.ServeShares();
    SC_LOG(0, "Compare snapshots Current:[%s] Prev:[%s] on volume[%s] for path[%s]",
           share.strCurrSnapName.c_str(), share.strPrevSnapName.c_str(), share.strVolume.c_str(),
           share.strBackupPath.c_str());

    int maxItems = kDefaultItemsPerBatch;
    GetSnapDiffItemsPerIteration(maxItems);
    if (!run.Start(maxItems)) {
        const unsigned code = m_pManageOntap->GetLastError();
        std::string message;
        m_pManageOntap->GetLastError(message);
        return FXErrorUtil::ErrorWin32(
            SC_LOCATION, ERROR_FUNCTION_FAILED,
            "Unable to start SnapDiff between snapshots [BASE][%s] and [INCR][%s] on volume[%s] "
            "Error[%d:%s]",
            share.strPrevSnapName.c_str(), share.strCurrSnapName.c_str(),
            share.strVolumePath.c_str(), static_cast<int>(code), message.c_str());
    }

    CRyError err = CreateEventDB(share.strPrevSnapName, share.strCurrSnapName, share.strVolume);
    if (err.IsSuccess()) err = PrepareVolumeShares(run.Shares());
    if (err.IsSuccess()) err = run.ReceiveChanges();
    if (err.IsError()) return err.Push(SC_LOCATION);
    // Shares marked done are served from their volume's registered database,
    // so only a run that received every change registers its database, in
    // place of an earlier one: after a failed run the agent may ask again,
    // and the shares the new run completes must not be read from the
    // partial database, nor those of an earlier complete run from a later
    // failed one.
    RegisterVolumeDatabase(share.strVolume);

    run.ReleaseBuffer();
    SC_LOG(0,
           "Total number of files received by SnapDiff[%llu], total files part of the backup "
           "paths[%llu]",
           run.Received(), run.Stored());
    // A change of this share that could not be stored fails its comparison;
    // the other shares of the run are complete whatever this one lacks.
    const CRyError* undeliverable = m_verdicts.Undeliverable(share.strBackupPath);
    const bool complete = !undeliverable;
    if (complete) {
        err = BindShareEvents(share, source);
        if (err.IsError()) return err;
    }
    share.bSnapDiffDone = true;
    MarkSnapDiffCompletedShares(run.Shares());
    return complete ? CRyError::Success() : *undeliverable;
}

bool CNetAppSnapClient::SnapDiffRemoveEscapeSequence(std::string& name, unsigned char*& buffer,
                                                     size_t& size, std::string* onePass) {
    if (DecodeSnapDiffName(name, buffer, size, onePass)) return true;
    SC_LOG_ALWAYS(-1, "Failed to allocate memory for file name translation");
    return false;
}
