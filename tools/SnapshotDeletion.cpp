#include "tools/SnapshotDeletion.h"

#include "tools/DeletedSnapshots.h"
#include "tools/FileOps.h"
#include "tools/ItemJson.h"
#include "tools/ItemText.h"
#include "tools/JobCommand.h"
#include "tools/Progress.h"
#include "tools/StoreDumpCommand.h"

#include <unistd.h>
#include <algorithm>
#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>

namespace snapagent {
namespace {

struct Selected {
    std::string strVolume;
    JobSnapshot snapshot;
};

bool Matches(const JobSnapshot& s, const SnapshotsOptions& options) {
    if (!options.names.empty() && std::find(options.names.begin(), options.names.end(),
                                            s.info.strName) == options.names.end())
        return false;
    // A sweep takes only what the plug-in named after a job; anything else
    // of the prefix is deleted by its name alone.
    if (options.bAppGiven && (!s.bOfJob || s.ulApp != options.ulApp)) return false;
    return !options.bAll || s.bOfJob;
}

std::string Describe(const Selected& selected) {
    const JobSnapshot& s = selected.snapshot;
    std::string text =
        PrintablePath(s.info.strName) + " of volume " + PrintablePath(selected.strVolume);
    if (s.bOfJob)
        text += " (application " + std::to_string(s.ulApp) + ", job " + std::to_string(s.ullJob) +
                (s.info.llCreateTime > 0 ? ", " + UtcTimeText(s.info.llCreateTime) : "") + ")";
    return text;
}

// What the next job loses with a base: the shares the job history names
// are backed up in full; without the history, an incremental job given
// that base finds no snapshot to compare from on the volume.
std::string BaseLoss(const Selected& selected) {
    const JobSnapshot& s = selected.snapshot;
    if (s.bSharesKnown) return "the next job backs up " + ShareList(s.baseFor) + " in full";
    return "the next incremental job (--prev " + std::to_string(s.ullJob) + ") of application " +
           std::to_string(s.ulApp) + " finds no base on volume " +
           PrintablePath(selected.strVolume) + ", and its shares there need a full scan";
}

// On a terminal the operator sees what goes and types "yes"; elsewhere
// nothing may be deleted without --yes, so that a stray script line does
// not empty the array.
int Confirm(const std::vector<Selected>& selected, const SnapshotsOptions& options) {
    if (options.bYes) return kExitDone;
    if (!isatty(STDIN_FILENO)) {
        fprintf(stderr,
                "snapagent: error: not on a terminal: give --yes to delete %s without being "
                "asked; nothing deleted (see snapagent snapshots --help)\n",
                Counted(selected.size(), "snapshot", "snapshots").c_str());
        return kExitUsage;
    }
    fprintf(stderr, "snapagent: about to delete from the array:\n");
    for (const Selected& s : selected) fprintf(stderr, "  %s\n", Describe(s).c_str());
    fprintf(stderr, "Type yes to delete %s: ",
            selected.size() == 1 ? "it" : ("these " + std::to_string(selected.size())).c_str());
    fflush(stderr);
    std::string answer;
    if (std::getline(std::cin, answer) && answer == "yes") return kExitDone;
    fprintf(stderr, "snapagent: nothing deleted\n");
    return kExitFailed;
}

}  // namespace

int DeleteSnapshots(ArrayBackend& array, const std::string& stateDir,
                    const std::vector<VolumeListing>& listings, const SnapshotsOptions& options,
                    FILE* out) {
    const ULONG client = options.ulClientId;
    const bool json = options.common.bJson;
    std::vector<Selected> selected;
    std::string volumes;
    for (const VolumeListing& volume : listings) {
        volumes += (volumes.empty() ? "" : ", ") + PrintablePath(volume.strVolume);
        for (const JobSnapshot& s : volume.snapshots)
            if (Matches(s, options)) selected.push_back({volume.strVolume, s});
    }
    bool refused = false;
    for (const std::string& name : options.names)
        if (std::none_of(selected.begin(), selected.end(),
                         [&](const Selected& s) { return s.snapshot.info.strName == name; })) {
            fprintf(stderr, "snapagent: error: no snapshot %s of client %lu on volume %s\n",
                    PrintablePath(name).c_str(), static_cast<unsigned long>(client),
                    volumes.c_str());
            refused = true;
        }
    for (const Selected& s : selected)
        if (s.snapshot.bBase && !options.bForce) {
            fprintf(stderr,
                    "snapagent: error: %s is a base: without it %s; give --force to delete it "
                    "anyway\n",
                    Describe(s).c_str(), BaseLoss(s).c_str());
            refused = true;
        }
    if (refused) {
        fprintf(stderr, "snapagent: nothing deleted\n");
        return kExitFailed;
    }
    if (selected.empty()) {
        if (options.common.verbosity != Verbosity::kQuiet)
            fprintf(stderr,
                    "snapagent: no snapshot of client %lu matches on volume %s: nothing "
                    "to delete\n",
                    static_cast<unsigned long>(client), volumes.c_str());
        return kExitDone;
    }
    const int confirmed = Confirm(selected, options);
    if (confirmed != kExitDone) return confirmed;

    // Shows the local array's long deletions as a job does.
    Progress progress(options.common.verbosity);
    size_t done = 0, failed = 0;
    bool unnoted = false;
    for (const Selected& s : selected) {
        const ArrayStatus deleted = array.DeleteSnapshot(s.strVolume, s.snapshot.info.strName);
        std::string error = deleted.bOk ? std::string()
                                        : deleted.strMessage + " (array error " +
                                              std::to_string(deleted.uiCode) + ")";
        const hostlib::Status noted =
            deleted.bOk && s.snapshot.bOfJob
                ? RecordDeletedSnapshot(stateDir, client,
                                        {s.strVolume, s.snapshot.info.strName, s.snapshot.ulApp,
                                         s.snapshot.ullJob, static_cast<int64_t>(time(nullptr))})
                : hostlib::Status::OK();
        if (!noted.ok()) {
            unnoted = true;
            progress.Always("warning: " + PrintablePath(noted.message()) +
                            ": the next job of its shares may need a full scan");
        }
        ++(deleted.bOk ? done : failed);
        if (json) {
            nlohmann::ordered_json line;
            line["volume"] = PathJson(s.strVolume);
            line["name"] = PathJson(s.snapshot.info.strName);
            const JobSnapshot& j = s.snapshot;
            line["application"] = j.bOfJob ? nlohmann::ordered_json(j.ulApp) : nullptr;
            line["job"] = j.bOfJob ? nlohmann::ordered_json(j.ullJob) : nullptr;
            line["deleted"] = deleted.bOk;
            line["error"] = error.empty() ? nullptr : PathJson(error);
            if (!WriteAndFlush(
                    out,
                    line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n"))
                break;
            continue;
        }
        std::string text = deleted.bOk
                               ? "deleted " + Describe(s)
                               : "FAILED to delete " + Describe(s) + ": " + PrintablePath(error);
        if (deleted.bOk && s.snapshot.bBase) text += ": " + BaseLoss(s);
        if (!WriteAndFlush(out, text + "\n")) break;
    }
    progress.Always(Counted(done, "snapshot", "snapshots") + " deleted" +
                    (failed ? ", " + std::to_string(failed) + " could not be" : ""));
    return failed || unnoted ? kExitFailed : kExitDone;
}

}  // namespace snapagent
