// The change event database of one compared volume: SnapDiff reports paths
// relative to the volume and may report one inode several times (deleted
// under one path, created under another, modified). Here a reported path is
// placed under the backup path of the share that holds it, and the reports
// of one inode are merged into the single event the agent will receive.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXErrorUtil.h"
#include "host/FXString.h"
#include "snapclient/ClientLog.h"
#include "snapclient/ShareMatcher.h"

#include <boost/make_shared.hpp>
#include <new>

namespace {

const char* const kModification = kChangeTextModified;
const char* const kCreation = kChangeTextCreated;
const char* const kDeletion = kChangeTextDeleted;

// A deletion and a modification merged: the flags a later creation keeps
// the deleted path and times of.
const uint32_t kModifiedAndDeleted = kChangeModified | kChangeDeleted;

// True when path lies in the in-volume path [start, start + length) of
// volumePath by whole components: /q/dir holds /q/dir and /q/dir/f, not
// /q/dir2/f. The in-volume path never ends with "/", so once path begins
// with its bytes every component but the last is equal, and the last is
// equal exactly when path ends there or goes on with "/". Compared in
// place, with no copy or split of either path: this runs for every change.
bool LiesInByComponents(const std::string& path, const std::string& volumePath, size_t start,
                        size_t length) {
    return path.compare(0, length, volumePath, start, length) == 0 &&
           (path.size() == length || path[length] == '/');
}

void TakeTimes(ChangeEventItem& to, const ChangeEventItem& from) {
    to.llAtime = from.llAtime;
    to.llCtime = from.llCtime;
    to.llMtime = from.llMtime;
}

}  // namespace

CRyError CNetAppSnapClient::CreateEventDB(const std::string& prevSnapName,
                                          const std::string& currSnapName,
                                          const std::string& volume) {
    SC_OPERATION();
    try {
        m_pEventDB = boost::make_shared<CSnapDiffEventMonitor>(m_strJobResultsDir, prevSnapName,
                                                               currSnapName + "_" + volume);
    } catch (const std::bad_alloc&) {
        // Never let an exception reach the agent; report it as the allocation
        // failure it is.
        m_pEventDB.reset();
    }
    if (!m_pEventDB) return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_OUTOFMEMORY);
    CRyError err = m_pEventDB->Create();
    if (err.IsError()) return err.Push(SC_LOCATION);
    return CRyError::Success();
}

const FileServerExportInfo* CNetAppSnapClient::ShareHoldingPath(
    const std::list<FileServerExportInfo>& shares, const std::string& path) {
    for (const FileServerExportInfo& share : shares) {
        size_t start = 0, length = 0;
        if (!ShareInVolumeRange(share, start, length)) continue;
        // An empty in-volume path is the whole volume: every path is in it.
        if (length != 0 && !LiesInByComponents(path, share.strVolumePath, start, length)) continue;
        return &share;
    }
    return nullptr;
}

bool CNetAppSnapClient::HasMatchableVolumePath(const FileServerExportInfo& share) {
    size_t start = 0, length = 0;
    return !share.strVolume.empty() && ShareInVolumeRange(share, start, length);
}

bool CNetAppSnapClient::IsEventPartOfBackupPaths(const std::list<FileServerExportInfo>& shares,
                                                 std::string& path) {
    SC_OPERATION();
    const FileServerExportInfo* share = ShareHoldingPath(shares, path);
    if (!share) return false;
    size_t start = 0, length = 0;
    ShareInVolumeRange(*share, start, length);
    path.replace(0, length, share->strBackupPath);
    FXString::ReplaceAll(path, "\\", "/");
    SC_LOG(3, "Converted to file[%s]", path.c_str());
    return true;
}

CRyError CNetAppSnapClient::EventDBInsert(ChangeEventItem& event) {
    SC_OPERATION();
    bool exists = false;
    CRyError err = m_pEventDB->InsertEvent(event, exists);
    if (err.IsError()) return err.Push(SC_LOCATION);
    if (!exists) return CRyError::Success();

    ChangeEventItem stored;
    long long inode = event.llInode;
    err = m_pEventDB->GetEventOfInode(inode, stored);
    if (err.IsError()) return err.Push(SC_LOCATION);

    if (event.llCtime == -1 && event.strChangeType == kCreation) event.llCtime = event.llAtime;

    // The merge below may overwrite the stored old name; it is still a name
    // the agent must hear of.
    const std::string storedOldPath = stored.strOldPath;
    const uint32_t flags = stored.uiChangeFlags | event.uiChangeFlags;
    const std::string& storedType = stored.strChangeType;
    const std::string& newType = event.strChangeType;
    ChangeEventItem* written = nullptr;
    if (storedType == kModification && newType == kCreation) {
        if (stored.uiChangeFlags == kModifiedAndDeleted) {
            event.strOldPath = stored.strOldPath;
            TakeTimes(event, stored);
        }
        written = &event;
    } else if ((storedType == kModification || storedType == kCreation) && newType == kDeletion) {
        stored.strOldPath = event.strPath;
        TakeTimes(stored, event);
        written = &stored;
    } else if (storedType == kCreation && newType == kModification) {
        written = &stored;
    } else if (storedType == kDeletion && (newType == kCreation || newType == kModification)) {
        event.strOldPath = stored.strPath;
        TakeTimes(event, stored);
        written = &event;
    }
    KeepDroppedNames(stored, storedOldPath, event, written ? *written : stored);
    // Same kind twice, or unknown: the first report stays in the store (a
    // second name of the same kind is kept by KeepDroppedNames).
    if (!written) return CRyError::Success();

    written->uiChangeFlags = flags;
    err = m_pEventDB->UpdateExistingEventOfInode(*written);
    if (err.IsError()) return err.Push(SC_LOCATION);
    NoteMovedOut(*written);
    return CRyError::Success();
}
