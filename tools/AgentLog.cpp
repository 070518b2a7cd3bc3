#include "tools/AgentLog.h"

#include "host/FXString.h"
#include "host/VKPlatformInfo.h"
#include "tools/ItemText.h"

namespace snapagent {
namespace {
// A path without its trailing delimiters, as the plug-in and the agent may
// write a share either way.
std::string Bare(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The text between the first open and the next close after it.
bool Field(const std::string& text, const std::string& open, const std::string& close,
           std::string& value) {
    const size_t start = text.find(open);
    const size_t end = start == std::string::npos ? start : text.find(close, start + open.size());
    if (end == std::string::npos) return false;
    value = text.substr(start + open.size(), end - start - open.size());
    return true;
}
}  // namespace

AgentLog::AgentLog(bool toStderr, const std::string& stateDir, long long clientId,
                   long long jobId) {
    int level = 0;
    VKPlatformInfo::getRegInt("log", "level", &level);
    if (!VKPlatformInfo::getRegString("log", "file", &m_strPath))
        m_strPath = stateDir + "/snapagent.log";
    m_file.reset(new CFileLogWriter(level, m_strPath));
    m_file->SetJobId(jobId);
    m_file->SetClientId(clientId);
    if (toStderr) {
        m_stderr.reset(new CFileLogWriter(level, std::string()));
        m_stderr->SetJobId(jobId);
        m_stderr->SetClientId(clientId);
    }
    m_pPrevious = SetLogWriter(this);
}

AgentLog::~AgentLog() { SetLogWriter(m_pPrevious); }

void AgentLog::LogV(int level, const char* function, int line, const char* format, va_list args) {
    const std::string message = FXString::FormatV(format, args);
    if (level < 0) m_failures.push_back(OneLine(m_stderr ? message : WithoutLocations(message)));
    // The plug-in's resolution of a share, at level 0:
    // "Backup Path[P], Export Path[E], Volume[V], VolumePath[W]."
    std::string path, volume;
    if (level == 0 && message.compare(0, 12, "Backup Path[") == 0 &&
        Field(message, "Backup Path[", "], Export Path[", path) &&
        Field(message, "], Volume[", "], VolumePath[", volume))
        m_volumes[Bare(path)] = volume;
    m_file->Log(level, function, line, "%s", message.c_str());
    if (m_stderr) m_stderr->Log(level, function, line, "%s", message.c_str());
}

std::string AgentLog::VolumeOf(const std::string& share) const {
    const auto found = m_volumes.find(Bare(share));
    return found == m_volumes.end() ? std::string() : found->second;
}

std::string AgentLog::FailureNaming(const std::string& share) const {
    const std::string bare = Bare(share);
    for (size_t i = m_nMark; i < m_failures.size(); ++i) {
        const size_t at = m_failures[i].find(bare);
        // The share itself, not a longer path that starts with its text.
        const size_t end = at + bare.size();
        if (at != std::string::npos &&
            (end == m_failures[i].size() ||
             std::string("]/ ,.:").find(m_failures[i][end]) != std::string::npos))
            return m_failures[i];
    }
    return std::string();
}

}  // namespace snapagent
