#include "snapclient/scan/VolumeRun.h"

#include "host/FXErrorUtil.h"
#include "snapclient/ClientLog.h"
#include "snapclient/NetAppSnapClient.h"
#include "snapclient/scan/NameForms.h"
#include "snapclient/scan/ShareVerdicts.h"
#include "snapclient/shares/ShareMatcher.h"

namespace {

// With the empty-batch flag set the array may answer with empty batches
// while it works; more than this many in a row means it will not finish.
const int kMaxConsecutiveEmptyBatches = 100;

}  // namespace

VolumeRun::VolumeRun(CNetAppSnapClient& client, ManageONTAP& array,
                     const FileServerExportInfo& share, ShareVerdicts& verdicts,
                     const ShareMatcher*& published)
    : m_client(client),
      m_array(array),
      m_share(share),
      m_verdicts(verdicts),
      m_published(published),
      m_session(array) {}

VolumeRun::~VolumeRun() { m_published = nullptr; }

void VolumeRun::ServeShares() {
    m_pMatcher.reset(new ShareMatcher(m_shares));
    m_published = m_pMatcher.get();
    m_verdicts.StartRun(m_shares);
}

bool VolumeRun::Start(int maxItems) {
    m_bCluster = m_array.IsCluster();
    const std::string& volumeKey = m_bCluster ? m_share.strVolumePath : m_share.strVolume;
    return m_session.Start(volumeKey, m_share.strPrevSnapName, m_share.strCurrSnapName,
                           static_cast<unsigned long>(maxItems));
}

CRyError VolumeRun::ReceiveChanges() {
    while (!m_session.AtEnd()) {
        std::vector<SnapDiffFileInfo> batch;
        if (!m_session.Next(batch)) {
            std::string message;
            m_array.GetLastError(message);
            return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_OPERATION_ABORTED,
                                           "Error in getting changed file:[%s]", message.c_str());
        }
        if (batch.empty()) {
            ++m_emptyBatches;
            const bool limitReached = m_emptyBatches > kMaxConsecutiveEmptyBatches;
            const bool waiting = m_session.EmptyBatchesAllowed() && !m_session.AtEnd();
            if (waiting && !limitReached) continue;
            m_session.End();
            if (waiting)
                return FXErrorUtil::ErrorWin32(
                    SC_LOCATION, ERROR_OPERATION_ABORTED,
                    "SnapDiff sent [%d] empty batches in a row without reaching the end of the "
                    "changes on volume[%s]",
                    m_emptyBatches, m_share.strVolume.c_str());
            SC_LOG(0, "Done obtaining all SnapDiff changes.");
            return CRyError::Success();
        }

        m_emptyBatches = 0;
        if (m_received == 0)
            SC_LOG(1, "SnapDiff first iteration has returned [%zu] items.", batch.size());
        m_received += batch.size();
        for (SnapDiffFileInfo& change : batch) {
            CRyError err = StoreChange(change);
            if (err.IsError()) return err;
        }
    }
    return CRyError::Success();
}

std::string_view VolumeRun::NameInVolume(SnapDiffFileInfo& change, const std::string& rawName) {
    // On an array that is not a cluster, what follows the snapshot
    // directory, seen in place rather than cut out.
    const std::string& name = change.strFileName;
    std::string_view relative = name;
    if (!m_bCluster) {
        const size_t end =
            SnapshotPrefixEnd(name, m_share.strCurrSnapName, m_share.strPrevSnapName);
        relative = end == std::string::npos ? std::string_view() : relative.substr(end);
        if (end != std::string::npos && relative.empty()) {
            // The snapshot directory itself is the volume's root: the root
            // of a whole-volume share, changed (a root is never deleted).
            relative = "/";
            change.strChangeType = kChangeTextModified;
            change.uiFileType = kFileTypeDirectory;
        }
    }
    // An empty name would be taken for the root of a whole-volume share, and
    // a deletion of that root would drop the whole share.
    if (!relative.empty()) return relative;
    if (m_bCluster)
        SC_LOG_ALWAYS(-1, "Skipping SnapDiff change for file:[%s], its name is empty",
                      rawName.c_str());
    else
        SC_LOG_ALWAYS(-1,
                      "Skipping SnapDiff change for file:[%s], it lies in neither snapshot "
                      "[%s] nor [%s]",
                      rawName.c_str(), m_share.strCurrSnapName.c_str(),
                      m_share.strPrevSnapName.c_str());
    return std::string_view();
}

