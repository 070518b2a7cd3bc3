#include "tools/SnapshotsCommand.h"

#include "array/ArrayBackendFactory.h"
#include "array/local/LocalArray.h"
#include "array/local/LocalArrayNames.h"
#include "host/NASSnapUtil.h"
#include "host/VKPlatformInfo.h"
#include "host/VkMntTab.h"
#include "hostlib/IniFile.h"
#include "tools/ClientLock.h"
#include "tools/ClientSnapshots.h"
#include "tools/CommandLine.h"
#include "tools/ConfigCheck.h"
#include "tools/ItemJson.h"
#include "tools/ItemText.h"
#include "tools/JobCommand.h"
#include "tools/JobHistory.h"
#include "tools/SnapshotDeletion.h"
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
    "usage: snapagent snapshots [--config FILE] --client N [-q | -v] [--json] [VOLUME...]\n"
    "       snapagent snapshots [--config FILE] --client N --delete\n"
    "                           (--name NAME... | --app2 N | --all) [--yes] [--force]\n"
    "                           [--wait] [-q | -v] [--json] [VOLUME...]\n"
    "\n"
    "Lists the snapshots the client's jobs left on the array, per volume: each\n"
    "one's job, application (--app2 of its job) and time, and which one the\n"
    "next incremental job compares from, for which shares: the snapshot of the\n"
    "latest job in the job history that ran to its end (snapagent history), for\n"
    "the shares of its volume that job backed up completely (the newest job's,\n"
    "for an application the history does not know). A failed or stopped job's\n"
    "snapshot is no base. A volume without the base's snapshot has its shares\n"
    "backed up in full. Listing creates, deletes and locks nothing on the\n"
    "array, and writes nothing in the state folder.\n"
    "\n"
    "The volumes are the VOLUMEs given, else those of the shares the config\n"
    "names (the NFS mounts of its mount table, its [automount] entries), else\n"
    "every volume of a local array.\n"
    "\n"
    "With --delete it takes snapshots of a retired client or application off\n"
    "those volumes, through the array (never by removing folders), and prints\n"
    "one line per snapshot: deleted, or FAILED with the array's reason. On a\n"
    "terminal it shows what it will delete and asks for \"yes\"; elsewhere it\n"
    "refuses without --yes. It deletes nothing when a NAME is on no volume, a\n"
    "volume cannot be listed, or a snapshot is the base of some share's next\n"
    "incremental job (unless --force: those shares' next job backs them up in\n"
    "full, and its outcome line says why). While a job of the client runs it\n"
    "refuses, or with --wait waits for the job to end.\n"
    "\n"
    "exit status: 0 listed, or every selected snapshot deleted (or none\n"
    "matched); 1 a volume could not be listed, a deletion failed, or nothing\n"
    "was deleted as refused or not confirmed; 2 usage, or --delete off a\n"
    "terminal without --yes (/usr/share/doc/snapclient/exit-codes.md)\n"
    "\n"
    "  --config FILE   the config file (default as for job)\n"
    "  --client N      client id: its credentials [client.N] and its snapshots\n"
    "  --delete        delete the snapshots selected by:\n"
    "    --name NAME   this snapshot (repeatable; any name of the client's\n"
    "                  prefix VKOP_<client>_)\n"
    "    --app2 N      every snapshot of the client's jobs of application N\n"
    "    --all         every snapshot of the client's jobs (a retired client)\n"
    "  --yes           delete without asking\n"
    "  --force         delete a base too\n"
    "  --wait          wait for a running job of the client to end\n"
    "  -q, --quiet     no warnings; with --delete, only the results, the last\n"
    "                  line and errors\n"
    "  -v, --verbose   also what the listing of each volume found, on stderr\n"
    "  --json          one JSON object per volume, or per deleted snapshot\n"
    "                  (/usr/share/doc/snapclient/json.md)\n";

