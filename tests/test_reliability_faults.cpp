// The fault matrix: a fault-free three-job cycle is run once to learn every
// call the client makes to the array and to the change event store, in
// which agent call, and what the cycle leaves; then once per fault point:
// each array and store call of jobs 1 and 2 failing, the connection dropping
// at the first call of each operation, two failures in one incremental job,
// the process dying at every call boundary (the job then runs again),
// broken surroundings, and the local array's own files broken in turn.
// After each run: the failing agent call answered as the product promises,
// every other call succeeded, each share of jobs 2 and 3 reported its
// failure to the agent or delivered every change, no snapshot a kept share
// reads was deleted, and after the fault-free job 3 the array holds what a
// clean cycle leaves.
#include "array/ScriptJson.h"
#include "host/FXErrorUtil.h"
#include "host/VKPlatformInfo.h"
#include "hostlib/eventstore/ExtendedStore.h"
#include "tests/test_reliability_cycle.h"
#include "tools/DemoWorld.h"
#include "tools/JobRunner.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <fstream>
#include <iostream>

namespace {

using namespace reliability;

const uint32_t kInjectedStoreCode = 112;  // ERROR_DISK_FULL
// What an agent call must answer: success, an error code, or these.
const uint32_t kOk = 0, kPullFails = ~1u, kMayFail = ~0u;
typedef std::vector<std::pair<Phase, uint32_t>> Expectations;

struct FaultPoint {
    std::string name;
    Expectations expected;                  // every other call but those of lenientJob must succeed
    int lenientJob = 0;                     // the connection dropped in this job
    std::function<Hooks(Cycle&)> hooksFor;  // arms the fault before the cycle runs
    std::function<void(Cycle&, const JobResult (&)[3], std::vector<std::string>&)> verify;
    int killAt = 0;  // the process dies at this call boundary, in this agent call
    Phase killedIn;
    bool sessionMayStayOpen = false;  // the lost request was the session's end
    bool connectionKept = false;      // the cleanup could not read the map file
};

// What a clean cycle leaves: snapshots per volume, files per results folder.
struct Final {
    std::map<std::string, std::set<std::string>> snapshots;
    std::set<std::string> files[3];
};

// What the agent call sees when one array call in it fails. Lookups,
// listings, creations and deletions skip a share or a volume with a logged
// message; a failed SnapDiffEnd or version query changes nothing.
uint32_t OfArrayFault(const Phase& phase, const std::string& operation) {
    if ((operation == "OpenConnection" &&
         (phase.step == Step::Initialize || phase.step == Step::Compare)) ||
        operation == "SnapDiffStart")
        return ERROR_FUNCTION_FAILED;
    return operation == "SnapDiffNext" ? ERROR_OPERATION_ABORTED : kOk;
}

std::string Describe(const std::vector<Item>& items) {
    std::string text;
    for (const Item& item : items)
        text += "(" + std::to_string(std::get<0>(item)) + " " + std::get<1>(item) +
                (std::get<2>(item) ? " renamed" : "") + ")";
    return text.empty() ? "nothing" : text;
}

void CheckOutcome(const JobResult& job, const Phase& phase, uint32_t code,
                  std::vector<std::string>& violations) {
    auto share = job.shares.find(phase.share);
    const CRyError* result = phase.step == Step::Compare && share != job.shares.end()
                                 ? &share->second.compare
                                 : job.Result(phase);
    if (code == kMayFail) return;
    if (code == kPullFails) {
        if (share == job.shares.end() || share->second.lastStatus != kItemFailure)
            violations.push_back(phase.Name() + " did not end with status 6");
    } else if (!result) {
        violations.push_back(phase.Name() + " never ran");
    } else if (result->IsError() ? result->Win32Code() != code : code != kOk) {
        violations.push_back(phase.Name() + " answered [" + result->AsString() + "] instead of " +
                             std::to_string(code));
    }
}

std::vector<std::string> Check(Cycle& cycle, const JobResult (&jobs)[3], const FaultPoint& point,
                               const Final* clean, std::vector<std::string> violations) {
    for (const auto& expected : point.expected)
        CheckOutcome(jobs[expected.first.job - 1], expected.first, expected.second, violations);
    for (const JobResult& job : jobs)
        for (const auto& step : job.steps) {
            bool named = step.first.job == point.lenientJob;
            for (const auto& expected : point.expected) named |= expected.first == step.first;
            if (!named && step.second.IsError())
                violations.push_back(step.first.Name() + " failed: " + step.second.AsString());
        }
    // No change may go missing without the agent hearing of it. Shares left
    // out of a job were left out of the list the agent got back. A job run
    // again after it died leaves nothing out and fails no share, unless it
    // died in its cleanup, which may have deleted the snapshot it compares
    // against (the share then needs a full scan, and says so).
    const bool strict = point.killAt && point.killedIn.step != Step::Cleanup;
    for (int job : {2, 3}) {
        if (strict && jobs[job - 1].kept.size() != 3)
            violations.push_back("job " + std::to_string(job) + " left shares out");
        for (const std::string& share : jobs[job - 1].kept) {
            const std::string label = cycle.Label(share),
                              name = "job " + std::to_string(job) + " " + label;
            auto r = jobs[job - 1].shares.find(label);
            const std::vector<Item> expected = cycle.Expected(job).at(label);
            if (r == jobs[job - 1].shares.end())
                violations.push_back(name + " was never compared");
            else if (r->second.compare.IsError() || r->second.lastStatus == kItemFailure)
                strict ? violations.push_back(name + " failed") : void();
            else if (r->second.lastStatus != kItemNoMore)
                violations.push_back(name + ": the pulls never ended");
            else if (r->second.items != expected)
                violations.push_back(name + " silently delivered " + Describe(r->second.items) +
                                     " instead of " + Describe(expected));
        }
    }
    for (const char* volume : {"projects", "tools"}) {
        const std::set<std::string> now = cycle.Env().OnArray(volume);
        for (const std::string& foreign : kForeignSnapshots)
            if (!now.count(foreign))
                violations.push_back("snapshot " + foreign + " of another owner was deleted");
        if (clean && now != clean->snapshots.at(volume))
            violations.push_back(std::string("after job 3 ") + volume + " holds other snapshots");
    }
    // A job that died and ran again leaves what a clean run of it does.
    for (int job = 1; point.killAt && job <= 3; ++job)
        if (!jobs[job - 1].steps.empty() && jobs[job - 1].files != clean->files[job - 1])
            violations.push_back("job " + std::to_string(job) + " left other files behind");
    if (!point.sessionMayStayOpen && cycle.Array().OpenSessions() != 0)
        violations.push_back("SnapDiff sessions left open on the array");
    if (point.connectionKept && jobs[0].connectionReleased && jobs[1].connectionReleased)
        violations.push_back("the cleanup released the connection without reading the map file");
    if (point.verify) point.verify(cycle, jobs, violations);
    return violations;
}

std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += "\n  " + line;
    return text;
}

