// Host registry settings, read from an INI config file. The file is named by
// the environment variable SNAPCLIENT_CONFIG, else /etc/snapclient/snapclient.conf.
// Every call reads the file anew, so a setting changed between two calls is
// seen by the second. A missing file holds no settings.
#pragma once

#include <string>

namespace VKPlatformInfo {
// True when the key is present in the section and its value is an integer
// (decimal, or hex with 0x); *value is then set. A missing key, a missing
// file or a non-numeric value gives false and leaves *value alone.
bool getRegInt(const std::string& section, const std::string& key, int* value);
// The integer rule of getRegInt applied to a text already read.
bool parseRegInt(const std::string& text, int* value);
// True when the key is present; *value is then set to its text (trimmed).
bool getRegString(const std::string& section, const std::string& key, std::string* value);
// Path of the config file in use.
std::string ConfigPath();
}  // namespace VKPlatformInfo
