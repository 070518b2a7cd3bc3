#include "tools/HistoryCommand.h"

#include "tools/CommandLine.h"
#include "tools/ItemText.h"
#include "tools/JobCommand.h"
#include "tools/JobHistory.h"
#include "tools/StateFolder.h"
#include "tools/StoreDumpCommand.h"

namespace snapagent {

const char kHistoryUsage[] =
    "usage: snapagent history --client N [--json]\n"
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
    "  --json       one JSON object per job (docs/json.md)\n";

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
    ParsedArgs parsed;
    std::string error;
    if (!ParseArgs(args, {{"--client", true}, {"--json", false}, {"--help", false}, {"-h", false}},
                   parsed, error))
        return Usage(error);
    if (parsed.flags.count("--help") || parsed.flags.count("-h")) {
        fputs(kHistoryUsage, out);
        return kExitDone;
    }
    if (!parsed.positional.empty())
        return Usage("history takes no arguments, got [" + parsed.positional.front() + "]");
    uint64_t client = 0;
    if (!parsed.values.count("--client")) return Usage("--client is required");
    if (!ParseNumber(parsed.values["--client"], UINT32_MAX, client))
        return Usage("--client wants a decimal number, not [" + parsed.values["--client"] + "]");
    std::string stateDir;
    if (const hostlib::Status found = DefaultStateDir(stateDir); !found.ok()) {
        fprintf(stderr, "snapagent: history: %s\n", PrintablePath(found.message()).c_str());
        return kExitFailed;
    }
    std::vector<JobRecord> records;
    const hostlib::Status read = ReadJobRecords(stateDir, static_cast<ULONG>(client), records);
    for (const JobRecord& record : records) {
        if (parsed.flags.count("--json"))
            fprintf(out, "%s\n", JobRecordJson(record).c_str());
        else
            PrintText(out, record);
    }
    if (records.empty() && read.ok() && !parsed.flags.count("--json"))
        fprintf(out, "no job of client %llu in %s\n", static_cast<unsigned long long>(client),
                PrintablePath(HistoryFolder(stateDir, static_cast<ULONG>(client))).c_str());
    if (read.ok()) return kExitDone;
    fprintf(stderr, "snapagent: history: %s\n", PrintablePath(read.message()).c_str());
    return kExitFailed;
}

}  // namespace snapagent
