// The host config reader: a fuzzed INI file read through VKPlatformInfo as
// the client reads its settings (every value also as an integer) and the
// parsed sections listed back. Whatever the bytes, a value found is one the
// section lists, and an integer read agrees with its text.
#include "fuzz/FuzzSupport.h"
#include "host/VKPlatformInfo.h"
#include "hostlib/IniFile.h"

#include <cstdlib>
#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::InstallQuietLog();
    const std::string text(reinterpret_cast<const char*>(data), size);
    fuzzsupport::InstallConfig(text);

    std::istringstream stream(text);
    IniFile ini;
    ini.Parse(stream);
    for (const char* section : {"~FileSystemAgent", "host", "array", "client.2", ""}) {
        for (const auto& entry : ini.Entries(section)) {
            const std::string* found = ini.Find(section, entry.first);
            if (!found || *found != entry.second) abort();
            std::string read;
            if (!VKPlatformInfo::getRegString(section, entry.first, &read) || read != *found)
                abort();
            int viaFile = 0;
            int viaText = 0;
            const bool fileOk = VKPlatformInfo::getRegInt(section, entry.first, &viaFile);
            const bool textOk = VKPlatformInfo::parseRegInt(entry.second, &viaText);
            if (fileOk != textOk || (fileOk && viaFile != viaText)) abort();
        }
    }
    int value = 0;
    VKPlatformInfo::getRegInt("~FileSystemAgent", "nDisableSnapdiffForStreamingBackups", &value);
    VKPlatformInfo::getRegInt("~FileSystemAgent", "bBackupFromSnapshotOnly", &value);
    return 0;
}
