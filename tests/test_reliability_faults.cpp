// The fault matrix: a whole two-job cycle is run once to learn every call
// the client makes to the array and to the change event store, and in which
// agent call each one happens; then the cycle is run again once per call,
// failing exactly that call, and once per broken surrounding (credentials,
// mount table, snapshot map file, .snapshot directory, a full disk). After
// each run: the failing agent call answered as the product promises, every
// other call succeeded, each share of the incremental job either reported
// its failure to the agent or delivered every change, and no snapshot that
// a kept share reads was deleted.
#include "host/FXErrorUtil.h"
#include "host/VKPlatformInfo.h"
#include "tests/test_reliability_cycle.h"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace reliability;

const uint32_t kInjectedStoreCode = 112;  // ERROR_DISK_FULL

struct Outcome {
    enum What { kSucceeds, kFails, kPullFails } what = kSucceeds;
    uint32_t code = 0;
};

Outcome Succeeds() { return Outcome(); }
Outcome Fails(uint32_t code) {
    Outcome o;
    o.what = Outcome::kFails;
    o.code = code;
    return o;
}
Outcome PullFails() {
    Outcome o;
    o.what = Outcome::kPullFails;
    return o;
}

struct FaultPoint {
    std::string name;
    // Agent calls that must answer as given; every other call but the
    // compares and pulls must succeed.
    std::vector<std::pair<Phase, Outcome>> expected;
    std::function<void(Cycle&)> arm;  // before the cycle runs
    std::function<Hooks(Cycle&)> hooksFor;
    bool sessionMayStayOpen = false;  // the lost request was the session's end
    bool connectionKept = false;      // the cleanup could not read the map file
};

// What the agent call sees when one array call in it fails.
Outcome OfArrayFault(const Phase& phase, const std::string& operation) {
    if (operation == "OpenConnection" &&
        (phase.step == Step::Initialize || phase.step == Step::Compare))
        return Fails(ERROR_FUNCTION_FAILED);
    if (operation == "SnapDiffStart") return Fails(ERROR_FUNCTION_FAILED);
    if (operation == "SnapDiffNext") return Fails(ERROR_OPERATION_ABORTED);
    // Lookups, snapshot listing, creation and deletion failures skip a share
    // or a volume with a logged message; a failed SnapDiffEnd or version
    // query changes nothing the agent receives.
    return Succeeds();
}

Outcome OfStoreFault(const Phase& phase) {
    return phase.step == Step::Pull ? PullFails() : Fails(kInjectedStoreCode);
}

std::string Describe(const std::vector<Item>& items) {
    std::string text;
    for (const Item& item : items)
        text += "(" + std::to_string(std::get<0>(item)) + " " + std::get<1>(item) +
                (std::get<2>(item) ? " renamed" : "") + ")";
    return text.empty() ? "nothing" : text;
}

void CheckOutcome(const JobResult (&jobs)[2], const Phase& phase, const Outcome& outcome,
                  std::vector<std::string>& violations) {
    const JobResult& job = jobs[phase.job - 1];
    const CRyError* result = nullptr;
    if (phase.step == Step::Compare || phase.step == Step::Pull) {
        auto share = job.shares.find(phase.share);
        if (share == job.shares.end()) {
            violations.push_back(phase.Name() + " never ran");
            return;
        }
        if (outcome.what == Outcome::kPullFails) {
            if (share->second.lastStatus != kItemFailure)
                violations.push_back(phase.Name() + " ended with status " +
                                     std::to_string(share->second.lastStatus) + ", not 6");
            return;
        }
        result = &share->second.compare;
    } else {
        result = job.Result(phase);
    }
    if (!result) {
        violations.push_back(phase.Name() + " never ran");
        return;
    }
    if (outcome.what == Outcome::kSucceeds && result->IsError())
        violations.push_back(phase.Name() + " failed: " + result->AsString());
    if (outcome.what == Outcome::kFails &&
        (!result->IsError() || result->Win32Code() != outcome.code))
        violations.push_back(phase.Name() + " answered [" + result->AsString() +
                             "] instead of error " + std::to_string(outcome.code));
}

