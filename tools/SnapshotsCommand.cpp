#include "tools/SnapshotsCommand.h"

#include "array/ArrayBackendFactory.h"
#include "array/local/LocalArray.h"
#include "array/local/LocalArrayNames.h"
#include "host/NASSnapUtil.h"
#include "host/VKPlatformInfo.h"
#include "host/VkMntTab.h"
#include "hostlib/IniFile.h"
#include "tools/CommandLine.h"
#include "tools/ConfigCheck.h"
#include "tools/ItemJson.h"
#include "tools/ItemText.h"
#include "tools/JobCommand.h"
#include "tools/JobHistory.h"
#include "tools/StateFolder.h"
#include "tools/StoreDumpCommand.h"

#include <dirent.h>
#include <sys/stat.h>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <tuple>

namespace snapagent {

const char kSnapshotsUsage[] =
    "usage: snapagent snapshots [--config FILE] --client N [--json] [VOLUME...]\n"
    "\n"
    "Lists the snapshots the client's jobs left on the array, per volume: each\n"
    "one's job, application (--app2 of its job) and time, and which one the\n"
    "next incremental job compares from, for which shares: the snapshot of the\n"
    "latest job in the job history that ran to its end (snapagent history), for\n"
    "the shares of its volume that job backed up completely (the newest job's,\n"
    "for an application the history does not know). A failed or stopped job's\n"
    "snapshot is no base. A volume without the base's snapshot has its shares\n"
    "backed up in full. Lists only: creates, deletes and locks nothing on the\n"
    "array, and writes nothing in the state folder.\n"
    "\n"
    "The volumes are the VOLUMEs given, else those of the shares the config\n"
    "names (the NFS mounts of its mount table, its [automount] entries), else\n"
    "every volume of a local array.\n"
    "\n"
    "  --config FILE   the config file (default as for job)\n"
    "  --client N      client id: its credentials [client.N] and its snapshots\n"
    "  --json          one JSON object per volume\n"
    "                  (/usr/share/doc/snapclient/json.md)\n";

namespace {

struct JobSnapshot {
    SnapShotInfo_t info;
    bool bOfJob = false;  // named as the plug-in names a job's snapshot
    ULONG ulApp = 0;
    uint64_t ullJob = 0;
    bool bBase = false;  // the next incremental job compares from it
    // The shares it is the base of, by the job history; unknown when the
    // history holds no job of its application.
    bool bSharesKnown = false;
    std::vector<std::string> baseFor;
    std::string strNotBase;  // why a snapshot of a job in the history is no base
};

struct VolumeListing {
    std::string strVolume;
    std::vector<JobSnapshot> snapshots;
    std::string strError;  // the listing failed
};

// "VKOP_<client>_": the plug-in names every snapshot of a client's jobs
// <prefix><app2>_<job>.
std::string ClientPrefix(ULONG client) { return "VKOP_" + std::to_string(client) + "_"; }

// Splits a name of the client's prefix into application and job; a name the
// plug-in would not have made (leading zeros, other text) stays unsplit.
JobSnapshot Classify(const SnapShotInfo_t& info, const std::string& prefix) {
    JobSnapshot snapshot;
    snapshot.info = info;
    const std::string rest = info.strName.substr(prefix.size());
    const size_t sep = rest.find('_');
    uint64_t app = 0, job = 0;
    if (sep != std::string::npos && ParseNumber(rest.substr(0, sep), UINT32_MAX, app) &&
        ParseNumber(rest.substr(sep + 1), INT64_MAX, job) &&
        rest == std::to_string(app) + "_" + std::to_string(job)) {
        snapshot.bOfJob = true;
        snapshot.ulApp = static_cast<ULONG>(app);
        snapshot.ullJob = job;
    }
    return snapshot;
}

// The volumes of the shares the config names: the exports of the NFS
// mounts of the mount table and of the [automount] entries that the array
// knows. Exports of other file servers are no volume of this array.
std::set<std::string> ConfiguredVolumes(const std::string& config, ArrayBackend& array,
                                        std::string& error) {
    std::vector<std::string> sources;
    std::list<VkMntTab::Entry> mounts;
    const CRyError err = VkMntTab::getAll(mounts);
    if (err.IsError()) error = ErrorLine(err, false);
    for (const VkMntTab::Entry& mount : mounts) sources.push_back(mount.strSource);
    IniFile ini;
    ini.Load(config);
    for (const auto& entry : ini.Entries("automount")) sources.push_back(entry.second);
    std::set<std::string> volumes;
    for (const std::string& source : sources) {
        const size_t colon = source.find(':');
        std::string volumePath;
        if (colon != std::string::npos && colon > 0 &&
            array.GetStoragePathForExport(source.substr(colon + 1), volumePath).bOk)
            volumes.insert(VolumeNameOfArgument(volumePath));
    }
    return volumes;
}

// Every volume folder of a local array's root; none for another back end.
std::set<std::string> LocalArrayVolumes(const NASArrayInfo& info) {
    std::set<std::string> volumes;
    std::string backend = "local";
    VKPlatformInfo::getRegString("array", "backend", &backend);
    LocalArrayConfig local;
    if (backend != "local" || !LoadLocalArrayConfig(info, local).ok()) return volumes;
    DIR* root = opendir(local.strRoot.c_str());
    while (struct dirent* entry = root ? readdir(root) : nullptr) {
        const std::string name = entry->d_name;
        struct stat st;
        // The array keeps its catalogs in a dot folder beside the volumes.
        if (name[0] != '.' && CheckLocalArrayName("volume", name).ok() &&
            lstat((local.strRoot + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            volumes.insert(name);
    }
    if (root) closedir(root);
    return volumes;
}

// The base of the next job of each application: by the job history, its
// latest job that ran to its end (what a job without --prev compares from);
// with no job of the application in the history, the newest job whose
// snapshot is listed, as an operator would give it as --prev. A snapshot of
// the base job is the base of the shares on its volume that the job backed
// up completely; a failed, stopped or unfinished job's is no base. Marks
// those; returns the base job per application.
std::map<ULONG, uint64_t> MarkBases(std::vector<VolumeListing>& listings,
                                    const std::vector<JobRecord>& history) {
    std::map<ULONG, uint64_t> base;
    std::map<ULONG, const JobRecord*> recorded;
    std::set<ULONG> inHistory;
    for (const JobRecord& record : history) {
        inHistory.insert(record.ulAppId2);
        if (record.Ended()) recorded[record.ulAppId2] = &record;  // oldest first
    }
    for (const VolumeListing& volume : listings)
        for (const JobSnapshot& s : volume.snapshots)
            if (s.bOfJob && !inHistory.count(s.ulApp))
                base[s.ulApp] = std::max(base[s.ulApp], s.ullJob);
    for (const auto& app : recorded) base[app.first] = app.second->llJobId;
    for (VolumeListing& volume : listings)
        for (JobSnapshot& s : volume.snapshots) {
            if (!s.bOfJob || !base.count(s.ulApp)) continue;
            s.bSharesKnown = inHistory.count(s.ulApp) > 0;
            const auto job = std::find_if(history.begin(), history.end(), [&](const JobRecord& r) {
                return r.ulAppId2 == s.ulApp && static_cast<uint64_t>(r.llJobId) == s.ullJob;
            });
            if (job != history.end() && !job->Ended())
                s.strNotBase = job->WhyNotBackedUp(std::string());
            if (base[s.ulApp] != s.ullJob) continue;
            if (job != history.end())
                for (const ShareRecord& share : job->shares)
                    if (share.strVolume == volume.strVolume &&
                        job->WhyNotBackedUp(share.strShare).empty())
                        s.baseFor.push_back(share.strShare);
            s.bBase = !s.bSharesKnown || !s.baseFor.empty();
            if (!s.bBase)
                s.strNotBase = "job " + std::to_string(s.ullJob) +
                               " backed up no share of this volume completely";
        }
    return base;
}

// "/mnt/a, /mnt/b".
std::string ShareList(const std::vector<std::string>& shares) {
    std::string text;
    for (const std::string& share : shares)
        text += (text.empty() ? "" : ", ") + PrintablePath(share);
    return text;
}

void PrintText(FILE* out, const std::vector<VolumeListing>& listings,
               const std::map<ULONG, uint64_t>& newest, ULONG client) {
    for (const VolumeListing& volume : listings) {
        fprintf(out, "volume %s\n", PrintablePath(volume.strVolume).c_str());
        if (!volume.strError.empty())
            fprintf(out, "  cannot list its snapshots: %s\n",
                    PrintablePath(volume.strError).c_str());
        else if (volume.snapshots.empty())
            fprintf(out, "  no snapshot of client %lu\n", static_cast<unsigned long>(client));
        size_t width = 0;
        for (const JobSnapshot& s : volume.snapshots)
            width = std::max(width, PrintablePath(s.info.strName).size());
        std::set<ULONG> based;
        for (const JobSnapshot& s : volume.snapshots) {
            const std::string time =
                s.info.llCreateTime > 0 ? UtcTimeText(s.info.llCreateTime) : "time unknown";
            if (!s.bOfJob) {
                fprintf(out, "  %-*s  not named after a job of the client\n",
                        static_cast<int>(width), PrintablePath(s.info.strName).c_str());
                continue;
            }
            std::string note;
            if (s.bBase) {
                based.insert(s.ulApp);
                note = "  base of the next incremental job (--prev " + std::to_string(s.ullJob) +
                       ")" + (s.bSharesKnown ? " for " + ShareList(s.baseFor) : "");
            } else if (!s.strNotBase.empty()) {
                note = "  no base: " + PrintablePath(s.strNotBase);
            }
            fprintf(out, "  %-*s  application %lu  job %llu  %s%s\n", static_cast<int>(width),
                    PrintablePath(s.info.strName).c_str(), static_cast<unsigned long>(s.ulApp),
                    static_cast<unsigned long long>(s.ullJob), time.c_str(), note.c_str());
        }
        if (!volume.strError.empty()) continue;
        for (const auto& app : newest)
            if (!based.count(app.first))
                fprintf(out,
                        "  no snapshot of job %llu (application %lu): the next incremental job "
                        "(--prev %llu) backs up this volume's shares in full\n",
                        static_cast<unsigned long long>(app.second),
                        static_cast<unsigned long>(app.first),
                        static_cast<unsigned long long>(app.second));
    }
}

void PrintJson(FILE* out, const std::vector<VolumeListing>& listings) {
    for (const VolumeListing& volume : listings) {
        nlohmann::ordered_json line, snapshots = nlohmann::ordered_json::array();
        for (const JobSnapshot& s : volume.snapshots) {
            nlohmann::ordered_json snapshot;
            snapshot["name"] = PathJson(s.info.strName);
            snapshot["application"] = s.bOfJob ? nlohmann::ordered_json(s.ulApp) : nullptr;
            snapshot["job"] = s.bOfJob ? nlohmann::ordered_json(s.ullJob) : nullptr;
            snapshot["time"] = s.info.llCreateTime > 0
                                   ? nlohmann::ordered_json(UtcTimeText(s.info.llCreateTime))
                                   : nullptr;
            snapshot["base"] = s.bBase;
            nlohmann::ordered_json shares = nlohmann::ordered_json::array();
            for (const std::string& share : s.baseFor) shares.push_back(PathJson(share));
            snapshot["base_for"] = s.bSharesKnown ? shares : nullptr;
            snapshots.push_back(snapshot);
        }
        line["volume"] = PathJson(volume.strVolume);
        line["snapshots"] = snapshots;
        line["error"] = volume.strError.empty() ? nullptr : PathJson(volume.strError);
        fprintf(out, "%s\n",
                line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    }
}

int Usage(const std::string& message) {
    fprintf(stderr, "snapagent: error: %s (see snapagent snapshots --help)\n",
            PrintablePath(message).c_str());
    return kExitUsage;
}

int Fail(const std::string& message) {
    fprintf(stderr, "snapagent: snapshots: %s\n", PrintablePath(message).c_str());
    return kExitFailed;
}

}  // namespace

int RunSnapshotsCommand(const std::vector<std::string>& args, FILE* out) {
    ParsedArgs parsed;
    std::string error;
    if (!ParseArgs(args,
                   {{"--config", true},
                    {"--client", true},
                    {"--json", false},
                    {"--help", false},
                    {"-h", false}},
                   parsed, error))
        return Usage(error);
    if (parsed.flags.count("--help") || parsed.flags.count("-h")) {
        fputs(kSnapshotsUsage, out);
        return kExitDone;
    }
    const char* fromEnvironment = getenv("SNAPCLIENT_CONFIG");
    std::string config = fromEnvironment && *fromEnvironment ? fromEnvironment : kDefaultConfigPath;
    if (parsed.values.count("--config")) config = parsed.values["--config"];
    uint64_t client = 0;
    if (!parsed.values.count("--client")) return Usage("--client is required");
    if (!ParseNumber(parsed.values["--client"], UINT32_MAX, client))
        return Usage("--client wants a decimal number, not [" + parsed.values["--client"] + "]");
    if (config.empty()) return Usage("--config needs a non-empty value");

    setenv("SNAPCLIENT_CONFIG", config.c_str(), 1);
    const ConfigCheckResult checked = CheckConfig(config, static_cast<ULONG>(client));
    for (const std::string& warning : checked.JobWarnings())
        fprintf(stderr, "snapagent: warning: %s\n", warning.c_str());
    if (!checked.strError.empty()) return Fail(checked.strError);
    // Listing must leave the array as it is, even the debris of a killed
    // creation: another process's creation in progress looks the same.
    LocalArrayOperator inspecting;
    inspecting.bInspectOnly = true;
    SetLocalArrayOperator(inspecting);
    NASArrayInfo info;
    NASSnapUtil().GetArrayNameAndCredentialsByClientId(static_cast<int>(client), info);
    boost::shared_ptr<ArrayBackend> array;
    const hostlib::Status created = CreateArrayBackend(info, array);
    if (!created.ok()) return Fail("array " + info.strArrayName + ": " + created.message());
    const ArrayStatus opened = array->OpenConnection();
    if (!opened.bOk) return Fail("array " + info.strArrayName + ": " + opened.strMessage);

    std::set<std::string> volumes(parsed.positional.begin(), parsed.positional.end());
    if (volumes.empty()) volumes = ConfiguredVolumes(config, *array, error);
    if (volumes.empty()) volumes = LocalArrayVolumes(info);
    if (volumes.empty())
        return Fail(error.empty() ? "the config names no share of array " + info.strArrayName +
                                        " (no NFS mount of it, no [automount] entry): name "
                                        "the volumes to list"
                                  : error);
    const std::string prefix = ClientPrefix(static_cast<ULONG>(client));
    std::vector<VolumeListing> listings;
    bool complete = true;
    for (const std::string& name : volumes) {
        VolumeListing volume;
        volume.strVolume = name;
        std::vector<SnapShotInfo_t> found;
        const ArrayStatus listed = array->ListSnapshots(name, prefix, found);
        if (!listed.bOk) volume.strError = listed.strMessage;
        complete = complete && listed.bOk;
        for (const SnapShotInfo_t& snapshot : found)
            volume.snapshots.push_back(Classify(snapshot, prefix));
        std::sort(volume.snapshots.begin(), volume.snapshots.end(),
                  [](const JobSnapshot& a, const JobSnapshot& b) {
                      return std::make_tuple(!a.bOfJob, a.ulApp, a.ullJob, a.info.strName) <
                             std::make_tuple(!b.bOfJob, b.ulApp, b.ullJob, b.info.strName);
                  });
        listings.push_back(volume);
    }
    std::string stateDir;
    std::vector<JobRecord> history;
    hostlib::Status read = DefaultStateDir(stateDir);
    if (read.ok()) read = ReadJobRecords(stateDir, static_cast<ULONG>(client), history);
    if (!read.ok())
        fprintf(stderr, "snapagent: warning: %s\n", PrintablePath(read.message()).c_str());
    const std::map<ULONG, uint64_t> newest = MarkBases(listings, history);
    if (parsed.flags.count("--json"))
        PrintJson(out, listings);
    else
        PrintText(out, listings, newest, static_cast<ULONG>(client));
    return complete ? kExitDone : kExitFailed;
}

}  // namespace snapagent
