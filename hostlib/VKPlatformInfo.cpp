#include "host/VKPlatformInfo.h"

#include "hostlib/IniFile.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <string_view>

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
    // Decimal unless marked hex: an operator's "010" means ten, not eight. A
    // "-" may lead (log levels go below zero); a "+", a blank, a NUL, a tail
    // or a value beyond 32 bits makes the setting absent, not some number.
    std::string_view digits = text;
    const bool negative = !digits.empty() && digits.front() == '-';
    if (negative) digits.remove_prefix(1);
    const bool hex =
        digits.size() > 1 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    if (hex) digits.remove_prefix(2);
    uint64_t magnitude = 0;
    const char* const last = digits.data() + digits.size();
    const std::from_chars_result read =
        std::from_chars(digits.data(), last, magnitude, hex ? 16 : 10);
    const uint64_t limit = negative ? uint64_t(INT32_MAX) + 1 : uint64_t(INT32_MAX);
    if (read.ec != std::errc() || read.ptr != last || magnitude > limit) return false;
    if (value)
        *value = static_cast<int>(negative ? -static_cast<int64_t>(magnitude)
                                           : static_cast<int64_t>(magnitude));
    return true;
}

bool VKPlatformInfo::getRegInt(const std::string& section, const std::string& key, int* value) {
    std::string text;
    return getRegString(section, key, &text) && parseRegInt(text, value);
}
