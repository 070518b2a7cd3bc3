#include "hostlib/OutputFailure.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace {
std::mutex g_mutex;
std::atomic<bool> g_failed(false);
bool g_taken = false;
std::string g_first;
}  // namespace

void OutputFailure::Note(const std::string& what, int err) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_failed) return;
    g_first = what + ": " + strerror(err);
    g_failed = true;
}

bool OutputFailure::Any() { return g_failed; }

std::string OutputFailure::Take() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_failed || g_taken) return std::string();
    g_taken = true;
    return g_first;
}
