#include "tools/ConfigCheck.h"

#include "array/ArrayBackendFactory.h"
#include "array/ScriptJson.h"
#include "array/local/LocalArray.h"
#include "host/NASSnapUtil.h"
#include "host/VKPlatformInfo.h"
#include "hostlib/IniFile.h"
#include "tools/ItemText.h"
#include "tools/ReadDecimal.h"

#include <sys/stat.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>

namespace snapagent {

const char kPlaceholderPassword[] = "change-me";

namespace {

// The form a value must have.
enum class Form { kText, kNumber, kChoice, kVersion, kFault };

struct KnownKey {
    const char* key;
    Form form;
    long low = 0, high = 0;         // kNumber
    const char* choices = nullptr;  // kChoice: "a|b|c"
};

struct KnownSection {
    const char* name;  // "client." stands for every [client.<id>]
    bool anyKey;       // keys are the operator's own (paths, fault names)
    Form anyKeyForm;
    std::vector<KnownKey> keys;
};

const std::vector<KnownSection>& Sections() {
    static const std::vector<KnownSection> sections = {
        {"client.",
         false,
         Form::kText,
         {{"array", Form::kText},
          {"client_name", Form::kText},
          {"user", Form::kText},
          {"password", Form::kText},
          {"management_address", Form::kText}}},
        {"array",
         false,
         Form::kText,
         {{"backend", Form::kChoice, 0, 0, "local|scripted|record"},
          {"root", Form::kText},
          {"cluster", Form::kNumber, 0, 1},
          {"cluster_interface", Form::kNumber, 0, 1},
          {"materialize", Form::kNumber, 0, 1},
          {"max_sessions", Form::kNumber, 1, 4096},
          {"sort_memory_mb", Form::kNumber, 1, 1 << 20},
          {"lock_wait_seconds", Form::kNumber, 0, 86400},
          {"snapshots", Form::kChoice, 0, 0, "auto|btrfs|copy"},
          {"version", Form::kVersion},
          {"array_name", Form::kText},
          {"client_name", Form::kText},
          {"exports", Form::kText},
          {"script", Form::kText},
          {"save_state", Form::kChoice, 0, 0, "true|false"},
          {"record_to", Form::kText},
          {"inner", Form::kChoice, 0, 0, "local|scripted"},
          {"calls_log", Form::kText}}},
        {"host", false, Form::kText, {{"mount_table", Form::kText}}},
        {"snapagent", false, Form::kText, {{"keep_results", Form::kNumber, 0, 100000}}},
        {"log", false, Form::kText, {{"level", Form::kNumber, -1, 99}, {"file", Form::kText}}},
        {"snapdiff", false, Form::kText, {{"max_items", Form::kNumber, 1, INT_MAX}}},
        {"automount", true, Form::kText, {}},
        {"faults", true, Form::kFault, {}},
        {"~FileSystemAgent",
         false,
         Form::kText,
         {{"bBackupFromSnapshotOnly", Form::kNumber, INT_MIN, INT_MAX},
          {"nDisableSnapdiffForStreamingBackups", Form::kNumber, INT_MIN, INT_MAX}}},
    };
    return sections;
}

bool IsClientSection(const std::string& name) {
    return name.compare(0, 7, "client.") == 0 && name.size() > 7 &&
           name.find_first_not_of("0123456789", 7) == std::string::npos;
}

const KnownSection* FindSection(const std::string& name) {
    for (const KnownSection& s : Sections())
        if (name == s.name || (std::string(s.name) == "client." && IsClientSection(name)))
            return &s;
    return nullptr;
}

// Why value does not have the form, or empty when it has.
std::string FormProblem(const KnownKey& known, const std::string& value) {
    switch (known.form) {
        case Form::kText:
            return std::string();
        case Form::kNumber: {
            int number = 0;
            if (VKPlatformInfo::parseRegInt(value, &number) && number >= known.low &&
                number <= known.high)
                return std::string();
            if (known.low == INT_MIN) return "expected a whole number";
            return "expected a whole number from " + std::to_string(known.low) + " to " +
                   std::to_string(known.high);
        }
        case Form::kChoice: {
            const std::string choices = std::string("|") + known.choices + "|";
            if (!value.empty() && choices.find("|" + value + "|") != std::string::npos)
                return std::string();
            std::string listed = known.choices;
            for (size_t at; (at = listed.find("|")) != std::string::npos;)
                listed.replace(at, 1, ", ");
            return "expected one of " + listed;
        }
        case Form::kVersion: {
            const size_t first = value.find('.'), second = value.find('.', first + 1);
            unsigned part = 0;
            if (second != std::string::npos &&
                ReadDecimal(std::string_view(value).substr(0, first), part) &&
                ReadDecimal(std::string_view(value).substr(first + 1, second - first - 1), part) &&
                ReadDecimal(std::string_view(value).substr(second + 1), part))
                return std::string();
            return "expected major.minor.micro";
        }
        case Form::kFault: {
            ScriptedFault fault;
            const hostlib::Status parsed = ParseFaultSetting(value, fault);
            return parsed.ok() ? std::string() : OneLine(parsed.message());
        }
    }
    return std::string();
}

class Checker {
public:
    Checker(const std::string& path, ULONG clientId) : m_path(path), m_clientId(clientId) {}