struct Row {
    bool cluster, autoMount;
};
const Row kRows[] = {{false, false}, {true, true}};
std::string Name(const Row& row) {
    return std::string(row.cluster ? "cluster" : "not a cluster") +
           (row.autoMount ? ", auto-mount" : ", mount table");
}

// Calls `at` at every call boundary of the cycle: before each agent call,
// array call and store call, with the array or store operation (or "").
void OnEveryBoundary(Cycle& cycle, Hooks& hooks,
                     std::function<void(const std::string&, bool array)> at) {
    cycle.Env().Array().Backend().SetBeforeCall([at](const std::string& op) { at(op, true); });
    eventstore::ExtendedStore::SetFaultHook([at](const char* op) {
        at(op, false);
        return CRyError::Success();
    });
    auto before = hooks.before;
    hooks.before = [before, at](const Phase& phase) {
        if (before) before(phase);
        at("", false);
    };
}

// Jobs 1 and 2 run in a child process that dies at boundary `killAt`,
// leaving its files and the array's state at that moment (saved, as a real
// array keeps it); then the killed job runs again here, and the rest.
void RunKilled(Cycle& cycle, const FaultPoint& point, JobResult (&jobs)[3],
               std::vector<std::string>& violations) {
    const std::string saved = cycle.Env().Results() + "/../array-at-death.json";
    if (fork() == 0) {
        Hooks hooks;
        int boundary = 0;
        OnEveryBoundary(cycle, hooks, [&](const std::string&, bool) {
            if (++boundary == point.killAt)
                _exit(SaveArrayScript(saved, cycle.Array().Script()).ok() ? 0 : 2);
        });
        cycle.Run(hooks, jobs, violations, 1, 2);
        _exit(3);
    }
    int status = 0;
    wait(&status);
    ArrayScript script;
    const hostlib::Status loaded = LoadArrayScript(saved, script);
    if (status != 0 || !loaded.ok())
        violations.push_back("the job did not die at the boundary " + loaded.message());
    cycle.Array().MutableScript() = script;
    cycle.Run(Hooks(), jobs, violations, point.killedIn.job);
}

