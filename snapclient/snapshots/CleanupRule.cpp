#include "snapclient/snapshots/CleanupRule.h"

#include "host/ManageONTAP.h"
#include "host/VKPlatformInfo.h"
#include "snapclient/ClientLog.h"
#include "snapclient/snapshots/LastGoodSnapshot.h"

const char kDisableSnapDiffKey[] = "nDisableSnapdiffForStreamingBackups";

std::set<std::string> CleanupRule::Deletable(const std::vector<SnapShotInfo_t>& listed,
                                             const std::string& volume,
                                             bool& previousListed) const {
    previousListed = false;
    std::set<std::string> names;
    for (const SnapShotInfo_t& snapshot : listed) {
        const std::string& name = snapshot.strName;
        if (bKeepCurrent && name == strCurrent) continue;
        if (IsSnapshotOfLaterJob(name, strPrefix, llJob)) {
            SC_LOG(1, pszLaterJobLine, name.c_str(), volume.c_str());
            continue;
        }
        if (!strPrevious.empty() && name == strPrevious) {
            previousListed = true;
            continue;
        }
        names.insert(name);
    }
    const std::string lastGood = LastGoodSnapshot(listed, strPrefix, strCurrent);
    if (bKeepLastGood && names.erase(lastGood))
        SC_LOG(0,
               "Snapshot [%s] of volume [%s] is kept: the job's snapshot [%s] of it was not "
               "made.",
               lastGood.c_str(), volume.c_str(), strCurrent.c_str());
    return names;
}

void KeepSnapshotsReadByShares(std::map<std::string, std::set<std::string>>& toDelete,
                               const std::map<std::string, std::string>& volumeOfKey,
                               const std::set<std::string>& excludedVolumePaths,
                               const std::list<FileServerExportInfo>& shares) {
    for (auto& volume : toDelete) {
        const auto named = volumeOfKey.find(volume.first);
        if (named == volumeOfKey.end()) continue;
        std::set<std::string>& names = volume.second;
        for (auto name = names.begin(); name != names.end();) {
            const FileServerExportInfo* reader = nullptr;
            for (const FileServerExportInfo& share : shares) {
                if (share.strVolume == named->second && share.strCurrSnapName == *name &&
                    !share.strSnapshotPath.empty() &&
                    excludedVolumePaths.count(share.strVolumePath) == 0) {
                    reader = &share;
                    break;
                }
            }
            if (!reader) {
                ++name;
                continue;
            }
            SC_LOG(0, "Snapshot [%s] of volume [%s] is kept, backup path [%s] is read through it.",
                   name->c_str(), named->second.c_str(), reader->strBackupPath.c_str());
            name = names.erase(name);
        }
    }
}

void ListSnapshotsForCleanup(ManageONTAP& array, const std::string& volumeKey,
                             const std::string& volume, const std::string& prefix,
                             std::vector<SnapShotInfo_t>& snapshots) {
    if (!array.GetSnapShotList(snapshots, volumeKey, 0, prefix))
        SC_LOG_ALWAYS(-1,
                      "Could not get snapshot list from file server for volume[%s], snap not "
                      "deleted for the volume.",
                      volume.c_str());
}

bool RegistrySettingOn(const char* key, int& value) {
    value = 0;
    return VKPlatformInfo::getRegInt("~FileSystemAgent", key, &value) && value != 0;
}