std::vector<std::string> Check(Cycle& cycle, const JobResult (&jobs)[2],
                               const FaultPoint& point, std::vector<std::string> violations) {
    for (const auto& expected : point.expected)
        CheckOutcome(jobs, expected.first, expected.second, violations);
    for (const JobResult& job : jobs) {
        for (const auto& step : job.steps) {
            bool named = false;
            for (const auto& expected : point.expected) named |= expected.first == step.first;
            if (!named && step.second.IsError())
                violations.push_back(step.first.Name() + " failed: " + step.second.AsString());
        }
    }

    // No change may go missing without the agent hearing of it.
    const JobResult& incremental = jobs[1];
    const auto expectedItems = cycle.Expected();
    for (const std::string& share : cycle.Shares()) {
        if (!incremental.configured) break;  // the whole job failed, and said so
        if (std::find(incremental.kept.begin(), incremental.kept.end(), share) ==
            incremental.kept.end())
            continue;  // left out of the backup, and out of the list the agent got back
        const std::string label = cycle.Label(share);
        auto result = incremental.shares.find(label);
        if (result == incremental.shares.end() || !result->second.compared) {
            violations.push_back(share + " was never compared");
            continue;
        }
        const ShareResult& r = result->second;
        if (r.compare.IsError() || r.lastStatus == kItemFailure) continue;
        if (r.lastStatus != kItemNoMore)
            violations.push_back(share + ": the pulls never ended");
        else if (r.items != expectedItems.at(label))
            violations.push_back(share + " silently delivered " + Describe(r.items) +
                                 " instead of " + Describe(expectedItems.at(label)));
    }

    for (const char* volume : {"projects", "tools"})
        for (const std::string& foreign : kForeignSnapshots)
            if (!cycle.Env().OnArray(volume).count(foreign))
                violations.push_back("snapshot " + foreign + " of another owner was deleted");
    if (!point.sessionMayStayOpen) {
        const auto* array = dynamic_cast<const ScriptedArray*>(
            cycle.Env().Array().Backend().Inner().get());
        if (array && array->OpenSessions() != 0)
            violations.push_back(std::to_string(array->OpenSessions()) +
                                 " SnapDiff session(s) left open on the array");
    }
    if (point.connectionKept && jobs[0].connectionReleased && jobs[1].connectionReleased)
        violations.push_back("the cleanup released the connection without reading the map file");
    return violations;
}

std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += "\n  " + line;
    return text;
}

struct Row {
    bool cluster;
    bool autoMount;
    std::string Name() const {
        return std::string(cluster ? "cluster" : "not a cluster") +
               (autoMount ? ", auto-mount" : ", mount table");
    }
};

const Row kRows[] = {{false, false}, {true, true}};

// Runs the cycle with the fault point armed; returns what went wrong.
std::vector<std::string> RunPoint(const Row& row, const FaultPoint& point,
                                  JobResult (&jobs)[2]) {
    Cycle cycle(row.cluster, row.autoMount);
    if (point.arm) point.arm(cycle);
    testsupport::RecordingLogWriter log(3);
    std::vector<std::string> violations;
    cycle.Run(point.hooksFor ? point.hooksFor(cycle) : Hooks(), jobs, violations);
    CSnapDiffEventMonitor::SetFaultHook(nullptr);
    return Check(cycle, jobs, point, violations);
}

// Every array and store call of one fault-free cycle, by operation, each
// with the agent call it belongs to.
struct CallMap {
    std::map<std::string, std::vector<Phase>> array;
    std::map<std::string, std::vector<Phase>> store;
};

CallMap RecordCalls(const Row& row, JobResult (&jobs)[2], std::vector<std::string>& violations,
                    Cycle& cycle) {
    CallMap calls;
    Phase current;
    size_t firstCall = 0;
    FaultInjectingBackend& backend = cycle.Env().Array().Backend();
    CSnapDiffEventMonitor::SetFaultHook([&](const char* operation) {
        calls.store[operation].push_back(current);
        return CRyError::Success();
    });
    Hooks hooks;
    hooks.before = [&](const Phase& phase) {
        current = phase;
        firstCall = backend.Calls().size();
    };
    hooks.after = [&](const Phase& phase) {
        for (size_t i = firstCall; i < backend.Calls().size(); ++i)
            calls.array[backend.Calls()[i].strOperation].push_back(phase);
    };
    cycle.Run(hooks, jobs, violations);
    CSnapDiffEventMonitor::SetFaultHook(nullptr);
    return calls;
}