// Runs the cycle with the fault point armed; returns what went wrong.
std::vector<std::string> RunPoint(const Row& row, const FaultPoint& point, JobResult (&jobs)[3],
                                  const Final* clean) {
    Cycle cycle(row.cluster, row.autoMount);
    testsupport::RecordingLogWriter log(3);
    std::vector<std::string> violations;
    if (point.killAt)
        RunKilled(cycle, point, jobs, violations);
    else
        cycle.Run(point.hooksFor ? point.hooksFor(cycle) : Hooks(), jobs, violations);
    eventstore::ExtendedStore::SetFaultHook(nullptr);
    return Check(cycle, jobs, point, clean, violations);
}

// Every array and store call of jobs 1 and 2 of the fault-free cycle, by
// operation, each with its agent call; the job of each call boundary; what
// the cycle left.
struct CallMap {
    std::map<std::string, std::vector<Phase>> array, store;
    std::vector<Phase> boundaries;
    Final clean;
};

CallMap RecordCalls(const Row& row, std::vector<std::string>& violations) {
    CallMap calls;
    Cycle cycle(row.cluster, row.autoMount);
    testsupport::RecordingLogWriter log(3);
    Phase current;
    Hooks hooks;
    hooks.before = [&](const Phase& phase) { current = phase; };
    OnEveryBoundary(cycle, hooks, [&](const std::string& op, bool array) {
        calls.boundaries.push_back(current);
        if (!op.empty() && current.job < 3)
            (array ? calls.array : calls.store)[op].push_back(current);
    });
    JobResult jobs[3];
    cycle.Run(hooks, jobs, violations);
    eventstore::ExtendedStore::SetFaultHook(nullptr);
    for (const char* volume : {"projects", "tools"})
        calls.clean.snapshots[volume] = cycle.Env().OnArray(volume);
    for (int job = 0; job < 3; ++job) calls.clean.files[job] = jobs[job].files;
    // The fault-free cycle delivers everything and keeps the map file private.
    violations = Check(cycle, jobs, FaultPoint(), nullptr, violations);
    for (const std::string& share : cycle.Shares())
        if (jobs[1].shares[cycle.Label(share)].lastStatus != kItemNoMore)
            violations.push_back(share + " did not end its pulls with status 7");
    if (calls.store.size() < 5) violations.push_back("the stores' calls did not reach the hook");
    struct stat st;
    if (stat(cycle.Env().MapFile().c_str(), &st) != 0 || (st.st_mode & 077) != 0)
        violations.push_back("the snapshot map file is readable by others");
    return calls;
}

// Runs `breakIt` just before the agent call `phase` and `repair` right after.
Hooks Around(
    const Phase& phase, std::function<void()> breakIt, std::function<void()> repair = [] {}) {
    Hooks hooks;
    hooks.before = [=](const Phase& p) {
        if (p == phase) breakIt();
    };
    hooks.after = [=](const Phase& p) {
        if (p == phase) repair();
    };
    return hooks;
}

