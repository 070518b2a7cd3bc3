// Auto-mount failure cleanup: the agent could not mount some shares, so the
// current job's snapshot on their volumes serves no backup and goes, unless
// a share of the job that did mount still reads through it.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXErrorUtil.h"
#include "snapclient/ClientErrors.h"
#include "snapclient/ClientLog.h"
#include "snapclient/shares/ShareResolver.h"
#include "snapclient/snapshots/CleanupRule.h"

CRyError CNetAppSnapClient::DeleteAutoMountFailedSnapshots(
    const std::list<std::string>& failedShares) try {
    SC_OPERATION();
    if (!m_pManageOntap) return NoArray(SC_LOCATION, "ManageOntap not initialized");
    if (!m_bAutoMountClient) return CRyError::Success();

    std::string snapName;
    GetSnapshotName(m_llJobId, snapName);
    ShareResolver resolver(*m_pManageOntap);
    VolumeSnapshots toDelete;
    std::map<std::string, std::string> volumeOfKey;
    std::set<std::string> emptyVolumes;
    std::set<std::string> failedVolumePaths;
    std::vector<std::pair<std::string, std::string>> failedKeys;  // volume key, failed share

    for (const std::string& failedShare : failedShares) {
        ShareLocation location;
        location.strExportPath = ShareResolver::ExportPathOfMountFormat(failedShare);
        SC_LOG(0, "Auto-mount client: Deleting snapshot [%s] of failed share [%s]",
               snapName.c_str(), failedShare.c_str());
        if (!resolver.LocateVolume(location)) {
            SC_LOG(-1,
                   "Couldn't find path information for [%s] on the server. Skipping snapshot "
                   "cleanup for backup path [%s].",
                   location.strExportPath.c_str(), failedShare.c_str());
            continue;
        }
        failedVolumePaths.insert(location.strVolumePath);
        if (emptyVolumes.count(location.strVolume)) continue;

        const std::string key = resolver.VolumeKey(location.strVolumePath, location.strVolume);
        failedKeys.emplace_back(key, failedShare);
        std::vector<SnapShotInfo_t> snapshots;
        ListSnapshotsForCleanup(*m_pManageOntap, key, location.strVolume, m_strSnapNamePrefix,
                                snapshots);
        if (snapshots.empty()) {
            emptyVolumes.insert(location.strVolume);
            continue;
        }
        std::set<std::string> names;
        for (const SnapShotInfo_t& snapshot : snapshots)
            if (snapshot.strName == snapName) names.insert(snapshot.strName);
        if (toDelete.emplace(key, names).second) volumeOfKey[key] = location.strVolume;
    }

    const VolumeSnapshots asked = toDelete;
    KeepSnapshotsReadByShares(toDelete, volumeOfKey, failedVolumePaths, m_lstExportInfo);
    CleanupSnapshotByVolume(toDelete);
    // A kept snapshot serves the shares that did mount; the post-backup
    // cleanup removes it afterwards, or the next job would compare the
    // failed shares from it and miss their changes made before this job.
    for (const auto& failed : failedKeys) {
        const auto before = asked.find(failed.first);
        const auto after = toDelete.find(failed.first);
        if (before != asked.end() && before->second.count(snapName) && after != toDelete.end() &&
            !after->second.count(snapName))
            m_unbackedShares.Remember(failed.first, volumeOfKey[failed.first], failed.second);
    }
    return CRyError::Success();
} catch (...) {
    return SC_CAUGHT();
}
