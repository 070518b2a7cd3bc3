// SIGINT and SIGTERM during a job: the handler only notes the signal, and
// the job runner stops at its next check, between plug-in calls or pulls,
// so no call on the array is cut off half-way. Installed for the lifetime
// of a StopSignals object; the previous handlers come back afterwards.
#pragma once

#include <csignal>

namespace snapagent {

class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // True once SIGINT or SIGTERM arrived.
    static bool Requested();
    // The signal that asked to stop, 0 when none did.
    static int Signal();

private:
    struct sigaction m_previousInt;
    struct sigaction m_previousTerm;
};

}  // namespace snapagent
