#include "tools/StateFolder.h"

#include "tools/CommandLine.h"
#include "tools/FileOps.h"
#include "tools/ItemText.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

using hostlib::Status;

namespace snapagent {

const char kRootStateDir[] = "/var/lib/snapagent";

namespace {

std::string Env(const char* name) {
    const char* value = getenv(name);
    return value ? value : "";
}

}  // namespace

std::string DescribeUser(unsigned uid) {
    const struct passwd* user = getpwuid(uid);
    return (user ? "user " + std::string(user->pw_name) + " " : std::string("")) + "(uid " +
           std::to_string(uid) + ")";
}

namespace {

// Why the folder may not hold the state, or empty. The folder itself must
// be the running user's and closed to others; a folder above it may also
// be root's, and open to others only with the sticky bit, which keeps them
// from renaming what is not theirs.
std::string Problem(const std::string& path, bool above) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return "cannot stat it: " + std::string(strerror(errno));
    if (!S_ISDIR(st.st_mode)) return "not a folder";
    const uid_t me = geteuid();
    if (st.st_uid != me && !(above && st.st_uid == 0))
        return "it belongs to " + DescribeUser(st.st_uid) + ", not to " + DescribeUser(me) +
               " who runs snapagent; run: chown " + std::to_string(me) + " " + PrintablePath(path);
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(above && (st.st_mode & S_ISVTX))) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return std::string("others may write to it (mode ") + mode + "); run: chmod go-w " +
               PrintablePath(path);
    }
    return std::string();
}

Status Refuse(const std::string& path, const std::string& folder, const std::string& why) {
    return Status::InvalidArgument(
        "unsafe state folder [" + PrintablePath(path) +
        "]: " + (folder == path ? "" : "the folder above it [" + PrintablePath(folder) + "]: ") +
        why + ", or set SNAPAGENT_STATE_DIR to a folder of your own");
}

}  // namespace

Status DefaultStateDir(std::string& dir) {
    dir = Env("SNAPAGENT_STATE_DIR");
    if (dir.empty() && !Env("XDG_STATE_HOME").empty()) dir = Env("XDG_STATE_HOME") + "/snapagent";
    if (dir.empty() && !Env("HOME").empty()) dir = Env("HOME") + "/.local/state/snapagent";
    // A shared fallback (/tmp) would let any local user swap the folders
    // that decide which snapshots a job deletes.
    if (dir.empty() && geteuid() == 0) dir = kRootStateDir;
    if (!dir.empty()) return Status::OK();
    return Status::NotFound(
        "no state folder: HOME is not set; set SNAPAGENT_STATE_DIR to a folder of your own");
}

std::string DefaultResultsDir(const std::string& stateDir, ULONG clientId, LONGLONG jobId) {
    return stateDir + "/client" + std::to_string(clientId) + "/job" +
           std::to_string(static_cast<unsigned long long>(jobId));
}

void RemoveEarlierResults(const std::string& stateDir, ULONG clientId, LONGLONG jobId,
                          unsigned keep) {
    const std::string client = stateDir + "/client" + std::to_string(clientId);
    std::vector<unsigned long long> earlier;
    DIR* dir = opendir(client.c_str());
    if (!dir) return;
    while (const struct dirent* entry = readdir(dir)) {
        uint64_t id = 0;
        const std::string name = entry->d_name;
        if (name.compare(0, 3, "job") == 0 && ParseNumber(name.substr(3), UINT64_MAX, id) &&
            id < static_cast<unsigned long long>(jobId) && name == "job" + std::to_string(id))
            earlier.push_back(id);
    }
    closedir(dir);
    std::sort(earlier.rbegin(), earlier.rend());
    for (size_t i = keep; i < earlier.size(); ++i)
        RemoveTree(DefaultResultsDir(stateDir, clientId, static_cast<LONGLONG>(earlier[i])));
}

Status MakePrivateFolder(const std::string& path) {
    // The folders above are checked before anything is made in them.
    for (size_t pos = 1; pos < path.size(); ++pos) {
        if (path[pos] != '/') continue;
        const std::string above = path.substr(0, pos);
        struct stat st;
        if (stat(above.c_str(), &st) != 0) break;
        const std::string why = Problem(above, true);
        if (!why.empty()) return Refuse(path, above, why);
    }
    if (Status made = MakeDirectories(path, kPrivateFolderMode); !made.ok()) return made;
    const std::string why = Problem(path, false);
    return why.empty() ? Status::OK() : Refuse(path, path, why);
}

}  // namespace snapagent
