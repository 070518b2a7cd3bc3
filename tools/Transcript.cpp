#include "tools/Transcript.h"

#include "array/ScriptJson.h"
#include "host/FXFile.h"
#include "hostlib/OutputFailure.h"
#include "tools/FileOps.h"
#include "tools/ItemJson.h"

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

namespace snapagent {
namespace {

nlohmann::ordered_json PathArray(const std::list<std::string>& paths) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const std::string& path : paths) array.push_back(BytesToOrderedJson(path));
    return array;
}

}  // namespace

TranscriptWriter::TranscriptWriter() : m_pPreviousEvents(ISendEventInterface::SetInstance(this)) {}

TranscriptWriter::~TranscriptWriter() {
    ISendEventInterface::SetInstance(m_pPreviousEvents);
    Close();
}

hostlib::Status TranscriptWriter::Open(const std::string& path) {
    m_strPath = path;
    if (path == "-") {
        m_pFile = stdout;
        return hostlib::Status::OK();
    }
    // It names every changed file: created 0600, never through a link.
    const CRyError opened = FXFile::vkfopen(m_pFile, path, "w");
    if (m_pFile) return hostlib::Status::OK();
    return hostlib::Status::IOError("cannot write transcript: " + opened.Message());
}

void TranscriptWriter::Close() {
    if (!m_pFile || m_pFile == stdout) return;  // stdout is closed by main
    if (fclose(m_pFile) != 0)
        OutputFailure::Note("cannot close transcript [" + m_strPath + "]", errno);
    m_pFile = nullptr;
}

void TranscriptWriter::Write(const nlohmann::ordered_json& line) {
    if (!m_pFile) return;
    const std::string text = line.dump() + "\n";
    // Line by line, so a reader (or an interrupted job) has every line so far.
    if (!WriteAndFlush(m_pFile, text))
        OutputFailure::Note("cannot write transcript [" + m_strPath + "]", errno);
}

void TranscriptWriter::WriteJob(const JobSpec& plan) {
    m_placeholders.SetFolder(plan.strResultsDir, "${RESULTS}");
    nlohmann::ordered_json line;
    line["type"] = "job";
    line["client"] = plan.ulClientId;
    line["app1"] = plan.ulAppId1;
    line["app2"] = plan.ulAppId2;
    line["job"] = plan.llJobId;
    line["prev"] = plan.llPrevJobId;
    line["shares"] = PathArray(plan.shares);
    line["auto_mount"] = plan.bAutoMount;
    line["failed_mounts"] = PathArray(plan.failedMounts);
    line["cleanup"] = plan.bCleanup;
    Write(line);
}

void TranscriptWriter::WriteEnd(const JobResult& result) {
    nlohmann::ordered_json line;
    line["type"] = "end";
    line["outcome"] = result.bInterrupted ? "interrupted" : result.bOk ? "done" : "failed";
    line["failed_step"] = result.strFailedStep;
    Write(line);
}

void TranscriptWriter::OnCalling(const std::string& operation) { m_strOperation = operation; }

void TranscriptWriter::OnStep(const std::string& operation, const CRyError& result) {
    nlohmann::ordered_json line;
    line["type"] = "call";
    line["op"] = operation;
    line["result"] = ErrorJson(result, m_placeholders);
    Write(line);
    m_strOperation.clear();
}

void TranscriptWriter::OnSharesKept(const std::list<std::string>& shares) {
    nlohmann::ordered_json line;
    line["type"] = "kept_shares";
    line["shares"] = PathArray(shares);
    Write(line);
}

void TranscriptWriter::OnReadPaths(const std::map<std::string, std::string>& readPaths) {
    nlohmann::ordered_json map = nlohmann::ordered_json::array();
    for (const auto& entry : readPaths) {
        nlohmann::ordered_json pair;
        pair["path"] = BytesToOrderedJson(entry.first);
        pair["read_path"] = BytesToOrderedJson(entry.second);
        map.push_back(pair);
    }
    nlohmann::ordered_json line;
    line["type"] = "path_map";
    line["map"] = map;
    Write(line);
}

void TranscriptWriter::WriteItem(const std::string& share,
                                 const FileServerSnapshotCompareItem& item) {
    nlohmann::ordered_json line;
    line["type"] = "item";
    AppendItemJson(share, item, line);
    Write(line);
}

void TranscriptWriter::OnItem(const std::string& share, const FileServerSnapshotCompareItem& item) {
    WriteItem(share, item);
}

void TranscriptWriter::OnListEnd(const std::string& share,
                                 const FileServerSnapshotCompareItem& item) {
    WriteItem(share, item);
}

void TranscriptWriter::OnShareDone(const ShareResult& share) {
    nlohmann::ordered_json line;
    line["type"] = "share";
    AppendShareSummaryJson(share, StableTextJson(share.strFullScanReason, m_placeholders), line);
    Write(line);
}

void TranscriptWriter::SendEvent(const CRyError& event, int severity, int flags) {
    const nlohmann::ordered_json error = ErrorJson(event, m_placeholders);
    nlohmann::ordered_json line;
    line["type"] = "event";
    line["during"] = m_strOperation;
    line["event_id"] = event.EventId();
    line["args"] = error["args"];
    line["severity"] = severity;
    line["flags"] = flags;
    line["text"] = error["text"];
    Write(line);
    // The host's recorder still keeps every event, as without a transcript.
    if (m_pPreviousEvents) m_pPreviousEvents->SendEvent(event, severity, flags);
}

}  // namespace snapagent
