#include "tools/HistoryCommand.h"

#include "tools/CommandLine.h"
#include "tools/ItemText.h"
#include "tools/JobCommand.h"
#include "tools/JobHistory.h"
#include "tools/StateFolder.h"
#include "tools/StoreDumpCommand.h"

namespace snapagent {

const char kHistoryUsage[] =
    "usage: snapagent history --client N [-q] [--json]\n"
    "\n"
    "Lists the jobs of the client that this state folder ran, oldest first:\n"
    "each job's state (done, incomplete, failed, stopped, or did not end: still\n"
    "running or killed), the job it compared from, and per share what it did\n"
    "(backed up in full, compared with N items, read live, needs a full scan,\n"
    "not backed up, stopped) and whether every item reached the agent. A job\n"
    "without --prev compares from the latest job that ran to its end, and only\n"
    "the shares that job backed up completely (marked \"base\"); the others it\n"
    "backs up in full. Reads only.\n"
    "\n"
    "  --client N   the client id of the jobs\n"
    "  -q, --quiet  the listing and errors only (as without it: -q is taken\n"
    "               here as on every command)\n"
    "  --json       one JSON object per job (/usr/share/doc/snapclient/json.md)\n";

namespace {

std::string Number(long long value) { return std::to_string(value); }

std::string StateText(const JobRecord& record) {
    if (record.strState == "running") return "did not end (still running, or killed)";
    return record.strState;
}

std::string ShareText(const JobRecord& record, const ShareRecord& share) {
    const std::string why = share.strReason.empty() ? "" : " (" + share.strReason + ")";
    std::string text;
    if (share.strOutcome == "full")
        text = "backed up in full" + (share.strReason.empty() ? "" : ": " + share.strReason);
    else if (share.strOutcome == "compared")
        text = "compared (" + Counted(share.ullItems, "item", "items") + " delivered)";
    else if (share.strOutcome == "read_live")
        text = "read live" + why;
    else if (share.strOutcome == "needs_full_scan")
        text = "needs a full scan" + why;
    else if (share.strOutcome == "stopped")
        text = "stopped" + why;
    else
        text = "not backed up" + why;
    const bool delivered = share.strOutcome == "full" || share.strOutcome == "compared";
    if (delivered && !share.bReceived) text += "; not every result reached the agent";
    if (record.WhyNotBackedUp(share.strShare).empty()) text += "; base";
    return text;
}

void PrintText(FILE* out, const JobRecord& record) {
    std::string line = "job " + Number(record.llJobId) + "  " + StateText(record);
    line += record.llPrevJobId ? "  compared from job " + Number(record.llPrevJobId) : "  full job";
    line +=
        "  application " + Number(record.ulAppId2) + "  started " + UtcTimeText(record.llStarted);
    if (record.llEnded) line += "  ended " + UtcTimeText(record.llEnded);
    fprintf(out, "%s\n", line.c_str());
    if (!record.strError.empty()) fprintf(out, "  error: %s\n", record.strError.c_str());
    for (const ShareRecord& share : record.shares)
        fprintf(out, "  %s: %s\n", PrintablePath(share.strShare).c_str(),
                ShareText(record, share).c_str());
}

int Usage(const std::string& message) {
    fprintf(stderr, "snapagent: error: %s (see snapagent history --help)\n",
            PrintablePath(message).c_str());
    return kExitUsage;
}

}  // namespace

int RunHistoryCommand(const std::vector<std::string>& args, FILE* out) {
    HistoryOptions options;
    std::string error;
    if (!ParseHistoryOptions(args, options, error)) return Usage(error);
    if (options.common.bHelp) {
        fputs(kHistoryUsage, out);
        return kExitDone;
    }
    const ULONG client = options.ulClientId;
    const bool json = options.common.bJson;
    std::string stateDir;
    if (const hostlib::Status found = DefaultStateDir(stateDir); !found.ok()) {
        fprintf(stderr, "snapagent: history: %s\n", PrintablePath(found.message()).c_str());
        return kExitFailed;
    }
    std::vector<JobRecord> records;
    const hostlib::Status read = ReadJobRecords(stateDir, client, records);
    for (const JobRecord& record : records) {
        if (json)
            fprintf(out, "%s\n", JobRecordJson(record).c_str());
        else
            PrintText(out, record);
    }
    if (records.empty() && read.ok() && !json)
        fprintf(out, "no job of client %llu in %s\n", static_cast<unsigned long long>(client),
                PrintablePath(HistoryFolder(stateDir, client)).c_str());
    if (read.ok()) return kExitDone;
    fprintf(stderr, "snapagent: history: %s\n", PrintablePath(read.message()).c_str());
    return kExitFailed;
}

}  // namespace snapagent
