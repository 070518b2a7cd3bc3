// The job transcript (snapagent job --transcript FILE, docs/transcript.md):
// one JSON line per thing the agent sees, in the order it sees it, written
// and flushed as it happens, so that an interrupted job leaves every line
// up to the interruption. While it lives, the writer is the host's job event
// service, so each event the client sends becomes a line too (between the
// start of the call that sent it and that call's result line).
#pragma once

#include "host/SendEvent.h"
#include "hostlib/Status.h"
#include "tools/ErrorJson.h"
#include "tools/JobRunner.h"

#include <cstdio>
#include <nlohmann/json_fwd.hpp>
#include <string>

namespace snapagent {

class TranscriptWriter : public JobObserver, public ISendEventInterface {
public:
    // Takes over the job event service until destroyed.
    TranscriptWriter();
    ~TranscriptWriter() override;
    TranscriptWriter(const TranscriptWriter&) = delete;
    TranscriptWriter& operator=(const TranscriptWriter&) = delete;

    // An I/O error when the file cannot be created. "-" is stdout.
    hostlib::Status Open(const std::string& path);

    // Closes the file (not stdout); a failure is noted in OutputFailure, as
    // is every failed write.
    void Close();

    void WriteJob(const JobSpec& plan);
    void WriteEnd(const JobResult& result);

    void OnCalling(const std::string& operation) override;
    void OnStep(const std::string& operation, const CRyError& result) override;
    void OnSharesKept(const std::list<std::string>& shares) override;
    void OnReadPaths(const std::map<std::string, std::string>& readPaths) override;
    void OnItem(const std::string& share, const FileServerSnapshotCompareItem& item) override;
    void OnListEnd(const std::string& share, const FileServerSnapshotCompareItem& item) override;
    void OnShareDone(const ShareResult& share) override;
    void SendEvent(const CRyError& event, int severity, int flags) override;

private:
    void Write(const nlohmann::ordered_json& line);
    void WriteItem(const std::string& share, const FileServerSnapshotCompareItem& item);

    FILE* m_pFile = nullptr;
    std::string m_strPath;
    ISendEventInterface* m_pPreviousEvents;
    TextPlaceholders m_placeholders;
    std::string m_strOperation;  // the plug-in call in progress
};

}  // namespace snapagent
