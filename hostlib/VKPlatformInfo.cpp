#include "host/VKPlatformInfo.h"

#include "hostlib/IniFile.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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

bool VKPlatformInfo::parseRegInt(const std::string& text, int* value) {
    if (text.empty() || text.find('\0') != std::string::npos) return false;
    // Decimal unless marked hex: an operator's "010" means ten, not eight.
    const char* digits = text.c_str();
    if (*digits == '+' || *digits == '-') ++digits;
    const bool hex = digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    if (!hex && !(*digits >= '0' && *digits <= '9')) return false;
    errno = 0;
    char* end = nullptr;
    long long parsed = strtoll(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || parsed < INT32_MIN ||
        parsed > INT32_MAX)
        return false;
    if (value) *value = static_cast<int>(parsed);
    return true;
}

bool VKPlatformInfo::getRegInt(const std::string& section, const std::string& key, int* value) {
    std::string text;
    return getRegString(section, key, &text) && parseRegInt(text, value);
}
