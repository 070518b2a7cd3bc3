#include "tools/Demo.h"

#include "array/local/LocalArraySnapshotKind.h"

#include "host/ManageONTAP.h"
#include "host/NASSnapUtil.h"
#include "hostlib/FileLogWriter.h"
#include "tools/BtrfsDemo.h"
#include "tools/DemoWorld.h"
#include "tools/FileOps.h"
#include "tools/ItemText.h"
#include "tools/Progress.h"
#include "tools/VerifiedJobs.h"

#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <vector>

namespace snapagent {
namespace {

const LONGLONG kFullJob = 1;
const LONGLONG kIncrementalJob = 2;

// One change to a tree, described for the transcript.
struct Step {
    std::string strWhat;
    std::function<hostlib::Status()> apply;
};

class DemoTrees {
public:
    explicit DemoTrees(const DemoWorld& world)
        : m_alpha(world.Shares()[0].strLiveDir),
          m_beta(world.Shares()[1].strLiveDir),
          m_home(world.Shares()[2].strLiveDir) {}

    std::vector<Step> Seed() const {
        return {
            Dirs({m_alpha + "/docs", m_alpha + "/src", m_alpha + "/old", m_alpha + "/photos/2024",
                  m_beta + "/inbox", m_beta + "/archive/2023", m_home + "/alice", m_home + "/bob"}),
            Write(m_alpha + "/docs/report.txt", "quarterly report\n"),
            Write(m_alpha + "/docs/to-move.txt", "moves to src\n"),
            Write(m_alpha + "/src/main.c", "int main(void) { return 0; }\n"),
            Write(m_alpha + "/old/obsolete.txt", "to be deleted\n"),
            Write(m_alpha + "/photos/2024/beach.jpg", "jpeg bytes\n"),
            Write(m_alpha + "/photos/2024/hills.jpg", "more jpeg bytes\n"),
            Write(m_alpha + "/draft plan.txt", "a plan with a space in its name\n"),
            Write(m_alpha + "/data.bin", "0123456789"),
            Write(m_alpha + "/handover.txt", "goes to the beta share\n"),
            Write(m_beta + "/readme.txt", "beta share\n"),
            Write(m_beta + "/archive/2023/ledger.csv", "a,b\n"),
            Write(m_beta + "/archive/2023/summary.txt", "done\n"),
            Write(m_home + "/alice/todo.txt", "- backup\n"),
            Write(m_home + "/bob/notes.txt", "notes\n"),
            Write(m_home + "/shared.dat", "one file, two names\n"),
            Link(m_home + "/shared.dat", m_home + "/shared-link.dat"),
        };
    }

    // New names come first and deletions last, so that no new file can
    // reuse an inode number freed in the same job: the demo then shows the
    // known limit once, by its own cause.
    std::vector<Step> Changes() const {
        return {
            Write(m_alpha + "/docs/new-summary.txt", "new file\n"),
            Write(m_beta + "/meeting notes 2025.txt", "names with spaces\n"),
            Write(m_home + "/alice/caf\xC3\xA9 m\xC3\xBCnchen.txt", "UTF-8 name\n"),
            Write(m_home + "/bob/raw\xFF"
                           "bytes.dat",
                  "a name that is not UTF-8\n"),
            Link(m_home + "/bob/notes.txt", m_home + "/bob/notes-link.txt"),
            Link(m_home + "/bob/notes.txt", m_home + "/bob/notes-second-link.txt"),
            Append(m_alpha + "/data.bin", "more data"),
            Rename(m_alpha + "/draft plan.txt", m_alpha + "/final plan.txt"),
            Rename(m_alpha + "/photos/2024", m_alpha + "/photos/2024 summer"),
            Rename(m_alpha + "/docs/to-move.txt", m_alpha + "/src/moved.txt"),
            Write(m_alpha + "/back\\slash.txt", "a backslash in its name\n"),
            Rename(m_alpha + "/handover.txt", m_beta + "/inbox/handover.txt"),
            // The known limit.
            Append(m_home + "/shared.dat", "changed through one of its two names\n"),
            Remove(m_alpha + "/old/obsolete.txt"),
            Remove(m_beta + "/archive/2023"),
        };
    }

private:
    static Step Dirs(std::vector<std::string> paths) {
        return {"create directories", [paths] {
                    for (const std::string& p : paths)
                        if (hostlib::Status made = MakeDirectories(p); !made.ok()) return made;
                    return hostlib::Status::OK();
                }};
    }
    static Step Write(const std::string& path, const std::string& bytes) {
        return {"create " + PrintablePath(path), [=] { return WriteBytes(path, bytes, false); }};
    }
    static Step Append(const std::string& path, const std::string& bytes) {
        return {"modify " + PrintablePath(path), [=] { return WriteBytes(path, bytes, true); }};
    }
    static Step Remove(const std::string& path) {
        return {"delete " + PrintablePath(path), [=] { return RemoveTree(path); }};
    }
    static Step Rename(const std::string& from, const std::string& to) {
        return {"rename " + PrintablePath(from) + " to " + PrintablePath(to),
                [=] { return RenamePath(from, to); }};
    }
    static Step Link(const std::string& existing, const std::string& name) {
        return {"link " + PrintablePath(name) + " to " + PrintablePath(existing),
                [=] { return HardLink(existing, name); }};
    }

