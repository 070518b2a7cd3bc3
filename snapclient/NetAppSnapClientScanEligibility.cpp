// Which shares one SnapDiff run may serve. SnapDiff compares two snapshots
// of a whole volume, so one run serves every SnapDiff share of the volume as
// long as no two of them overlap: a change inside two shares could not be
// given to both. A share nested in another SnapDiff share of its volume is
// refused and the agent scans it the ordinary way.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXPath.h"
#include "host/JobInfo.h"
#include "snapclient/ClientLog.h"

bool CNetAppSnapClient::IsPathEligibleForSnapDiffScan(const FileServerExportInfo& share) {
    SC_OPERATION();
    if (share.strPrevSnapName.empty() || share.strCurrSnapName.empty()) {
        SC_LOG_ALWAYS(-1,
                      "Current snapshot[%s] or prev snapshot[%s] is not valid for path[%s], can "
                      "not process path using SnapDiff scan",
                      share.strCurrSnapName.c_str(), share.strPrevSnapName.c_str(),
                      share.strBackupPath.c_str());
        return false;
    }
    if (!share.bSnapDiffEnabled) {
        SC_LOG_ALWAYS(-1, "Path[%s] is not enabled for SnapDiff scan", share.strBackupPath.c_str());
        return false;
    }
    for (const FileServerExportInfo& other : m_lstExportInfo) {
        if (!other.bSnapDiffEnabled || other.strVolume != share.strVolume ||
            other.strBackupPath == share.strBackupPath)
            continue;
        if (!FXPath::IsDescendantOf(share.strVolumePath, other.strVolumePath, true)) continue;
        SC_LOG_ALWAYS(-1,
                      "Path[%s] VolumePath[%s] overlaps with path[%s] VolumePath[%s], can not "
                      "process path[%s] using SnapDiff scan",
                      share.strBackupPath.c_str(), share.strVolumePath.c_str(),
                      other.strBackupPath.c_str(), other.strVolumePath.c_str(),
                      share.strBackupPath.c_str());
        return false;
    }
    return true;
}

void CNetAppSnapClient::GetCommonVolumeShares(const FileServerExportInfo& share,
                                              std::list<FileServerExportInfo>& common) {
    SC_OPERATION();
    std::list<FileServerExportInfo> candidates(1, share);
    for (const FileServerExportInfo& other : m_lstExportInfo) {
        if (other.strVolume == share.strVolume && other.bSnapDiffEnabled &&
            !FXPath::IsDescendantOf(other.strVolumePath, share.strVolumePath, true))
            candidates.push_back(other);
    }
    for (const FileServerExportInfo& candidate : candidates) {
        bool nested = false;
        for (const FileServerExportInfo& outer : candidates) {
            if (outer.strBackupPath != candidate.strBackupPath &&
                FXPath::IsDescendantOf(candidate.strVolumePath, outer.strVolumePath, true)) {
                nested = true;
                break;
            }
        }
        if (nested) continue;
        common.push_back(candidate);
        SC_LOG(0, "Found common volume backup path[%s] for SnapDiff scan processing",
               candidate.strBackupPath.c_str());
    }
}

void CNetAppSnapClient::MarkSnapDiffCompletedShares(const std::list<FileServerExportInfo>& shares) {
    for (const FileServerExportInfo& done : shares) {
        for (FileServerExportInfo& entry : m_lstExportInfo) {
            if (entry.strBackupPath == done.strBackupPath) {
                entry.bSnapDiffDone = true;
                break;
            }
        }
    }
}

void CNetAppSnapClient::GetSnapDiffItemsPerIteration(int& maxItems) {
    SC_OPERATION();
    // Larger batches are only safe from ONTAP 9.2 on; only a cluster reports
    // a version we can trust for that.
    bool ontap92OrLater = false;
    if (m_pManageOntap && m_pManageOntap->IsCluster()) {
        unsigned major = 0, minor = 0, third = 0;
        if (m_pManageOntap->GetFileServerVersion(major, minor, third, false))
            ontap92OrLater = major > 9 || (major == 9 && minor > 1);
    }
    CJobInfoIndexNasFs jobInfo;
    CRyError err = jobInfo.DetermineSnapDiffMax(ontap92OrLater, VKAPP_NAS_FILESYSTEM,
                                                static_cast<uint64_t>(m_ulAppId1),
                                                static_cast<uint64_t>(m_ulAppId2), maxItems);
    if (err.IsError()) {
        SC_LOG(0, "Could not determine SnapDiffMax value, use default value [%d], error=%s",
               maxItems, err.AsString().c_str());
        return;
    }
    SC_LOG(3, "Determined maximum number of diffs in each SnapDiff response is [%d]", maxItems);
}
