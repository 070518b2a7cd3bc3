#include "array/local/LocalArray.h"

#include "array/local/LocalArrayNames.h"
#include "host/VKPlatformInfo.h"

#include <boost/make_shared.hpp>
#include <climits>
#include <cstdlib>
#include <sstream>

namespace {

const char kSection[] = "array";

// An integer setting: absent gives the default; present but not a number
// is an error rather than a silent default.
bool ReadInt(const char* key, long low, long high, long& value, std::string& error) {
    std::string text;
    if (!VKPlatformInfo::getRegString(kSection, key, &text)) return true;
    int parsed = 0;
    if (!VKPlatformInfo::getRegInt(kSection, key, &parsed) || parsed < low || parsed > high) {
        error = std::string("[array] ") + key + " = " + text + ": expected a number from " +
                std::to_string(low) + " to " + std::to_string(high);
        return false;
    }
    value = parsed;
    return true;
}

bool ReadFlag(const char* key, bool& flag, std::string& error) {
    long value = flag ? 1 : 0;
    if (!ReadInt(key, 0, 1, value, error)) return false;
    flag = value != 0;
    return true;
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

bool ResolveRoot(const std::string& configured, std::string& root, std::string& error) {
    std::string path = configured;
    if (!path.empty() && path[0] != '/') {
        std::string config = VKPlatformInfo::ConfigPath();
        size_t slash = config.rfind('/');
        path =
            (slash == std::string::npos ? std::string(".") : config.substr(0, slash)) + "/" + path;
    }
    char resolved[PATH_MAX];
    if (!realpath(path.c_str(), resolved)) {
        error = "[array] root = " + configured + ": folder not found";
        return false;
    }
    root = resolved;
    return true;
}

bool ParseExports(const std::string& text, std::vector<LocalArrayExport>& exports,
                  std::string& error) {
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        size_t first = item.find_first_not_of(" \t");
        if (first == std::string::npos) continue;
        item = item.substr(first, item.find_last_not_of(" \t") - first + 1);
        LocalArrayExport exp;
        ArrayStatus status = SplitVolumePath(item, exp.strVolume, exp.vecBelow);
        if (!status.bOk) {
            error = "[array] exports: " + status.strMessage;
            return false;
        }
        exports.push_back(exp);
    }
    return true;
}

}  // namespace

bool LoadLocalArrayConfig(const NASArrayInfo& info, LocalArrayConfig& config, std::string& error) {
    std::string text;
    if (!VKPlatformInfo::getRegString(kSection, "root", &text) || text.empty()) {
        error = "[array] root is not set in " + VKPlatformInfo::ConfigPath();
        return false;
    }
    if (!ResolveRoot(text, config.strRoot, error)) return false;
    if (!ReadFlag("cluster", config.bCluster, error) ||
        !ReadFlag("cluster_interface", config.bClusterInterface, error) ||
        !ReadFlag("materialize", config.bMaterialize, error))
        return false;
    long sessions = config.uiMaxSessions;
    long sortMb = static_cast<long>(config.sortMemoryBytes >> 20);
    long lockWait = config.uiLockWaitSeconds;
    if (!ReadInt("max_sessions", 1, 4096, sessions, error) ||
        !ReadInt("sort_memory_mb", 1, 1 << 20, sortMb, error) ||
        !ReadInt("lock_wait_seconds", 0, 86400, lockWait, error))
        return false;
    config.uiMaxSessions = static_cast<unsigned>(sessions);
    config.uiLockWaitSeconds = static_cast<unsigned>(lockWait);
    config.sortMemoryBytes = static_cast<size_t>(sortMb) << 20;
    if (VKPlatformInfo::getRegString(kSection, "snapshots", &text) &&
        !ParseSnapshotsSetting(text, config.snapshots)) {
        error = "[array] snapshots = " + text + ": expected auto, btrfs or copy";
        return false;
    }
    if (VKPlatformInfo::getRegString(kSection, "version", &text) &&
        !ParseVersion(text, config.uiVersion)) {
        error = "[array] version = " + text + ": expected major.minor.micro";
        return false;
    }
    config.strArrayName = info.strArrayName.empty() ? "localarray" : info.strArrayName;
    VKPlatformInfo::getRegString(kSection, "array_name", &config.strArrayName);
    config.strClientName = info.strClientName;
    VKPlatformInfo::getRegString(kSection, "client_name", &config.strClientName);
    if (VKPlatformInfo::getRegString(kSection, "exports", &text) &&
        !ParseExports(text, config.vecExports, error))
        return false;
    return true;
}

boost::shared_ptr<ArrayBackend> CreateLocalArrayFromConfig(const NASArrayInfo& info,
                                                           std::string& error) {
    LocalArrayConfig config;
    if (!LoadLocalArrayConfig(info, config, error)) return boost::shared_ptr<ArrayBackend>();
    return boost::make_shared<LocalArray>(config);
}
