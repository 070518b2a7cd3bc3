// Snapshot retention: after the job's snapshots exist, every older snapshot
// of this client and application is deleted from the volumes of the job's
// shares, except the previous job's, which the incremental scan compares
// against. Each share records whether that previous snapshot is there.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXErrorUtil.h"
#include "snapclient/ClientErrors.h"
#include "snapclient/ClientLog.h"
#include "snapclient/snapshots/CleanupRule.h"

CRyError CNetAppSnapClient::ManageSnapshots() try {
    SC_OPERATION();
    SC_TRACE_FUNCTION();
    if (!m_pManageOntap) return NoArray(SC_LOCATION, "ManageOntap is not initialized!");

    std::string currSnapName;
    std::string prevSnapName;
    GetSnapshotName(m_llJobId, currSnapName);
    GetSnapshotName(m_llPrevJobId, prevSnapName);

    int value = 0;
    const bool deletePrevious = RegistrySettingOn(kDisableSnapDiffKey, value);
    if (deletePrevious)
        SC_LOG(1,
               "Additional setting[%s] present, deleting previous job's snapshots [%s] if exist.",
               kDisableSnapDiffKey, prevSnapName.c_str());

    const std::string noPrevious;
    const CleanupRule rule{
        m_strSnapNamePrefix,
        m_llJobId,
        currSnapName,
        true,
        deletePrevious ? noPrevious : prevSnapName,
        !deletePrevious,
        "Snapshot [%s] of volume/volume path [%s] belongs to a later job, kept."};
    VolumeSnapshots toDelete;
    for (FileServerExportInfo& share : m_lstExportInfo) {
        share.strPrevSnapName.clear();
        share.llPrevSnapInfo = 0;
        share.bSnapDiffEnabled = false;

        const std::string key = m_pManageOntap->IsCluster() ? share.strVolumePath : share.strVolume;
        std::vector<SnapShotInfo_t> snapshots;
        if (!m_pManageOntap->GetSnapShotList(snapshots, key, 0, m_strSnapNamePrefix))
            SC_LOG_ALWAYS(-1,
                          "Could not get snapshot list from file server for volume[%s], continue",
                          key.c_str());
        bool previousListed = false;
        std::set<std::string> names = rule.Deletable(snapshots, key, previousListed);
        if (previousListed) {
            share.strPrevSnapName = prevSnapName;
            if (!share.strCurrSnapName.empty()) share.bSnapDiffEnabled = true;
        }
        // The first share of a volume decides what goes; later shares of the
        // same volume only record their own fields.
        toDelete.emplace(key, std::move(names));
    }
    CleanupSnapshotByVolume(toDelete);
    return CRyError::Success();
} catch (...) {
    return SC_CAUGHT();
}

CRyError CNetAppSnapClient::CleanupSnapshot(const std::set<std::string>&) {
    SC_OPERATION();
    // Snapshots of this client are deleted per volume by retention and the
    // post-backup cleanup; a flat list of names carries no volume to act on.
    return CRyError::Success();
}

CRyError CNetAppSnapClient::CleanupSnapshotByVolume(const VolumeSnapshots& volumes) {
    if (!m_pManageOntap) return NoArray(SC_LOCATION, "ManageOntap is not initialized!");
    for (const auto& volume : volumes) {
        for (const std::string& name : volume.second) {
            SC_LOG(3, "Deleting snapshot [%s] of volume/volume path [%s]", name.c_str(),
                   volume.first.c_str());
            // A snapshot that cannot be deleted now is listed again, and
            // deleted, by the next retention or cleanup run.
            if (m_pManageOntap->DeleteOntapSnap(volume.first, name, nullptr))
                SC_LOG(0, "Deleted snapshot [%s] of volume [%s].", name.c_str(),
                       volume.first.c_str());
        }
    }
    return CRyError::Success();
}
