#include "tools/ArraySettingsCheck.h"

#include "array/ArrayBackendFactory.h"
#include "array/ScriptJson.h"
#include "host/IniFile.h"
#include "host/VKPlatformInfo.h"
#include "tools/ItemText.h"

namespace snapagent {
namespace {

std::string ArraySetting(const std::string& key, const std::string& fallback) {
    std::string value = fallback;
    VKPlatformInfo::getRegString("array", key, &value);
    return value;
}

}  // namespace

bool CheckArraySettings(std::string& error) {
    IniFile config;
    config.Load(VKPlatformInfo::ConfigPath());
    for (const auto& entry : config.Entries("faults")) {
        ScriptedFault fault;
        if (!ParseFaultSetting(entry.second, fault, error)) {
            error = "[faults] " + entry.first + ": " + OneLine(error);
            return false;
        }
    }
    const std::string backend = ArraySetting("backend", "local");
    const bool scripted =
        backend == "scripted" || (backend == "record" && ArraySetting("inner", "local") == "scripted");
    const std::string script = ArraySetting("script", "");
    if (!scripted || script.empty()) return true;
    ArrayScript parsed;
    if (LoadArrayScript(script, parsed, error)) return true;
    error = OneLine(error);
    return false;
}

}  // namespace snapagent
