#include "tools/StopSignals.h"

namespace snapagent {
namespace {

volatile sig_atomic_t g_stopSignal = 0;

void NoteStop(int signal) { g_stopSignal = signal; }

}  // namespace

StopSignals::StopSignals() {
    g_stopSignal = 0;
    struct sigaction action = {};
    action.sa_handler = NoteStop;
    sigemptyset(&action.sa_mask);
    // Restarted system calls: a signal must not turn a file write of the
    // client or the array into a failure.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &m_previousInt);
    sigaction(SIGTERM, &action, &m_previousTerm);
}

StopSignals::~StopSignals() {
    sigaction(SIGINT, &m_previousInt, nullptr);
    sigaction(SIGTERM, &m_previousTerm, nullptr);
}

bool StopSignals::Requested() { return g_stopSignal != 0; }

int StopSignals::Signal() { return g_stopSignal; }

}  // namespace snapagent
