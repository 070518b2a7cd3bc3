// How the client uses a volume's change database. A host store with our
// extensions keeps each share's events apart, reads a share together with
// the events that left it, and inserts an event or hands back the stored
// one in one call; a host store with the common operations only is read by
// path prefix, and the client remembers itself which inodes left a share
// for another share of the volume (ChangeMerge). Either way every share
// hears of each name it lost.
// The extensions are looked up once per client, in the process that
// loaded the plug-in, so that binding to them never keeps the plug-in
// from loading.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXErrorUtil.h"
#include "hostlib/eventstore/SnapDiffEventMonitorExtensions.h"
#include "snapclient/ClientLog.h"

#include <dlfcn.h>

#include <cstddef>
#include <new>

namespace {

// True when the host's table holds the entry at offset.
bool HasEntry(const SnapDiffEventMonitorExtensions& table, size_t offset) {
    return table.ulSize >= offset + sizeof(void (*)());
}

}  // namespace

const SnapDiffEventMonitorExtensions* CNetAppSnapClient::FindStoreExtensions() {
    typedef const SnapDiffEventMonitorExtensions* (*Lookup)();
    const Lookup lookup =
        reinterpret_cast<Lookup>(dlsym(RTLD_DEFAULT, SNAPDIFF_EVENT_MONITOR_EXTENSIONS));
    const SnapDiffEventMonitorExtensions* table = lookup ? lookup() : nullptr;
    // A table without the share reads comes from an older host: use none of
    // it. Later entries are used where the table's size covers them.
    return table && HasEntry(*table,
                             offsetof(SnapDiffEventMonitorExtensions, PrepareSelectQueryForShare))
               ? table
               : nullptr;
}

CNetAppSnapClient::InsertOrGet CNetAppSnapClient::FindInsertOrGet(
    const SnapDiffEventMonitorExtensions* table) {
    return table && HasEntry(*table, offsetof(SnapDiffEventMonitorExtensions, InsertOrGetEvent))
               ? table->InsertOrGetEvent
               : nullptr;
}

CRyError CNetAppSnapClient::PrepareVolumeShares(const std::list<FileServerExportInfo>& shares) try {
    std::vector<std::string> prefixes;
    for (const FileServerExportInfo& share : shares) prefixes.push_back(share.strBackupPath + "/");
    m_merge.StartRun(prefixes, !m_pStoreExtensions);
    if (m_pStoreExtensions) return m_pStoreExtensions->SetSharePrefixes(*m_pEventDB, prefixes);
    return CRyError::Success();
} catch (const std::bad_alloc&) {
    return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_OUTOFMEMORY);
}

CRyError CNetAppSnapClient::InsertThenGet(const ChangeEventItem& event, bool& exists,
                                          ChangeEventItem& stored) {
    CRyError err = m_pEventDB->InsertEvent(event, exists);
    if (err.IsError() || !exists) return err;
    long long inode = event.llInode;
    return m_pEventDB->GetEventOfInode(inode, stored);
}

void CNetAppSnapClient::NoteMovedOut(const ChangeEventItem& written) {
    std::string lostShare;
    if (m_merge.NoteWritten(written, lostShare)) return;
    lostShare.pop_back();
    if (m_mapUndeliverableShares.count(lostShare)) return;
    const char kTooMany[] =
        "Share [%s] needs a full scan: more than [%zu] files of its volume left one share for "
        "another, and the host's change event store cannot read a share's events by old path";
    SC_LOG_ALWAYS(-1, kTooMany, lostShare.c_str(), ChangeMerge::kMaxMovedOut);
    m_mapUndeliverableShares[lostShare] =
        FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_OPERATION_ABORTED, kTooMany, lostShare.c_str(),
                                ChangeMerge::kMaxMovedOut);
}

void CNetAppSnapClient::RegisterVolumeDatabase(const std::string& volume) {
    m_mapEventDBs[volume] = m_pEventDB;
    m_merge.KeepRun(volume);
}

CRyError CNetAppSnapClient::PrepareShareRead(const FileServerExportInfo& share) {
    const std::string prefix = share.strBackupPath + "/";
    m_merge.StartRead(share.strVolume, prefix);
    if (m_pStoreExtensions)
        return m_pStoreExtensions->PrepareSelectQueryForShare(*m_pEventDB, prefix);
    return m_pEventDB->PrepareSelectQueryWithPathPrefix(prefix);
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
