#include "array/FaultInjectingBackend.h"

namespace {

// Count keys: the operation alone counts every call; the operation, a
// newline and a volume name counts the calls that name that volume.
std::string AllVolumesKey(const std::string& operation) { return operation; }
std::string VolumeKey(const std::string& operation, const std::string& volumeName) {
    return operation + "\n" + volumeName;
}

// Volume of the session a SnapDiff handle belongs to; empty when unknown.
std::string SessionVolume(const std::map<std::string, std::string>& handleVolumes,
                          const std::string& handle) {
    auto it = handleVolumes.find(handle);
    return it == handleVolumes.end() ? std::string() : it->second;
}

}  // namespace

FaultInjectingBackend::FaultInjectingBackend(const boost::shared_ptr<ArrayBackend>& inner,
                                             const std::vector<ScriptedFault>& faults)
    : m_pInner(inner), m_faults(faults) {}

void FaultInjectingBackend::AddFault(const ScriptedFault& fault) { m_faults.push_back(fault); }

uint64_t FaultInjectingBackend::CallCount(const std::string& operation) const {
    auto it = m_counts.find(AllVolumesKey(operation));
    return it == m_counts.end() ? 0 : it->second;
}

ArrayStatus FaultInjectingBackend::Injected(const std::string& operation,
                                            const std::string& volume) {
    if (m_beforeCall) m_beforeCall(operation);
    const std::string volumeName = VolumeNameOfArgument(volume);
    ++m_counts[AllVolumesKey(operation)];
    if (!volume.empty()) ++m_counts[VolumeKey(operation, volumeName)];

    for (const ScriptedFault& fault : m_faults) {
        if (fault.strOperation != operation) continue;
        std::string key = AllVolumesKey(operation);
        if (!fault.strVolume.empty()) {
            if (VolumeNameOfArgument(fault.strVolume) != volumeName || volume.empty()) continue;
            key = VolumeKey(operation, volumeName);
        }
        if (m_counts[key] != fault.ullNth) continue;
        if (fault.bDropConnection) m_bDropped = true;
        return ArrayStatus::Fail(fault.uiCode, fault.strMessage);
    }
    if (m_bDropped)
        return ArrayStatus::Fail(kArrayErrNotConnected, "The connection to the array was dropped");
    return ArrayStatus::Ok();
}

ArrayStatus FaultInjectingBackend::Run(const std::string& operation, const std::string& volume,
                                       std::vector<std::string> arguments,
                                       const std::function<ArrayStatus()>& call) {
    ArrayStatus status = Injected(operation, volume);
    if (status.bOk) status = call();
    m_calls.push_back(Call{operation, std::move(arguments), status.bOk, status.uiCode});
    return status;
}

ArrayStatus FaultInjectingBackend::OpenConnection() {
    return Run("OpenConnection", "", {}, [&] { return m_pInner->OpenConnection(); });
}

// A bool answer cannot carry a failure: these calls are only counted and
// recorded, so that tests see the order of calls and a fault's Nth count.
bool FaultInjectingBackend::IsCluster() {
    Injected("IsCluster", "");
    m_calls.push_back(Call{"IsCluster", {}, true, 0});
    return m_pInner->IsCluster();
}

bool FaultInjectingBackend::IsClusterInterface() {
    Injected("IsClusterInterface", "");
    m_calls.push_back(Call{"IsClusterInterface", {}, true, 0});
    return m_pInner->IsClusterInterface();
}

ArrayStatus FaultInjectingBackend::GetVersion(unsigned& major, unsigned& minor, unsigned& third) {
    return Run("GetFileServerVersion", "", {},
               [&] { return m_pInner->GetVersion(major, minor, third); });
}

ArrayStatus FaultInjectingBackend::GetStoragePathForExport(const std::string& exportPath,
                                                           std::string& volumePath) {
    return Run("GetActualStoragePathForNfsExport", exportPath, {exportPath},
               [&] { return m_pInner->GetStoragePathForExport(exportPath, volumePath); });
}

ArrayStatus FaultInjectingBackend::ListSnapshots(const std::string& volume,
                                                 const std::string& prefix,
                                                 std::vector<SnapShotInfo_t>& snapshots) {
    return Run("GetSnapShotList", volume, {volume, prefix},
               [&] { return m_pInner->ListSnapshots(volume, prefix, snapshots); });
}

ArrayStatus FaultInjectingBackend::CreateSnapshot(const std::string& volume,
                                                  const std::string& name) {
    return Run("CreateOntapSnap", volume, {volume, name},
               [&] { return m_pInner->CreateSnapshot(volume, name); });
}

ArrayStatus FaultInjectingBackend::DeleteSnapshot(const std::string& volume,
                                                  const std::string& name) {
    return Run("DeleteOntapSnap", volume, {volume, name},
               [&] { return m_pInner->DeleteSnapshot(volume, name); });
}

ArrayStatus FaultInjectingBackend::SnapDiffStart(const std::string& volume, const std::string& base,
                                                 const std::string& incremental,
                                                 unsigned long maxItems,
                                                 const std::string& protocol, std::string& handle,
                                                 bool& escapedNames, bool& emptyBatchesAllowed) {
    // Recording the call may run out of memory after the inner back end
    // opened the session: a failed start opens none, so it is ended again.
    bool opened = false;
    try {
        const ArrayStatus status =
            Run("SnapDiffStart", volume,
                {volume, base, incremental, std::to_string(maxItems), protocol}, [&] {
                    const ArrayStatus started =
                        m_pInner->SnapDiffStart(volume, base, incremental, maxItems, protocol,
                                                handle, escapedNames, emptyBatchesAllowed);
                    opened = started.bOk;
                    return started;
                });
        if (status.bOk) m_handleVolumes[handle] = VolumeNameOfArgument(volume);
        return status;
    } catch (...) {
        if (opened) m_pInner->SnapDiffEnd(handle);
        throw;
    }
}

ArrayStatus FaultInjectingBackend::SnapDiffNext(const std::string& handle,
                                                std::vector<SnapDiffFileInfo>& batch, bool& end) {
    const std::string volume = SessionVolume(m_handleVolumes, handle);
    return Run("SnapDiffNext", volume, {handle, volume},
               [&] { return m_pInner->SnapDiffNext(handle, batch, end); });
}

ArrayStatus FaultInjectingBackend::SnapDiffEnd(const std::string& handle) {
    const std::string volume = SessionVolume(m_handleVolumes, handle);
    return Run("SnapDiffEnd", volume, {handle, volume},
               [&] { return m_pInner->SnapDiffEnd(handle); });
}
