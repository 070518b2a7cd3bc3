// The change event database of one compared volume: SnapDiff reports paths
// relative to the volume and may report one inode several times (deleted
// under one path, created under another, modified). Here a reported path is
// placed under the backup path of the share that holds it, and the reports
// of one inode are merged into the single event the agent will receive.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXErrorUtil.h"
#include "host/FXString.h"
#include "snapclient/ClientLog.h"

#include <boost/make_shared.hpp>
#include <new>

namespace {

const char kModification[] = "inode_modification";
const char kCreation[] = "file_creation";
const char kDeletion[] = "file_deletion";

// A deletion and a modification merged: the flags a later creation keeps
// the deleted path and times of.
const uint32_t kModifiedAndDeleted = kChangeModified | kChangeDeleted;

// Where the share's own path starts inside its volume path: after the
// volume's directory ("/vol"), its "/" and the volume name. False for a
// volume path of another shape, which then holds no change.
bool InVolumeStart(const FileServerExportInfo& share, size_t& start) {
    const size_t slash = share.strVolumePath.find('/', 1);
    if (slash == std::string::npos) return false;
    start = slash + 1 + share.strVolume.size();
    return start <= share.strVolumePath.size();
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
    try {
        m_pEventDB = boost::make_shared<CSnapDiffEventMonitor>(m_strJobResultsDir, prevSnapName,
                                                               currSnapName + "_" + volume);
    } catch (const std::bad_alloc&) {
        // Never let an exception reach the agent; report it as the allocation
        // failure it is.
        m_pEventDB.reset();
    }
    if (!m_pEventDB) return FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_OUTOFMEMORY);
    CRyError err = m_pEventDB->Create();
    if (err.IsError()) return err.Push(FX_LOCATION);
    return CRyError::Success();
}

bool CNetAppSnapClient::IsEventPartOfBackupPaths(const std::list<FileServerExportInfo>& shares,
                                                 std::string& path) {
    for (const FileServerExportInfo& share : shares) {
        size_t start = 0;
        if (!InVolumeStart(share, start)) continue;
        m_strScanInVolumePath.assign(share.strVolumePath, start, std::string::npos);
        // A trailing "/" names the same directory; left in place it would
        // glue the backup path to the next component (/mnt/s + f).
        while (!m_strScanInVolumePath.empty() && m_strScanInVolumePath.back() == '/')
            m_strScanInVolumePath.pop_back();

        bool matched = false;
        if (m_strScanInVolumePath.empty()) {
            path.insert(0, share.strBackupPath);
            matched = true;
        } else if (path.compare(0, m_strScanInVolumePath.size(), m_strScanInVolumePath) == 0) {
            // Only a path that begins with the share's in-volume path can be
            // rewritten; the pieces then decide by whole components.
            FXString::Split(m_strScanInVolumePath, "/", m_vecScanVolumePieces, 0);
            FXString::Split(path, "/", m_vecScanPathPieces, 0);
            if (m_vecScanVolumePieces.size() > m_vecScanPathPieces.size()) continue;
            bool differs = false;
            for (size_t i = 0; i < m_vecScanVolumePieces.size(); ++i) {
                const std::string& a = m_vecScanVolumePieces[i];
                const std::string& b = m_vecScanPathPieces[i];
                if (a.empty() || b.empty()) continue;
                if (a != b) {
                    differs = true;
                    break;
                }
            }
            if (differs) continue;
            matched = FXString::ReplaceLeft(path, m_strScanInVolumePath, share.strBackupPath);
        }
        if (!matched) continue;
        FXString::ReplaceAll(path, "\\", "/");
        SC_LOG(3, "Converted to file[%s]", path.c_str());
        return true;
    }
    return false;
}

CRyError CNetAppSnapClient::EventDBInsert(ChangeEventItem& event) {
    bool exists = false;
    CRyError err = m_pEventDB->InsertEvent(event, exists);
    if (err.IsError()) return err.Push(FX_LOCATION);
    if (!exists) return CRyError::Success();

    ChangeEventItem stored;
    long long inode = event.llInode;
    err = m_pEventDB->GetEventOfInode(inode, stored);
    if (err.IsError()) return err.Push(FX_LOCATION);

    if (event.llCtime == -1 && event.strChangeType == kCreation) event.llCtime = event.llAtime;

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
    if (!written) return CRyError::Success();  // same kind twice, or unknown: first report wins

    written->uiChangeFlags = flags;
    err = m_pEventDB->UpdateExistingEventOfInode(*written);
    if (err.IsError()) return err.Push(FX_LOCATION);
    return CRyError::Success();
}
