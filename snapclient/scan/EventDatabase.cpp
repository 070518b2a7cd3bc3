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
    CRyError err = m_pEventDB->InsertEvent(event, exists);
    // Most changes are of a new inode, and nothing else shows the operation's
    // name: it is set on the way to the merge or an error.
    if (err.IsSuccess() && !exists) return err;
    SC_OPERATION();
    if (err.IsSuccess()) {
        long long inode = event.llInode;
        err = m_pEventDB->GetEventOfInode(inode, stored);
    }
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
                m_verdicts.MarkChangeUndeliverable(
                    root, path,
                    "the job changed more than " + std::to_string(ChangeMerge::kMaxExtraNames) +
                        " names of files beyond the one their change event holds on volume [" +
                        share.strVolume + "]");
        }
    }
}

CRyError CNetAppSnapClient::PrepareVolumeShares(const std::list<FileServerExportInfo>& shares) try {
    std::vector<std::string> prefixes;
    for (const FileServerExportInfo& share : shares) prefixes.push_back(share.strBackupPath + "/");
    m_merge.StartRun(prefixes, !m_store.ReadsShares());
    return m_store.SetSharePrefixes(*m_pEventDB, prefixes);
} catch (const std::bad_alloc&) {
    return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_OUTOFMEMORY);
}

void CNetAppSnapClient::NoteMovedOut(const ChangeEventItem& written) {
    std::string lostShare;
    if (m_merge.NoteWritten(written, lostShare)) return;
    lostShare.pop_back();
    m_verdicts.MarkUndeliverable(lostShare, [&] {
        const char kTooMany[] =
            "Share [%s] needs a full scan: more than [%zu] files of its volume left one share "
            "for another, and the host's change event store cannot read a share's events by old "
            "path";
        SC_LOG_ALWAYS(-1, kTooMany, lostShare.c_str(), ChangeMerge::kMaxMovedOut);
        return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_OPERATION_ABORTED, kTooMany,
                                       lostShare.c_str(), ChangeMerge::kMaxMovedOut);
    });
}

void CNetAppSnapClient::RegisterVolumeDatabase(const std::string& volume) {
    m_mapEventDBs[volume] = m_pEventDB;
    m_merge.KeepRun(volume);
}

CRyError CNetAppSnapClient::PrepareShareRead(const FileServerExportInfo& share) {
    const std::string prefix = share.strBackupPath + "/";
    m_merge.StartRead(share.strVolume, prefix);
    return m_store.PrepareShareRead(*m_pEventDB, prefix);
}

int CNetAppSnapClient::NextMovedOutEvent(ChangeEventItem& event) {
    long long inode = 0;
    while (m_merge.NextMovedOut(inode)) {
        event.clear();
        if (m_pEventDB->GetEventOfInode(inode, event).IsError()) return -1;
        if (!m_merge.InReadShare(event.strPath) && !event.strOldPath.empty() &&
            m_merge.InReadShare(event.strOldPath))
            return 0;
    }
    return 1;
}