FaultPoint ArrayFault(const std::string& operation, size_t n, const Phase& phase, bool drop) {
    FaultPoint point;
    point.name = operation + " #" + std::to_string(n) +
                 (drop ? " drops the connection" : " fails") + " in " + phase.Name();
    point.expected = {{phase, drop ? kMayFail : OfArrayFault(phase, operation)}};
    point.hooksFor = [operation, n, drop, phase](Cycle& cycle) {
        ScriptedFault fault;
        fault.strOperation = operation;
        fault.ullNth = n;
        fault.uiCode = kArrayErrInjected;
        fault.bDropConnection = drop;
        cycle.Env().Array().Backend().AddFault(fault);
        // After a drop every later call of the job fails; the next job connects anew.
        return Around(At(phase.job + 1, Step::Initialize),
                      [&cycle] { cycle.Env().Array().Backend().Reconnect(); });
    };
    // Only a session's own end, or a connection lost while one was open,
    // can leave it open.
    point.sessionMayStayOpen = operation == "SnapDiffEnd" || (drop && phase.step == Step::Compare);
    point.lenientJob = drop ? phase.job : 0;
    return point;
}

std::vector<FaultPoint> CallFaults(const CallMap& calls) {
    std::vector<FaultPoint> points;
    for (const auto& op : calls.array) {
        // A bool answer cannot carry a failure: these calls cannot fail.
        if (op.first == "IsCluster" || op.first == "IsClusterInterface") continue;
        std::set<int> dropped;
        for (size_t n = 1; n <= op.second.size(); ++n) {
            const Phase& phase = op.second[n - 1];
            points.push_back(ArrayFault(op.first, n, phase, false));
            if (dropped.insert(phase.job).second)
                points.push_back(ArrayFault(op.first, n, phase, true));
            if (phase.job != 2 || phase.step == Step::Cleanup) continue;
            // A second failure in the same job: the first array call of its cleanup.
            FaultPoint two = ArrayFault(op.first, n, phase, false);
            two.name += ", then the cleanup's first array call fails";
            two.expected.push_back({At(2, Step::Cleanup), kMayFail});
            two.hooksFor = [first = two.hooksFor](Cycle& cycle) {
                first(cycle);
                auto armed = std::make_shared<bool>(false);
                FaultInjectingBackend& backend = cycle.Env().Array().Backend();
                return Around(At(2, Step::Cleanup), [&cycle, &backend, armed] {
                    backend.SetBeforeCall([&cycle, &backend, armed](const std::string& op) {
                        if (!*armed) cycle.Env().Fail(op, backend.CallCount(op) + 1);
                        *armed = true;
                    });
                });
            };
            points.push_back(two);
        }
    }
    for (const auto& op : calls.store) {
        for (size_t n = 1; n <= op.second.size(); ++n) {
            FaultPoint point;
            const Phase& phase = op.second[n - 1];
            point.name = "store " + op.first + " #" + std::to_string(n) + " in " + phase.Name();
            point.expected = {{phase, phase.step == Step::Pull ? kPullFails : kInjectedStoreCode}};
            const std::string operation = op.first;
            point.hooksFor = [operation, n](Cycle&) {
                auto count = std::make_shared<size_t>(0);
                eventstore::ExtendedStore::SetFaultHook([operation, n, count](const char* called) {
                    if (operation != called || ++*count != n) return CRyError::Success();
                    return FXErrorUtil::ErrorWin32(FX_LOCATION, kInjectedStoreCode,
                                                   "injected store fault");
                });
                return Hooks();
            };
            points.push_back(point);
        }
    }
    return points;
}

// The file named by `path()` is away during the agent call `phase`.
Hooks Away(const Phase& phase, std::function<std::string()> path) {
    auto file = std::make_shared<std::string>();
    return Around(
        phase,
        [=] {
            *file = path();
            rename(file->c_str(), (*file + ".away").c_str());
        },
        [=] { rename((*file + ".away").c_str(), file->c_str()); });
}

