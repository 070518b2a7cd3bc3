#include "tools/AgentLog.h"

#include "host/FXString.h"
#include "host/VKPlatformInfo.h"
#include "tools/ItemText.h"

namespace snapagent {

AgentLog::AgentLog(bool toStderr, const std::string& stateDir, long long jobId) {
    int level = 0;
    VKPlatformInfo::getRegInt("log", "level", &level);
    if (!toStderr && !VKPlatformInfo::getRegString("log", "file", &m_strPath))
        m_strPath = stateDir + "/snapagent.log";
    m_file.reset(new CFileLogWriter(level, toStderr ? std::string() : m_strPath));
    m_file->SetJobId(jobId);
    m_pPrevious = SetLogWriter(this);
}

AgentLog::~AgentLog() { SetLogWriter(m_pPrevious); }

void AgentLog::LogV(int level, const char* function, int line, const char* format,
                    va_list args) {
    const std::string message = FXString::FormatV(format, args);
    if (level < 0) m_failures.push_back(OneLine(message));
    m_file->Log(level, function, line, "%s", message.c_str());
}

std::string AgentLog::FailureNaming(const std::string& share) const {
    std::string bare = share;
    while (bare.size() > 1 && bare.back() == '/') bare.pop_back();
    for (size_t i = m_nMark; i < m_failures.size(); ++i) {
        const size_t at = m_failures[i].find(bare);
        // The share itself, not a longer path that starts with its text.
        const size_t end = at + bare.size();
        if (at != std::string::npos &&
            (end == m_failures[i].size() || std::string("]/ ,.:").find(m_failures[i][end]) !=
                                                 std::string::npos))
            return m_failures[i];
    }
    return std::string();
}

}  // namespace snapagent
