// A whole two-job cycle as an agent runs it, for the reliability tests: job
// 811 backs up in full, job 812 compares with SnapDiff and pulls every
// changed item, each with a new client, on a scripted array with two
// volumes ("projects" holding shares a and b, "tools" one share that is the
// whole volume) and a mount table file (or the auto-mount map). Every agent
// call is a phase; hooks run around each phase so that a test can count the
// outside calls made in it or break the surroundings just before it. The
// cycle records what each call answered and what the agent received; the
// checks say where a change could have gone missing without the agent
// being told.
#pragma once

#include "tests/LifecycleTestEnv.h"
#include "tests/ScanTestEnv.h"

#include <algorithm>
#include <tuple>

namespace reliability {

using lifecycle::Snap;

enum class Step { Initialize, Verify, Configure, UpdatePaths, Repopulate, AutoMountCleanup,
                  Compare, Pull, Cleanup };

struct Phase {
    int job = 0;  // 1: the full job, 2: the incremental job
    Step step = Step::Initialize;
    std::string share;  // Compare and Pull only: "a", "b" or "tools"

    bool operator==(const Phase& o) const {
        return job == o.job && step == o.step && share == o.share;
    }
    std::string Name() const {
        static const char* const kNames[] = {"Initialize", "VerifySnapScanSupport",
                                             "ConfigureSnapshot", "UpdateContentMapperPaths",
                                             "RepopulateContentMapperPaths",
                                             "DeleteAutoMountFailedSnapshots", "CompareSnapshots",
                                             "pull", "CleanupSnapshotsPostBackup"};
        std::string name = "job " + std::to_string(job) + " " + kNames[static_cast<int>(step)];
        return share.empty() ? name : name + " " + share;
    }
};

struct Hooks {
    std::function<void(const Phase&)> before;
    std::function<void(const Phase&)> after;
};

// One pulled item as the agent sees it.
typedef std::tuple<uint32_t, std::string, bool> Item;  // status, path, renamed

struct ShareResult {
    bool compared = false;
    CRyError compare;
    std::vector<Item> items;  // without the closing status
    uint32_t lastStatus = 0;
};

struct JobResult {
    std::vector<std::pair<Phase, CRyError>> steps;  // every call but compares and pulls
    bool initialized = false;
    bool configured = false;
    std::list<std::string> kept;
    std::map<std::string, ShareResult> shares;  // by share label
    bool connectionReleased = false;

    const CRyError* Result(const Phase& phase) const {
        for (const auto& step : steps)
            if (step.first == phase) return &step.second;
        return nullptr;
    }
};

const std::set<std::string> kForeignSnapshots = {"VKOP_3_15_1", "hourly.0"};

class Cycle {
public:
    Cycle(bool cluster, bool autoMount) : m_autoMount(autoMount) {
        m_env.Script().bCluster = cluster;
        const std::string projects = m_env.Dir("projects");
        a = m_env.Dir("projects/a");
        b = m_env.Dir("projects/b");
        tools = m_env.Dir("tools");
        if (autoMount) {
            m_env.AutoMount(projects, "filer1:/vol/projects");
            m_env.AutoMount(tools, "filer1:/vol/tools");
        } else {
            m_env.Mount("filer1:/vol/projects", projects);
            m_env.Mount("filer1:/vol/tools", tools);
        }
        m_env.Export("/vol/projects/a", "/vol/projects/a");
        m_env.Export("/vol/projects/b", "/vol/projects/b");
        m_env.Export("/vol/tools", "/vol/tools");
        // A leftover of an old job and snapshots that are not ours.
        std::set<std::string> onProjects = kForeignSnapshots;
        onProjects.insert(Snap(805));
        m_env.Snapshots("projects", onProjects);
        m_env.Snapshots("tools", kForeignSnapshots);
        ScriptChanges(cluster);
        m_env.Install();
    }

