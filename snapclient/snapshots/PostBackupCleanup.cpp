// Post-backup cleanup: every volume that a path recorded in the snapshot map
// file leads to loses all snapshots of this client and application except
// the current job's, which the next incremental job compares against. Then
// the client gives up its array connection.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXErrorUtil.h"
#include "snapclient/ClientLog.h"
#include "snapclient/shares/ShareResolver.h"
#include "snapclient/snapshots/CleanupRule.h"
#include "snapclient/snapshots/SnapMapFile.h"

CRyError CNetAppSnapClient::CleanupSnapshotsPostBackup(bool autoMount) try {
    SC_OPERATION();
    // A second cleanup of the job, or one after a failed connect, has no
    // array to talk to.
    if (!m_pManageOntap) return NoArray(SC_LOCATION, "ManageOntap is not initialized!");

    int value = 0;
    const bool deleteCurrent = RegistrySettingOn(kDisableSnapDiffKey, value);
    if (deleteCurrent)
        SC_LOG(0,
               "Registry key[%s] set to value[%d], deleting current job's snapshot. Next "
               "incremental job will not use fast scan",
               kDisableSnapDiffKey, value);

    std::string currSnapName;
    GetSnapshotName(m_llJobId, currSnapName);
    std::set<std::string> processedVolumes;
    const FXCodeLocation here = SC_LOCATION;

    if (!deleteCurrent) {
        VolumeSnapshots currentOfUnbacked;
        for (const auto& volume : m_unbackedShares.Volumes()) {
            for (const std::string& share : volume.second.vecBackupPaths)
                SC_LOG(0,
                       "Share [%s] was not backed up; deleting snapshot [%s] of volume [%s], so "
                       "that the next job scans the volume's shares in full.",
                       share.c_str(), currSnapName.c_str(), volume.first.c_str());
            currentOfUnbacked[volume.second.strVolumeKey].insert(currSnapName);
        }
        CleanupSnapshotByVolume(currentOfUnbacked);
    }

    // A snapshot the array would not delete stays for the next job's clean-up;
    // the job's last line says so rather than calling the clean-up done.
    size_t undeleted = 0;
    ShareResolver resolver(*m_pManageOntap);
    const std::string noPrevious;
    const CleanupRule rule{m_strSnapNamePrefix,
                           m_llJobId,
                           currSnapName,
                           !deleteCurrent,
                           noPrevious,
                           !deleteCurrent,
                           "Snapshot [%s] of volume [%s] belongs to a later job, kept."};
    auto cleanVolumeOf = [&](const std::vector<std::string>& backupPaths) -> CRyError {
        std::string backupPath = backupPaths.front();
        if (backupPaths.size() > 1) {
            for (const std::string& candidate : backupPaths) {
                if (!resolver.Resolves(candidate, autoMount)) continue;
                backupPath = candidate;
                break;
            }
        }
        ShareLocation location;
        CRyError stop;
        if (!resolver.ForCleanup(backupPath, autoMount, location, stop, here)) return stop;
        if (CheckIfSnapPath(location.strVolumePath)) return CRyError::Success();
        if (processedVolumes.count(location.strVolume)) return CRyError::Success();

        const std::string volumeArgument =
            resolver.VolumeKey(location.strVolumePath, location.strVolume);
        std::vector<SnapShotInfo_t> snapshots;
        ListSnapshotsForCleanup(*m_pManageOntap, volumeArgument, location.strVolume,
                                m_strSnapNamePrefix, snapshots);
        processedVolumes.insert(location.strVolume);

        bool previousListed = false;
        const std::set<std::string> names =
            rule.Deletable(snapshots, location.strVolume, previousListed);
        for (const std::string& name : names) {
            if (m_pManageOntap->DeleteOntapSnap(volumeArgument, name, nullptr)) {
                SC_LOG(1, "Succesfully deleted snapshot [%s] of volume [%s].", name.c_str(),
                       location.strVolume.c_str());
                SC_LOG(0, "Deleted snapshot [%s] of volume [%s].", name.c_str(),
                       location.strVolume.c_str());
            } else {
                SC_LOG(1, "Failed to to delete snapshot [%s] of volume [%s].", name.c_str(),
                       location.strVolume.c_str());
                ++undeleted;
            }
        }
        return CRyError::Success();
    };

    bool opened = false;
    CRyError err = SnapMapFile::ForEachBackupPath(m_strJobResultsDir, cleanVolumeOf, opened);
    if (err.IsError() || undeleted == 0)
        SC_LOG(0, "Job [%lld] ends: snapshot clean-up %s.", static_cast<long long>(m_llJobId),
               err.IsError() ? "failed" : "done");
    else
        SC_LOG(0,
               "Job [%lld] ends: snapshot clean-up done but for %zu snapshot(s) the array "
               "did not delete; the next job tries them again.",
               static_cast<long long>(m_llJobId), undeleted);
    if (err.IsError()) return err;
    if (!opened) return CRyError::Success();
    m_pManageOntap.reset();
    return CRyError::Success();
} catch (...) {
    return SC_CAUGHT();
}