std::vector<FaultPoint> SurroundingFaults(const Row& row) {
    std::vector<FaultPoint> points;
    auto add = [&points](const std::string& name, Expectations expected,
                         std::function<Hooks(Cycle&)> hooks) {
        points.emplace_back();
        points.back().name = name;
        points.back().expected = std::move(expected);
        points.back().hooksFor = std::move(hooks);
        return &points.back();
    };
    for (int job : {1, 2}) {
        const std::string inJob = " in job " + std::to_string(job);
        const Phase init = At(job, Step::Initialize), cleanup = At(job, Step::Cleanup);
        add("credentials missing" + inJob, {{init, ERROR_FUNCTION_FAILED}},
            [init](Cycle&) { return Away(init, [] { return VKPlatformInfo::ConfigPath(); }); });
        for (Step step : {Step::Configure, Step::Cleanup}) {
            if (row.autoMount) break;
            add("mount table unreadable in " + At(job, step).Name(),
                {{At(job, step), ERROR_FUNCTION_FAILED}},
                [job, step](Cycle&) {
                    return Away(At(job, step), [] {
                        std::string table;
                        VKPlatformInfo::getRegString("host", "mount_table", &table);
                        return table;
                    });
                })
                ->connectionKept = step == Step::Cleanup;
        }
        for (const std::string share : {"a", "b", "tools"})
            if (!row.autoMount)
                add(".snapshot of " + share + " missing" + inJob, {{At(job, Step::Configure), kOk}},
                    [job, share](Cycle& cycle) {
                        cycle.hiddenSnapshotDirs.insert(std::make_pair(job, cycle.Path(share)));
                        return Hooks();
                    });
        // The write side: the map file cannot be written where the agent put
        // it, or is a link planted by another local user (neither written
        // through nor replaced).
        const std::pair<const char*, std::function<std::string(Cycle&)>> mapFiles[] = {
            {"in a missing folder",
             [](Cycle& c) { return c.Env().Results() + "/missing/map.vkf"; }},
            {"a folder", [](Cycle& c) { return c.Env().Results(); }},
            {"on a full disk", [](Cycle&) { return std::string("/dev/full"); }},
            {"a link to another file", [](Cycle& c) {
                 std::ofstream(c.Env().Results() + "/../precious") << "precious\n";
                 EXPECT_EQ(symlink("../precious", (c.Env().Results() + "/planted.vkf").c_str()), 0);
                 return c.Env().Results() + "/planted.vkf";
             }}};
        for (const auto& mapFile : mapFiles) {
            Expectations expected = {{At(job, Step::UpdatePaths), ERROR_FUNCTION_FAILED}};
            if (row.autoMount)
                expected.push_back({At(job, Step::Repopulate), ERROR_FUNCTION_FAILED});
            auto path = mapFile.second;
            add(std::string("map file ") + mapFile.first + inJob, expected,
                [job, path](Cycle& cycle) {
                    cycle.mapFileOf = [job, path, &cycle](int j) {
                        return j == job ? path(cycle) : cycle.Env().MapFile();
                    };
                    return Hooks();
                })
                ->verify = [](Cycle& cycle, const JobResult(&)[3],
                              std::vector<std::string>& violations) {
                std::ifstream target(cycle.Env().Results() + "/../precious");
                const std::string text((std::istreambuf_iterator<char>(target)), {});
                if (target.is_open() && text != "precious\n")
                    violations.push_back("the link's target was written: [" + text + "]");
            };
        }
        // The read side: gone (no volumes to clean: the connection stays),
        // or a folder that opens and then fails to read.
        for (bool gone : {true, false})
            add(std::string("map file ") + (gone ? "gone" : "a folder") + " before the cleanup" +
                    inJob,
                {{cleanup, kOk}},
                [cleanup, gone](Cycle& cycle) {
                    return Around(cleanup, [gone, &cycle] {
                        unlink(cycle.Env().MapFile().c_str());
                        if (!gone) mkdir(cycle.Env().MapFile().c_str(), 0755);
                    });
                })
                ->connectionKept = gone;
    }
    // A full disk while job 2 compares and pulls, played by this process's
    // file size limit: from nothing written at all to a disk that fills
    // after the first pages. The results folder's other files are written
    // before.
    signal(SIGXFSZ, SIG_IGN);
    for (rlim_t limit : {rlim_t(0), rlim_t(4096)}) {
        add("disk full after " + std::to_string(limit) + " bytes in job 2", {}, [limit](Cycle&) {
            Hooks hooks;
            hooks.before = [limit](const Phase& p) {
                const bool full = p.job == 2 && (p.step == Step::Compare || p.step == Step::Pull);
                const rlimit l{full ? limit : RLIM_INFINITY, RLIM_INFINITY};
                setrlimit(RLIMIT_FSIZE, &l);
            };
            return hooks;
        })->verify = [](Cycle&, const JobResult(&jobs)[3], std::vector<std::string>& violations) {
            bool failed = false;
            for (const auto& share : jobs[1].shares)
                failed |= share.second.compare.IsError() || share.second.lastStatus == kItemFailure;
            if (!failed) violations.push_back("the full disk went unnoticed");
        };
    }
    return points;
}

