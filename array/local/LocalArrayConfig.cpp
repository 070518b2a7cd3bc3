#include "array/local/LocalArray.h"

#include "array/local/LocalArrayNames.h"
#include "host/VKPlatformInfo.h"

#include <boost/make_shared.hpp>
#include <climits>
#include <cstdlib>
#include <sstream>

using hostlib::Status;

namespace {

const char kSection[] = "array";

// An integer setting: absent gives the default; present but not a number
// is an error rather than a silent default.
Status ReadInt(const char* key, long low, long high, long& value) {
    std::string text;
    if (!VKPlatformInfo::getRegString(kSection, key, &text)) return Status::OK();
    int parsed = 0;
    if (!VKPlatformInfo::getRegInt(kSection, key, &parsed) || parsed < low || parsed > high)
        return Status::InvalidArgument(std::string("[array] ") + key + " = " + text +
                                       ": expected a number from " + std::to_string(low) + " to " +
                                       std::to_string(high));
    value = parsed;
    return Status::OK();
}

Status ReadFlag(const char* key, bool& flag) {
    long value = flag ? 1 : 0;
    Status status = ReadInt(key, 0, 1, value);
    flag = value != 0;
    return status;
}

bool ParseVersion(const std::string& text, unsigned version[3]) {
    std::istringstream in(text);
    char dot1 = 0, dot2 = 0;
    long parts[3] = {-1, -1, -1};
    in >> parts[0] >> dot1 >> parts[1] >> dot2 >> parts[2];
    if (!in || dot1 != '.' || dot2 != '.' || in.peek() != EOF) return false;
    for (int i = 0; i < 3; ++i) {
        if (parts[i] < 0 || parts[i] > 9999) return false;
        version[i] = static_cast<unsigned>(parts[i]);
    }
    return true;
}

Status ResolveRoot(const std::string& configured, std::string& root) {
    std::string path = configured;
    if (!path.empty() && path[0] != '/') {
        std::string config = VKPlatformInfo::ConfigPath();
        size_t slash = config.rfind('/');
        path =
            (slash == std::string::npos ? std::string(".") : config.substr(0, slash)) + "/" + path;
    }
    char resolved[PATH_MAX];
    if (!realpath(path.c_str(), resolved))
        return Status::InvalidArgument("[array] root = " + configured + ": folder not found");
    root = resolved;
    return Status::OK();
}

Status ParseExports(const std::string& text, std::vector<LocalArrayExport>& exports) {
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        size_t first = item.find_first_not_of(" \t");
        if (first == std::string::npos) continue;
        item = item.substr(first, item.find_last_not_of(" \t") - first + 1);
        LocalArrayExport exp;
        const Status status = SplitVolumePath(item, exp.strVolume, exp.vecBelow);
        if (!status.ok()) return status.WithMessage("[array] exports: " + status.message());
        exports.push_back(exp);
    }
    return Status::OK();
}

}  // namespace

Status LoadLocalArrayConfig(const NASArrayInfo& info, LocalArrayConfig& config) {
    std::string text;
    if (!VKPlatformInfo::getRegString(kSection, "root", &text) || text.empty())
        return Status::InvalidArgument("[array] root is not set in " +
                                       VKPlatformInfo::ConfigPath());
    Status status = ResolveRoot(text, config.strRoot);
    if (status.ok()) status = ReadFlag("cluster", config.bCluster);
    if (status.ok()) status = ReadFlag("cluster_interface", config.bClusterInterface);
    if (status.ok()) status = ReadFlag("materialize", config.bMaterialize);
    long sessions = config.uiMaxSessions;
    long sortMb = static_cast<long>(config.sortMemoryBytes >> 20);
    long lockWait = config.uiLockWaitSeconds;
    if (status.ok()) status = ReadInt("max_sessions", 1, 4096, sessions);
    if (status.ok()) status = ReadInt("sort_memory_mb", 1, 1 << 20, sortMb);
    if (status.ok()) status = ReadInt("lock_wait_seconds", 0, 86400, lockWait);
    if (!status.ok()) return status;
    config.uiMaxSessions = static_cast<unsigned>(sessions);
    config.uiLockWaitSeconds = static_cast<unsigned>(lockWait);
    config.sortMemoryBytes = static_cast<size_t>(sortMb) << 20;
    if (VKPlatformInfo::getRegString(kSection, "snapshots", &text) &&
        !ParseSnapshotsSetting(text, config.snapshots))
        return Status::InvalidArgument("[array] snapshots = " + text +
                                       ": expected auto, btrfs or copy");
    if (VKPlatformInfo::getRegString(kSection, "version", &text) &&
        !ParseVersion(text, config.uiVersion))
        return Status::InvalidArgument("[array] version = " + text +
                                       ": expected major.minor.micro");
    config.strArrayName = info.strArrayName.empty() ? "localarray" : info.strArrayName;
    VKPlatformInfo::getRegString(kSection, "array_name", &config.strArrayName);
    config.strClientName = info.strClientName;
    VKPlatformInfo::getRegString(kSection, "client_name", &config.strClientName);
    if (VKPlatformInfo::getRegString(kSection, "exports", &text))
        return ParseExports(text, config.vecExports);
    return Status::OK();
}

Status CreateLocalArrayFromConfig(const NASArrayInfo& info,
                                  boost::shared_ptr<ArrayBackend>& backend) {
    LocalArrayConfig config;
    const Status status = LoadLocalArrayConfig(info, config);
    if (status.ok()) backend = boost::make_shared<LocalArray>(config);
    return status;
}