CRyError VolumeRun::StoreChange(SnapDiffFileInfo& change) {
    std::string& name = change.strFileName;
    // Only a backslash starts an escape. Decoding changes the name in place,
    // so only then is the name as received copied, for the messages about it.
    const bool escaped = m_session.EscapedNames() && name.find('\\') != std::string::npos;
    if (escaped) m_strRawName.assign(name);
    const std::string& rawName = escaped ? m_strRawName : name;
    m_strOnePassName.clear();
    if (escaped && !m_client.SnapDiffRemoveEscapeSequence(name, m_buffer.pBytes, m_buffer.size,
                                                          &m_strOnePassName))
        return FXErrorUtil::ErrorWin32(SC_LOCATION, ERROR_OPERATION_ABORTED,
                                       "Processing of escape characters failed for file:[%s]",
                                       name.c_str());
    SC_LOG(3,
           "Received[%s] event for path[%s]; inode[%llu]; File type[%d]; accessed[%lld] "
           "changed[%lld] modified[%lld].",
           change.strChangeType.c_str(), name.c_str(),
           static_cast<unsigned long long>(change.ullInode), static_cast<int>(change.uiFileType),
           static_cast<long long>(change.llAtime), static_cast<long long>(change.llCtime),
           static_cast<long long>(change.llMtime));

    const std::string_view relative = NameInVolume(change, rawName);
    if (relative.empty()) return CRyError::Success();

    ChangeEventItem& event = m_event;
    event.clear();
    std::string& path = event.strPath;
    const NamePlacement placement = PlaceNameOfSeveralForms(
        m_share, *m_pMatcher,
        ReceivedName{rawName, m_strOnePassName, relative, change.strChangeType, m_bCluster},
        m_verdicts, path);
    if (placement == NamePlacement::kLeftOut) return CRyError::Success();
    if (placement == NamePlacement::kOrdinary &&
        !m_client.IsEventPartOfBackupPaths(m_shares, path.assign(relative)))
        return CRyError::Success();
    if (HasDotComponent(path)) {
        SC_LOG_ALWAYS(-1,
                      "Skipping SnapDiff change for file:[%s], its path[%s] has a \".\" or \"..\" "
                      "component",
                      rawName.c_str(), path.c_str());
        // The file is real and would be missing from the backup: the share
        // it lies in must be scanned in full instead.
        size_t inVolume = 0;
        const FileServerExportInfo* owner = m_pMatcher->Holding(relative, inVolume);
        if (owner)
            m_verdicts.MarkChangeUndeliverable(owner->strBackupPath, rawName,
                                               "its path has a \".\" or \"..\" component");
        return CRyError::Success();
    }
    // A directory path ends in exactly one "/", whatever the name ended in.
    while (!path.empty() && path.back() == '/') path.pop_back();
    path += '/';

    event.llInode = static_cast<int64_t>(change.ullInode);
    event.llCtime = change.llCtime;
    event.llMtime = change.llMtime;
    event.llAtime = change.llAtime;
    event.llAttribute = change.llAttribute;
    event.uiChangeFlags = ChangeFlagOfText(change.strChangeType);
    // The change is done with: its text moves over instead of being copied.
    event.strChangeType.swap(change.strChangeType);
    event.uiFileType = change.uiFileType;
    CRyError err = m_client.EventDBInsert(event);
    if (err.IsError()) return err.Push(SC_LOCATION);
    ++m_stored;
    return CRyError::Success();
}
