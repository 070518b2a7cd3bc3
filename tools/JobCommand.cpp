#include "tools/JobCommand.h"

#include "host/FileLogWriter.h"
#include "tools/ArraySettingsCheck.h"
#include "tools/FileOps.h"
#include "tools/ItemJson.h"
#include "tools/ItemText.h"
#include "tools/Progress.h"
#include "tools/StopSignals.h"
#include "tools/Transcript.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>
#include <vector>

namespace snapagent {
namespace {

// Exit status of a job stopped by a signal, as shells report SIGINT.
const int kInterruptedExit = 130;

// A test of interruption needs a job that is still pulling when the signal
// comes; this hidden setting slows each pull down by that many milliseconds.
const char kPullDelayVariable[] = "SNAPAGENT_TEST_PULL_DELAY_MS";

// Streams items as they are pulled, so a volume of millions of changes is
// never held in memory.
class PrintingObserver : public Progress {
public:
    PrintingObserver(Verbosity verbosity, bool json, FILE* out)
        : Progress(verbosity), m_bJson(json), m_pOut(out) {
        const char* delay = getenv(kPullDelayVariable);
        m_uiPullDelayMs = delay ? static_cast<unsigned>(strtoul(delay, nullptr, 10)) : 0;
    }

    void OnItem(const std::string& share, const FileServerSnapshotCompareItem& item) override {
        if (m_uiPullDelayMs) usleep(m_uiPullDelayMs * 1000);
        if (m_bJson) {
            fprintf(m_pOut, "%s\n", ItemJsonLine(share, item).c_str());
            return;
        }
        if (share != m_strLastShare) {
            fprintf(m_pOut, "changes of %s:\n", PrintablePath(share).c_str());
            m_strLastShare = share;
        }
        fprintf(m_pOut, "  %s\n", DescribeItem(item).c_str());
    }

private:
    bool m_bJson;
    FILE* m_pOut;
    std::string m_strLastShare;
    unsigned m_uiPullDelayMs;
};

// Hands every hook to each observer in turn (progress first, transcript
// second); the job goes on past the snapshots only when all agree.
class ObserverFanout : public JobObserver {
public:
    explicit ObserverFanout(std::vector<JobObserver*> observers)
        : m_observers(std::move(observers)) {}

    void OnCalling(const std::string& operation) override {
        for (JobObserver* o : m_observers) o->OnCalling(operation);
    }
    void OnStep(const std::string& operation, const CRyError& result) override {
        for (JobObserver* o : m_observers) o->OnStep(operation, result);
    }
    void OnSharesKept(const std::list<std::string>& shares) override {
        for (JobObserver* o : m_observers) o->OnSharesKept(shares);
    }
    void OnReadPaths(const std::map<std::string, std::string>& readPaths) override {
        for (JobObserver* o : m_observers) o->OnReadPaths(readPaths);
    }
    bool OnSnapshotsTaken(const JobResult& sofar, std::string& error) override {
        for (JobObserver* o : m_observers)
            if (!o->OnSnapshotsTaken(sofar, error)) return false;
        return true;
    }
    void OnItem(const std::string& share, const FileServerSnapshotCompareItem& item) override {
        for (JobObserver* o : m_observers) o->OnItem(share, item);
    }
    void OnListEnd(const std::string& share, const FileServerSnapshotCompareItem& item) override {
        for (JobObserver* o : m_observers) o->OnListEnd(share, item);
    }
    void OnShareDone(const ShareResult& share) override {
        for (JobObserver* o : m_observers) o->OnShareDone(share);
    }

private:
    std::vector<JobObserver*> m_observers;
};

int Fail(const std::string& message) {
    fprintf(stderr, "snapagent: error: %s\n", message.c_str());
    return 1;
}

}  // namespace

int RunJobCommand(JobOptions options, FILE* out) {
    if (access(options.strConfig.c_str(), R_OK) != 0)
        return Fail("cannot read config [" + options.strConfig + "]");
    setenv("SNAPCLIENT_CONFIG", options.strConfig.c_str(), 1);
    JobSpec& plan = options.plan;
    std::string error;
    if (!CheckArraySettings(error)) return Fail(error);
    if (!plan.strResultsDir.empty() && plan.strResultsDir[0] != '/') {
        // The client keeps the folder for the whole job, and the transcript
        // names it by its full path only.
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd)) return Fail("cannot read the current folder");
        plan.strResultsDir = std::string(cwd) + "/" + plan.strResultsDir;
    }

    // The plug-in logs as the config says ([log] level, [log] file).
    std::unique_ptr<CFileLogWriter> log(CreateConfiguredLogWriter());
    CLogWriterInterface* previousLog = SetLogWriter(log.get());
    struct RestoreLog {
        CLogWriterInterface* previous;
        ~RestoreLog() { SetLogWriter(previous); }
    } restore{previousLog};

    if (!options.bResultsGiven)
        plan.strResultsDir = DefaultResultsDir(DefaultStateDir(), plan.ulClientId, plan.llJobId);
    if (!MakeDirectories(plan.strResultsDir, error)) return Fail(error);
    // The plug-in appends to the snapshot map file, and the clean-up resolves
    // every path recorded there. An agent gives each job a fresh results
    // folder; ours is per client and job id, so a folder used before (by the
    // same job id on another array, or by an earlier run of this job) starts
    // with this run's records only. A run that completes an interrupted one
    // records the same shares again.
    if (!RemoveTree(SnapMapFileOf(plan.strResultsDir), error)) return Fail(error);
    plan.bKeepItems = false;

    PluginLoader plugin;
    const std::string pluginPath = options.common.strPluginPath.empty()
                                       ? PluginLoader::DefaultPath()
                                       : options.common.strPluginPath;
    if (!plugin.Load(pluginPath, error)) return Fail(error);

    std::unique_ptr<TranscriptWriter> transcript;
    if (!options.strTranscript.empty()) {
        transcript.reset(new TranscriptWriter());
        if (!transcript->Open(options.strTranscript, error)) return Fail(error);
        transcript->WriteJob(plan);
    }

    PrintingObserver printer(options.common.verbosity, options.bJson, out);
    std::vector<JobObserver*> observers{&printer};
    if (transcript) observers.push_back(transcript.get());
    ObserverFanout observer(observers);
    printer.Detail("job results folder: " + plan.strResultsDir);

    StopSignals signals;
    plan.stopRequested = &StopSignals::Requested;
    JobResult result;
    RunJob(plugin, plan, observer, result);
    fflush(out);
    if (transcript) transcript->WriteEnd(result);
    if (result.bInterrupted) {
        fprintf(stderr,
                "snapagent: interrupted by %s: job %lld stopped between two plug-in calls, "
                "without the post-backup clean-up; run it again to complete it\n",
                StopSignals::Signal() == SIGTERM ? "SIGTERM" : "SIGINT",
                static_cast<long long>(plan.llJobId));
        return kInterruptedExit;
    }
    if (!result.bOk) return Fail(result.strFailedStep + " failed: " + result.strError);
    printer.Say("job " + std::to_string(plan.llJobId) + " done: " +
                std::to_string(result.keptShares.size()) + " shares backed up");
    return 0;
}

}  // namespace snapagent
