// Post-backup cleanup: every volume that a path recorded in the snapshot map
// file leads to loses all snapshots of this client and application except
// the current job's, which the next incremental job compares against. Then
// the client gives up its array connection.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXErrorUtil.h"
#include "snapclient/ClientErrors.h"
#include "snapclient/ClientLog.h"
#include "snapclient/shares/ShareResolver.h"
#include "snapclient/snapshots/CleanupRule.h"
#include "snapclient/snapshots/SnapMapFile.h"

namespace {

// The clean-up of the volumes that the map file's paths lead to, each
// volume once: every snapshot the clean-up rule gives up is deleted.
struct VolumeCleanup {
    VolumeCleanup(CNetAppSnapClient& c, ManageONTAP& a, bool autoMount, const CleanupRule& r,
                  const std::string& prefix, const FXCodeLocation& at)
        : client(c), array(a), bAutoMount(autoMount), rule(r), strPrefix(prefix), where(at) {}

    CNetAppSnapClient& client;
    ManageONTAP& array;
    bool bAutoMount;
    const CleanupRule& rule;
    const std::string& strPrefix;
    FXCodeLocation where;
    ShareResolver resolver{array};
    std::set<std::string> processedVolumes;
    // A snapshot the array would not delete stays for the next job's clean-up.
    size_t undeleted = 0;

    // One record of the map file, with every backup path it may hold.
    CRyError Clean(const std::vector<std::string>& backupPaths) {
        std::string backupPath = backupPaths.front();
        if (backupPaths.size() > 1) {
            for (const std::string& candidate : backupPaths) {
                if (!resolver.Resolves(candidate, bAutoMount)) continue;
                backupPath = candidate;
                break;
            }
        }
        ShareLocation location;
        CRyError stop;
        if (!resolver.ForCleanup(backupPath, bAutoMount, location, stop, where)) return stop;
        if (client.CheckIfSnapPath(location.strVolumePath)) return CRyError::Success();
        if (processedVolumes.count(location.strVolume)) return CRyError::Success();

        const std::string volumeArgument =
            resolver.VolumeKey(location.strVolumePath, location.strVolume);
        std::vector<SnapShotInfo_t> snapshots;
        ListSnapshotsForCleanup(array, volumeArgument, location.strVolume, strPrefix, snapshots);
        processedVolumes.insert(location.strVolume);

        bool previousListed = false;
        for (const std::string& name :
             rule.Deletable(snapshots, location.strVolume, previousListed)) {
            if (array.DeleteOntapSnap(volumeArgument, name, nullptr)) {
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
    }
};

}  // namespace

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

    const std::string noPrevious;
    const CleanupRule rule{m_strSnapNamePrefix,
                           m_llJobId,
                           currSnapName,
                           !deleteCurrent,
                           noPrevious,
                           !deleteCurrent,
                           "Snapshot [%s] of volume [%s] belongs to a later job, kept."};
    VolumeCleanup cleanup(*this, *m_pManageOntap, autoMount, rule, m_strSnapNamePrefix,
                          SC_LOCATION);

    bool opened = false;
    CRyError err = SnapMapFile::ForEachBackupPath(
        m_strJobResultsDir,
        [&cleanup](const std::vector<std::string>& paths) { return cleanup.Clean(paths); }, opened);
    // The job's last line says whether a snapshot stayed rather than calling
    // the clean-up done.
    if (err.IsError() || cleanup.undeleted == 0)
        SC_LOG(0, "Job [%lld] ends: snapshot clean-up %s.", static_cast<long long>(m_llJobId),
               err.IsError() ? "failed" : "done");
    else
        SC_LOG(0,
               "Job [%lld] ends: snapshot clean-up done but for %zu snapshot(s) the array "
               "did not delete; the next job tries them again.",
               static_cast<long long>(m_llJobId), cleanup.undeleted);
    if (err.IsError()) return err;
    if (!opened) return CRyError::Success();
    m_pManageOntap.reset();
    return CRyError::Success();
} catch (...) {
    return SC_CAUGHT();
}
