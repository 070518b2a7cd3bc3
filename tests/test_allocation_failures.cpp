// Memory that runs out anywhere in the client, or in the array back end
// behind ManageONTAP, costs the agent one call, never the process: the Nth
// allocation made inside an agent call of the three-job cycle throws, for
// every N, and every call answers with a CRyError (14 where the allocation
// failed and nothing caught it sooner).
#include "tests/test_reliability_cycle.h"

#include <cstdlib>
#include <new>

// The replaced operator new and delete below are a malloc/free pair.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

using namespace reliability;

// Armed only inside the client's calls; the countdown runs over the cycle.
long g_countdown = -1;  // allocations left before one fails; -1: never
long g_inPhase = 0;     // allocations since the current call began
bool g_armed = false, g_fired = false;

}  // namespace

void* operator new(size_t size) {
    if (g_armed && g_countdown >= 0) {
        ++g_inPhase;
        if (g_countdown-- == 0) {
            g_fired = true;
            throw std::bad_alloc();
        }
    }
    if (void* p = malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }

namespace {

TEST(AllocationFailures, EveryCallOfACycleAnswersWithAnError) {
    int caughtAsErrors = 0;
    for (long n = 0;; n += 1 + n / 20) {
        Cycle cycle(true, true);
        JobResult jobs[3];
        std::vector<std::string> violations;
        Phase fired;
        Hooks hooks;
        // The pull loop and the compare's argument copy are the agent's own
        // allocations: only the client's count.
        hooks.before = [&](const Phase& phase) {
            g_inPhase = 0;
            g_armed = phase.step != Step::Pull;
            if (g_armed) fired = phase;
        };
        hooks.after = [&](const Phase&) { g_armed = false; };
        g_countdown = n;
        g_fired = false;
        bool escaped = false;
        try {
            cycle.Run(hooks, jobs, violations);
        } catch (const std::bad_alloc&) {
            escaped = !(fired.step == Step::Compare && g_inPhase == 1);
        }
        g_armed = false;
        g_countdown = -1;
        if (!g_fired) break;  // n is past the cycle's last allocation
        EXPECT_FALSE(escaped) << "allocation " << n << " escaped from " << fired.Name();
        const JobResult& job = jobs[fired.job - 1];
        const CRyError* result = job.Result(fired);
        if (fired.step == Step::Compare && job.shares.count(fired.share))
            result = &job.shares.at(fired.share).compare;
        if (result && result->IsError() && result->Win32Code() == ERROR_OUTOFMEMORY) ++caughtAsErrors;
    }
    EXPECT_GT(caughtAsErrors, 0);
}

}  // namespace
