#include "array/ArrayBackendFactory.h"

#include <algorithm>
#include <boost/make_shared.hpp>
#include <cerrno>
#include <cstdlib>

#include "array/FaultInjectingBackend.h"
#include "array/ScriptedArray.h"
#include "host/IniFile.h"
#include "host/VKPlatformInfo.h"

namespace {

ArrayBackendOverride& Override() {
    static ArrayBackendOverride factory;
    return factory;
}

const char* const kOperations[] = {
    "OpenConnection",
    "IsCluster",
    "IsClusterInterface",
    "GetFileServerVersion",
    "GetActualStoragePathForNfsExport",
    "GetSnapShotList",
    "CreateOntapSnap",
    "DeleteOntapSnap",
    "SnapDiffStart",
    "SnapDiffNext",
    "SnapDiffEnd",
};

bool IsOperation(const std::string& name) {
    for (const char* operation : kOperations)
        if (name == operation) return true;
    return false;
}

// A whole decimal number in [1, max]; leading signs and spaces refused.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    const unsigned long long parsed = strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || parsed == 0 || parsed > max) return false;
    value = parsed;
    return true;
}

// The next word of text from pos on (empty at the end); pos moves past it.
std::string NextWord(const std::string& text, size_t& pos) {
    const size_t start = text.find_first_not_of(" \t", pos);
    if (start == std::string::npos) {
        pos = text.size();
        return std::string();
    }
    pos = std::min(text.find_first_of(" \t", start), text.size());
    return text.substr(start, pos - start);
}

bool ConfigFaults(std::vector<ScriptedFault>& faults, std::string& error) {
    IniFile config;
    config.Load(VKPlatformInfo::ConfigPath());
    for (const auto& entry : config.Entries("faults")) {
        ScriptedFault fault;
        if (!ParseFaultSetting(entry.second, fault, error)) {
            error = "[faults] " + entry.first + ": " + error;
            return false;
        }
        faults.push_back(fault);
    }
    return true;
}

boost::shared_ptr<ArrayBackend> CreateConfiguredBackend(const NASArrayInfo& info,
                                                        std::string& error) {
    std::string kind = "local";
    VKPlatformInfo::getRegString("array", "backend", &kind);
    if (kind == "scripted") {
        ArrayScript script;
        script.strArrayName = info.strArrayName;
        script.strClientName = info.strClientName;
        return boost::make_shared<ScriptedArray>(script);
    }
    if (kind == "local") {
        // TODO(local array): build it with CreateLocalArrayFromConfig.
        error = "local array not available";
        return boost::shared_ptr<ArrayBackend>();
    }
    error = "unknown array back end [" + kind + "] in [array] backend";
    return boost::shared_ptr<ArrayBackend>();
}

}  // namespace

bool ParseFaultSetting(const std::string& text, ScriptedFault& fault, std::string& error) {
    size_t pos = 0;
    const std::string operation = NextWord(text, pos);
    const std::string nth = NextWord(text, pos);
    const std::string volume = NextWord(text, pos);
    if (!IsOperation(operation)) {
        error = "unknown operation [" + operation + "] in fault [" + text + "]";
        return false;
    }
    if (!ParseNumber(nth, UINT64_MAX, fault.ullNth)) {
        error = "the call number must be a whole number from 1 in fault [" + text + "]";
        return false;
    }
    if (volume.empty()) {
        error = "a volume name or * is missing in fault [" + text + "]";
        return false;
    }
    fault.strOperation = operation;
    fault.strVolume = volume == "*" ? std::string() : volume;

    size_t messageStart = pos;
    std::string word = NextWord(text, pos);
    uint64_t code = 0;
    if (ParseNumber(word, UINT32_MAX, code)) {
        fault.uiCode = static_cast<uint32_t>(code);
        messageStart = pos;
        word = NextWord(text, pos);
    }
    if (word == "drop") {
        fault.bDropConnection = true;
        messageStart = pos;
    }
    const size_t first = text.find_first_not_of(" \t", messageStart);
    if (first != std::string::npos) fault.strMessage = text.substr(first);
    return true;
}

void SetArrayBackendOverride(ArrayBackendOverride factory) { Override() = std::move(factory); }

boost::shared_ptr<ArrayBackend> CreateArrayBackend(const NASArrayInfo& info, std::string& error) {
    if (Override()) return Override()(info);
    std::vector<ScriptedFault> faults;
    if (!ConfigFaults(faults, error)) return boost::shared_ptr<ArrayBackend>();
    boost::shared_ptr<ArrayBackend> backend = CreateConfiguredBackend(info, error);
    if (!backend) return backend;
    return boost::make_shared<FaultInjectingBackend>(backend, faults);
}
