#include "array/ArrayBackendFactory.h"

#include "array/CallLog.h"
#include "array/FaultInjectingBackend.h"
#include "array/RecordingBackend.h"
#include "array/ScriptJson.h"
#include "array/ScriptedArray.h"
#include "array/local/LocalArray.h"
#include "host/LogWriter.h"
#include "host/VKPlatformInfo.h"
#include "hostlib/IniFile.h"

#include <algorithm>
#include <boost/make_shared.hpp>
#include <cerrno>
#include <cstdlib>

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

std::string ArraySetting(const std::string& key, const std::string& fallback) {
    std::string value = fallback;
    VKPlatformInfo::getRegString("array", key, &value);
    return value;
}

// A scripted array whose state (its snapshots with the rest of its script)
// goes back to its script file when the job is done with the array, so that
// the next job of a cycle finds what this one left.
class StateSavingScriptedArray : public ScriptedArray {
public:
    StateSavingScriptedArray(const ArrayScript& script, const std::string& path)
        : ScriptedArray(script), m_path(path) {}
    ~StateSavingScriptedArray() override {
        const hostlib::Status saved = SaveArrayScript(m_path, Script());
        if (!saved.ok() && g_ptrLogWriter)
            g_ptrLogWriter->Log(-1, __PRETTY_FUNCTION__, __LINE__,
                                "Scripted array state not saved: %s", saved.message().c_str());
    }

private:
    std::string m_path;
};

boost::shared_ptr<ArrayBackend> CreateScriptedArray(const NASArrayInfo& info, std::string& error) {
    ArrayScript script;
    script.strArrayName = info.strArrayName;
    script.strClientName = info.strClientName;
    const std::string path = ArraySetting("script", "");
    const bool saveState = ArraySetting("save_state", "false") == "true";
    if (path.empty() && saveState) {
        error = "[array] save_state = true needs [array] script = FILE";
        return boost::shared_ptr<ArrayBackend>();
    }
    if (!path.empty()) {
        const hostlib::Status loaded = LoadArrayScript(path, script);
        if (!loaded.ok()) {
            error = loaded.message();
            return boost::shared_ptr<ArrayBackend>();
        }
    }
    boost::shared_ptr<ScriptedArray> array =
        saveState ? boost::make_shared<StateSavingScriptedArray>(script, path)
                  : boost::make_shared<ScriptedArray>(script);
    // The script's own faults belong to the array's answers: they sit right
    // on the array, below a recording and below the config's faults.
    return boost::make_shared<FaultInjectingBackend>(array, script.vecFaults);
}

// The back end that answers: the local array or a scripted one.
boost::shared_ptr<ArrayBackend> CreateAnsweringBackend(const std::string& kind,
                                                       const NASArrayInfo& info,
                                                       std::string& error) {
    if (kind == "scripted") return CreateScriptedArray(info, error);
    if (kind == "local") return CreateLocalArrayFromConfig(info, error);
    error = "unknown array back end [" + kind + "]";
    return boost::shared_ptr<ArrayBackend>();
}

boost::shared_ptr<ArrayBackend> CreateConfiguredBackend(const NASArrayInfo& info,
                                                        std::string& error) {
    const std::string kind = ArraySetting("backend", "local");
    if (kind != "record") return CreateAnsweringBackend(kind, info, error);
    const std::string recordTo = ArraySetting("record_to", "");
    if (recordTo.empty()) {
        error = "[array] backend = record needs [array] record_to = FILE";
        return boost::shared_ptr<ArrayBackend>();
    }
    boost::shared_ptr<ArrayBackend> inner =
        CreateAnsweringBackend(ArraySetting("inner", "local"), info, error);
    if (!inner) {
        error = "[array] inner: " + error;
        return inner;
    }
    return boost::make_shared<RecordingBackend>(inner, recordTo, info.strArrayName,
                                                info.strClientName);
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
    backend = boost::make_shared<FaultInjectingBackend>(backend, faults);
    const std::string callsLog = ArraySetting("calls_log", "");
    if (callsLog.empty()) return backend;
    // Outermost, so that the log shows what the client was answered,
    // injected faults included.
    boost::shared_ptr<CallLog> log = boost::make_shared<CallLog>();
    const hostlib::Status opened = log->Open(callsLog);
    if (!opened.ok()) {
        error = opened.message();
        return boost::shared_ptr<ArrayBackend>();
    }
    return boost::make_shared<CallLoggingBackend>(backend, log);
}
