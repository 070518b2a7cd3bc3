// Post-backup cleanup: every volume that a path recorded in the snapshot map
// file leads to loses all snapshots of this client and application except
// the current job's, which the next incremental job compares against. Then
// the client gives up its array connection.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXErrorUtil.h"
#include "snapclient/ClientLog.h"
#include "snapclient/snapshots/LastGoodSnapshot.h"

namespace {
const char kDisableSnapDiffKey[] = "nDisableSnapdiffForStreamingBackups";
}

bool CNetAppSnapClient::ResolvesForCleanup(const std::string& backupPath, bool autoMount) {
    ShareLocation location;
    if (autoMount) {
        if (!FindAutoMountExport(backupPath, location)) return false;
    } else {
        std::list<VkMntTab::Entry> mounts;
        if (VkMntTab::getAll(mounts).IsError() || !FindMountedExport(mounts, backupPath, location))
            return false;
    }
    return LocateVolume(location);
}

void CNetAppSnapClient::RememberUnbackedShare(const std::string& volumeKey,
                                              const std::string& volume,
                                              const std::string& backupPath) {
    UnbackedShares& unbacked = m_mapUnbackedShareVolumes[volume];
    if (unbacked.vecBackupPaths.empty()) unbacked.strVolumeKey = volumeKey;
    unbacked.vecBackupPaths.push_back(backupPath);
}

bool CNetAppSnapClient::ResolveBackupPathForCleanup(const std::string& backupPath, bool autoMount,
                                                    ShareLocation& location, CRyError& stop,
                                                    const FXCodeLocation& where) {
    if (autoMount) {
        if (!FindAutoMountExport(backupPath, location)) {
            SC_LOG_ALWAYS(-1, "Couldn't get export path [%s], for snapshot cleanup",
                          backupPath.c_str());
            return false;
        }
        SC_LOG(0,
               "Snap Clean-up: Auto-mount client: strInterface[%s] strMountFormat[%s] "
               "strExportPath[%s]",
               location.strInterface.c_str(), location.strMountFormat.c_str(),
               location.strExportPath.c_str());
    } else {
        // Mounts may come and go while a long backup runs: read the table
        // again for every path.
        std::list<VkMntTab::Entry> mounts;
        stop = VkMntTab::getAll(mounts);
        if (stop.IsError()) {
            stop.Push(where);
            return false;
        }
        const bool mounted = FindMountedExport(mounts, backupPath, location);
        SC_LOG(0,
               "Snap Clean-up: Non auto-mount client: strInterface[%s] strMountFormat[%s] "
               "strExportPath[%s]",
               location.strInterface.c_str(), location.strMountFormat.c_str(),
               location.strExportPath.c_str());
        if (!mounted) {
            stop = FXErrorUtil::ErrorWin32(where, ERROR_FUNCTION_FAILED,
                                           "Scan Content [%s] is not mounted", backupPath.c_str());
            return false;
        }
    }
    if (!LocateVolume(location)) {
        SC_LOG(-1,
               "Couldn't find path information for [%s] on the server. Skipping snapshot cleanup "
               "for backup path [%s].",
               location.strExportPath.c_str(), backupPath.c_str());
        return false;
    }
    return true;
}

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
        for (const auto& volume : m_mapUnbackedShareVolumes) {
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
    auto cleanVolumeOf = [&](const std::vector<std::string>& backupPaths) -> CRyError {
        std::string backupPath = backupPaths.front();
        if (backupPaths.size() > 1) {
            for (const std::string& candidate : backupPaths) {
                if (!ResolvesForCleanup(candidate, autoMount)) continue;
                backupPath = candidate;
                break;
            }
        }
        ShareLocation location;
        CRyError stop;
        if (!ResolveBackupPathForCleanup(backupPath, autoMount, location, stop, here)) return stop;
        if (CheckIfSnapPath(location.strVolumePath)) return CRyError::Success();
        if (processedVolumes.count(location.strVolume)) return CRyError::Success();

        const std::string volumeArgument = VolumeKey(location.strVolumePath, location.strVolume);
        std::vector<SnapShotInfo_t> snapshots;
        ListClientSnapshotsForCleanup(volumeArgument, location.strVolume, snapshots);
        processedVolumes.insert(location.strVolume);

        std::set<std::string> names;
        for (const SnapShotInfo_t& snapshot : snapshots) {
            if (!IsSnapshotOfLaterJob(snapshot.strName)) {
                names.insert(snapshot.strName);
                continue;
            }
            SC_LOG(1, "Snapshot [%s] of volume [%s] belongs to a later job, kept.",
                   snapshot.strName.c_str(), location.strVolume.c_str());
        }
        if (!deleteCurrent) names.erase(currSnapName);
        const std::string lastGood = LastGoodSnapshot(snapshots, m_strSnapNamePrefix, currSnapName);
        if (!deleteCurrent && names.erase(lastGood))
            SC_LOG(0,
                   "Snapshot [%s] of volume [%s] is kept: the job's snapshot [%s] of it was "
                   "not made.",
                   lastGood.c_str(), location.strVolume.c_str(), currSnapName.c_str());
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
    CRyError err = ForEachSnapMapBackupPath(cleanVolumeOf, opened);
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