    lifecycle::Env& Env() { return m_env; }
    std::list<std::string> Shares() const { return {a, b, tools}; }
    // Shares are named by label across cycles: each cycle has its own folders.
    std::string Label(const std::string& share) const {
        return share == a ? "a" : share == b ? "b" : share == tools ? "tools" : share;
    }
    bool AutoMount() const { return m_autoMount; }
    // Snapshot map file path the agent passes to job `job`, by default the
    // file in that job's results folder.
    std::function<std::string(int job)> mapFileOf;
    // Shares whose .snapshot directory the array does not show in job `job`.
    std::set<std::pair<int, std::string>> hiddenSnapshotDirs;

    // Everything each share of the incremental job must deliver, by label.
    std::map<std::string, std::vector<Item>> Expected() const {
        auto sorted = [](std::vector<Item> items) {
            std::sort(items.begin(), items.end());
            return items;
        };
        return {{"a", sorted({Item{kItemCreated, a + "/new.txt", false},
                           Item{kItemModified, a + "/dir/", false},
                           Item{kItemDeleted, a + "/old.txt/", false},
                           Item{kItemCreated, a + "/renamed.txt", true}})},
                {"b", sorted({Item{kItemModified, b + "/f.txt", false},
                           Item{kItemCreated, b + "/sub x.txt", false},
                           Item{kItemCreated, b + "/grown.txt", false}})},
                {"tools", sorted({Item{kItemCreated, tools + "/x.txt", false},
                               Item{kItemDeleted, tools + "/y.txt", false}})}};
    }

    void Run(const Hooks& hooks, JobResult (&jobs)[2], std::vector<std::string>& violations) {
        m_hooks = hooks;
        m_violations = &violations;
        RunJob(1, 811, 810, jobs[0]);
        RunJob(2, 812, 811, jobs[1]);
        m_violations = nullptr;
    }

    std::string a, b, tools;

private:
    // SnapDiff between 811 and 812: renames, merges, an escaped name, a
    // change outside every share, one run ending with an empty batch (so
    // the client ends the session) and one with the end flag.
    void ScriptChanges(bool cluster) {
        using scantest::Change;
        auto name = [cluster](const std::string& volume, LONGLONG job, const std::string& path) {
            return cluster ? path : "/vol/" + volume + "/.snapshot/" + Snap(job) + path;
        };
        ScriptedSnapDiff& projects =
            m_env.Script().mapSnapDiffs[std::make_tuple("projects", Snap(811), Snap(812))];
        projects.vecBatches = {
            scantest::Batch({Change(100, "file_creation", name("projects", 812, "/a/new.txt")),
                             Change(101, "inode_modification", name("projects", 812, "/a/dir"), 2),
                             Change(102, "file_deletion", name("projects", 811, "/a/old.txt")),
                             Change(105, "file_creation", name("projects", 812, "/c/out.txt"))}),
            scantest::Batch({Change(102, "file_creation", name("projects", 812, "/a/renamed.txt")),
                             Change(103, "inode_modification", name("projects", 812, "/b/f.txt")),
                             Change(106, "file_creation", name("projects", 812, "/b/grown.txt"))}),
            scantest::Batch(
                {Change(104, "file_creation", name("projects", 812, "/b/sub\\20x.txt")),
                 Change(106, "inode_modification", name("projects", 812, "/b/grown.txt"))})};
        ScriptedSnapDiff& toolsDiff =
            m_env.Script().mapSnapDiffs[std::make_tuple("tools", Snap(811), Snap(812))];
        toolsDiff.vecBatches = {
            scantest::Batch({Change(200, "file_creation", name("tools", 812, "/x.txt")),
                             Change(201, "file_deletion", name("tools", 811, "/y.txt"))},
                            true)};
    }

    template <typename Call>
    CRyError RunStep(JobResult& result, const Phase& phase, Call call) {
        if (m_hooks.before) m_hooks.before(phase);
        CRyError err = call();
        if (m_hooks.after) m_hooks.after(phase);
        result.steps.emplace_back(phase, err);
        return err;
    }

    Phase At(int job, Step step, const std::string& share = std::string()) const {
        Phase phase;
        phase.job = job;
        phase.step = step;
        phase.share = share;
        return phase;
    }