// The process dies at every call boundary of jobs 1 and 2; the job that
// died runs again and the cycle goes on as if nothing had happened.
std::vector<FaultPoint> ProcessDeaths(const CallMap& calls) {
    std::vector<FaultPoint> points;
    for (size_t k = 1; k <= calls.boundaries.size() && calls.boundaries[k - 1].job < 3; ++k) {
        points.emplace_back();
        points.back().killAt = static_cast<int>(k);
        points.back().killedIn = calls.boundaries[k - 1];
        points.back().name = "killed at call boundary " + std::to_string(k) + " in " +
                             calls.boundaries[k - 1].Name();
    }
    return points;
}

void RunMatrix(const char* kind, std::vector<FaultPoint> (*pointsOf)(const Row&, const CallMap&)) {
    static std::map<bool, CallMap> recorded;  // by row, for every test
    size_t total = 0;
    for (const Row& row : kRows) {
        SCOPED_TRACE(Name(row));
        if (!recorded.count(row.cluster)) {
            std::vector<std::string> violations;
            recorded[row.cluster] = RecordCalls(row, violations);
            EXPECT_EQ(Join(violations), "");
        }
        const CallMap& calls = recorded[row.cluster];
        const std::vector<FaultPoint> points = pointsOf(row, calls);
        for (const FaultPoint& point : points) {
            SCOPED_TRACE(point.name);
            JobResult jobs[3];
            EXPECT_EQ(Join(RunPoint(row, point, jobs, &calls.clean)), "");
        }
        total += points.size();
        std::cout << "[ fault points ] " << kind << ", " << Name(row) << ": " << points.size()
                  << std::endl;
    }
    ::testing::Test::RecordProperty("fault_points", static_cast<int>(total));
    EXPECT_GT(total, 30u);
}

TEST(ReliabilityFaults, EveryArrayAndStoreCallFailsOrDropsCleanly) {
    RunMatrix("array and store calls",
              [](const Row&, const CallMap& calls) { return CallFaults(calls); });
}

TEST(ReliabilityFaults, BrokenSurroundingsAreReported) {
    RunMatrix("surroundings",
              [](const Row& row, const CallMap&) { return SurroundingFaults(row); });
}

TEST(ReliabilityFaults, AJobKilledAtAnyCallRunsAgainToTheCleanEnd) {
    RunMatrix("process deaths",
              [](const Row&, const CallMap& calls) { return ProcessDeaths(calls); });
}

// The local array's own files break in turn while the same two-job cycle
// runs on it (job 3 then runs clean): catalogs, catalog folders, .snapshot
// folders, snapshots that cannot be deleted and the disk the copies are
// written to. A fault with a repair lasts for its job's ConfigureSnapshot;
// one without is made before its job.
struct LocalFault {
    std::string name;
    int job;
    std::function<void(const std::string&root)> breakIt, repair;
};

