// The plug-in's log as an operator greps it: a whole two-job cycle (the
// demo's full and incremental job, with renames, moves, deletions and hard
// links) logs every line under the operation of the agent's interface it
// belongs to (or the pull function), never under a helper of the client,
// and every line carries its time, process and job.
#include "tests/support/TestSupport.h"
#include "tools/ErrorJson.h"
#include "tools/FileOps.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>

using namespace testsupport;

namespace {

// The client's operations an agent or the client's own interface names.
const std::set<std::string> kOperations = {
    "Initialize", "InitArray", "VerifySnapScanSupport", "ConfigureSnapshot", "ManageSnapshots",
    "CompareSnapshots", "CleanupSnapshot", "UpdateContentMapperPaths",
    "CleanupSnapshotsPostBackup", "RepopulateContentMapperPaths",
    "DeleteAutoMountFailedSnapshots", "CreateSnapshot", "AddSnapDevInfo", "GetSnapshotName",
    "GetSnapDiffItemsPerIteration", "IsEventPartOfBackupPaths", "IsPathEligibleForSnapDiffScan",
    "MarkSnapDiffCompletedShares", "GetCommonVolumeShares", "CreateEventDB", "EventDBInsert",
    "PopulateCompareItem", "CheckIfSnapPath", "GetSnapshotCompareItem"};

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
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (!lines.empty()) break;
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
    std::string scratch, error;
    ASSERT_TRUE(snapagent::MakeTempFolder("snapagent-log-", scratch, error)) << error;
    const Exit demo = RunSnapagent({"demo", "--quiet", "--keep"}, scratch, {"TMPDIR=" + scratch});
    ASSERT_EQ(demo.status, 0) << demo.out << demo.err;
    std::smatch kept;
    ASSERT_TRUE(std::regex_search(demo.out, kept, std::regex("plug-in log: (.*)\\)\n"))) << demo.out;

    const std::regex line("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z\t\\d+\t([12])\t"
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
    snapagent::RemoveTree(scratch, error);
}

}  // namespace
