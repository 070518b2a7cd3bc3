// Snapshot creation: one snapshot of the current job per volume that holds a
// share, a check that each share can be read through its .snapshot
// directory, and the answer to the agent: which shares to back up and
// through which path. A share whose snapshot cannot be made or read is read
// live, or dropped when the host insists on snapshot-only backups.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXErrorUtil.h"
#include "host/FXPath.h"
#include "host/SendEvent.h"
#include "snapclient/ClientErrors.h"
#include "snapclient/ClientLog.h"
#include "snapclient/shares/ShareResolver.h"
#include "snapclient/snapshots/CleanupRule.h"
#include "snapclient/snapshots/SnapshotCreation.h"

namespace {
const char kSnapshotOnlyKey[] = "bBackupFromSnapshotOnly";
const uint32_t kSnapshotExistsCode = 104;
const uint32_t kEventSnapshotCreationFailed = 0x11000093;
const uint32_t kEventSnapshotPathInaccessible = 0x110000A5;
const uint32_t kEventNoShareProcessed = 0x11000086;
const int kEventSeverity = 6;

CRyError EventError(const FXCodeLocation& where, uint32_t eventId,
                    const std::vector<std::string>& arguments) {
    CRyError event = FXErrorUtil::ErrorEventMessage(where, eventId);
    for (const std::string& argument : arguments) event.AddArgument(argument);
    return event;
}

void SendJobEvent(const CRyError& event) {
    ISendEventInterface::GetInstance()->SendEvent(event, kEventSeverity, 0);
}
}  // namespace

CRyError CNetAppSnapClient::ConfigureSnapshot(std::list<std::string>& shares,
                                              const std::list<std::string>& list2,
                                              const std::list<std::string>& list3) try {
    SC_OPERATION();
    CRyError err = CreateSnapshot(shares, list2, list3);
    if (err.IsError()) return err.Push(SC_LOCATION);
    err = ManageSnapshots();
    if (err.IsError()) return err.Push(SC_LOCATION);
    return CRyError::Success();
} catch (...) {
    return SC_CAUGHT();
}

CRyError CNetAppSnapClient::CreateSnapshot(std::list<std::string>& shares,
                                           const std::list<std::string>&,
                                           const std::list<std::string>&) {
    SC_OPERATION();
    SC_TRACE_FUNCTION();
    if (!m_pManageOntap) return NoArray(SC_LOCATION, "ManageOntap not initialized");

    SC_LOG(0, "Job [%lld] starts: [%zu] shares, previous job [%lld].",
           static_cast<long long>(m_llJobId), shares.size(), static_cast<long long>(m_llPrevJobId));
    std::list<VkMntTab::Entry> mounts;
    if (!m_bAutoMountClient) {
        CRyError err = VkMntTab::getAll(mounts);
        if (err.IsError()) return err.Push(SC_LOCATION);
    }

    SnapshotCreation creation(*this, *m_pManageOntap, m_llJobId, m_bAutoMountClient,
                              m_mapContentMapperPaths);
    ShareResolver resolver(*m_pManageOntap);
    std::list<std::string> kept;
    std::set<std::string> seen;
    for (const std::string& backupPath : shares) {
        FileServerExportInfo info;
        info.strBackupPath = backupPath;
        FXPath::RemoveTrailingDelimiter(info.strBackupPath);
        const std::string& sharePath = info.strBackupPath;
        // A share given twice (with or without its trailing "/") is one
        // share: a second pass would read through the first one's snapshot
        // path and send its events again.
        if (!seen.insert(sharePath).second) {
            SC_LOG(0, "The share path: [%s] is listed more than once, processed once.",
                   sharePath.c_str());
            continue;
        }
        SC_LOG(0, "The share path: [%s]", sharePath.c_str());

        ShareLocation location;
        if (!resolver.ForSnapshot(backupPath, m_bAutoMountClient, mounts, location)) continue;
        info.strVolumePath = location.strVolumePath;
        info.strVolume = location.strVolume;
        if (!creation.SnapshotShare(backupPath, info)) continue;
        kept.push_back(backupPath);
        m_lstExportInfo.push_back(info);
    }
    creation.Settle(m_lstExportInfo, m_unbackedShares);

    if (!kept.empty()) {
        SC_LOG(0, "[%zu] out of [%zu] shares are processed in snap client.", kept.size(),
               shares.size());
        shares.swap(kept);
        return CRyError::Success();
    }

    const std::string summary = creation.FailureSummary();
    SC_LOG(-1, "Processing of shares failed:\n[%s]", summary.c_str());
    return EventError(SC_LOCATION, kEventNoShareProcessed, {summary});
}

SnapshotCreation::SnapshotCreation(CNetAppSnapClient& client, ManageONTAP& array, long long job,
                                   bool autoMount, std::map<std::string, std::string>& paths)
    : m_client(client), m_array(array), m_llJob(job), m_bAutoMount(autoMount), m_paths(paths) {
    int value = 0;
    m_bSnapshotOnly = RegistrySettingOn(kSnapshotOnlyKey, value);
}

