// Keeps the job history record of the running job: Start writes it as
// "running" before the first plug-in call; as an observer it notes, for
// each share, whether everything the agent's reader was given got there;
// Finish writes what the job did. See JobHistory.h.
#pragma once

#include "tools/JobHistory.h"
#include "tools/JobRunner.h"

#include <functional>
#include <string>
#include <vector>

namespace snapagent {

class HistoryRecorder : public JobObserver {
public:
    // volumeOf: the volume the plug-in resolved a share to, or empty.
    HistoryRecorder(const std::string& stateDir, const JobSpec& plan,
                    std::function<std::string(const std::string&)> volumeOf);

    // Each fails as WriteJobRecord does.
    hostlib::Status Start();
    void OnShareDone(const ShareResult& share) override;
    // state: "done", "incomplete", "failed" or "stopped"; why: the error
    // that ended a failed or stopped job.
    hostlib::Status Finish(const JobResult& result, const std::string& state,
                           const std::string& why);

private:
    std::string m_strStateDir;
    std::function<std::string(const std::string&)> m_volumeOf;
    JobRecord m_record;
    std::vector<bool> m_received;  // per share, in the order of their outcomes
};

}  // namespace snapagent