std::vector<FaultPoint> CallFaults(const CallMap& calls) {
    std::vector<FaultPoint> points;
    for (const auto& op : calls.array) {
        // A bool answer cannot carry a failure: these calls cannot fail.
        if (op.first == "IsCluster" || op.first == "IsClusterInterface") continue;
        for (size_t n = 1; n <= op.second.size(); ++n) {
            FaultPoint point;
            const Phase& phase = op.second[n - 1];
            point.name = op.first + " #" + std::to_string(n) + " in " + phase.Name();
            point.expected = {{phase, OfArrayFault(phase, op.first)}};
            const std::string operation = op.first;
            point.arm = [operation, n](Cycle& cycle) {
                cycle.Env().Fail(operation, n, kArrayErrInjected, "injected fault");
            };
            point.sessionMayStayOpen = op.first == "SnapDiffEnd";
            points.push_back(point);
        }
    }
    for (const auto& op : calls.store) {
        for (size_t n = 1; n <= op.second.size(); ++n) {
            FaultPoint point;
            const Phase& phase = op.second[n - 1];
            point.name = "store " + op.first + " #" + std::to_string(n) + " in " + phase.Name();
            point.expected = {{phase, OfStoreFault(phase)}};
            const std::string operation = op.first;
            point.arm = [operation, n](Cycle&) {
                auto count = std::make_shared<size_t>(0);
                CSnapDiffEventMonitor::SetFaultHook([operation, n, count](const char* called) {
                    if (operation != called || ++*count != n) return CRyError::Success();
                    return FXErrorUtil::ErrorWin32(FX_LOCATION, kInjectedStoreCode,
                                                   "injected store fault");
                });
            };
            points.push_back(point);
        }
    }
    return points;
}

Phase At(int job, Step step) {
    Phase phase;
    phase.job = job;
    phase.step = step;
    return phase;
}

// Runs `breakIt` just before the agent call `phase` and `repair` right after.
Hooks Around(const Phase& phase, std::function<void()> breakIt, std::function<void()> repair) {
    Hooks hooks;
    hooks.before = [=](const Phase& p) {
        if (p == phase) breakIt();
    };
    hooks.after = [=](const Phase& p) {
        if (p == phase) repair();
    };
    return hooks;
}

std::vector<FaultPoint> SurroundingFaults(const Row& row) {
    std::vector<FaultPoint> points;
    for (int job : {1, 2}) {
        const std::string inJob = " in job " + std::to_string(job);
        {
            FaultPoint point;
            point.name = "credentials missing" + inJob;
            const Phase phase = At(job, Step::Initialize);
            point.expected = {{phase, Fails(ERROR_FUNCTION_FAILED)}};
            auto saved = std::make_shared<std::string>();
            point.hooksFor = [phase, saved](Cycle&) {
                return Around(
                    phase,
                    [saved] {
                        *saved = VKPlatformInfo::ConfigPath();
                        setenv("SNAPCLIENT_CONFIG", "/nonexistent/snapclient.conf", 1);
                    },
                    [saved] { setenv("SNAPCLIENT_CONFIG", saved->c_str(), 1); });
            };
            points.push_back(point);
        }
        if (!row.autoMount) {
            for (Step step : {Step::Configure, Step::Cleanup}) {
                FaultPoint point;
                const Phase phase = At(job, step);
                point.name = "mount table unreadable in " + phase.Name();
                point.expected = {{phase, Fails(ERROR_FUNCTION_FAILED)}};
                auto table = std::make_shared<std::string>();
                point.hooksFor = [phase, table](Cycle&) {
                    return Around(
                        phase,
                        [table] {
                            VKPlatformInfo::getRegString("host", "mount_table", table.get());
                            rename(table->c_str(), (*table + ".away").c_str());
                        },
                        [table] { rename((*table + ".away").c_str(), table->c_str()); });
                };
                point.connectionKept = step == Step::Cleanup;
                points.push_back(point);
            }
            for (const std::string share : {"a", "b", "tools"}) {
                FaultPoint point;
                point.name = ".snapshot of share " + share + " missing" + inJob;
                point.expected = {{At(job, Step::Configure), Succeeds()}};
                point.arm = [job, share](Cycle& cycle) {
                    const std::string path =
                        share == "a" ? cycle.a : share == "b" ? cycle.b : cycle.tools;
                    cycle.hiddenSnapshotDirs.insert(std::make_pair(job, path));
                };
                points.push_back(point);
            }
        }
        const struct {
            const char* what;
            std::function<std::string(Cycle&)> path;
        } mapFiles[] = {
            {"in a missing folder",
             [](Cycle& cycle) { return cycle.Env().Results() + "/missing/nativeSnapMapInfo.vkf"; }},
            {"a folder", [](Cycle& cycle) { return cycle.Env().Results(); }},
            {"on a full disk", [](Cycle&) { return std::string("/dev/full"); }},
        };
        for (const auto& mapFile : mapFiles) {
            FaultPoint point;
            point.name = std::string("map file ") + mapFile.what + inJob;
            point.expected = {{At(job, Step::UpdatePaths), Fails(ERROR_FUNCTION_FAILED)}};
            if (row.autoMount)
                point.expected.push_back({At(job, Step::Repopulate), Fails(ERROR_FUNCTION_FAILED)});
            auto path = mapFile.path;
            point.arm = [job, path](Cycle& cycle) {
                cycle.mapFileOf = [job, path, &cycle](int j) {
                    return j == job ? path(cycle) : cycle.Env().MapFile();
                };
            };
            points.push_back(point);
        }
        const struct {
            const char* what;
            bool released;  // a folder opens, then fails to read: the file was there
            void (*breakIt)(const std::string& file);
        } readSides[] = {
            {"gone", false, [](const std::string& file) { unlink(file.c_str()); }},
            {"turned into a folder", true,
             [](const std::string& file) {
                 unlink(file.c_str());
                 mkdir(file.c_str(), 0755);
             }},
        };
        for (const auto& readSide : readSides) {
            FaultPoint point;
            const Phase phase = At(job, Step::Cleanup);
            point.name = std::string("map file ") + readSide.what + " before the cleanup" + inJob;
            point.expected = {{phase, Succeeds()}};
            point.connectionKept = !readSide.released;
            auto breakIt = readSide.breakIt;
            point.hooksFor = [phase, breakIt](Cycle& cycle) {
                return Around(phase, [breakIt, &cycle] { breakIt(cycle.Env().MapFile()); }, [] {});
            };
            points.push_back(point);
        }
    }
    return points;
}

