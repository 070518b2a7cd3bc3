// Jobs as an agent runs them, for the whole-job tests: 811 backs up in full,
// 812 compares with SnapDiff and pulls every change, 813 finds none; each
// with a new client, on a scripted array with two volumes ("projects"
// holding shares a and b, "tools" one share that is the whole volume) and a
// mount table (or the auto-mount map). Every agent call is a phase with
// hooks before and after it. The cycle records what each call answered,
// what the agent received, and what each job left in its results folder.
#pragma once

#include "tests/support/ClientEnv.h"

#include <dirent.h>
#include <algorithm>
#include <tuple>

namespace reliability {

using lifecycle::Snap;

enum class Step {
    Initialize,
    Verify,
    Configure,
    UpdatePaths,
    Repopulate,
    AutoMountCleanup,
    Compare,
    Pull,
    Cleanup
};

struct Phase {
    int job = 0;  // 1 to 3
    Step step = Step::Initialize;
    std::string share;  // Compare and Pull only: "a", "b" or "tools"

    bool operator==(const Phase& o) const {
        return std::tie(job, step, share) == std::tie(o.job, o.step, o.share);
    }
    std::string Name() const {
        static const char* const kNames[] = {"Initialize",
                                             "VerifySnapScanSupport",
                                             "ConfigureSnapshot",
                                             "UpdateContentMapperPaths",
                                             "RepopulateContentMapperPaths",
                                             "DeleteAutoMountFailedSnapshots",
                                             "CompareSnapshots",
                                             "pull",
                                             "CleanupSnapshotsPostBackup"};
        return "job " + std::to_string(job) + " " + kNames[int(step)] + (share.empty() ? "" : " ") +
               share;
    }
};

inline Phase At(int job, Step step, const std::string& share = "") {
    return Phase{job, step, share};
}

struct Hooks {
    std::function<void(const Phase&)> before, after;
};

typedef std::tuple<uint32_t, std::string, bool> Item;  // status, path, renamed

struct ShareResult {  // of a share that was compared
    CRyError compare;
    std::vector<Item> items;  // sorted, without the closing status
    uint32_t lastStatus = 0;
};

struct JobResult {
    std::vector<std::pair<Phase, CRyError>> steps;  // every call but the compares
    bool configured = false;
    std::list<std::string> kept;                // the shares ConfigureSnapshot kept
    std::map<std::string, ShareResult> shares;  // by share label
    bool connectionReleased = false;
    std::set<std::string> files;  // in the results folder afterwards

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
        a = m_env.Dir("projects/a");
        b = m_env.Dir("projects/b");
        tools = m_env.Dir("tools");
        for (const char* volume : {"projects", "tools"}) {
            const std::string source = std::string("filer1:/vol/") + volume;
            if (autoMount)
                m_env.AutoMount(m_env.Dir(volume), source);
            else
                m_env.Mount(source, m_env.Dir(volume));
            // Snapshots that are not ours, and on projects a leftover of an old job.
            m_env.Snapshots(volume, kForeignSnapshots);
        }
        m_env.Script().mapSnapshots["projects"].insert(Snap(805));
        for (const char* path : {"/vol/projects/a", "/vol/projects/b", "/vol/tools"})
            m_env.Export(path, path);
        ScriptChanges(cluster);
        m_env.Install();
    }

    lifecycle::Env& Env() { return m_env; }
    ScriptedArray& Array() { return m_env.Array().Array(); }
    std::list<std::string> Shares() const { return {a, b, tools}; }
    // Shares are named by label across cycles: each cycle has its own folders.
    std::string Label(const std::string& share) const {
        return share == a ? "a" : share == b ? "b" : "tools";
    }
    std::string Path(const std::string& label) const {
        return label == "a" ? a : label == "b" ? b : tools;
    }
    // The snapshot map file the agent names to a job; by default the one in
    // its results folder.
    std::function<std::string(int job)> mapFileOf;
    // Shares whose .snapshot directory the array does not show in a job.
    std::set<std::pair<int, std::string>> hiddenSnapshotDirs;

