#include "tools/JobCommand.h"

#include "host/VKPlatformInfo.h"
#include "hostlib/FileLogWriter.h"
#include "hostlib/OutputFailure.h"
#include "tools/AgentLog.h"
#include "tools/ClientLock.h"
#include "tools/ConfigCheck.h"
#include "tools/DeletedSnapshots.h"
#include "tools/FileOps.h"
#include "tools/HistoryRecorder.h"
#include "tools/ItemJson.h"
#include "tools/ItemText.h"
#include "tools/Progress.h"
#include "tools/ReadDecimal.h"
#include "tools/StateFolder.h"
#include "tools/StopSignals.h"
#include "tools/Transcript.h"

#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

namespace snapagent {
namespace {

// Why a share is not backed up when the job's output failed.
const char kUnwritten[] = "the results could not be written";

// A test of interruption needs a job that is still pulling when the signal
// comes; this hidden setting slows each pull down by that many milliseconds.
const char kPullDelayVariable[] = "SNAPAGENT_TEST_PULL_DELAY_MS";

// Streams items as they are pulled, so a volume of millions of changes is
// never held in memory; with --json each share's summary follows its items.
// Without an out (the transcript goes to stdout) only the outcome lines stay.
class PrintingObserver : public Progress {
public:
    PrintingObserver(Verbosity verbosity, bool json, FILE* out, const JobSpec& plan)
        : Progress(verbosity), m_bJson(json), m_pOut(out), m_plan(plan) {
        const char* delay = getenv(kPullDelayVariable);
        // Anything but plain digits (a sign, a space, an overflow) is no delay.
        if (!delay || !ReadDecimal(std::string_view(delay), m_uiPullDelayMs)) m_uiPullDelayMs = 0;
    }

    void OnItem(const std::string& share, const FileServerSnapshotCompareItem& item) override {
        if (m_uiPullDelayMs) usleep(m_uiPullDelayMs * 1000);
        Progress::OnItem(share, item);
        if (!m_pOut) return;
        if (m_bJson) {
            Emit(ItemJsonLine(share, item));
            return;
        }
        if (share != m_strLastShare) {
            const bool full = m_plan.llPrevJobId == 0 || m_plan.fullShares.count(BareShare(share));
            Emit((full ? "items of " : "changes of ") + PrintablePath(share) + ":");
            m_strLastShare = share;
        }
        Print(m_lines.Add(item));
    }

    void OnShareDone(const ShareResult& share) override {
        Tally(share);
        Print(m_lines.Finish());
        if (m_bJson) {
            nlohmann::ordered_json line;
            AppendShareSummaryJson(share, share.strFullScanReason, line);
            Emit(line.dump());
        }
        // A share whose results did not all reach the reader is not backed
        // up, whatever the plug-in did for it.
        ShareResult shown = share;
        if (m_pOut && OutputFailure::Any() && !share.bDropped) {
            shown.bDropped = true;
            shown.strFullScanReason = kUnwritten;
        }
        Always(PrintablePath(share.strShare) + ": " + PrintablePath(OutcomeText(shown)));
    }

    // One line of the results; a write that fails (a full disk, a closed
    // pipe) is noted, and the job stops at its next check.
    void Emit(const std::string& line) {
        if (!m_pOut || OutputFailure::Any()) return;
        const std::string text = line + "\n";
        // Flushed line by line: a reader that went away is seen at once.
        if (!WriteAndFlush(m_pOut, text))
            OutputFailure::Note("cannot write the results to stdout", errno);
    }

private:
    void Print(const std::vector<std::string>& lines) {
        for (const std::string& line : lines) Emit("  " + line);
    }