    ConfigCheckResult Run();

private:
    bool Fail(const std::string& text) {
        if (m_result.strError.empty()) m_result.strError = text;
        m_result.problems.push_back(text);
        return false;
    }
    bool FailAt(const IniFile::Line& line, const std::string& text) {
        return Fail(m_path + ":" + std::to_string(line.iNumber) + ": " + text);
    }
    bool CheckLine(const IniFile::Line& line);
    void CheckRepeatedSection(const IniFile::Line& line);
    bool CheckCredentials();
    bool CheckLogFile();
    bool CheckBackend();
    std::string Array(const std::string& key, const std::string& fallback) const {
        const std::string* value = m_ini.Find("array", key);
        return value ? *value : fallback;
    }

    std::string m_path;
    ULONG m_clientId;
    IniFile m_ini;
    ConfigCheckResult m_result;
    std::map<std::string, int> m_sectionLines;  // section -> line of its first header
};

// The reader merges a section given twice, a later key replacing an
// earlier one: an operator who pasted a second [client.1] or [array] below
// the first gets a mix of both without a word.
void Checker::CheckRepeatedSection(const IniFile::Line& line) {
    if (line.kind != IniFile::Line::kSection) return;
    const auto first = m_sectionLines.emplace(line.strSection, line.iNumber);
    if (first.second) return;
    m_result.doubts.push_back(m_path + ":" + std::to_string(line.iNumber) + ": [" +
                              line.strSection + "] is given again (first at line " +
                              std::to_string(first.first->second) +
                              "); its keys are merged, a later value replacing an earlier "
                              "one: keep one [" +
                              line.strSection + "]");
}

bool Checker::CheckLine(const IniFile::Line& line) {
    const KnownSection* section = FindSection(line.strSection);
    if (line.kind == IniFile::Line::kOther)
        // Never the line's text: a mistyped line may hold a password.
        return FailAt(
            line, "in [" + line.strSection + "]: neither a setting (key = value) nor a [section]");
    if (!section) {
        if (line.kind == IniFile::Line::kSetting && line.strSection.empty())
            return FailAt(line, line.strKey + " stands before any [section]");
        if (line.kind != IniFile::Line::kSection) return true;  // named at its header
        std::vector<std::string> names;
        for (const KnownSection& s : Sections())
            names.push_back(
                std::string(s.name) == "client." ? "client." + std::to_string(m_clientId) : s.name);
        const std::string nearest = NearestWord(line.strSection, names);
        // Never the line's text: a password pasted on a line of its own
        // may look like a section.
        return FailAt(line, "not a known section" +
                                (nearest.empty() ? std::string()
                                                 : " (nearest known section: [" + nearest + "])"));
    }
    if (line.kind != IniFile::Line::kSetting) return true;
    const std::string where = "[" + line.strSection + "] " + line.strKey;
    KnownKey any{"", section->anyKeyForm};
    const KnownKey* known = section->anyKey ? &any : nullptr;
    std::vector<std::string> names;
    for (const KnownKey& k : section->keys) {
        if (line.strKey == k.key) known = &k;
        names.push_back(k.key);
    }
    if (!known) {
        const std::string nearest = NearestWord(line.strKey, names);
        return FailAt(line, "unknown key " + where +
                                (nearest.empty() ? "" : " (nearest known key: " + nearest + ")"));
    }
    const std::string problem = FormProblem(*known, line.strValue);
    if (problem.empty()) return true;
    const bool comment = line.strValue.find('#') != std::string::npos;
    // The value is not repeated: it may be a password.
    return FailAt(line, where + ": " + problem +
                            (comment ? " (a \"#\" after a value is part of the value; put "
                                       "comments on lines of their own)"
                                     : ""));
}

bool Checker::CheckCredentials() {
    const std::string section = "client." + std::to_string(m_clientId);
    bool present = false;
    for (const IniFile::Line& line : m_ini.Lines())
        present = present || (line.kind == IniFile::Line::kSection && line.strSection == section);
    if (!present)
        return Fail("no credentials for client " + std::to_string(m_clientId) + ": section [" +
                    section + "] is missing in " + m_path);
    NASArrayInfo info;
    if (!NASSnapUtil().GetArrayNameAndCredentialsByClientId(static_cast<int>(m_clientId), info))
        return Fail("no credentials for client " + std::to_string(m_clientId) + ": [" + section +
                    "] array is not set in " + m_path);
    // An array refuses a connection without them, after the job began.
    for (const char* key : {"user", "password"})
        if (!m_ini.Find(section, key) || m_ini.Find(section, key)->empty())
            return Fail("no credentials for client " + std::to_string(m_clientId) + ": [" +
                        section + "] " + key + " is not set in " + m_path);
    if (*m_ini.Find(section, "password") == kPlaceholderPassword)
        m_result.doubts.push_back(m_path + ": [" + section +
                                  "] password is still the sample's placeholder; set the "
                                  "array account's password");
    struct stat st;
    if (m_ini.Find(section, "password") && stat(m_path.c_str(), &st) == 0 &&
        (st.st_mode & (S_IRGRP | S_IROTH))) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        m_result.warnings.push_back(m_path + " holds a password and others can read it (mode " +
                                    mode + "); run: chmod 600 " + m_path);
    }
    return true;
}

bool Checker::CheckLogFile() {
    // A log that cannot be opened would send every plug-in line to the
    // terminal instead, for the whole job.
    const std::string* file = m_ini.Find("log", "file");
    if (!file || file->empty()) return true;
    const size_t slash = file->rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : file->substr(0, slash ? slash : 1);
    struct stat st;
    if (stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    return Fail(m_path + ": [log] file = " + *file + ": its folder " + folder +
                " does not exist; create it or name a file in an existing folder");
}

bool Checker::CheckBackend() {
    const std::string backend = Array("backend", "local");
    if (backend == "record" && Array("record_to", "").empty())
        return Fail(m_path + ": [array] backend = record needs [array] record_to = FILE");
    const std::string answering = backend == "record" ? Array("inner", "local") : backend;
    if (answering == "scripted") {
        const std::string script = Array("script", "");
        if (script.empty() && Array("save_state", "false") == "true")
            return Fail(m_path + ": [array] save_state = true needs [array] script = FILE");
        ArrayScript parsed;
        if (!script.empty()) {
            const hostlib::Status loaded = LoadArrayScript(script, parsed);
            if (!loaded.ok()) return Fail(OneLine(loaded.message()));
        }
        return true;
    }
    NASArrayInfo info;
    NASSnapUtil().GetArrayNameAndCredentialsByClientId(static_cast<int>(m_clientId), info);
    LocalArrayConfig local;
    const hostlib::Status loaded = LoadLocalArrayConfig(info, local);
    if (!loaded.ok()) {
        const std::string& error = loaded.message();
        return Fail((error.find(m_path) == std::string::npos ? m_path + ": " : "") +
                    OneLine(error));
    }
    return true;
}

ConfigCheckResult Checker::Run() {
    struct stat st;
    if (stat(m_path.c_str(), &st) != 0) {
        Fail("cannot read config [" + m_path + "]: " + strerror(errno));
        return m_result;
    }
    if (!S_ISREG(st.st_mode)) {
        Fail("cannot read config [" + m_path +
             "]: " + (S_ISDIR(st.st_mode) ? "a folder, not a file" : "not a regular file"));
        return m_result;
    }
    if (!m_ini.Load(m_path)) {
        Fail("cannot read config [" + m_path + "]: " + strerror(errno));
        return m_result;
    }
    // Every mistake is named, so that one edit mends them all.
    for (const IniFile::Line& line : m_ini.Lines()) {
        CheckLine(line);
        CheckRepeatedSection(line);
    }
    CheckCredentials();
    CheckLogFile();
    CheckBackend();
    return m_result;
}

size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

std::string NearestWord(const std::string& word, const std::vector<std::string>& known) {
    std::string best;
    size_t bestDistance = std::max<size_t>(2, word.size() / 3) + 1;
    for (const std::string& candidate : known) {
        const size_t distance = EditDistance(word, candidate);
        if (distance < bestDistance) {
            best = candidate;
            bestDistance = distance;
        }
    }
    return best;
}

bool LoadConfiguredLocalArray(ULONG clientId, LocalArrayConfig& local) {
    std::string backend = "local", inner = "local";
    VKPlatformInfo::getRegString("array", "backend", &backend);
    VKPlatformInfo::getRegString("array", "inner", &inner);
    if (backend != "local" && !(backend == "record" && inner == "local")) return false;
    NASArrayInfo info;
    NASSnapUtil().GetArrayNameAndCredentialsByClientId(static_cast<int>(clientId), info);
    return LoadLocalArrayConfig(info, local).ok();
}

ConfigCheckResult CheckConfig(const std::string& path, ULONG clientId) {
    return Checker(path, clientId).Run();
}

}  // namespace snapagent
