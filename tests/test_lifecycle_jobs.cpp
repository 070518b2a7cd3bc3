// Whole jobs as the agent runs them, two in a row, each with a new client:
// which snapshots the array holds after retention and after the post-backup
// cleanup, with SnapDiff on or off, and when a volume cannot be snapshotted
// in the second job.
#include "tests/test_reliability_cycle.h"

using namespace reliability;
using lifecycle::Snap;

namespace {

std::set<std::string> With(std::set<std::string> names) {
    names.insert(kForeignSnapshots.begin(), kForeignSnapshots.end());
    return names;
}

LONGLONG JobId(const Phase& phase) { return phase.job == 1 ? 811 : 812; }

TEST(LifecycleJobs, TwoJobsInARow) {
    for (bool cluster : {false, true}) {
        for (bool autoMount : {false, true}) {
            for (bool disable : {false, true}) {
                SCOPED_TRACE(std::string(cluster ? "cluster" : "not a cluster") +
                             (autoMount ? ", auto-mount" : ", mount table") +
                             (disable ? ", SnapDiff disabled" : ""));
                Cycle cycle(cluster, autoMount);
                if (disable) cycle.Env().Setting("nDisableSnapdiffForStreamingBackups", 1);
                testsupport::RecordingLogWriter log;
                Hooks hooks;
                hooks.after = [&](const Phase& phase) {
                    const LONGLONG job = JobId(phase);
                    std::set<std::string> kept;
                    if (phase.step == Step::Configure) {
                        // Retention: the current and (unless disabled) the
                        // previous job's snapshot stay; older ones go.
                        kept = {Snap(job)};
                        if (!disable && job == 812) kept.insert(Snap(811));
                    } else if (phase.step == Step::Cleanup) {
                        // Only the current one stays, for the next job.
                        if (!disable) kept = {Snap(job)};
                    } else {
                        return;
                    }
                    SCOPED_TRACE(phase.Name());
                    EXPECT_EQ(cycle.Env().OnArray("projects"), With(kept));
                    EXPECT_EQ(cycle.Env().OnArray("tools"), With(kept));
                };
                JobResult jobs[2];
                std::vector<std::string> violations;
                cycle.Run(hooks, jobs, violations);
                for (const JobResult& job : jobs) {
                    EXPECT_EQ(job.kept, cycle.Shares());
                    EXPECT_TRUE(job.connectionReleased);
                    for (const auto& step : job.steps)
                        EXPECT_FALSE(step.second.IsError()) << step.first.Name();
                }
                if (!disable) {
                    EXPECT_EQ(jobs[1].shares["a"].items, cycle.Expected()["a"]);
                }
                // With SnapDiff disabled the cleanup drops the snapshot the
                // job read, on purpose: nothing is compared against it.
                for (const std::string& violation : violations)
                    EXPECT_TRUE(disable && violation.find("after the cleanup") != std::string::npos)
                        << violation;
                EXPECT_EQ(log.CountContaining("Processing of shares failed"), 0u);
            }
        }
    }
}

// The second job cannot snapshot "tools". Read live, the share stays in the
// job and the cleanup reaches its volume; dropped, its volume is not visited
// after the backup and keeps the first job's snapshot.
TEST(LifecycleJobs, VolumeFailingInSecondJob) {
    for (bool snapshotOnly : {false, true}) {
        for (bool cluster : {false, true}) {
            SCOPED_TRACE(std::string(snapshotOnly ? "snapshot only" : "read live") +
                         (cluster ? ", cluster" : ""));
            Cycle cycle(cluster, false);
            if (snapshotOnly) cycle.Env().Setting("bBackupFromSnapshotOnly", 1);
            ScriptedFault fault;
            fault.strOperation = "CreateOntapSnap";
            fault.strVolume = "tools";
            fault.ullNth = 2;  // the first job made the first one
            fault.uiCode = 13999;
            fault.strMessage = "aggregate full";
            cycle.Env().Array().Backend().AddFault(fault);
            testsupport::RecordingLogWriter log;
            JobResult jobs[2];
            std::vector<std::string> violations;
            cycle.Run(Hooks(), jobs, violations);
            EXPECT_TRUE(violations.empty()) << violations.front();
            ASSERT_TRUE(jobs[1].configured);
            EXPECT_EQ(jobs[1].kept, snapshotOnly ? (std::list<std::string>{cycle.a, cycle.b})
                                                 : cycle.Shares());
            // The shares of the other volume still compare with SnapDiff.
            EXPECT_EQ(jobs[1].shares["a"].items, cycle.Expected()["a"]);
            EXPECT_EQ(cycle.Env().OnArray("projects"), With({Snap(812)}));
            EXPECT_EQ(cycle.Env().OnArray("tools"),
                      With(snapshotOnly ? std::set<std::string>{Snap(811)} : std::set<std::string>()));
        }
    }
}

}  // namespace
