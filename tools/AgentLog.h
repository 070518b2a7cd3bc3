// The plug-in's log as snapagent keeps it: to a file ([log] file, else
// snapagent.log in the state folder), copied to stderr with --verbose, at
// the config's [log] level (0 by default), each line with its time, process
// client and job id (hostlib/FileLogWriter.h has the format). While it is installed
// it also keeps the text of every failure line (level -1), so that the
// agent can tell an operator why a share was dropped or a step failed
// without sending them to the log; those texts carry code locations only
// with --verbose.
#pragma once

#include "hostlib/FileLogWriter.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace snapagent {

class AgentLog : public CLogWriterInterface {
public:
    // toStderr: --verbose. Installs itself as the host's log writer.
    AgentLog(bool toStderr, const std::string& stateDir, long long clientId, long long jobId);
    ~AgentLog() override;
    AgentLog(const AgentLog&) = delete;
    AgentLog& operator=(const AgentLog&) = delete;

    int GetLevel() const override { return m_file->GetLevel(); }
    void LogV(int level, const char* function, int line, const char* format, va_list args) override;

    const std::string& Path() const { return m_strPath; }
    // Failure lines so far.
    const std::vector<std::string>& Failures() const { return m_failures; }
    // From now on FailureNaming looks at the lines written after this call.
    void Mark() { m_nMark = m_failures.size(); }
    std::vector<std::string> FailuresSinceMark() const {
        return std::vector<std::string>(m_failures.begin() + m_nMark, m_failures.end());
    }
    // The first failure line since Mark that names share; empty if none does.
    std::string FailureNaming(const std::string& share) const;
    // The volume the plug-in resolved share to in this job (its level 0
    // resolution line); empty when it did not log one.
    std::string VolumeOf(const std::string& share) const;

private:
    std::unique_ptr<CFileLogWriter> m_file;
    std::unique_ptr<CFileLogWriter> m_stderr;  // --verbose
    std::string m_strPath;
    CLogWriterInterface* m_pPrevious;
    std::vector<std::string> m_failures;
    std::map<std::string, std::string> m_volumes;  // backup path -> volume
    size_t m_nMark = 0;
};

}  // namespace snapagent
