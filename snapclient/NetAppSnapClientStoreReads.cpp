// How the client reads a volume's change database share by share. A host
// store with our extensions keeps each share's events apart and reads a
// share together with the events that left it; a host store with the
// common operations only is read by path prefix, and the client remembers
// itself which inodes left a share for another share of the volume
// (CMovedOutInodes). Either way every share hears of each name it lost.
// The extensions are looked up once per client, in the process that
// loaded the plug-in, so that binding to them never keeps the plug-in
// from loading.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXErrorUtil.h"
#include "host/SnapDiffEventMonitorExtensions.h"
#include "snapclient/ClientLog.h"

#include <dlfcn.h>
#include <new>

const SnapDiffEventMonitorExtensions* CNetAppSnapClient::FindStoreExtensions() {
    typedef const SnapDiffEventMonitorExtensions* (*Lookup)();
    const Lookup lookup =
        reinterpret_cast<Lookup>(dlsym(RTLD_DEFAULT, SNAPDIFF_EVENT_MONITOR_EXTENSIONS));
    const SnapDiffEventMonitorExtensions* table = lookup ? lookup() : nullptr;
    // A shorter table comes from an older host: use none of it.
    return table && table->ulSize >= sizeof(SnapDiffEventMonitorExtensions) ? table : nullptr;
}

CRyError CNetAppSnapClient::PrepareVolumeShares(const std::list<FileServerExportInfo>& shares) {
    std::vector<std::string> prefixes;
    for (const FileServerExportInfo& share : shares) prefixes.push_back(share.strBackupPath + "/");
    m_pMovedOutRun.reset();
    if (m_pStoreExtensions) return m_pStoreExtensions->SetSharePrefixes(*m_pEventDB, prefixes);
    m_pMovedOutRun.reset(new (std::nothrow) CMovedOutInodes(prefixes));
    if (!m_pMovedOutRun) return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_OUTOFMEMORY);
    return CRyError::Success();
}

void CNetAppSnapClient::NoteMovedOut(const ChangeEventItem& written) {
    std::string lostShare;
    if (!m_pMovedOutRun || m_pMovedOutRun->Note(written, lostShare)) return;
    lostShare.pop_back();
    if (m_mapUndeliverableShares.count(lostShare)) return;
    const char kTooMany[] =
        "Share [%s] needs a full scan: more than [%zu] files of its volume left one share for "
        "another, and the host's change event store cannot read a share's events by old path";
    SC_LOG_ALWAYS(-1, kTooMany, lostShare.c_str(), CMovedOutInodes::kMaxInodes);
    m_mapUndeliverableShares[lostShare] =
        FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_OPERATION_ABORTED, kTooMany, lostShare.c_str(),
                                CMovedOutInodes::kMaxInodes);
}

void CNetAppSnapClient::RegisterVolumeDatabase(const std::string& volume) {
    m_mapEventDBs[volume] = m_pEventDB;
    m_mapMovedOut[volume] = m_pMovedOutRun;
    m_pMovedOutRun.reset();
}

CRyError CNetAppSnapClient::PrepareShareRead(const FileServerExportInfo& share) {
    const std::string prefix = share.strBackupPath + "/";
    m_pScanMovedOut.reset();
    if (m_pStoreExtensions)
        return m_pStoreExtensions->PrepareSelectQueryForShare(*m_pEventDB, prefix);
    CRyError err = m_pEventDB->PrepareSelectQueryWithPathPrefix(prefix);
    if (err.IsError()) return err;
    const auto found = m_mapMovedOut.find(share.strVolume);
    if (found != m_mapMovedOut.end()) m_pScanMovedOut = found->second;
    if (m_pScanMovedOut) m_itScanMovedOut = m_pScanMovedOut->Inodes().begin();
    return CRyError::Success();
}

int CNetAppSnapClient::NextMovedOutEvent(ChangeEventItem& event) {
    while (m_pScanMovedOut && m_itScanMovedOut != m_pScanMovedOut->Inodes().end()) {
        long long inode = *m_itScanMovedOut++;
        event.clear();
        if (m_pEventDB->GetEventOfInode(inode, event).IsError()) return -1;
        if (!LiesInScannedShare(event.strPath) && !event.strOldPath.empty() &&
            LiesInScannedShare(event.strOldPath))
            return 0;
    }
    return 1;
}