    std::string m_alpha, m_beta, m_home;
};

hostlib::Status Apply(const std::vector<Step>& steps, const Progress& progress) {
    for (const Step& step : steps) {
        progress.Detail(step.strWhat);
        if (hostlib::Status applied = step.apply(); !applied.ok()) return applied;
    }
    return hostlib::Status::OK();
}

// The snapshots the array holds per volume, asked through the same array
// interface the plug-in uses; an I/O error when the array cannot say.
hostlib::Status SnapshotsOnArray(const DemoWorld& world,
                                 std::map<std::string, std::set<std::string>>& out) {
    std::string error;
    NASSnapUtil util;
    util.Initialize();
    NASArrayInfo info;
    const int clientId = static_cast<int>(world.Settings().ulClientId);
    ManageONTAP array;
    if (!util.GetArrayNameAndCredentialsByClientId(clientId, info) ||
        !util.SetONTAPObject(info, array, MONTAP_CONNECT_HTTP, false) || !array.OpenConnection()) {
        array.GetLastError(error);
        return hostlib::Status::IOError("cannot reach the array: " + error);
    }
    for (const std::string& volume : world.Volumes()) {
        std::vector<SnapShotInfo_t> snapshots;
        if (!array.GetSnapShotList(snapshots, volume, 0, std::string())) {
            array.GetLastError(error);
            return hostlib::Status::IOError("cannot list the snapshots of " + volume + ": " +
                                            error);
        }
        for (const SnapShotInfo_t& s : snapshots) out[volume].insert(s.strName);
    }
    return hostlib::Status::OK();
}

void PrintChangeLists(FILE* out, const VerifiedJob& job) {
    for (const ShareResult& share : job.job.shares) {
        ChangeLines lines;
        std::vector<std::string> text;
        for (const auto& item : share.items)
            for (const std::string& line : lines.Add(item)) text.push_back(line);
        for (const std::string& line : lines.Finish()) text.push_back(line);
        // A reader counts lines; a rename is two items (its deletion and its
        // creation) on one line.
        std::string count = std::to_string(share.nItems);
        if (text.size() != share.nItems)
            count = Counted(share.nItems, "item", "items") + " on " +
                    Counted(text.size(), "line", "lines") + ": a rename is two items";
        fprintf(out, "\nchanges of %s (%s):\n", PrintablePath(share.strShare).c_str(),
                count.c_str());
        if (!share.bCompared) fprintf(out, "  %s\n", Progress::OutcomeText(share).c_str());
        for (const std::string& line : text) fprintf(out, "  %s\n", line.c_str());
    }
}

// Prints the verification; true when every share verified.
bool PrintVerification(FILE* out, const VerifiedJob& job) {
    fprintf(out, "\nverification against the real trees:\n");
    for (const ShareVerdict& v : job.verdicts) {
        fprintf(out, "  %s: %s delivered, %zu missing, %zu unexpected\n",
                PrintablePath(v.strSharePath).c_str(),
                Counted(v.nDelivered, "change", "changes").c_str(), v.missing.size(),
                v.unexpected.size());
        for (const Finding& f : v.missing)
            fprintf(out, "    missing    %s: %s\n", PrintablePath(f.strPath).c_str(),
                    f.strReason.c_str());
        for (const Finding& f : v.unexpected)
            fprintf(out, "    unexpected %s: %s\n", PrintablePath(f.strPath).c_str(),
                    f.strReason.c_str());
    }
    fprintf(out, "\nknown limits (left out of the comparison):\n");
    size_t cases = 0;
    for (const ShareVerdict& v : job.verdicts) {
        for (const LimitCase& c : v.limits) {
            ++cases;
            fprintf(out, "  %s, in %s: %s\n", LimitName(c.limit).c_str(),
                    PrintablePath(v.strSharePath).c_str(), c.strWhat.c_str());
            for (const std::string& d : c.vecDelivered)
                fprintf(out, "      delivered: %s\n", d.c_str());
        }
    }
    if (cases == 0) fprintf(out, "  none met\n");
    if (!job.strError.empty()) fprintf(out, "\nerror: %s\n", job.strError.c_str());
    return job.Verified();
}

// Prints what is left on the array; true when each volume holds exactly the
// current job's snapshot.
bool PrintSnapshots(FILE* out, const DemoWorld& world, const std::string& current) {
    std::map<std::string, std::set<std::string>> snapshots;
    if (const hostlib::Status listed = SnapshotsOnArray(world, snapshots); !listed.ok()) {
        fprintf(out, "\nsnapshots on the array: %s\n", listed.message().c_str());
        return false;
    }
    bool ok = true;
    fprintf(out, "\nsnapshots on the array:\n");
    for (const std::string& volume : world.Volumes()) {
        std::string names;
        for (const std::string& n : snapshots[volume]) names += " " + n;
        const bool onlyCurrent = snapshots[volume] == std::set<std::string>{current};
        ok = ok && onlyCurrent;
        fprintf(out, "  %s:%s%s\n", volume.c_str(), names.empty() ? " none" : names.c_str(),
                onlyCurrent ? "" : "   <- expected only the current job's");
    }
    return ok;
}

}  // namespace

int RunDemo(const DemoOptions& options, FILE* out) {
    if (options.bBtrfs) return RunDemoOnBtrfsImage(options, out, RunDemo);
    Progress progress(options.common.verbosity);
    DemoWorld world;
    if (const hostlib::Status built = world.Build(DemoWorld::DemoSpec(options.bCluster));
        !built.ok()) {
        fprintf(stderr, "snapagent: error: %s\n", built.message().c_str());
        return 1;
    }
    if (options.bKeep) world.Keep();
    setenv("SNAPCLIENT_CONFIG", world.ConfigPath().c_str(), 1);

    // The plug-in's log: on stderr when verbose, else complete in the demo folder.
    const bool verbose = options.common.verbosity == Verbosity::kVerbose;
    std::unique_ptr<CFileLogWriter> log(verbose ? new CFileLogWriter(0, "")
                                                : new CFileLogWriter(3, world.PluginLogPath()));
    CLogWriterInterface* previousLog = SetLogWriter(log.get());
    struct RestoreLog {
        CLogWriterInterface* previous;
        ~RestoreLog() { SetLogWriter(previous); }
    } restore{previousLog};

    PluginLoader plugin;
    const std::string pluginPath = options.common.strPluginPath.empty()
                                       ? PluginLoader::DefaultPath()
                                       : options.common.strPluginPath;
    if (const hostlib::Status loaded = plugin.Load(pluginPath); !loaded.ok()) {
        fprintf(stderr, "snapagent: error: %s\n", loaded.message().c_str());
        return 1;
    }

    // Without --keep the folder is gone when the reader sees this line.
    fprintf(out, "demo folder: %s (array %s)\n",
            options.bKeep ? world.Base().c_str()
                          : "a temporary one, removed at the end (--keep leaves it)",
            options.bCluster ? "is a cluster" : "is not a cluster");
    for (const BuiltShare& s : world.Shares())
        fprintf(out, "  share %s on volume %s\n", s.strSharePath.c_str(), s.strVolume.c_str());
    // The kind of snapshot each volume gets, as check names it.
    for (const std::string& volume : world.Volumes())
        fprintf(out, "  volume %s: %s\n", volume.c_str(),
                DescribeSnapshotKind(SnapshotsSetting::kAuto, world.Base() + "/array/" + volume)
                    .c_str());

    DemoTrees trees(world);
    VerifiedJobs jobs(plugin, world, &progress);
    progress.Say("filling the shares");
    if (const hostlib::Status seeded = Apply(trees.Seed(), progress); !seeded.ok()) {
        fprintf(stderr, "snapagent: error: %s\n", seeded.message().c_str());
        return 1;
    }
    progress.Say("job 1: full backup");
    log->SetClientId(world.Settings().ulClientId);
    log->SetJobId(kFullJob);
    VerifiedJob full = jobs.Run(kFullJob, 0);
    if (!full.strError.empty()) {
        fprintf(stderr, "snapagent: error: job 1: %s\n", full.strError.c_str());
        return 1;
    }
    progress.Say("changing the shares");
    if (const hostlib::Status changed = Apply(trees.Changes(), progress); !changed.ok()) {
        fprintf(stderr, "snapagent: error: %s\n", changed.message().c_str());
        return 1;
    }
    progress.Say("job 2: incremental backup against job 1");
    log->SetJobId(kIncrementalJob);
    VerifiedJob incremental = jobs.Run(kIncrementalJob, kFullJob);
    if (!incremental.job.bOk) {
        fprintf(stderr, "snapagent: error: job 2: %s\n", incremental.strError.c_str());
        return 1;
    }

    PrintChangeLists(out, incremental);
    const bool verified = PrintVerification(out, incremental);
    const std::string current = "VKOP_" + std::to_string(world.Settings().ulClientId) + "_0_" +
                                std::to_string(kIncrementalJob);
    const bool snapshotsOk = PrintSnapshots(out, world, current);
    const bool ok = verified && snapshotsOk;
    fprintf(out, "\n%s\n", ok ? "result: every share verified" : "result: MISMATCH");
    if (options.bKeep)
        fprintf(out, "kept %s (plug-in log: %s)\n", world.Base().c_str(),
                world.PluginLogPath().c_str());
    return ok ? 0 : 1;
}

}  // namespace snapagent