    bool m_bJson;
    FILE* m_pOut;
    const JobSpec& m_plan;
    std::string m_strLastShare;
    ChangeLines m_lines;
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
        if (m_pLog) m_pLog->Mark();
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
    hostlib::Status OnSnapshotsTaken(const JobResult& sofar) override {
        for (JobObserver* o : m_observers)
            if (hostlib::Status s = o->OnSnapshotsTaken(sofar); !s.ok()) return s;
        return hostlib::Status::OK();
    }
    void OnShareStart(const std::string& share) override {
        for (JobObserver* o : m_observers) o->OnShareStart(share);
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

    // Marks the log at the start of each plug-in call, so that a failure
    // line is matched to the call that wrote it.
    void Watch(AgentLog& log) { m_pLog = &log; }

private:
    std::vector<JobObserver*> m_observers;
    AgentLog* m_pLog = nullptr;
};

// How the job ended, for the job summary of --json.
struct JobEnd {
    std::map<std::string, size_t> counts;  // share outcome -> shares
    std::string strError;                  // empty unless the job failed
    // The message may name files: a terminal must show their bytes, not obey them.
    int Fail(const std::string& message) {
        strError = PrintablePath(message);
        fprintf(stderr, "snapagent: error: %s\n", strError.c_str());
        return kExitFailed;
    }
};

// The last line of --json: the job's outcome, its shares counted per
// outcome, the exit status and the error of a failed job.
void WriteJobSummaryJson(FILE* out, LONGLONG jobId, const JobEnd& end, int status) {
    nlohmann::ordered_json line;
    line["job"] = nullptr;
    if (jobId) line["job"] = jobId;
    line["outcome"] = status == kExitDone         ? "done"
                      : status == kExitIncomplete ? "incomplete"
                      : status == kExitFailed     ? "failed"
                      : status == kExitUsage      ? "usage_error"
                                                  : "interrupted";
    nlohmann::ordered_json counts = nlohmann::ordered_json::object();
    for (const char* outcome : {"compared", "full", "needs_full_scan", "not_backed_up"}) {
        const auto found = end.counts.find(outcome);
        counts[outcome] = found == end.counts.end() ? 0 : found->second;
    }
    line["shares"] = counts;
    line["exit"] = status;
    line["error"] = nullptr;
    if (!end.strError.empty()) line["error"] = end.strError;
    const std::string text = line.dump() + "\n";
    if (!WriteAndFlush(out, text)) OutputFailure::Note("cannot write the results to stdout", errno);
}

// The reason of a share the plug-in could not compare because the previous
// job left no snapshot, in the operator's terms; other reasons as they are.
std::string MissingBaseReason(const std::string& reason, const std::string& volume,
                              LONGLONG prevJobId) {
    if (reason.find("prev snapshot[] is not valid") == std::string::npos) return reason;
    return "no snapshot of job " + std::to_string(static_cast<unsigned long long>(prevJobId)) +
           " on volume " + (volume.empty() ? "of the share" : PrintablePath(volume)) +
           ": run a full job (without --prev), or give --prev the job that left one";
}

// The error line of a failed job: the innermost reason first (the shares
// the plug-in dropped, else what it logged as failures during the step,
// else its error's own message), then the code and the step.
std::string FailureLine(const JobResult& result, const std::vector<std::string>& logged,
                        bool verbose, const std::string& logPath) {
    if (!result.failure.IsError()) return result.strFailedStep + " failed: " + result.strError;
    std::string reasons;
    for (const ShareResult& share : result.shares)
        if (share.bDropped && result.strFailedStep == "ConfigureSnapshot")
            reasons += (reasons.empty() ? "cannot back up " : "; cannot back up ") +
                       PrintablePath(share.strShare) + ": " + share.strFullScanReason;
    std::string line;
    if (!reasons.empty()) {
        line = reasons + " (" + ErrorCode(result.failure) + " from " + result.strFailedStep + ")";
    } else {
        // The first failure the call logged is the innermost; the rest are
        // in the log, which the line names.
        if (!logged.empty()) line += logged.front() + ": ";
        if (logged.size() > 1)
            line +=
                "(" + Counted(logged.size() - 1, "more failure", "more failures") + " in the log) ";
        const std::string reason = ErrorReason(result.failure);
        line += reason + (reason.empty() ? "" : " ") + "(" + ErrorCode(result.failure) + " from " +
                result.strFailedStep + ")";
    }
    if (verbose) line += " | " + OneLine(result.failure.AsString());
    if (!logPath.empty()) line += "; the plug-in's log: " + logPath;
    return line;
}

std::string JobSummary(const JobResult& result, LONGLONG jobId) {
    std::map<std::string, size_t> counts;
    for (const ShareResult& share : result.shares) ++counts[OutcomeName(share)];
    std::string text;
    auto add = [&](const char* outcome, const std::string& words) {
        if (!counts[outcome]) return;
        text += (text.empty() ? "" : ", ") + std::to_string(counts[outcome]) + " " + words;
    };
    add("compared", "compared");
    add("full", "backed up in full");
    add("needs_full_scan",
        "need" + std::string(counts["needs_full_scan"] == 1 ? "s" : "") + " a full scan");
    add("not_backed_up", "not backed up");
    return "job " + std::to_string(jobId) +
           " done: " + Counted(result.shares.size(), "share", "shares") +
           (text.empty() ? "" : ": " + text);
}

// Where and how a stopped job ended, for its last line. A job stopped
// during the clean-up has settled its shares; what it did not delete, the
// next job's clean-up deletes.
std::string StoppedLine(LONGLONG jobId, const JobResult& result, const std::string& where) {
    const std::string job =
        "job " + std::to_string(jobId) + " stopped" + (where.empty() ? "" : " " + where);
    if (result.strStoppedIn != "CleanupSnapshotsPostBackup")
        return job + ", without the post-backup clean-up; run it again to complete it";
    if (!StopSignals::Urgent())
        return job +
               ", once its post-backup clean-up ended: its shares are settled as their "
               "lines say";
    return job +
           ": the post-backup clean-up was stopped; the shares are settled as their lines "
           "say, and the next job's clean-up deletes the old snapshots left";
}

// A job that ran to its end needs no earlier results folder of its client:
// its own is the base of the next job, and a rerun of it uses its own.
// [snapagent] keep_results keeps that many of the latest earlier ones; a
// folder named with --results is the operator's to keep.
void PruneResultsFolders(const JobOptions& options, const std::string& stateDir) {
    if (options.bResultsGiven) return;
    int keep = 0;
    VKPlatformInfo::getRegInt("snapagent", "keep_results", &keep);
    RemoveEarlierResults(stateDir, options.plan.ulClientId, options.plan.llJobId,
                         static_cast<unsigned>(std::max(keep, 0)));
}

// Which job this one compares from (without --prev: the latest that ran to
// its end), and the shares it backs up in full because that job did not
// back them up completely: a comparison from its snapshot would miss what
// such a share gained before it. A base the history does not know (run
// with another state folder) is compared as the array's snapshots allow.
// Returns the warnings.
std::vector<std::string> PlanFromHistory(JobOptions& options, const std::string& stateDir) {
    JobSpec& plan = options.plan;
    std::vector<std::string> warnings;
    if (!options.bPrevGiven) {
        std::vector<JobRecord> records;
        if (const hostlib::Status s = ReadJobRecords(stateDir, plan.ulClientId, records); !s.ok())
            warnings.push_back(s.message());
        const JobRecord* latest =
            LatestEndedJob(records, plan.ulAppId1, plan.ulAppId2, plan.llJobId);
        plan.llPrevJobId = latest ? latest->llJobId : 0;
    }
    if (plan.llPrevJobId == 0) return warnings;
    const std::string prev = std::to_string(static_cast<unsigned long long>(plan.llPrevJobId));
    JobRecord base;
    const hostlib::Status read = ReadJobRecord(stateDir, plan.ulClientId, plan.llPrevJobId, base);
    const bool known = read.ok();
    if (read.IsNotFound()) {
        warnings.push_back("job " + prev + " is not in the job history of client " +
                           std::to_string(plan.ulClientId) +
                           ": its shares are compared from the snapshots it left");
        return warnings;
    }
    if (!known) warnings.push_back(read.message() + ": every share is backed up in full");
    for (const std::string& share : plan.shares) {
        std::string why = known ? base.WhyNotBackedUp(BareShare(share))
                                : "the history of job " + prev + " cannot be read";
        if (why.empty()) why = DeletedBaseReason(stateDir, base, BareShare(share));
        if (!why.empty()) plan.fullShares[BareShare(share)] = why;
    }
    return warnings;
}

int RunJobSteps(JobOptions& options, FILE* out, JobEnd& end) {
    setenv("SNAPCLIENT_CONFIG", options.strConfig.c_str(), 1);
    JobSpec& plan = options.plan;
    const bool verbose = options.common.verbosity == Verbosity::kVerbose;
    std::string stateDir;
    if (const hostlib::Status s = DefaultStateDir(stateDir); !s.ok()) return end.Fail(s.message());
    // Every mistake in the config is named before the plug-in touches the array.
    const ConfigCheckResult checked = CheckConfig(options.strConfig, plan.ulClientId);
    // --quiet leaves outcome lines and errors only.
    for (const std::string& warning : checked.JobWarnings())
        if (options.common.verbosity != Verbosity::kQuiet)
            fprintf(stderr, "snapagent: warning: %s\n", PrintablePath(warning).c_str());
    if (!checked.strError.empty()) return end.Fail(checked.strError);
    // The client keeps the folder for the whole job, and the transcript
    // names it by its full path only.
    if (const hostlib::Status s = MakeAbsolute(plan.strResultsDir); !s.ok())
        return end.Fail(s.message());
    for (std::string& share : plan.shares)
        if (const hostlib::Status s = MakeAbsolute(share); !s.ok()) return end.Fail(s.message());

    // The state and results folders hold files that name the backed-up
    // files: no other local user may list, read or swap them.
    if (const hostlib::Status s = MakePrivateFolder(stateDir); !s.ok())
        return end.Fail(s.message());
    ClientLock lock;
    if (const hostlib::Status s =
            lock.Acquire(stateDir, plan.ulClientId, plan.llJobId, options.bWait);
        !s.ok())
        return end.Fail(s.message());
    for (const std::string& warning : PlanFromHistory(options, stateDir))
        if (options.common.verbosity != Verbosity::kQuiet)
            fprintf(stderr, "snapagent: warning: %s\n", PrintablePath(warning).c_str());
    AgentLog log(verbose, stateDir, plan.ulClientId, plan.llJobId);
    plan.loggedFailure = [&log, &plan](const std::string& share) {
        struct stat st;
        if (!plan.bAutoMount && lstat(share.c_str(), &st) != 0 && errno == ENOENT)
            return PrintablePath(share) + " does not exist";
        if (!plan.bAutoMount && stat(share.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
            return PrintablePath(share) + " is not a folder";
        return MissingBaseReason(log.FailureNaming(share), log.VolumeOf(share), plan.llPrevJobId);
    };

    if (!options.bResultsGiven)
        plan.strResultsDir = DefaultResultsDir(stateDir, plan.ulClientId, plan.llJobId);
    if (const hostlib::Status s = options.bResultsGiven
                                      ? MakeDirectories(plan.strResultsDir, kPrivateFolderMode)
                                      : MakePrivateFolder(plan.strResultsDir);
        !s.ok())
        return end.Fail(s.message());
    // The plug-in appends to the snapshot map file, and the clean-up resolves
    // every path recorded there. An agent gives each job a fresh results
    // folder; ours is per client and job id, so a folder used before (by the
    // same job id on another array, or by an earlier run of this job) starts
    // with this run's records only. A run that completes an interrupted one
    // records the same shares again.
    if (const hostlib::Status s = RemoveRegularFile(SnapMapFileOf(plan.strResultsDir)); !s.ok())
        return end.Fail(s.message());
    plan.bKeepItems = false;

    PluginLoader plugin;
    const std::string pluginPath = options.common.strPluginPath.empty()
                                       ? PluginLoader::DefaultPath()
                                       : options.common.strPluginPath;
    if (const hostlib::Status s = plugin.Load(pluginPath); !s.ok()) return end.Fail(s.message());

    std::unique_ptr<TranscriptWriter> transcript;
    if (!options.strTranscript.empty()) {
        transcript.reset(new TranscriptWriter());
        if (const hostlib::Status s = transcript->Open(options.strTranscript); !s.ok())
            return end.Fail(s.message());
        transcript->WriteJob(plan);
    }

    // A transcript on stdout holds the items already: no change list beside it.
    PrintingObserver printer(options.common.verbosity, options.common.bJson,
                             options.strTranscript == "-" ? nullptr : out, plan);
    std::vector<JobObserver*> observers{&printer};
    if (transcript) observers.push_back(transcript.get());
    printer.Detail("job results folder: " + PrintablePath(plan.strResultsDir));
    LocalArrayConfig local;
    if (LoadConfiguredLocalArray(plan.ulClientId, local)) printer.SetArrayRoot(local.strRoot);

    StopSignals::Install();
    // Output that cannot be written stops the job as a stop request does:
    // what the agent delivered is lost, so the previous snapshot must stay
    // for the run that completes the job.
    plan.stopReason = [] {
        if (OutputFailure::Any()) return std::string(kUnwritten);
        return std::string(StopSignals::Requested()
                               ? "the job was stopped before it was settled; run the job again"
                               : "");
    };
    HistoryRecorder history(stateDir, plan,
                            [&log](const std::string& share) { return log.VolumeOf(share); });
    observers.push_back(&history);
    if (const hostlib::Status s = history.Start(); !s.ok()) return end.Fail(s.message());
    ObserverFanout observer(observers);
    observer.Watch(log);
    JobResult result;
    RunJob(plugin, plan, observer, result);
    // A stop that comes now finds nothing left to stop: the job ends as settled.
    StopSignals::SetFinishing(std::string());
    for (const ShareResult& share : result.shares) ++end.counts[OutcomeName(share)];
    if (fflush(out) != 0) OutputFailure::Note("cannot write the results to stdout", errno);
    if (transcript) {
        transcript->WriteEnd(result);
        transcript->Close();
    }
    // However the job ends, its history record says so before it returns.
    auto ended = [&](const std::string& state, int status, const std::string& why) {
        if (const hostlib::Status s = history.Finish(result, state, why); !s.ok())
            return end.Fail(s.message() + "; the next job backs this job's shares up in full");
        return status;
    };
    const std::string stopped = StoppedLine(plan.llJobId, result, printer.StoppedAt());
    if (result.bInterrupted && StopSignals::Signal() != 0) {
        const bool term = StopSignals::Signal() == SIGTERM;
        fprintf(stderr, "snapagent: interrupted by %s: %s\n", term ? "SIGTERM" : "SIGINT",
                stopped.c_str());
        // As shells report a process ended by the signal: 128 + its number.
        return ended("stopped", term ? kExitTerminated : kExitInterrupted, stopped);
    }
    const std::string outputError = OutputFailure::Take();
    if (!outputError.empty()) {
        const int status = end.Fail(outputError + (result.bInterrupted ? ": " + stopped : ""));
        return ended("failed", status, end.strError);
    }
    if (!result.bOk) {
        const int status =
            end.Fail(FailureLine(result, log.FailuresSinceMark(), verbose, log.Path()));
        return ended("failed", status, end.strError);
    }
    const uint64_t leftOut = printer.LeftOut();
    printer.Always(
        JobSummary(result, plan.llJobId) +
        (leftOut ? "; " + Counted(leftOut, "item", "items") + " left out of its snapshots" : "") +
        "; " + printer.Totals());
    bool incomplete = leftOut > 0;
    for (const ShareResult& share : result.shares)
        incomplete = incomplete || OutcomeName(share) == "needs_full_scan" || share.bDropped;
    const int status = ended(incomplete ? "incomplete" : "done",
                             incomplete ? kExitIncomplete : kExitDone, std::string());
    if (status != kExitFailed) PruneResultsFolders(options, stateDir);
    return status;
}

// The job summary of --json, the last line whatever happened: a share the
// job never settled (it ended before the plug-in saw it) is not backed up.
void EndJson(const JobOptions& options, JobEnd& end, int status, FILE* out) {
    // A transcript on stdout is the whole of stdout.
    if (!options.common.bJson || options.strTranscript == "-") return;
    size_t settled = 0;
    for (const auto& count : end.counts) settled += count.second;
    if (settled < options.plan.shares.size())
        end.counts["not_backed_up"] += options.plan.shares.size() - settled;
    WriteJobSummaryJson(out, options.plan.llJobId, end, status);
}

}  // namespace

int RunJobCommand(JobOptions options, FILE* out) {
    JobEnd end;
    const int status = RunJobSteps(options, out, end);
    EndJson(options, end, status, out);
    return status;
}

void WriteUsageErrorJson(const JobOptions& options, const std::string& error, FILE* out) {
    JobEnd end;
    end.strError = PrintablePath(error);
    EndJson(options, end, kExitUsage, out);
}

}  // namespace snapagent
