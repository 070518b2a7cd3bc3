// The plug-in's log as an operator greps it: a whole two-job cycle (the
// demo's full and incremental job, with renames, moves, deletions and hard
// links) logs every line under the operation of the agent's interface it
// belongs to (or the pull function), never under a helper of the client,
// and every line carries its time, process and job.
#include "tests/support/TestSupport.h"
#include "tools/DemoWorld.h"
#include "tools/ErrorJson.h"
#include "tools/FileOps.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <filesystem>
#include <map>
#include <regex>
#include <set>

using namespace testsupport;
using snapagent::DemoWorld;

namespace {

// The client's operations an agent or the client's own interface names.
const std::set<std::string> kOperations = {"Initialize",
                                           "InitArray",
                                           "VerifySnapScanSupport",
                                           "ConfigureSnapshot",
                                           "ManageSnapshots",
                                           "CompareSnapshots",
                                           "CleanupSnapshot",
                                           "UpdateContentMapperPaths",
                                           "CleanupSnapshotsPostBackup",
                                           "RepopulateContentMapperPaths",
                                           "DeleteAutoMountFailedSnapshots",
                                           "CreateSnapshot",
                                           "AddSnapDevInfo",
                                           "GetSnapshotName",
                                           "GetSnapDiffItemsPerIteration",
                                           "IsEventPartOfBackupPaths",
                                           "IsPathEligibleForSnapDiffScan",
                                           "MarkSnapDiffCompletedShares",
                                           "GetCommonVolumeShares",
                                           "CreateEventDB",
                                           "EventDBInsert",
                                           "PopulateCompareItem",
                                           "CheckIfSnapPath",
                                           "GetSnapshotCompareItem"};

// A line leads to the log call that wrote it: the file named after the
// signature, else the file defining the operation, holds a log or trace
// call at the line (a call may span a few lines).
bool LeadsToLogCall(const std::string& function, const std::string& name, int line) {
    static std::map<std::string, std::vector<std::string>> linesOf;  // by file or operation
    const size_t open = function.rfind(" [");
    const std::string key =
        open == std::string::npos ? name : function.substr(open + 2, function.size() - open - 3);
    std::vector<std::string>& lines = linesOf[key];
    const std::string folder = std::string(SNAPCLIENT_SOURCE_DIR) + "/snapclient";
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (!lines.empty()) break;
        if (!entry.is_regular_file()) continue;
        const std::string text = ReadFile(entry.path());
        if (key == name ? std::regex_search(text, std::regex("\n[^ \n][^\n]*" + name + "\\("))
                        : entry.path().filename() == key)
            lines = SplitLines(text);
    }
    for (int at = line; at > 0 && at > line - 4 && at <= int(lines.size()); --at)
        if (lines[at - 1].find("SC_LOG") != std::string::npos ||
            lines[at - 1].find("SC_TRACE_FUNCTION") != std::string::npos)
            return true;
    return false;
}

TEST(SnapagentLog, TwoJobCycleLogsEveryLineUnderAnOperationWithTimePidAndJob) {
    std::string scratch;
    ASSERT_TRUE(IsOk(snapagent::MakeTempFolder("snapagent-log-", scratch)));
    const Exit demo = RunSnapagent({"demo", "--quiet", "--keep"}, scratch, {"TMPDIR=" + scratch});
    ASSERT_EQ(demo.status, 0) << demo.out << demo.err;
    std::smatch kept;
    ASSERT_TRUE(std::regex_search(demo.out, kept, std::regex("plug-in log: (.*)\\)\n")))
        << demo.out;

    const std::regex line(
        "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z\t\\d+\t1\t([12])\t"
        "(-1|[0-3])\t([^\t]+)\t(\\d+)\t[^\t]*");
    std::set<std::string> jobs, strangers;
    size_t lines = 0;
    for (const std::string& text : SplitLines(ReadFile(kept[1]))) {
        std::smatch fields;
        ASSERT_TRUE(std::regex_match(text, fields, line)) << text;
        jobs.insert(fields[1]);
        const std::string name = snapagent::QualifiedFunctionName(fields[3]);
        const std::string prefix = "CNetAppSnapClient::";
        // A lambda's signature names the operation around it, then "::<lambda".
        if (name.compare(0, prefix.size(), prefix) != 0 ||
            !kOperations.count(name.substr(prefix.size())) ||
            fields[3].str().find("<lambda") != std::string::npos)
            strangers.insert(fields[3]);
        else if (!LeadsToLogCall(fields[3], name, std::stoi(fields[4])))
            strangers.insert(fields[3].str() + " at line " + fields[4].str());
        ++lines;
    }
    EXPECT_GT(lines, 50u);
    EXPECT_EQ(jobs, (std::set<std::string>{"1", "2"}));
    std::string listed;
    for (const std::string& s : strangers) listed += "\n  " + s;
    EXPECT_TRUE(strangers.empty()) << "lines under no operation, or not at a log call:" << listed;
    snapagent::RemoveTree(scratch);
}

