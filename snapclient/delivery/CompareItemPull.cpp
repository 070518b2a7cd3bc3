// The pull function the agent calls for a share's changes, one item per
// call, until status 5 (no more) or 6 (failure). What one stored event gives
// is ChangeMerge's to say: a stored event that merged a deletion and a
// creation of one inode is handed out as two items (the old path deleted,
// as a directory so that the agent drops whatever it held below it, then the
// new path created and marked renamed), and the second half always goes out
// before the store is read on. After the store's events come the inodes that
// left the share (a host store without share reads) and the further names
// of files that their merged events could not hold.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXPath.h"
#include "snapclient/ClientLog.h"

namespace {

const uint32_t kModeDirectory = 0x4000;
const uint32_t kModeOther = 0x8000;

}  // namespace

FileServerSnapshotCompareItem CNetAppSnapClient::GetSnapshotCompareItem() try {
    FileServerSnapshotCompareItem item;
    // Read into the client's own event so that its strings keep their
    // buffers from one pull to the next.
    ChangeEventItem& event = m_stScanPulledEvent;
    ChangeMerge::Delivery delivery;
    int result = -1;
    if (m_pEventDB && !m_merge.HoldsHalf()) {
        event.clear();
        result = m_pEventDB->GetNextEvent(event);
        if (result == 1) result = NextMovedOutEvent(event);
    }
    if (result != 1 && result != -1) {
        // Most pulls hand out a stored event and write no line of their own:
        // the operation's name is set only on the way to one.
        delivery = m_merge.Deliver(event);
        if (delivery.bOldName) {
            // The item is filled, and its line logged, with the status every
            // stored event starts from; only then does it become a deletion.
            item.uiStatus = kItemModified;
            PopulateCompareItem(event, item);
            item.uiStatus = delivery.uiStatus;
            item.strPath = event.strOldPath;
            return item;
        }
        item.uiStatus = delivery.uiStatus;
        item.stItemInfo.bRenamed = delivery.bRenamed;
        PopulateCompareItem(event, item);
        return item;
    }

    SC_OPERATION();
    if (!m_pEventDB) {
        SC_LOG(0, "The event database is not initialized.");
        item.uiStatus = kItemFailure;
        return item;
    }
    if (m_merge.TakeHeld(event, delivery)) {
        PopulateCompareItem(event, item);
        item.uiStatus = delivery.uiStatus;
        item.stItemInfo.bRenamed = delivery.bRenamed;
        SC_LOG(1,
               "Cached event for the inode[%lld]; CurrPath[%s]; OldPath[%s] is returned from File "
               "Events database.",
               static_cast<long long>(event.llInode), event.strPath.c_str(),
               event.strOldPath.c_str());
        return item;
    }
    if (result == 1) {
        // The names of files that their merged events could not hold.
        if (NextExtraName(item)) return item;
        item.uiStatus = kItemNoMore;
        return item;
    }
    SC_LOG(0, "Could not get all the records from ChangeList event cache.");
    item.uiStatus = kItemFailure;
    return item;
} catch (...) {
    return CaughtInPull();
}

bool CNetAppSnapClient::NextExtraName(FileServerSnapshotCompareItem& item) {
    const ChangeEventItem* name = m_merge.NextExtraName();
    if (!name) return false;
    PopulateCompareItem(*name, item);
    item.uiStatus = ChangeMerge::StatusOfChange(name->uiChangeFlags);
    SC_LOG(1, "Further name [%s] of the inode[%lld] is returned with status [%u].",
           item.strPath.c_str(), static_cast<long long>(name->llInode), item.uiStatus);
    return true;
}

CRyError CNetAppSnapClient::PopulateCompareItem(const ChangeEventItem& event,
                                                FileServerSnapshotCompareItem& item) {
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
    // Every pulled item comes here: the name is set only for the line.
    if (SC_LOGS_AT(3)) {
        SC_OPERATION();
        SC_LOG(3,
               "Path [%s], ChangeType [%d], OldPath [%s], atime [%lld], ctime [%lld], mtime [%lld]",
               item.strPath.c_str(), static_cast<int>(item.uiStatus), item.strOldPath.c_str(),
               static_cast<long long>(item.stItemInfo.llAtime),
               static_cast<long long>(item.stItemInfo.llCtime),
               static_cast<long long>(item.stItemInfo.llMtime));
    }
    return CRyError::Success();
}
