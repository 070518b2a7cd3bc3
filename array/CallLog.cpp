#include "array/CallLog.h"

#include "array/ScriptJson.h"
#include "hostlib/OutputFailure.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

using nlohmann::ordered_json;

namespace {
ordered_json Bytes(const std::string& bytes) { return BytesToOrderedJson(bytes); }
}  // namespace

hostlib::Status CallLog::Open(const std::string& path) {
    // The calls name the job's volumes and snapshots: 0600, never through a link.
    m_fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_fd < 0)
        return hostlib::Status::IOError(
            "calls log [" + path +
            "]: cannot open: " + (errno == ELOOP ? "it is a symbolic link" : std::strerror(errno)));
    m_strPath = path;
    return hostlib::Status::OK();
}

CallLog::~CallLog() {
    if (m_fd >= 0 && close(m_fd) != 0)
        OutputFailure::Note("cannot close the calls log [" + m_strPath + "]", errno);
}

void CallLog::Write(const std::string& operation, const ordered_json& arguments,
                    const ArrayStatus& result, const ordered_json& out) {
    ordered_json line;
    line["op"] = operation;
    line["args"] = arguments.is_null() ? ordered_json::object() : arguments;
    line["ok"] = result.bOk;
    line["code"] = result.uiCode;
    line["message"] = Bytes(result.strMessage);
    line["out"] = out.is_null() ? ordered_json::object() : out;
    const std::string text = line.dump() + "\n";
    // The array call itself stands as answered; the agent ends the job at
    // its next check, as for any output it could not write.
    const ssize_t written = write(m_fd, text.data(), text.size());
    if (written != static_cast<ssize_t>(text.size()))
        OutputFailure::Note("cannot write the calls log [" + m_strPath + "]",
                            written < 0 ? errno : ENOSPC);
}

CallLoggingBackend::CallLoggingBackend(const boost::shared_ptr<ArrayBackend>& inner,
                                       const boost::shared_ptr<CallLog>& log)
    : m_pInner(inner), m_pLog(log) {}

ArrayStatus CallLoggingBackend::OpenConnection() {
    const ArrayStatus status = m_pInner->OpenConnection();
    m_pLog->Write("OpenConnection", nullptr, status, nullptr);
    return status;
}

bool CallLoggingBackend::IsCluster() {
    const bool cluster = m_pInner->IsCluster();
    m_pLog->Write("IsCluster", nullptr, ArrayStatus::Ok(), {{"cluster", cluster}});
    return cluster;
}

bool CallLoggingBackend::IsClusterInterface() {
    const bool clusterInterface = m_pInner->IsClusterInterface();
    m_pLog->Write("IsClusterInterface", nullptr, ArrayStatus::Ok(),
                  {{"cluster_interface", clusterInterface}});
    return clusterInterface;
}

ArrayStatus CallLoggingBackend::GetVersion(unsigned& major, unsigned& minor, unsigned& third) {
    const ArrayStatus status = m_pInner->GetVersion(major, minor, third);
    m_pLog->Write("GetFileServerVersion", nullptr, status,
                  status.bOk ? ordered_json{{"version", {major, minor, third}}} : nullptr);
    return status;
}

ArrayStatus CallLoggingBackend::GetStoragePathForExport(const std::string& exportPath,
                                                        std::string& volumePath) {
    const ArrayStatus status = m_pInner->GetStoragePathForExport(exportPath, volumePath);
    m_pLog->Write("GetActualStoragePathForNfsExport", {{"export", Bytes(exportPath)}}, status,
                  status.bOk ? ordered_json{{"volume_path", Bytes(volumePath)}} : nullptr);
    return status;
}

ArrayStatus CallLoggingBackend::ListSnapshots(const std::string& volume, const std::string& prefix,
                                              std::vector<SnapShotInfo_t>& snapshots) {
    const ArrayStatus status = m_pInner->ListSnapshots(volume, prefix, snapshots);
    ordered_json out;
    if (status.bOk) {
        ordered_json names = ordered_json::array();
        for (const SnapShotInfo_t& snapshot : snapshots) names.push_back(Bytes(snapshot.strName));
        out["snapshots"] = std::move(names);
    }
    m_pLog->Write("GetSnapShotList", {{"volume", Bytes(volume)}, {"prefix", Bytes(prefix)}}, status,
                  out);
    return status;
}

ArrayStatus CallLoggingBackend::CreateSnapshot(const std::string& volume, const std::string& name) {
    const ArrayStatus status = m_pInner->CreateSnapshot(volume, name);
    m_pLog->Write("CreateOntapSnap", {{"volume", Bytes(volume)}, {"name", Bytes(name)}}, status,
                  nullptr);
    return status;
}

ArrayStatus CallLoggingBackend::DeleteSnapshot(const std::string& volume, const std::string& name) {
    const ArrayStatus status = m_pInner->DeleteSnapshot(volume, name);
    m_pLog->Write("DeleteOntapSnap", {{"volume", Bytes(volume)}, {"name", Bytes(name)}}, status,
                  nullptr);
    return status;
}

ArrayStatus CallLoggingBackend::SnapDiffStart(const std::string& volume, const std::string& base,
                                              const std::string& incremental,
                                              unsigned long maxItems, const std::string& protocol,
                                              std::string& handle, bool& escapedNames,
                                              bool& emptyBatchesAllowed) {
    const ArrayStatus status = m_pInner->SnapDiffStart(
        volume, base, incremental, maxItems, protocol, handle, escapedNames, emptyBatchesAllowed);
    m_pLog->Write("SnapDiffStart",
                  {{"volume", Bytes(volume)},
                   {"base", Bytes(base)},
                   {"incremental", Bytes(incremental)},
                   {"max_items", maxItems},
                   {"protocol", Bytes(protocol)}},
                  status,
                  status.bOk ? ordered_json{{"handle", Bytes(handle)},
                                            {"escaped_names", escapedNames},
                                            {"empty_batches_allowed", emptyBatchesAllowed}}
                             : nullptr);
    return status;
}

ArrayStatus CallLoggingBackend::SnapDiffNext(const std::string& handle,
                                             std::vector<SnapDiffFileInfo>& batch, bool& end) {
    const ArrayStatus status = m_pInner->SnapDiffNext(handle, batch, end);
    m_pLog->Write("SnapDiffNext", {{"handle", Bytes(handle)}}, status,
                  status.bOk ? ordered_json{{"batch_size", batch.size()}, {"end", end}} : nullptr);
    return status;
}

ArrayStatus CallLoggingBackend::SnapDiffEnd(const std::string& handle) {
    const ArrayStatus status = m_pInner->SnapDiffEnd(handle);
    m_pLog->Write("SnapDiffEnd", {{"handle", Bytes(handle)}}, status, nullptr);
    return status;
}