TEST(ReliabilityFaults, EveryCallOfATwoJobCycleFailsCleanly) {
    size_t total = 0;
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.Name());
        JobResult jobs[2];
        std::vector<std::string> violations;
        CallMap calls;
        {
            Cycle cycle(row.cluster, row.autoMount);
            testsupport::RecordingLogWriter log(3);
            calls = RecordCalls(row, jobs, violations, cycle);
            // The fault-free cycle delivers everything.
            EXPECT_EQ(Join(Check(cycle, jobs, FaultPoint(), violations)), "");
            for (const std::string& share : cycle.Shares())
                EXPECT_EQ(jobs[1].shares[cycle.Label(share)].lastStatus, kItemNoMore) << share;
        }
        std::vector<FaultPoint> points = CallFaults(calls);
        for (const FaultPoint& point : SurroundingFaults(row)) points.push_back(point);
        for (const FaultPoint& point : points) {
            SCOPED_TRACE(point.name);
            JobResult jobs[2];
            EXPECT_EQ(Join(RunPoint(row, point, jobs)), "");
        }
        total += points.size();
        std::cout << "[ fault points ] " << row.Name() << ": " << points.size() << " ("
                  << calls.array.size() << " array operations, " << calls.store.size()
                  << " store operations)" << std::endl;
    }
    RecordProperty("fault_points", static_cast<int>(total));
    EXPECT_GT(total, 150u);
}

// Playing a full disk: the file size limit of this process while the
// incremental job compares and pulls. The limit also hits the job results
// folder's other files, which are all written before.
Hooks DiskFullDuringCompare(rlim_t limit) {
    Hooks hooks;
    hooks.before = [limit](const Phase& phase) {
        rlimit l;
        l.rlim_max = RLIM_INFINITY;
        l.rlim_cur = phase.step == Step::Compare || phase.step == Step::Pull ? limit : RLIM_INFINITY;
        setrlimit(RLIMIT_FSIZE, &l);
    };
    return hooks;
}

// Runs in a child process (the limit and the ignored signal stay there).
bool CycleOnFullDisk(const Row& row, rlim_t limit) {
    signal(SIGXFSZ, SIG_IGN);
    FaultPoint point;
    point.hooksFor = [limit](Cycle&) { return DiskFullDuringCompare(limit); };
    JobResult jobs[2];
    std::vector<std::string> violations = RunPoint(row, point, jobs);
    bool failedSomewhere = false;
    for (const auto& share : jobs[1].shares)
        failedSomewhere |= share.second.compare.IsError() || share.second.lastStatus == kItemFailure;
    if (!failedSomewhere) violations.push_back("the full disk went unnoticed");
    std::cerr << Join(violations) << std::endl;
    return violations.empty();
}

TEST(ReliabilityFaults, FullDiskWhileChangesAreStored) {
    // From nothing written at all to a disk that fills after the first pages.
    const rlim_t limits[] = {0, 4096};
    for (const Row& row : kRows) {
        for (rlim_t limit : limits) {
            SCOPED_TRACE(row.Name() + ", " + std::to_string(limit) + " bytes");
            EXPECT_EXIT(_exit(CycleOnFullDisk(row, limit) ? 0 : 1), ::testing::ExitedWithCode(0),
                        "");
        }
    }
    RecordProperty("fault_points", static_cast<int>(sizeof limits / sizeof limits[0] * 2));
}

}  // namespace