namespace {

// The volumes of the shares the config names: the exports of the NFS
// mounts of the mount table and of the [automount] entries that the array
// knows. Exports of other file servers are no volume of this array. An
// unreadable mount table still leaves the [automount] entries' volumes.
hostlib::Status ConfiguredVolumes(const std::string& config, ArrayBackend& array,
                                  std::set<std::string>& volumes) {
    std::vector<std::string> sources;
    std::list<VkMntTab::Entry> mounts;
    const CRyError err = VkMntTab::getAll(mounts);
    for (const VkMntTab::Entry& mount : mounts) sources.push_back(mount.strSource);
    IniFile ini;
    ini.Load(config);
    for (const auto& entry : ini.Entries("automount")) sources.push_back(entry.second);
    for (const std::string& source : sources) {
        const size_t colon = source.find(':');
        std::string volumePath;
        if (colon != std::string::npos && colon > 0 &&
            array.GetStoragePathForExport(source.substr(colon + 1), volumePath).bOk)
            volumes.insert(VolumeNameOfArgument(volumePath));
    }
    return err.IsError() ? hostlib::Status::IOError(ErrorLine(err, false)) : hostlib::Status::OK();
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
    SnapshotsOptions options;
    std::string error;
    if (!ParseSnapshotsOptions(args, options, error)) return Usage(error);
    if (options.common.bHelp) {
        fputs(kSnapshotsUsage, out);
        return kExitDone;
    }
    const ULONG client = options.ulClientId;
    const std::string& config = options.strConfig;
    const bool quiet = options.common.verbosity == Verbosity::kQuiet;
    setenv("SNAPCLIENT_CONFIG", config.c_str(), 1);
    const ConfigCheckResult checked = CheckConfig(config, client);
    for (const std::string& warning : checked.JobWarnings())
        if (!quiet) fprintf(stderr, "snapagent: warning: %s\n", warning.c_str());
    if (!checked.strError.empty()) return Fail(checked.strError);
    // Opening the array must leave it as it is, even the debris of a killed
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

    std::set<std::string> volumes(options.volumes.begin(), options.volumes.end());
    hostlib::Status configured;
    if (volumes.empty()) configured = ConfiguredVolumes(config, *array, volumes);
    if (volumes.empty()) volumes = LocalArrayVolumes(info);
    if (volumes.empty())
        return Fail(configured.ok() ? "the config names no share of array " + info.strArrayName +
                                          " (no NFS mount of it, no [automount] entry): name "
                                          "the volumes to list"
                                    : configured.message());
    std::string stateDir;
    const hostlib::Status where = DefaultStateDir(stateDir);
    if (!where.ok() && options.bDelete) return Fail(where.message());
    // A deletion must not pull a base from under a job of the client that
    // is running, nor race its retention.
    ClientLock lock;
    if (options.bDelete) {
        hostlib::Status locked = MakePrivateFolder(stateDir);
        if (locked.ok())
            locked = lock.Acquire(stateDir, client, kSnapshotDeletionJob, options.bWait);
        if (!locked.ok()) return Fail(locked.message());
    }
    std::vector<VolumeListing> listings;
    const bool complete = ListClientSnapshots(*array, volumes, client, listings);
    std::vector<JobRecord> history;
    const hostlib::Status read =
        stateDir.empty() ? where : ReadJobRecords(stateDir, client, history);
    if (!read.ok() && !quiet)
        fprintf(stderr, "snapagent: warning: %s\n", PrintablePath(read.message()).c_str());
    const std::map<ULONG, uint64_t> newest = MarkBases(listings, history);
    for (const VolumeListing& volume : listings)
        if (options.common.verbosity == Verbosity::kVerbose)
            fprintf(stderr, "snapagent:   volume %s: %s\n", PrintablePath(volume.strVolume).c_str(),
                    PrintablePath(volume.strError.empty()
                                      ? Counted(volume.snapshots.size(), "snapshot", "snapshots") +
                                            " of client " + std::to_string(client)
                                      : "cannot be listed: " + volume.strError)
                        .c_str());
    if (options.bDelete) {
        // What a volume that cannot be listed holds is unknown: a name not
        // found there, or a base, would go unnoticed.
        for (const VolumeListing& volume : listings)
            if (!volume.strError.empty())
                return Fail("cannot list the snapshots of volume " + volume.strVolume + ": " +
                            volume.strError +
                            "; nothing deleted (name the other volumes to "
                            "delete from them)");
        return DeleteSnapshots(*array, stateDir, listings, options, out);
    }
    if (options.common.bJson)
        PrintJson(out, listings);
    else
        PrintText(out, listings, newest, client);
    return complete ? kExitDone : kExitFailed;
}

}  // namespace snapagent