    // Everything each share must deliver in job 2, by label; job 3 finds
    // nothing changed.
    std::map<std::string, std::vector<Item>> Expected(int job = 2) const {
        if (job == 3) return {{"a", {}}, {"b", {}}, {"tools", {}}};
        std::map<std::string, std::vector<Item>> items = {
            {"a",
             {Item{kItemCreated, a + "/new.txt", false}, Item{kItemModified, a + "/dir/", false},
              Item{kItemDeleted, a + "/old.txt/", false},
              Item{kItemCreated, a + "/renamed.txt", true}}},
            {"b",
             {Item{kItemModified, b + "/f.txt", false}, Item{kItemCreated, b + "/sub x.txt", false},
              Item{kItemCreated, b + "/grown.txt", false}}},
            {"tools",
             {Item{kItemCreated, tools + "/x.txt", false},
              Item{kItemDeleted, tools + "/y.txt", false}}}};
        for (auto& share : items) std::sort(share.second.begin(), share.second.end());
        return items;
    }

    // Runs jobs `from` to `to`, each into jobs[job - 1].
    template <size_t N>
    void Run(const Hooks& hooks, JobResult (&jobs)[N], std::vector<std::string>& violations,
             int from = 1, int to = N) {
        m_hooks = hooks;
        m_violations = &violations;
        for (int job = from; job <= to; ++job) RunJob(job, jobs[job - 1]);
    }

    std::string a, b, tools;

private:
    // SnapDiff between 811 and 812: renames, merges, an escaped name, a
    // change outside every share, one run ending with an empty batch (so
    // the client ends the session) and one with the end flag. Nothing
    // between 812 and 813.
    void ScriptChanges(bool cluster) {
        using scantest::Batch;
        auto change = [cluster](const char* type, int inode, const std::string& volume,
                                LONGLONG job, const std::string& path, uint32_t fileType = 1) {
            return scantest::Change(
                inode, type, cluster ? path : "/vol/" + volume + "/.snapshot/" + Snap(job) + path,
                fileType);
        };
        auto diff = [this](const char* volume, int base) -> std::vector<ScriptedBatch>& {
            return m_env.Script()
                .mapSnapDiffs[std::make_tuple(volume, Snap(base), Snap(base + 1))]
                .vecBatches;
        };
        diff("projects", 811) = {
            Batch({change("file_creation", 100, "projects", 812, "/a/new.txt"),
                   change("inode_modification", 101, "projects", 812, "/a/dir", 2),
                   change("file_deletion", 102, "projects", 811, "/a/old.txt"),
                   change("file_creation", 105, "projects", 812, "/c/out.txt")}),
            Batch({change("file_creation", 102, "projects", 812, "/a/renamed.txt"),
                   change("inode_modification", 103, "projects", 812, "/b/f.txt"),
                   change("file_creation", 106, "projects", 812, "/b/grown.txt")}),
            Batch({change("file_creation", 104, "projects", 812, "/b/sub\\20x.txt"),
                   change("inode_modification", 106, "projects", 812, "/b/grown.txt")})};
        diff("tools", 811) = {Batch({change("file_creation", 200, "tools", 812, "/x.txt"),
                                     change("file_deletion", 201, "tools", 811, "/y.txt")},
                                    true)};
        diff("projects", 812) = diff("tools", 812) = {Batch({}, true)};
    }

    template <typename Call>
    CRyError RunStep(JobResult& result, const Phase& phase, Call call) {
        if (m_hooks.before) m_hooks.before(phase);
        CRyError err = call();
        if (m_hooks.after) m_hooks.after(phase);
        if (phase.step != Step::Compare) result.steps.emplace_back(phase, err);
        return err;
    }

