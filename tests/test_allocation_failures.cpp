// Memory that runs out anywhere in the client, or in the array back end
// behind ManageONTAP, costs the agent one call, never the process: the Nth
// allocation made inside an agent call of the three-job cycle throws, for
// every N, and every call answers with a CRyError (14 where the allocation
// failed and nothing caught it sooner) and leaves no SnapDiff session open.
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
// Every form that the client or a sanitizer runtime may pair with the
// delete below goes through the same countdown.
void* operator new(size_t size, const std::nothrow_t&) noexcept try {
    return operator new(size);
} catch (const std::bad_alloc&) {
    return nullptr;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
// What a nothing-throw new expression frees with when the constructor throws.
void operator delete(void* p, const std::nothrow_t&) noexcept { free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { free(p); }

namespace {

TEST(AllocationFailures, EveryCallOfACycleAnswersWithAnError) {
    int answeredWith14 = 0;
    // Over the whole cycle every few allocations; within the comparisons of
    // the job that has changes, where a SnapDiff session is open, every one.
    for (const bool onlyCompare : {false, true})
        for (long n = 0;; n += onlyCompare ? 1 : 1 + n / 20) {
            Cycle cycle(true, true);
            JobResult jobs[3];
            std::vector<std::string> violations;
            Phase current, failed;
            bool escaped = false, settled = false;
            // The pull loop and the compare's argument copy are the agent's own
            // allocations: only the client's count.
            Hooks hooks{[&](const Phase& phase) {
                            g_inPhase = 0;
                            g_armed = onlyCompare ? phase.job == 2 && phase.step == Step::Compare
                                                  : phase.step != Step::Pull;
                            current = phase;
                        },
                        [&](const Phase& phase) {
                            g_armed = false;
                            if (g_fired && !settled) failed = phase, settled = true;
                        }};
            g_countdown = n;
            g_fired = false;
            try {
                cycle.Run(hooks, jobs, violations);
            } catch (const std::bad_alloc&) {
                escaped = !(current.step == Step::Compare && g_inPhase == 1);
                failed = current;
            }
            g_armed = false;
            g_countdown = -1;
            if (!g_fired) break;  // n is past the cycle's last allocation
            EXPECT_FALSE(escaped) << "allocation " << n << " escaped from " << failed.Name();
            // Sessions are the array's scarce resource: a later job would find none.
            EXPECT_EQ(0u, cycle.Array().OpenSessions())
                << "allocation " << n << " in " << failed.Name() << " left a SnapDiff session open";
            const JobResult& job = jobs[failed.job - 1];
            const auto share = job.shares.find(failed.share);
            const CRyError* result = failed.step == Step::Compare && share != job.shares.end()
                                         ? &share->second.compare
                                         : job.Result(failed);
            answeredWith14 += result && result->Win32Code() == ERROR_OUTOFMEMORY;
        }
    EXPECT_GT(answeredWith14, 0);
}

}  // namespace