    // The snapshots a kept share reads through must be on the array for as
    // long as the agent may read them, and stay for the next job after.
    void CheckReadSnapshots(const lifecycle::TestClient& client, const std::string& when) {
        for (const FileServerExportInfo& share : client.m_lstExportInfo) {
            if (share.strSnapshotPath.empty()) continue;
            if (!m_env.OnArray(share.strVolume).count(share.strCurrSnapName))
                m_violations->push_back(when + ": snapshot " + share.strCurrSnapName +
                                        " that " + share.strBackupPath +
                                        " is read through was deleted");
        }
    }

    void RunJob(int job, LONGLONG jobId, LONGLONG prevId, JobResult& result) {
        m_env.NewResultsFolder("job" + std::to_string(jobId));
        for (const std::string& share : Shares())
            if (!hiddenSnapshotDirs.count(std::make_pair(job, share)))
                m_env.SnapshotDir(share, Snap(jobId));
        ContentMapperAPIPtr mapper = m_autoMount ? lifecycle::NewMapper() : ContentMapperAPIPtr();
        const std::string mapFile = mapFileOf ? mapFileOf(job) : m_env.MapFile();
        lifecycle::TestClient client;

        CRyError err = RunStep(result, At(job, Step::Initialize), [&] {
            return client.Initialize(jobId, lifecycle::kClientId, lifecycle::kAppId1,
                                     lifecycle::kAppId2, m_env.Results(), "", mapFile, prevId, 0, 0,
                                     0, mapper);
        });
        if (err.IsError()) return;  // no connection: the agent fails the job
        result.initialized = true;
        if (job == 2) RunStep(result, At(job, Step::Verify), [&] { return client.VerifySnapScanSupport(); });

        std::list<std::string> shares = Shares();
        err = RunStep(result, At(job, Step::Configure),
                    [&] { return client.ConfigureSnapshot(shares, {}, {}); });
        if (err.IsSuccess()) {
            result.configured = true;
            result.kept = shares;
            CheckReadSnapshots(client, "job " + std::to_string(job) + " after configuration");
            RunStep(result, At(job, Step::UpdatePaths),
                  [&] { return client.UpdateContentMapperPaths(mapper); });
            if (m_autoMount) {
                RunStep(result, At(job, Step::Repopulate),
                      [&] { return client.RepopulateContentMapperPaths(mapper); });
                RunStep(result, At(job, Step::AutoMountCleanup),
                      [&] { return client.DeleteAutoMountFailedSnapshots({}); });
            }
            if (job == 2)
                for (const std::string& share : result.kept) Compare(client, share, result);
            CheckReadSnapshots(client, "job " + std::to_string(job) + " after the backup");
        }
        RunStep(result, At(job, Step::Cleanup),
              [&] { return client.CleanupSnapshotsPostBackup(m_autoMount); });
        result.connectionReleased = !client.m_pManageOntap;
        // The next job compares against this job's snapshot.
        CheckReadSnapshots(client, "job " + std::to_string(job) + " after the cleanup");
    }

    void Compare(lifecycle::TestClient& client, const std::string& share, JobResult& result) {
        ShareResult& outcome = result.shares[Label(share)];
        std::function<FileServerSnapshotCompareItem()> source;
        const Phase compare = At(2, Step::Compare, Label(share));
        if (m_hooks.before) m_hooks.before(compare);
        outcome.compared = true;
        outcome.compare = client.CompareSnapshots(share, "", source);
        if (m_hooks.after) m_hooks.after(compare);
        if (outcome.compare.IsError()) return;

        const Phase pull = At(2, Step::Pull, Label(share));
        if (m_hooks.before) m_hooks.before(pull);
        // A loop that never ends is a fault of its own; stop well past
        // anything the array sent.
        for (int pulls = 0; pulls < 1000; ++pulls) {
            const FileServerSnapshotCompareItem item = source();
            outcome.lastStatus = item.uiStatus;
            if (item.uiStatus == kItemNoMore || item.uiStatus == kItemFailure) break;
            outcome.items.emplace_back(item.uiStatus, item.strPath, item.stItemInfo.bRenamed);
        }
        std::sort(outcome.items.begin(), outcome.items.end());
        if (m_hooks.after) m_hooks.after(pull);
    }

    lifecycle::Env m_env;
    bool m_autoMount;
    Hooks m_hooks;
    std::vector<std::string>* m_violations = nullptr;
};

}  // namespace reliability