    // The snapshots a kept share reads through must be on the array for as
    // long as the agent may read them, and stay for the next job after.
    void CheckReadSnapshots(const lifecycle::TestClient& client, int job, const char* when) {
        for (const FileServerExportInfo& share : client.m_lstExportInfo)
            if (!share.strSnapshotPath.empty() &&
                !m_env.OnArray(share.strVolume).count(share.strCurrSnapName))
                m_violations->push_back("job " + std::to_string(job) + " " + when + ": snapshot " +
                                        share.strCurrSnapName + " that " + share.strBackupPath +
                                        " is read through was deleted");
    }

    void RunJob(int job, JobResult& result) {
        const LONGLONG jobId = 810 + job;
        m_env.NewResultsFolder("job" + std::to_string(jobId));
        for (const std::string& share : Shares())
            if (!hiddenSnapshotDirs.count(std::make_pair(job, share)))
                m_env.SnapshotDir(share, Snap(jobId));
        ContentMapperAPIPtr mapper = m_autoMount ? lifecycle::NewMapper() : ContentMapperAPIPtr();
        const std::string mapFile = mapFileOf ? mapFileOf(job) : m_env.MapFile();
        lifecycle::TestClient client;
        auto step = [&](Step s, std::function<CRyError()> call) {
            return RunStep(result, At(job, s), call);
        };

        if (step(Step::Initialize, [&] {
                return client.Initialize(jobId, lifecycle::kClientId, lifecycle::kAppId1,
                                         lifecycle::kAppId2, m_env.Results(), "", mapFile,
                                         jobId - 1, 0, 0, 0, mapper);
            }).IsError())
            return;  // no connection: the agent fails the job
        if (job > 1) step(Step::Verify, [&] { return client.VerifySnapScanSupport(); });
        std::list<std::string> shares = Shares();
        if (step(Step::Configure, [&] {
                return client.ConfigureSnapshot(shares, {}, {});
            }).IsSuccess()) {
            result.configured = true;
            result.kept = shares;
            CheckReadSnapshots(client, job, "after configuration");
            step(Step::UpdatePaths, [&] { return client.UpdateContentMapperPaths(mapper); });
            if (m_autoMount) {
                step(Step::Repopulate, [&] { return client.RepopulateContentMapperPaths(mapper); });
                step(Step::AutoMountCleanup,
                     [&] { return client.DeleteAutoMountFailedSnapshots({}); });
            }
            for (const std::string& share : result.kept)
                if (job > 1) Compare(client, job, share, result);
            CheckReadSnapshots(client, job, "after the backup");
        }
        step(Step::Cleanup, [&] { return client.CleanupSnapshotsPostBackup(m_autoMount); });
        result.connectionReleased = !client.m_pManageOntap;
        CheckReadSnapshots(client, job, "after the cleanup");  // the next job compares against it
        if (DIR* dir = opendir(m_env.Results().c_str())) {
            while (const dirent* entry = readdir(dir))
                if (entry->d_name[0] != '.') result.files.insert(entry->d_name);
            closedir(dir);
        }
    }

    void Compare(lifecycle::TestClient& client, int job, const std::string& share,
                 JobResult& result) {
        ShareResult& outcome = result.shares[Label(share)];
        std::function<FileServerSnapshotCompareItem()> source;
        outcome.compare = RunStep(result, At(job, Step::Compare, Label(share)),
                                  [&] { return client.CompareSnapshots(share, "", source); });
        if (outcome.compare.IsError()) return;
        RunStep(result, At(job, Step::Pull, Label(share)), [&] {
            // Pulls that never end are a fault of their own: stop well past
            // anything the array sent.
            for (int pulls = 0; pulls < 1000; ++pulls) {
                const FileServerSnapshotCompareItem item = source();
                outcome.lastStatus = item.uiStatus;
                if (item.uiStatus == kItemNoMore || item.uiStatus == kItemFailure) break;
                outcome.items.emplace_back(item.uiStatus, item.strPath, item.stItemInfo.bRenamed);
            }
            std::sort(outcome.items.begin(), outcome.items.end());
            return CRyError::Success();
        });
    }

    lifecycle::Env m_env;
    bool m_autoMount;
    Hooks m_hooks;
    std::vector<std::string>* m_violations = nullptr;
};

}  // namespace reliability