// Each text must appear in text after the previous one.
void ExpectInOrder(const std::string& text, const std::vector<std::string>& parts) {
    size_t at = 0;
    for (const std::string& part : parts) {
        at = text.find(part, at);
        ASSERT_NE(at, std::string::npos) << "lacks [" << part << "] in order:\n" << text;
    }
}

// Progress: plain step lines when stderr is no terminal, a status line
// redrawn in place on one, nothing with --quiet; the plug-in's log has the
// job's start and end and each snapshot made or deleted at the default level.
TEST(SnapagentLog, ProgressOnStderrAndJobLinesInThePluginLog) {
    DemoWorld world;
    ASSERT_TRUE(IsOk(world.Build(DemoWorld::DemoSpec(true))));
    const std::string share = world.Shares()[2].strSharePath;
    for (int i = 0; i < 100; ++i)
        WriteFile(world.Shares()[2].strLiveDir + "/f" + std::to_string(i), "x");
    auto job = [&](const std::string& id, const std::string& prev, bool quiet,
                   const std::string& on = std::string()) {
        std::vector<std::string> args{
            "job",   "--config", world.ConfigPath(), "--client", "1",
            "--job", id,         "--prev",           prev,       on.empty() ? share : on};
        if (quiet) args.insert(args.begin() + 1, "--quiet");
        return args;
    };
    const std::vector<std::string> state{"SNAPAGENT_STATE_DIR=" + world.Base() + "/state"};
    const Exit first = RunSnapagent(job("1", "0", false), world.Base(), state);
    ASSERT_EQ(first.status, 0) << first.err;
    ExpectInOrder(first.err,
                  {"snapagent: connecting to the array\n",
                   "snapagent: taking the snapshots and applying retention\n",
                   "snapagent: copying snapshot VKOP_1_0_1 of volume home\n",
                   ": backed up in full\n", "snapagent: deleting the job's old snapshots\n"});
    const Exit quiet = RunSnapagent(job("2", "1", true), world.Base(), state);
    ASSERT_EQ(quiet.status, 0) << quiet.err;
    // Job 2 succeeded with job 1 as its base: job 1's results are of no more use.
    EXPECT_FALSE(FileExists(world.Base() + "/state/client1/job1"));
    EXPECT_TRUE(FileExists(world.Base() + "/state/client1/job2/nativeSnapMapInfo.vkf"));
    // Quiet: the outcome line and the job's last line alone.
    EXPECT_EQ(SplitLines(quiet.err).size(), 2u) << quiet.err;
    ExpectInOrder(ReadFile(world.Base() + "/plugin.log"),
                  {"Job [1] starts: [1] shares, previous job [0].",
                   "Created snapshot [VKOP_1_0_1] of volume [home].", "Job [1] ends",
                   "Job [2] starts", "Created snapshot [VKOP_1_0_2] of volume [home].",
                   "Deleted snapshot [VKOP_1_0_1] of volume [home].",
                   "Job [2] ends: snapshot clean-up done."});
    // [snapagent] keep_results keeps that many earlier results folders.
    WriteFile(world.ConfigPath(),
              ReadFile(world.ConfigPath()) + "\n[snapagent]\nkeep_results = 1\n");
    const std::string shown = OnATerminal(job("3", "2", false), world.Base() + "/state").out;
    EXPECT_TRUE(FileExists(world.Base() + "/state/client1/job2"));
    ExpectInOrder(shown,
                  {"\r\033[Ksnapagent: taking the snapshots",
                   "\r\033[Ksnapagent: copying snapshot VKOP_1_0_3 of volume home: ", " of about ",
                   " files copied", "\r\033[K",
                   "\r\033[Ksnapagent: comparing the snapshots of " + share, ": compared ("});
    EXPECT_EQ(shown.find("snapagent: copying snapshot VKOP_1_0_3 of volume home\n"),
              std::string::npos)
        << shown;
    // An item the array cannot keep is in no backup: the job says so.
    const std::string alpha = world.Shares()[0].strLiveDir;
    ASSERT_EQ(0, mkdir((alpha + "/.snapshot").c_str(), 0755));
    WriteFile(alpha + "/.snapshot/mine", "m");
    const Exit kept =
        RunSnapagent(job("4", "0", false, world.Shares()[0].strSharePath), world.Base(), state);
    EXPECT_EQ(kept.status, 3) << kept.err;
    ExpectInOrder(kept.err, {"snapshot VKOP_1_0_4 of volume projects left out 1 item it cannot",
                             ": backed up in full\n",
                             "job 4 done: 1 share: 1 backed up in full; "
                             "1 item left out of its snapshots; 0 items delivered in "});
}

}  // namespace