bool SnapshotCreation::SnapshotShare(const std::string& backupPath, FileServerExportInfo& info) {
    std::string snapName;
    std::string volumeKey;
    bool made = false;
    if (m_client.CheckIfSnapPath(info.strVolumePath)) {
        SC_LOG(0, "Path[%s] contains a .snapshot directory, skip it from snapshot creation.",
               info.strBackupPath.c_str());
    } else {
        m_client.GetSnapshotName(m_llJob, snapName);
        volumeKey = ShareResolver(m_array).VolumeKey(info.strVolumePath, info.strVolume);
        made = CreateVolumeSnapshot(backupPath, info, volumeKey, snapName);
        if (!made &&
            !KeepWithoutSnapshot(info, volumeKey,
                                 "Snapshot creation failed on path [%s], additional setting to "
                                 "backup data only from snapshot is set, fail the path.",
                                 "Snapshot creation failed on path [%s], backing up data from "
                                 "live file system."))
            return false;
    }

    std::string key = info.strBackupPath;
    FXPath::AppendTrailingDelimiter(key);
    std::string& mappedPath = m_paths[key];
    if (mappedPath.empty()) mappedPath = key;
    if (!made) {
        info.strCurrSnapName.clear();
        info.llCurrSnapInfo = 0;
        info.bSnapDiffEnabled = false;
        return true;
    }
    info.strCurrSnapName = snapName;
    std::string snapshotPath = mappedPath;
    FXPath::Append(snapshotPath, ".snapshot", 0);
    FXPath::Append(snapshotPath, snapName, 0);
    CRyError access;
    // The agent mounts an auto-mount share itself, later in the job: the
    // path cannot be tested from here yet.
    if (!m_bAutoMount) {
        bool exists = false;
        access = FXPath::DoesPathExist(snapshotPath, exists);
    }
    if (access.IsSuccess()) {
        mappedPath = snapshotPath;
        info.strSnapshotPath = snapshotPath;
        return true;
    }
    SC_LOG(-1,
           ".snapshot path is not accessible, can not use SnapDiff scan. Please enable .snapshot "
           "access or make sure path is valid. Error[%s]",
           access.AsString().c_str());
    info.strCurrSnapName.clear();
    info.llCurrSnapInfo = 0;
    info.bSnapDiffEnabled = false;
    const std::string eventText =
        EventError(SC_LOCATION, kEventSnapshotPathInaccessible, {snapName, snapshotPath})
            .AsString();
    SendJobEvent(EventError(SC_LOCATION, kEventSnapshotPathInaccessible,
                            {snapName, snapshotPath, eventText}));
    m_failureTexts.emplace(info.strVolumePath, ".snapshot path access failed: [" + eventText + "]");
    m_unreadable[volumeKey].insert(snapName);
    m_volumeOfKey[volumeKey] = info.strVolume;
    return KeepWithoutSnapshot(info, volumeKey,
                               ".snapshot access failed on path [%s], additional setting to "
                               "backup data only from snapshot is set, fail the path.",
                               ".snapshot folder access failed on path [%s], backing up data "
                               "from live filesystem.");
}

bool SnapshotCreation::CreateVolumeSnapshot(const std::string& backupPath,
                                            const FileServerExportInfo& info,
                                            const std::string& volumeKey,
                                            const std::string& snapName) {
    if (m_array.CreateOntapSnap(volumeKey, snapName)) {
        SC_LOG(0, "Created snapshot [%s] of volume [%s].", snapName.c_str(),
               info.strVolume.c_str());
        return true;
    }
    MoErrCode_t arrayError;
    m_array.GetLastError(arrayError);
    if (arrayError.uiCode == kSnapshotExistsCode) {
        // Every share of a volume asks for the same name; the first one made
        // it, the others read through it.
        SC_LOG(0, "Snapshot[%s] already exists on volume[%s]", snapName.c_str(),
               info.strVolume.c_str());
        return true;
    }
    SC_LOG(-1,
           "Could not create snapshot:[%s] on path:[%s] Backup path:[%s]. Error code:[%d] Error "
           "Message:[%s].",
           snapName.c_str(), info.strVolumePath.c_str(), backupPath.c_str(),
           static_cast<int>(arrayError.uiCode), arrayError.strMessage.c_str());
    SendJobEvent(EventError(SC_LOCATION, kEventSnapshotCreationFailed,
                            {snapName, info.strVolumePath, arrayError.strMessage}));
    m_failureTexts.emplace(info.strVolumePath,
                           "Snapshot creation failed: [" + arrayError.strMessage + "]");
    return false;
}

bool SnapshotCreation::KeepWithoutSnapshot(const FileServerExportInfo& info,
                                           const std::string& volumeKey, const char* droppedLine,
                                           const char* liveLine) {
    if (m_bSnapshotOnly) {
        SC_LOG(0, droppedLine, info.strBackupPath.c_str());
        m_dropped.push_back({volumeKey, info.strVolume, info.strBackupPath});
        return false;
    }
    SC_LOG(0, liveLine, info.strBackupPath.c_str());
    return true;
}

void SnapshotCreation::Settle(const std::list<FileServerExportInfo>& kept,
                              UnbackedShares& unbacked) {
    if (!m_unreadable.empty()) {
        // Another share of the same volume may have passed the test and be
        // read through this very snapshot; deleting it would pull the data
        // from under that share's backup.
        KeepSnapshotsReadByShares(m_unreadable, m_volumeOfKey, std::set<std::string>(), kept);
        m_client.CleanupSnapshotByVolume(m_unreadable);
    }
    // A dropped share whose volume's snapshot stays for another share: the
    // next job must not compare the dropped one from it.
    for (const DroppedShare& share : m_dropped) {
        for (const FileServerExportInfo& reader : kept) {
            if (reader.strVolume != share.strVolume || reader.strCurrSnapName.empty() ||
                reader.strSnapshotPath.empty())
                continue;
            unbacked.Remember(share.strVolumeKey, share.strVolume, share.strBackupPath);
            break;
        }
    }
}

std::string SnapshotCreation::FailureSummary() const {
    std::string summary;
    for (const auto& failure : m_failureTexts)
        summary += failure.first + ": " + failure.second + "\n";
    return summary;
}
