// The pull function the agent calls for a share's changes, one item per
// call, until status 5 (no more) or 6 (failure). A stored event that merged
// a deletion and a creation of one inode is handed out as two items: the old
// path deleted, as a directory so that the agent drops whatever it held
// below it, then the new path created and marked renamed. The second half
// waits in m_dqCachedEvents and always goes out before the store is read on.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXPath.h"
#include "snapclient/ClientLog.h"

namespace {

const uint32_t kFileTypeDirectory = 2;
const uint32_t kModeDirectory = 0x4000;
const uint32_t kModeOther = 0x8000;

// The status of an event that carries a single change kind.
uint32_t StatusOfChangeText(const std::string& changeType) {
    const uint32_t flag = ChangeFlagOfText(changeType);
    if (flag == kChangeCreated) return kItemCreated;
    return flag == kChangeDeleted ? kItemDeleted : kItemModified;
}

}  // namespace

FileServerSnapshotCompareItem CNetAppSnapClient::GetSnapshotCompareItem() try {
    SC_OPERATION();
    FileServerSnapshotCompareItem item;
    if (!m_pEventDB) {
        SC_LOG(0, "The event database is not initialized.");
        item.uiStatus = kItemFailure;
        return item;
    }
    if (!m_dqCachedEvents.empty()) {
        const ChangeEventItem event = m_dqCachedEvents.front();
        m_dqCachedEvents.pop_front();
        PopulateCompareItem(event, item);
        // The name that stays after a removed hard link is a plain
        // modification; any other waiting half is a renamed file's new name.
        const bool keptName = event.uiChangeFlags == kChangeModified;
        item.uiStatus = keptName ? kItemModified : kItemCreated;
        item.stItemInfo.bRenamed = !keptName;
        SC_LOG(1,
               "Cached event for the inode[%lld]; CurrPath[%s]; OldPath[%s] is returned from File "
               "Events database.",
               static_cast<long long>(event.llInode), event.strPath.c_str(),
               event.strOldPath.c_str());
        return item;
    }

    // Read into the client's own event so that its strings keep their
    // buffers from one pull to the next.
    ChangeEventItem& event = m_stScanPulledEvent;
    event.clear();
    int result = m_pEventDB->GetNextEvent(event);
    if (result == 1) result = NextMovedOutEvent(event);
    if (result == 1) {
        // The names of files that their merged events could not hold.
        if (NextExtraName(item)) return item;
        item.uiStatus = kItemNoMore;
        return item;
    }
    if (result == -1) {
        SC_LOG(0, "Could not get all the records from ChangeList event cache.");
        item.uiStatus = kItemFailure;
        return item;
    }

    // An inode that moved here from another share of the volume, or left
    // this share for another one, is read by both shares: each hears only
    // the half whose path it holds, so neither gets a path outside itself.
    const bool pathHere = LiesInScannedShare(event.strPath);
    const bool oldPathHere = !event.strOldPath.empty() && LiesInScannedShare(event.strOldPath);
    if (!pathHere) return DeletedOldName(event, item);

    item.uiStatus = kItemModified;
    switch (event.uiChangeFlags) {
        case kChangeModified:
        case kChangeCreated:
        case kChangeDeleted:
            item.uiStatus = StatusOfChangeText(event.strChangeType);
            break;
        case kChangeCreated | kChangeDeleted:
            if (!oldPathHere) {
                item.uiStatus = kItemCreated;
                item.stItemInfo.bRenamed = true;
                break;
            }
            m_dqCachedEvents.push_back(event);
            return DeletedOldName(event, item);
        case kChangeModified | kChangeCreated:
            item.uiStatus = kItemCreated;
            break;
        case kChangeModified | kChangeDeleted:
            // One name of the inode went (a removed hard link) while the
            // name in strPath still holds the file: the agent must drop the
            // old name and keep backing up the other. Deleted and modified
            // under one name, the file itself is gone.
            if (event.strOldPath == event.strPath) {
                event.uiFileType = kFileTypeDirectory;
                item.uiStatus = kItemDeleted;
                break;
            }
            if (oldPathHere) {
                m_dqCachedEvents.push_back(event);
                m_dqCachedEvents.back().strOldPath.clear();
                m_dqCachedEvents.back().uiChangeFlags = kChangeModified;
                return DeletedOldName(event, item);
            }
            event.strOldPath.clear();
            break;
        case kChangeModified | kChangeCreated | kChangeDeleted:
            item.stItemInfo.bRenamed = true;
            item.uiStatus = kItemAllKinds;
            break;
        default:
            break;
    }
    PopulateCompareItem(event, item);
    return item;
} catch (...) {
    return CaughtInPull();
}

bool CNetAppSnapClient::LiesInScannedShare(const std::string& path) const {
    return path.compare(0, m_strScanSharePrefix.size(), m_strScanSharePrefix) == 0;
}

FileServerSnapshotCompareItem& CNetAppSnapClient::DeletedOldName(
    ChangeEventItem& event, FileServerSnapshotCompareItem& item) {
    // As a directory, so that the agent also drops whatever it held below
    // the old name.
    event.uiFileType = kFileTypeDirectory;
    PopulateCompareItem(event, item);
    item.uiStatus = kItemDeleted;
    item.strPath = event.strOldPath;
    return item;
}

CRyError CNetAppSnapClient::PopulateCompareItem(const ChangeEventItem& event,
                                                FileServerSnapshotCompareItem& item) {
    SC_OPERATION();
    const bool directory = event.uiFileType == kFileTypeDirectory;
    item.stItemInfo.ullInode = static_cast<uint64_t>(event.llInode);
    item.stItemInfo.llAtime = event.llAtime;
    item.stItemInfo.llCtime = event.llCtime;
    item.stItemInfo.llMtime = event.llMtime;
    item.stItemInfo.llAttribute = event.llAttribute;
    item.stItemInfo.uiMode = directory ? kModeDirectory : kModeOther;
    item.strPath = event.strPath;
    item.strOldPath = event.strOldPath;
    // Stored paths end with "/"; the agent tells a directory by its trailing
    // delimiter.
    for (std::string* path : {&item.strPath, &item.strOldPath}) {
        if (path->empty()) continue;
        if (directory)
            FXPath::AppendTrailingDelimiter(*path);
        else
            FXPath::RemoveTrailingDelimiter(*path);
    }
    SC_LOG(3, "Path [%s], ChangeType [%d], OldPath [%s], atime [%lld], ctime [%lld], mtime [%lld]",
           item.strPath.c_str(), static_cast<int>(item.uiStatus), item.strOldPath.c_str(),
           static_cast<long long>(item.stItemInfo.llAtime),
           static_cast<long long>(item.stItemInfo.llCtime),
           static_cast<long long>(item.stItemInfo.llMtime));
    return CRyError::Success();
}
