#include "host/VKPlatformInfo.h"

#include "host/IniFile.h"

#include <cerrno>
#include <cstdlib>

std::string VKPlatformInfo::ConfigPath() {
    const char* path = getenv("SNAPCLIENT_CONFIG");
    return (path && *path) ? path : "/etc/snapclient/snapclient.conf";
}

bool VKPlatformInfo::getRegString(const std::string& section, const std::string& key,
                                  std::string* value) {
    IniFile ini;
    if (!ini.Load(ConfigPath())) return false;
    const std::string* found = ini.Find(section, key);
    if (!found) return false;
    if (value) *value = *found;
    return true;
}

bool VKPlatformInfo::getRegInt(const std::string& section, const std::string& key, int* value) {
    std::string text;
    if (!getRegString(section, key, &text) || text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long parsed = strtol(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX) return false;
    if (value) *value = static_cast<int>(parsed);
    return true;
}
