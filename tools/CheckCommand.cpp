#include "tools/CheckCommand.h"

#include "array/local/LocalArray.h"
#include "array/local/LocalArrayNames.h"
#include "array/local/MountedBelowVolume.h"
#include "host/FXPath.h"
#include "host/FileShareAutoMount.h"
#include "host/ManageONTAP.h"
#include "host/NASSnapUtil.h"
#include "host/VKPlatformInfo.h"
#include "host/VkMntTab.h"
#include "tools/AgentLog.h"
#include "tools/ConfigCheck.h"
#include "tools/FileOps.h"
#include "tools/ItemJson.h"
#include "tools/ItemText.h"
#include "tools/JobCommand.h"
#include "tools/PluginLoader.h"
#include "tools/StateFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>

namespace snapagent {
namespace {

class Checks {
public:
    Checks(bool quiet, bool json, FILE* out) : m_bQuiet(quiet), m_bJson(json), m_pOut(out) {}
    bool Report(bool ok, const std::string& what, const std::string& detail) {
        if (!ok) m_bAllPassed = false;
        if (ok && m_bQuiet) return ok;
        if (m_bJson) {
            nlohmann::ordered_json line;
            line["check"] = PathJson(what);
            line["ok"] = ok;
            line["detail"] = PathJson(detail);
            fprintf(m_pOut, "%s\n",
                    line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
            return ok;
        }
        // Paths and the array's texts may hold bytes a terminal obeys.
        fprintf(m_pOut, "%-6s  %s: %s\n", ok ? "ok" : "FAILED", PrintablePath(what).c_str(),
                PrintablePath(detail).c_str());
        return ok;
    }
    bool AllPassed() const { return m_bAllPassed; }

private:
    bool m_bQuiet;
    bool m_bJson;
    FILE* m_pOut;
    bool m_bAllPassed = true;
};

// "interface:/export/below" of a share, as the plug-in resolves it: through
// the auto-mount map, or through the mount table's deepest mount above it.
hostlib::Status MountFormatOf(const std::string& share, bool autoMount, std::string& mountFormat) {
    if (autoMount) {
        std::string interface;
        bool failed = false;
        CRyError err =
            FileShareAutoMount::convertScanToMountFormat(share, mountFormat, interface, failed);
        if (err.IsError()) return hostlib::Status::IOError(ErrorLine(err, false));
        if (failed) return hostlib::Status::NotFound("no [automount] entry holds it");
        return hostlib::Status::OK();
    }
    std::list<VkMntTab::Entry> mounts;
    CRyError err = VkMntTab::getAll(mounts);
    if (err.IsError()) return hostlib::Status::IOError(ErrorLine(err, false));
    const VkMntTab::Entry* best = nullptr;
    for (const VkMntTab::Entry& mount : mounts)
        if (FXPath::IsDescendantOf(share, mount.strDirectory, true) &&
            mount.strSource.find(':') != std::string::npos &&
            (!best || mount.strDirectory.size() > best->strDirectory.size()))
            best = &mount;
    if (!best)
        return hostlib::Status::NotFound(
            "not mounted on this proxy machine (no NFS mount of the mount table holds it)");
    std::string below = share, directory = best->strDirectory;
    FXPath::RemoveTrailingDelimiter(below);
    FXPath::RemoveTrailingDelimiter(directory);
    below.erase(0, directory.size());
    mountFormat = best->strSource;
    FXPath::RemoveTrailingDelimiter(mountFormat);
    if (!below.empty()) mountFormat += (below[0] == '/' ? "" : "/") + below;
    return hostlib::Status::OK();
}

// The agent reads a share through <share>/.snapshot/<snapshot>; without that
// folder the plug-in reads the live files, which is no consistent backup.
// The local array makes the folder with a volume's first snapshot, for the
// volume and each configured export: there a share must be one of those.
// An auto-mount share is mounted by the agent during the job: nothing to see.
std::string SnapshotFolderProblem(const std::string& share, const std::string& volumePath,
                                  bool autoMount, const LocalArrayConfig* local) {
    struct stat st;
    if (autoMount || (stat((share + "/.snapshot").c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
        return std::string();
    if (local) {
        std::string volume;
        std::vector<std::string> below;
        SplitVolumePath(volumePath, volume, below);
        bool exported = below.empty();
        for (const LocalArrayExport& exp : local->vecExports)
            exported = exported || (exp.strVolume == volume && exp.vecBelow == below);
        if (exported) return std::string();
        return "no .snapshot folder below it, so a job reads it live: on the local array a share "
               "must be a volume or an export ([array] exports)";
    }
    return "no .snapshot folder below it, so a job reads it live: enable .snapshot access on its "
           "volume, or back up the export above it";
}

// Returns the share's volume on the local array, empty elsewhere or when
// the share failed.
std::string CheckShare(Checks& checks, ManageONTAP& array, const std::string& share, bool autoMount,
                       const LocalArrayConfig* local) {
    std::string mountFormat, path = share;
    struct stat st;
    const hostlib::Status absolute = MakeAbsolute(path);
    std::string error = absolute.message();
    if (absolute.ok() && !autoMount) {
        const int found = stat(path.c_str(), &st) == 0 ? 0 : errno;
        if (found == ENOENT)
            error = "does not exist";
        else if (found == 0 && !S_ISDIR(st.st_mode))
            error = "not a folder: a share is a folder the agent walks";
    }
    if (error.empty()) error = MountFormatOf(path, autoMount, mountFormat).message();
    if (!error.empty()) {
        checks.Report(false, "share " + share, error);
        return std::string();
    }
    const std::string exportPath = mountFormat.substr(mountFormat.find(':') + 1);
    std::string volumePath;
    if (!array.GetActualStoragePathForNfsExport(exportPath, volumePath)) {
        array.GetLastError(error);
        checks.Report(false, "share " + share,
                      "export " + exportPath + " unknown to the array: " + error);
        return std::string();
    }
    const std::string problem = SnapshotFolderProblem(path, volumePath, autoMount, local);
    checks.Report(
        problem.empty(), "share " + share,
        mountFormat + ", storage path " + volumePath + (problem.empty() ? "" : ": " + problem));
    std::string volume;
    std::vector<std::string> below;
    if (local) SplitVolumePath(volumePath, volume, below);
    return volume;
}

// The folder itself when it exists, else the nearest one above it: where
// a job makes what is missing.
std::string ExistingFolder(std::string path) {
    struct stat st;
    while (stat(path.c_str(), &st) != 0 && path.find('/', 1) != std::string::npos)
        path.erase(path.rfind('/'));
    return path;
}

// Whether the user running the check may write what a job run by the same
// user writes; empty when it may, else why not.
std::string CannotWrite(const std::string& path, bool file) {
    const std::string folder = file ? ExistingFolder(path.substr(0, path.rfind('/'))) : path;
    int fd = -1;
    struct stat st;
    if (file && lstat(path.c_str(), &st) == 0)
        fd = open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    else if (access(folder.c_str(), W_OK | X_OK) == 0)
        return std::string();
    if (fd >= 0) {
        close(fd);
        return std::string();
    }
    const std::string why = strerror(errno);
    return why + " for " + DescribeUser(geteuid());
}

// The log file opened for appending, as the job opens it.
void CheckLogFile(Checks& checks, const std::string& path) {
    const std::string why = CannotWrite(path, true);
    checks.Report(why.empty(), "log file " + path,
                  why.empty() ? "can be appended to"
                              : "cannot be opened for appending (" + why +
                                    "): run the job as a user who may write it, or name another "
                                    "[log] file");
}

// The local array's folders the job writes for each volume: its catalogs
// and, with copies kept, its .snapshot folder. A user who may not write
// them gets every share of the volume read live.
void CheckArrayFolders(Checks& checks, const LocalArrayConfig& local,
                       const std::set<std::string>& volumes) {
    for (const std::string& volume : volumes) {
        std::vector<std::string> folders{local.strRoot + "/.snapcatalog/" + volume};
        if (local.bMaterialize) folders.push_back(local.strRoot + "/" + volume + "/.snapshot");
        // Each export below the volume reaches the copies through a link
        // in a .snapshot folder of its own.
        for (const LocalArrayExport& exp : local.vecExports) {
            std::string folder = local.strRoot + "/" + volume;
            for (const std::string& component : exp.vecBelow) folder += "/" + component;
            if (local.bMaterialize && exp.strVolume == volume && !exp.vecBelow.empty())
                folders.push_back(folder + "/.snapshot");
        }
        std::string failed;
        for (const std::string& folder : folders) {
            const std::string existing = ExistingFolder(folder);
            const std::string why = CannotWrite(existing, false);
            if (failed.empty() && !why.empty())
                failed = existing + " cannot be written (" + why +
                         "): a job would read every share of the volume live; run it as the "
                         "array folder's owner, or let this user write it";
        }
        checks.Report(failed.empty(), "array folders of volume " + volume,
                      failed.empty() ? "writable" : failed);
    }
}

// Each export the config names must be a folder below its volume: a job
// refuses the share of one that is not.
void CheckExportFolders(Checks& checks, const LocalArrayConfig& local) {
    for (const LocalArrayExport& exp : local.vecExports) {
        std::string folder = local.strRoot + "/" + exp.strVolume, name = "/vol/" + exp.strVolume;
        for (const std::string& component : exp.vecBelow) {
            folder += "/" + component;
            name += "/" + component;
        }
        struct stat st;
        const bool there = stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        checks.Report(there, "export " + name,
                      there ? folder
                            : folder + " is not a folder of the array: make it, or drop " + name +
                                  " from [array] exports");
    }
}

// The kind of snapshot each volume gets, and for a plain folder on btrfs
// the commands that make it a subvolume.
void CheckSnapshotKinds(Checks& checks, const LocalArrayConfig& local,
                        const std::set<std::string>& volumes) {
    for (const std::string& volume : volumes) {
        const std::string dir = local.strRoot + "/" + volume;
        SnapshotKind kind;
        checks.Report(ChooseSnapshotKind(local.snapshots, dir, kind).ok(),
                      "snapshots of volume " + volume, DescribeSnapshotKind(local.snapshots, dir));
        // Another file system below the volume is in none of its snapshots,
        // so what it holds is never backed up through them.
        std::vector<std::string> items;
        const hostlib::Status found =
            FindMountedBelowVolume(dir, LocalArrayFolders(local, volume), items);
        std::string named;
        for (const std::string& item : items) named += (named.empty() ? "[" : ", [") + item + "]";
        checks.Report(found.ok() && items.empty(), "items of volume " + volume,
                      !found.ok() ? found.message()
                      : items.empty()
                          ? "nothing mounted below it"
                          : "its snapshots cannot keep " + named +
                                ": another file system (a mount or a nested btrfs subvolume) is "
                                "there; back it up as a volume of its own, or unmount it");
    }
}

void CheckResultsFolder(Checks& checks, const std::string& folder) {
    const hostlib::Status made = MakeDirectories(folder, kPrivateFolderMode);
    std::string error = made.message();
    std::string probe = folder + "/.snapagent-check-XXXXXX";
    int fd = -1;
    if (made.ok()) {
        fd = mkstemp(&probe[0]);
        if (fd < 0) error = "cannot create a file in it";
    }
    if (fd >= 0) {
        close(fd);
        unlink(probe.c_str());
    }
    checks.Report(fd >= 0, "results folder " + folder, fd >= 0 ? "writable" : error);
}

}  // namespace

int RunCheckCommand(const CheckOptions& options, FILE* out) {
    setenv("SNAPCLIENT_CONFIG", options.strConfig.c_str(), 1);
    // A check changes nothing, not even the debris of a killed creation:
    // another process's creation in progress looks the same.
    LocalArrayOperator inspecting;
    inspecting.bInspectOnly = true;
    SetLocalArrayOperator(inspecting);
    Checks checks(options.common.verbosity == Verbosity::kQuiet, options.common.bJson, out);
    const ConfigCheckResult config = CheckConfig(options.strConfig, options.ulClientId);
    for (const std::string& warning : config.warnings)
        fprintf(stderr, "snapagent: warning: %s\n", warning.c_str());
    // Every problem gets its line; the checks after them still run, so that
    // one round of edits mends the set-up.
    for (const std::string& problem : config.problems)
        checks.Report(false, "config " + options.strConfig, problem);
    for (const std::string& doubt : config.doubts)
        checks.Report(false, "config " + options.strConfig, doubt);
    if (config.problems.empty() && config.doubts.empty())
        checks.Report(true, "config " + options.strConfig, "every section, key and value known");

    NASArrayInfo info;
    NASSnapUtil util;
    util.GetArrayNameAndCredentialsByClientId(static_cast<int>(options.ulClientId), info);
    checks.Report(true, "credentials [client." + std::to_string(options.ulClientId) + "]",
                  "array " + info.strArrayName + ", user " + info.strUserName);

    std::string stateDir, error;
    hostlib::Status state = DefaultStateDir(stateDir);
    if (state.ok()) state = MakePrivateFolder(stateDir);
    if (!checks.Report(state.ok(), "state folder " + stateDir,
                       state.ok() ? "private" : state.message()))
        return kExitFailed;
    const bool verbose = options.common.verbosity == Verbosity::kVerbose;
    AgentLog log(verbose, stateDir, options.ulClientId, 0);
    CheckLogFile(checks, log.Path());
    // The job loads the plug-in before its first array call: one that does
    // not load fails every job.
    const std::string pluginPath = options.common.strPluginPath.empty()
                                       ? PluginLoader::DefaultPath()
                                       : options.common.strPluginPath;
    PluginLoader plugin;
    const hostlib::Status loaded = plugin.Load(pluginPath);
    checks.Report(loaded.ok(), "plug-in " + pluginPath,
                  loaded.ok() ? "version " + plugin.Version() : loaded.message());
    ManageONTAP array;
    const bool connected =
        util.SetONTAPObject(info, array, MONTAP_CONNECT_HTTP, false) && array.OpenConnection();
    if (!connected) {
        array.GetLastError(error);
        // The back end's own reason comes first: it says what to mend.
        for (const std::string& failure : log.Failures())
            error = failure + (error.empty() ? "" : ": " + error);
    } else {
        unsigned major = 0, minor = 0, micro = 0;
        array.GetFileServerVersion(major, minor, micro, false);
        error = std::string(array.IsCluster() ? "a cluster" : "not a cluster") + ", version " +
                std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(micro);
    }
    LocalArrayConfig local;
    const bool isLocal = LoadConfiguredLocalArray(options.ulClientId, local);
    std::set<std::string> volumes;
    if (checks.Report(connected, "array " + info.strArrayName, error))
        for (const std::string& share : options.shares)
            volumes.insert(
                CheckShare(checks, array, share, options.bAutoMount, isLocal ? &local : nullptr));
    volumes.erase(std::string());
    if (isLocal) {
        CheckExportFolders(checks, local);
        CheckArrayFolders(checks, local, volumes);
        CheckSnapshotKinds(checks, local, volumes);
    }
    CheckResultsFolder(checks, options.strResultsDir.empty() ? stateDir : options.strResultsDir);
    return checks.AllPassed() ? kExitDone : kExitFailed;
}

}  // namespace snapagent
