#include "tools/StopSignals.h"

#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstring>

namespace snapagent {
namespace {

volatile sig_atomic_t g_stopSignal = 0;
volatile sig_atomic_t g_urgent = 0;
volatile sig_atomic_t g_requests = 0;
volatile sig_atomic_t g_terminal = 0;

// The handler may only write what is ready: two buffers, the one it reads
// switched once the other is complete.
const size_t kNoticeSize = 512;
char g_notices[2][kNoticeSize];
volatile sig_atomic_t g_notice = 0;

void Write(const char* text) {
    for (size_t left = strlen(text); left > 0;) {
        const ssize_t n = write(STDERR_FILENO, text, left);
        if (n <= 0) return;
        text += n;
        left -= static_cast<size_t>(n);
    }
}

void NoteStop(int signal) {
    g_stopSignal = signal;
    const bool first = g_requests++ == 0;
    if (signal == SIGTERM || !first) g_urgent = 1;
    // A status line being redrawn in place on a terminal is cleared first.
    if (g_terminal) Write("\r\033[K");
    // Quiet (no notice to give) stays quiet.
    const char* notice = g_notices[g_notice];
    if (signal != SIGINT || notice[0] == '\0') return;
    Write(first ? notice : "snapagent: stopping as soon as the array is consistent\n");
}

}  // namespace

void StopSignals::Install() {
    g_stopSignal = 0;
    g_urgent = 0;
    g_requests = 0;
    g_terminal = isatty(STDERR_FILENO) ? 1 : 0;
    struct sigaction action = {};
    action.sa_handler = NoteStop;
    sigemptyset(&action.sa_mask);
    // Restarted system calls: a signal must not turn a file write of the
    // client or the array into a failure.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool StopSignals::Requested() { return g_stopSignal != 0; }

bool StopSignals::Urgent() { return g_urgent != 0; }

int StopSignals::Signal() { return g_stopSignal; }

void StopSignals::SetFinishing(const std::string& what) {
    const int next = 1 - g_notice;
    if (what.empty()) {
        g_notices[next][0] = '\0';
        g_notice = next;
        return;
    }
    const std::string text = "snapagent: stopping after " + what +
                             " (Ctrl-C again to stop as soon as the array is consistent)\n";
    const size_t length = std::min(text.size(), kNoticeSize - 1);
    memcpy(g_notices[next], text.data(), length);
    g_notices[next][length - 1] = '\n';  // a notice cut short still ends its line
    g_notices[next][length] = '\0';
    g_notice = next;
}

}  // namespace snapagent