struct FaultObserver : snapagent::JobObserver {
    FaultObserver(const LocalFault* f, const std::string& r) : fault(f), root(r) {}
    const LocalFault* fault;
    std::string root;
    int job = 0;
    bool Met(const std::string& op) const {
        return fault && fault->repair && job == fault->job && op == "ConfigureSnapshot";
    }
    void OnCalling(const std::string& op) override {
        if (Met(op)) fault->breakIt(root);
    }
    void OnStep(const std::string& op, const CRyError&) override {
        if (Met(op)) fault->repair(root);
    }
};

// For each job, by share: the delivered items, or "reported" when the share
// told the agent to walk it; after job 3 also the array's files, snapshot
// copies by name.
typedef std::vector<std::map<std::string, std::string>> LocalOutcome;

LocalOutcome RunLocal(bool cluster, const LocalFault* fault, std::vector<std::string>& violations) {
    snapagent::PluginLoader plugin;
    snapagent::DemoWorld world;
    hostlib::Status ready = plugin.Load(snapagent::PluginLoader::DefaultPath());
    if (ready.ok()) ready = world.Build(snapagent::DemoWorld::DemoSpec(cluster));
    if (!ready.ok()) return violations.push_back(ready.message()), LocalOutcome();
    setenv("SNAPCLIENT_CONFIG", world.ConfigPath().c_str(), 1);
    FaultObserver observer(fault, world.Base() + "/array");
    LocalOutcome outcome(3);
    for (int job = observer.job = 1; job <= 3; job = ++observer.job) {
        for (const auto& share : world.Shares()) {
            const std::string& dir = share.strLiveDir;
            if (job == 1 && mkdir((dir + "/dir").c_str(), 0755) == 0)
                testsupport::WriteFile(dir + "/old.txt", "old");
            if (job == 2 && rename((dir + "/old.txt").c_str(), (dir + "/moved.txt").c_str()) == 0)
                testsupport::WriteFile(dir + "/dir/new.txt", "new");
            if (job < 3)
                testsupport::WriteFile(dir + "/kept.txt",
                                       std::string(job << 16, 'k'));  // fills 4 KiB
        }
        if (fault && fault->job == job && !fault->repair) fault->breakIt(observer.root);
        snapagent::JobSpec plan;
        plan.llPrevJobId = (plan.llJobId = job) - 1;
        for (const auto& share : world.Shares()) plan.shares.push_back(share.strSharePath);
        world.ResultsDir(job, plan.strResultsDir);
        snapagent::JobResult result;
        snapagent::RunJob(plugin, plan, observer, result);
        if (!result.bOk && job == 3)
            violations.push_back("the clean job 3 failed in " + result.strFailedStep);
        for (const auto& read : result.readPaths)  // the next job compares against it
            if (access(read.second.c_str(), F_OK) != 0)
                violations.push_back("job deleted " + read.second);
        for (const auto& share : result.shares) {
            std::set<std::string> items{share.bCompared ? "" : "reported"};  // in any order
            for (const auto& item : share.items)
                items.insert(std::to_string(item.uiStatus) +
                             (item.stItemInfo.bRenamed ? "r " : " ") +
                             item.strPath.substr(world.Base().size()));
            outcome[job - 1][share.strShare.substr(world.Base().size())] =
                Join({items.begin(), items.end()});
        }
    }
    FILE* find =
        popen(("cd " + observer.root + " && find . -path '*/.snapshot/*/*' -prune -o -print | sort")
                  .c_str(),
              "r");
    for (int c; (c = fgetc(find)) != EOF;) outcome[2]["the array's files"] += char(c);
    pclose(find);
    return outcome;
}

// A file where a folder belongs, or a folder holding a file where a file or
// link belongs (this test may run as root, which writes through any mode).
LocalFault InTheWay(const std::string& rel, int job, bool folder) {
    return {rel + (folder ? " a full folder" : " a file") + " in job " + std::to_string(job), job,
            [=](const std::string& root) {
                rename((root + rel).c_str(), (root + rel + ".away").c_str());
                if (folder) mkdir((root + rel).c_str(), 0755);
                std::ofstream(root + rel + (folder ? "/x" : ""))
                    << "in the way";  // the folder above may be missing
            },
            [=](const std::string& root) {
                for (const char* end : {"/x", ""}) remove((root + rel + end).c_str());
                rename((root + rel + ".away").c_str(), (root + rel).c_str());
            }};
}

