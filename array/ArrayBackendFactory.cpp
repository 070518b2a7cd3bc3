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
#include <charconv>

using hostlib::Status;

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
    uint64_t parsed = 0;
    const char* const last = text.data() + text.size();
    const std::from_chars_result read = std::from_chars(text.data(), last, parsed);
    if (read.ec != std::errc() || read.ptr != last || parsed == 0 || parsed > max) return false;
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

Status ConfigFaults(std::vector<ScriptedFault>& faults) {
    IniFile config;
    config.Load(VKPlatformInfo::ConfigPath());
    for (const auto& entry : config.Entries("faults")) {
        ScriptedFault fault;
        const Status parsed = ParseFaultSetting(entry.second, fault);
        if (!parsed.ok())
            return parsed.WithMessage("[faults] " + entry.first + ": " + parsed.message());
        faults.push_back(fault);
    }
    return Status::OK();
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
        const Status saved = SaveArrayScript(m_path, Script());
        if (!saved.ok() && g_ptrLogWriter)
            g_ptrLogWriter->Log(-1, __PRETTY_FUNCTION__, __LINE__,
                                "Scripted array state not saved: %s", saved.message().c_str());
    }

private:
    std::string m_path;
};

Status CreateScriptedArray(const NASArrayInfo& info, boost::shared_ptr<ArrayBackend>& backend) {
    ArrayScript script;
    script.strArrayName = info.strArrayName;
    script.strClientName = info.strClientName;
    const std::string path = ArraySetting("script", "");
    const bool saveState = ArraySetting("save_state", "false") == "true";
    if (path.empty() && saveState)
        return Status::InvalidArgument("[array] save_state = true needs [array] script = FILE");
    if (!path.empty()) {
        const Status loaded = LoadArrayScript(path, script);
        if (!loaded.ok()) return loaded;
    }
    boost::shared_ptr<ScriptedArray> array =
        saveState ? boost::make_shared<StateSavingScriptedArray>(script, path)
                  : boost::make_shared<ScriptedArray>(script);
    // The script's own faults belong to the array's answers: they sit right
    // on the array, below a recording and below the config's faults.
    backend = boost::make_shared<FaultInjectingBackend>(array, script.vecFaults);
    return Status::OK();
}

// The back end that answers: the local array or a scripted one.
Status CreateAnsweringBackend(const std::string& kind, const NASArrayInfo& info,
                              boost::shared_ptr<ArrayBackend>& backend) {
    if (kind == "scripted") return CreateScriptedArray(info, backend);
    if (kind == "local") return CreateLocalArrayFromConfig(info, backend);
    return Status::InvalidArgument("unknown array back end [" + kind + "]");
}

Status CreateConfiguredBackend(const NASArrayInfo& info, boost::shared_ptr<ArrayBackend>& backend) {
    const std::string kind = ArraySetting("backend", "local");
    if (kind != "record") return CreateAnsweringBackend(kind, info, backend);
    const std::string recordTo = ArraySetting("record_to", "");
    if (recordTo.empty())
        return Status::InvalidArgument("[array] backend = record needs [array] record_to = FILE");
    boost::shared_ptr<ArrayBackend> inner;
    const Status status = CreateAnsweringBackend(ArraySetting("inner", "local"), info, inner);
    if (!status.ok()) return status.WithMessage("[array] inner: " + status.message());
    backend = boost::make_shared<RecordingBackend>(inner, recordTo, info.strArrayName,
                                                   info.strClientName);
    return Status::OK();
}

}  // namespace

Status ParseFaultSetting(const std::string& text, ScriptedFault& fault) {
    size_t pos = 0;
    const std::string operation = NextWord(text, pos);
    const std::string nth = NextWord(text, pos);
    const std::string volume = NextWord(text, pos);
    if (!IsOperation(operation))
        return Status::InvalidArgument("unknown operation [" + operation + "] in fault [" + text +
                                       "]");
    if (!ParseNumber(nth, UINT64_MAX, fault.ullNth))
        return Status::InvalidArgument("the call number must be a whole number from 1 in fault [" +
                                       text + "]");
    if (volume.empty())
        return Status::InvalidArgument("a volume name or * is missing in fault [" + text + "]");
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
    return Status::OK();
}

void SetArrayBackendOverride(ArrayBackendOverride factory) { Override() = std::move(factory); }

Status CreateArrayBackend(const NASArrayInfo& info, boost::shared_ptr<ArrayBackend>& backend) {
    if (Override()) {
        backend = Override()(info);
        return backend ? Status::OK()
                       : Status::NotFound("the installed back end override gave no back end");
    }
    std::vector<ScriptedFault> faults;
    Status status = ConfigFaults(faults);
    boost::shared_ptr<ArrayBackend> answering;
    if (status.ok()) status = CreateConfiguredBackend(info, answering);
    if (!status.ok()) return status;
    boost::shared_ptr<ArrayBackend> faulty =
        boost::make_shared<FaultInjectingBackend>(answering, faults);
    const std::string callsLog = ArraySetting("calls_log", "");
    if (callsLog.empty()) {
        backend = faulty;
        return Status::OK();
    }
    // Outermost, so that the log shows what the client was answered,
    // injected faults included.
    boost::shared_ptr<CallLog> log = boost::make_shared<CallLog>();
    status = log->Open(callsLog);
    if (status.ok()) backend = boost::make_shared<CallLoggingBackend>(faulty, log);
    return status;
}
