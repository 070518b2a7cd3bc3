// The change event database of one compared volume: SnapDiff reports paths
// relative to the volume and may report one inode several times (deleted
// under one path, created under another, modified). Here a reported path is
// placed under the backup path of the share that holds it (ShareMatcher),
// and the reports of one inode go to the store merged (ChangeMerge) into the
// single event the agent will receive.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXErrorUtil.h"
#include "snapclient/ClientLog.h"
#include "snapclient/shares/ShareMatcher.h"

#include <boost/make_shared.hpp>
#include <new>

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

bool CNetAppSnapClient::HasMatchableVolumePath(const FileServerExportInfo& share) {
    size_t start = 0, length = 0;
    return !share.strVolume.empty() && ShareInVolumeRange(share, start, length);
}

bool CNetAppSnapClient::IsEventPartOfBackupPaths(const std::list<FileServerExportInfo>& shares,
                                                 std::string& path) {
    // The scan asks with the run's shares, matched once per run; any other
    // list gets a matcher of its own.
    const bool placed = m_pRunMatcher && m_pRunMatcher->Serves(shares)
                            ? m_pRunMatcher->Place(path) != nullptr
                            : ShareMatcher(shares).Place(path) != nullptr;
    if (!placed) return false;
    if (SC_LOGS_AT(3)) {
        SC_OPERATION();
        SC_LOG(3, "Converted to file[%s]", path.c_str());
    }
    return true;
}

CRyError CNetAppSnapClient::EventDBInsert(ChangeEventItem& event) {
    bool exists = false;
    ChangeEventItem& stored = m_stMergeStored;
    CRyError err = m_pfnInsertOrGet ? m_pfnInsertOrGet(*m_pEventDB, event, exists, stored)
                                    : InsertThenGet(event, exists, stored);
    // Most changes are of a new inode, and nothing else shows the operation's
    // name: it is set on the way to the merge or an error.
    if (err.IsSuccess() && !exists) return err;
    SC_OPERATION();
    if (err.IsError()) return err.Push(SC_LOCATION);

    const ChangeEventItem* written = m_merge.Merge(stored, event);
    if (!m_merge.Refused().empty()) RefuseExtraNames(m_merge.Refused());
    // Same kind twice, or unknown: the first report stays in the store.
    if (!written) return CRyError::Success();
    err = m_pEventDB->UpdateExistingEventOfInode(*written);
    if (err.IsError()) return err.Push(SC_LOCATION);
    NoteMovedOut(*written);
    return CRyError::Success();
}

void CNetAppSnapClient::RefuseExtraNames(const std::vector<std::string>& names) {
    // Every share that may hold the name must be scanned in full: its
    // change list would lack the name.
    for (const std::string& path : names) {
        for (const FileServerExportInfo& share : m_lstExportInfo) {
            const std::string& root = share.strBackupPath;
            if (ShareMatcher::HoldsStoredPath(root + "/", path))
                MarkShareUndeliverable(
                    root, path,
                    "the job changed more than " + std::to_string(ChangeMerge::kMaxExtraNames) +
                        " names of files beyond the one their change event holds on volume [" +
                        share.strVolume + "]");
        }
    }
}
