// One SnapDiff run over the volume of the share the agent asked for, on the
// stack of its comparison: the shares it serves and their matcher, its
// SnapDiff session, the name decode buffer and its counts. Every change is
// decoded, placed under the backup path of the share that holds it and
// stored through the client's own operations (SnapDiffRemoveEscapeSequence,
// IsEventPartOfBackupPaths, EventDBInsert), so that an override of them
// takes effect; while the run lives, the client matches the run's shares
// through the run's matcher (published). The session ends on every way out
// of the run, an exception included. No locks.
#pragma once

#include "host/CRyError.h"
#include "host/ManageONTAP.h"
#include "snapclient/scan/SnapDiffName.h"
#include "snapclient/scan/SnapDiffSession.h"

#include <list>
#include <memory>
#include <string>
#include <string_view>

class CNetAppSnapClient;
class ShareMatcher;
class ShareVerdicts;

class VolumeRun {
public:
    VolumeRun(CNetAppSnapClient& client, ManageONTAP& array, const FileServerExportInfo& share,
              ShareVerdicts& verdicts, const ShareMatcher*& published);
    ~VolumeRun();
    VolumeRun(const VolumeRun&) = delete;
    VolumeRun& operator=(const VolumeRun&) = delete;

    // The shares the run serves, the asked one first; filled by the caller.
    std::list<FileServerExportInfo>& Shares() { return m_shares; }
    // Once the shares are known: builds and publishes their matcher, and
    // clears what an earlier run found undeliverable of them.
    void ServeShares();
    // Opens the SnapDiff session between the share's two snapshots; false as
    // the array answered (its last error says why).
    bool Start(int maxItems);
    // Receives and stores every change until the array sends no more.
    CRyError ReceiveChanges();
    void ReleaseBuffer() { m_buffer.Release(); }

    unsigned long long Received() const { return m_received; }
    unsigned long long Stored() const { return m_stored; }

private:
    CRyError StoreChange(SnapDiffFileInfo& change);
    // The change's decoded name inside the volume; empty (logged) when there
    // is none to store. The volume root becomes "/", a changed directory.
    std::string_view NameInVolume(SnapDiffFileInfo& change, const std::string& rawName);

    CNetAppSnapClient& m_client;
    ManageONTAP& m_array;
    const FileServerExportInfo& m_share;
    ShareVerdicts& m_verdicts;
    const ShareMatcher*& m_published;
    std::list<FileServerExportInfo> m_shares;
    std::unique_ptr<ShareMatcher> m_pMatcher;
    SnapDiffSession m_session;
    bool m_bCluster = false;
    int m_emptyBatches = 0;
    unsigned long long m_received = 0;
    unsigned long long m_stored = 0;
    DecodeBuffer m_buffer;
    // Reused for every change so that storing one costs no allocation.
    std::string m_strRawName;
    std::string m_strOnePassName;
    ChangeEventItem m_event;
};
