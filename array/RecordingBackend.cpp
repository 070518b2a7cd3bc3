#include "array/RecordingBackend.h"

#include "array/ScriptJson.h"
#include "host/LogWriter.h"

RecordingBackend::RecordingBackend(const boost::shared_ptr<ArrayBackend>& inner,
                                   const std::string& recordPath, const std::string& arrayName,
                                   const std::string& clientName)
    : m_pInner(inner), m_strRecordPath(recordPath) {
    m_script.strArrayName = arrayName;
    m_script.strClientName = clientName;
}

RecordingBackend::~RecordingBackend() {
    const hostlib::Status saved = Save();
    if (!saved.ok() && g_ptrLogWriter)
        g_ptrLogWriter->Log(-1, __PRETTY_FUNCTION__, __LINE__, "Array recording not written: %s",
                            saved.message().c_str());
}

hostlib::Status RecordingBackend::Save() const {
    return SaveArrayScript(m_strRecordPath, m_script);
}

ArrayStatus RecordingBackend::Seen(const std::string& operation, const ArrayStatus& status) {
    const uint64_t nth = ++m_calls[operation];
    if (!status.bOk) {
        ScriptedFault fault;
        fault.strOperation = operation;
        fault.ullNth = nth;
        fault.uiCode = status.uiCode;
        fault.strMessage = status.strMessage;
        m_script.vecFaults.push_back(fault);
    }
    return status;
}

void RecordingBackend::Sighted(const std::string& volume, const std::string& name, bool existed) {
    const std::string volumeName = VolumeNameOfArgument(volume);
    if (!m_sighted.insert(std::make_pair(volumeName, name)).second) return;
    if (existed) m_script.mapSnapshots[volumeName].insert(name);
}

ArrayStatus RecordingBackend::OpenConnection() {
    return Seen("OpenConnection", m_pInner->OpenConnection());
}

bool RecordingBackend::IsCluster() {
    m_script.bCluster = m_pInner->IsCluster();
    Seen("IsCluster", ArrayStatus::Ok());
    return m_script.bCluster;
}

bool RecordingBackend::IsClusterInterface() {
    m_script.bClusterInterface = m_pInner->IsClusterInterface();
    Seen("IsClusterInterface", ArrayStatus::Ok());
    return m_script.bClusterInterface;
}

ArrayStatus RecordingBackend::GetVersion(unsigned& major, unsigned& minor, unsigned& third) {
    const ArrayStatus status = m_pInner->GetVersion(major, minor, third);
    if (status.bOk) {
        m_script.uiVersion[0] = major;
        m_script.uiVersion[1] = minor;
        m_script.uiVersion[2] = third;
    }
    return Seen("GetFileServerVersion", status);
}

ArrayStatus RecordingBackend::GetStoragePathForExport(const std::string& exportPath,
                                                      std::string& volumePath) {
    const ArrayStatus status = m_pInner->GetStoragePathForExport(exportPath, volumePath);
    if (status.bOk) m_script.mapExports[exportPath] = volumePath;
    return Seen("GetActualStoragePathForNfsExport", status);
}

ArrayStatus RecordingBackend::ListSnapshots(const std::string& volume, const std::string& prefix,
                                            std::vector<SnapShotInfo_t>& snapshots) {
    const ArrayStatus status = m_pInner->ListSnapshots(volume, prefix, snapshots);
    if (status.bOk)
        for (const SnapShotInfo_t& snapshot : snapshots) Sighted(volume, snapshot.strName, true);
    return Seen("GetSnapShotList", status);
}

ArrayStatus RecordingBackend::CreateSnapshot(const std::string& volume, const std::string& name) {
    const ArrayStatus status = m_pInner->CreateSnapshot(volume, name);
    if (status.bOk || status.uiCode == kArrayErrSnapshotExists) Sighted(volume, name, !status.bOk);
    return Seen("CreateOntapSnap", status);
}

ArrayStatus RecordingBackend::DeleteSnapshot(const std::string& volume, const std::string& name) {
    const ArrayStatus status = m_pInner->DeleteSnapshot(volume, name);
    if (status.bOk || status.uiCode == kArrayErrNotFound) Sighted(volume, name, status.bOk);
    return Seen("DeleteOntapSnap", status);
}

ArrayStatus RecordingBackend::SnapDiffStart(const std::string& volume, const std::string& base,
                                            const std::string& incremental, unsigned long maxItems,
                                            const std::string& protocol, std::string& handle,
                                            bool& escapedNames, bool& emptyBatchesAllowed) {
    const ArrayStatus status = m_pInner->SnapDiffStart(
        volume, base, incremental, maxItems, protocol, handle, escapedNames, emptyBatchesAllowed);
    // Recording the session may run out of memory after the inner back end
    // opened it: a failed start opens none, so it is ended again.
    if (status.bOk) {
        try {
            const DiffKey key(VolumeNameOfArgument(volume), base, incremental);
            auto inserted = m_script.mapSnapDiffs.emplace(key, ScriptedSnapDiff());
            if (inserted.second) {
                inserted.first->second.bEscapedNames = escapedNames;
                inserted.first->second.bEmptyBatchesAllowed = emptyBatchesAllowed;
            }
            m_sessions[handle] = Session{key, 0};
        } catch (...) {
            m_pInner->SnapDiffEnd(handle);
            throw;
        }
    }
    return Seen("SnapDiffStart", status);
}

ArrayStatus RecordingBackend::SnapDiffNext(const std::string& handle,
                                           std::vector<SnapDiffFileInfo>& batch, bool& end) {
    const ArrayStatus status = m_pInner->SnapDiffNext(handle, batch, end);
    auto session = m_sessions.find(handle);
    if (status.bOk && session != m_sessions.end()) {
        // A replay sends the recorded batches again from the first on every
        // start, so a later run on the same key adds only what lies beyond
        // what an earlier run already received.
        std::vector<ScriptedBatch>& batches = m_script.mapSnapDiffs[session->second.key].vecBatches;
        if (session->second.nextBatch++ == batches.size()) {
            ScriptedBatch recorded;
            recorded.vecChanges = batch;
            recorded.bEnd = end;
            batches.push_back(std::move(recorded));
        }
        if (end) m_sessions.erase(session);
    }
    return Seen("SnapDiffNext", status);
}

ArrayStatus RecordingBackend::SnapDiffEnd(const std::string& handle) {
    m_sessions.erase(handle);
    return Seen("SnapDiffEnd", m_pInner->SnapDiffEnd(handle));
}