std::vector<LocalFault> LocalFaults() {
    std::vector<LocalFault> faults;
    for (int job : {1, 2})
        for (const char* folder :
             {"/.snapcatalog", "/projects/.snapshot", "/projects/alpha/.snapshot"})
            faults.push_back(InTheWay(folder, job, false));
    faults.push_back(InTheWay("/.snapcatalog/projects", 2, false));
    // Job 2 deletes job 1's snapshot once it has taken its own.
    for (const char* part :
         {"/projects/alpha/.snapshot/VKOP_1_0_1", "/projects/.snapshot/VKOP_1_0_1",
          "/.snapcatalog/projects/VKOP_1_0_1.cat"})
        faults.push_back(InTheWay(part, 2, true));
    // The catalog job 2 or 3 compares with: gone, cut inside the header or
    // inside the last row (neither is the end of the rows), or garbage.
    const char* const kHow[] = {"deleted", "cut to 0 bytes", "cut to 20 bytes", "without 12 bytes",
                                "garbage"};
    for (int job : {2, 3})
        for (int how = 0; how < 5; ++how)
            faults.push_back(
                {std::string("base catalog ") + kHow[how] + " before job " + std::to_string(job),
                 job,
                 [job, how](const std::string& root) {
                     const std::string path = root + "/.snapcatalog/projects/VKOP_1_0_" +
                                              std::to_string(job - 1) + ".cat";
                     std::string text = testsupport::ReadFile(path);
                     for (size_t i = 0; i < text.size(); i += 7) text[i] ^= 0x5a;
                     const size_t cut[] = {0, 0, 20, text.size() - 12};
                     if (how == 4)
                         testsupport::WriteFile(path, text);
                     else if (how > 0)
                         EXPECT_EQ(truncate(path.c_str(), cut[how]), 0);
                     else
                         unlink(path.c_str());
                 },
                 nullptr});
    // A full disk while job 2 copies and catalogs, played by the file size limit.
    auto limitTo = [](rlim_t size) {
        return [size](const std::string&) {
            signal(SIGXFSZ, SIG_IGN);
            rlimit l{size, RLIM_INFINITY};
            setrlimit(RLIMIT_FSIZE, &l);
        };
    };
    for (rlim_t limit : {rlim_t(0), rlim_t(4096)})
        faults.push_back(
            {"disk full after " + std::to_string(limit) + " bytes in job 2 ConfigureSnapshot", 2,
             limitTo(limit), limitTo(RLIM_INFINITY)});
    return faults;
}

TEST(ReliabilityFaults, TheLocalArraysOwnFilesBreakCleanly) {
    for (bool cluster : {true, false}) {
        std::vector<std::string> violations;
        const LocalOutcome clean = RunLocal(cluster, nullptr, violations);
        ASSERT_EQ(Join(violations), "");
        EXPECT_EQ(clean[1].size(), 3u);
        for (const auto& share : clean[1])
            EXPECT_EQ(share.second.find("reported"), std::string::npos);
        const std::vector<LocalFault> faults = LocalFaults();
        for (const LocalFault& fault : faults) {
            SCOPED_TRACE(fault.name + (cluster ? ", cluster" : ", not a cluster"));
            violations.clear();
            const LocalOutcome got = RunLocal(cluster, &fault, violations);
            for (int job : {1, 2})  // a share missing from a failed job was reported with it
                for (const auto& share : got[job])
                    if (share.second.find("reported") == std::string::npos &&
                        share.second != clean[job].at(share.first))
                        violations.push_back("job " + std::to_string(job + 1) + " " + share.first +
                                             ": " + share.second);
            EXPECT_EQ(Join(violations), "");
        }
        std::cout << "[ fault points ] local array files, "
                  << (cluster ? "cluster: " : "not a cluster: ") << faults.size() << std::endl;
    }
}

}  // namespace
