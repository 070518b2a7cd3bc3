#include "host/ManageONTAP.h"

#include "array/ArrayBackend.h"

namespace {
ArrayStatus NotAttached() {
    return ArrayStatus::Fail(kArrayErrNotConnected,
                             "No array connection: no array back end is attached");
}
}  // namespace

ManageONTAP::ManageONTAP() = default;
ManageONTAP::~ManageONTAP() = default;

void ManageONTAP::AttachBackend(const boost::shared_ptr<ArrayBackend>& backend) {
    m_pBackend = backend;
}

// A success leaves the last error alone, as errno does: the client reads it
// only right after a call that failed.
bool ManageONTAP::Record(bool ok, uint32_t code, const std::string& message) {
    if (!ok) m_stLastError.set(code, message);
    return ok;
}

bool ManageONTAP::OpenConnection() {
    const ArrayStatus status = m_pBackend ? m_pBackend->OpenConnection() : NotAttached();
    return Record(status.bOk, status.uiCode, status.strMessage);
}

bool ManageONTAP::IsCluster() { return m_pBackend && m_pBackend->IsCluster(); }

bool ManageONTAP::IsClusterInterface() { return m_pBackend && m_pBackend->IsClusterInterface(); }

bool ManageONTAP::GetFileServerVersion(unsigned& major, unsigned& minor, unsigned& third,
                                       bool refresh) {
    const ArrayStatus status =
        m_pBackend ? m_pBackend->GetVersion(major, minor, third) : NotAttached();
    return Record(status.bOk, status.uiCode, status.strMessage);
}

bool ManageONTAP::GetActualStoragePathForNfsExport(const std::string& exportPath,
                                                   std::string& volumePath) {
    const ArrayStatus status =
        m_pBackend ? m_pBackend->GetStoragePathForExport(exportPath, volumePath) : NotAttached();
    return Record(status.bOk, status.uiCode, status.strMessage);
}

bool ManageONTAP::GetSnapShotList(std::vector<SnapShotInfo_t>& snapshots, std::string volume,
                                  long flags, std::string prefix) {
    // The caller's list may already hold entries; the array's answer is
    // appended, and nothing is appended when the call fails.
    std::vector<SnapShotInfo_t> listed;
    const ArrayStatus status =
        m_pBackend ? m_pBackend->ListSnapshots(volume, prefix, listed) : NotAttached();
    if (status.bOk) snapshots.insert(snapshots.end(), listed.begin(), listed.end());
    return Record(status.bOk, status.uiCode, status.strMessage);
}

bool ManageONTAP::CreateOntapSnap(const std::string& volume, const std::string& name) {
    const ArrayStatus status =
        m_pBackend ? m_pBackend->CreateSnapshot(volume, name) : NotAttached();
    return Record(status.bOk, status.uiCode, status.strMessage);
}

bool ManageONTAP::DeleteOntapSnap(const std::string& volume, const std::string& name, bool* busy) {
    // Our arrays never keep a snapshot alive for another user.
    if (busy) *busy = false;
    const ArrayStatus status =
        m_pBackend ? m_pBackend->DeleteSnapshot(volume, name) : NotAttached();
    return Record(status.bOk, status.uiCode, status.strMessage);
}

bool ManageONTAP::SnapDiffStart(const std::string& volume, const std::string& base,
                                const std::string& incremental, unsigned long maxItems,
                                std::string protocol, std::string& handle, bool& escapedNames,
                                bool& emptyBatchesAllowed) {
    const ArrayStatus status =
        m_pBackend ? m_pBackend->SnapDiffStart(volume, base, incremental, maxItems, protocol,
                                               handle, escapedNames, emptyBatchesAllowed)
                   : NotAttached();
    return Record(status.bOk, status.uiCode, status.strMessage);
}

bool ManageONTAP::SnapDiffNext(const std::string& handle, std::vector<SnapDiffFileInfo>& batch,
                               bool& end) {
    const ArrayStatus status =
        m_pBackend ? m_pBackend->SnapDiffNext(handle, batch, end) : NotAttached();
    return Record(status.bOk, status.uiCode, status.strMessage);
}

bool ManageONTAP::SnapDiffEnd(const std::string& handle) {
    const ArrayStatus status = m_pBackend ? m_pBackend->SnapDiffEnd(handle) : NotAttached();
    return Record(status.bOk, status.uiCode, status.strMessage);
}

unsigned ManageONTAP::GetLastError() { return m_stLastError.uiCode; }

unsigned ManageONTAP::GetLastError(std::string& message) {
    message = m_stLastError.strMessage;
    return m_stLastError.uiCode;
}

void ManageONTAP::GetLastError(MoErrCode_t& error) { error = m_stLastError; }
