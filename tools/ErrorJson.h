// Errors and texts in the forms a job transcript keeps: the same on every
// machine and every build that behaves alike. An error's text (AsString)
// names each code location with its source file and line, which move with
// every edit and build folder; the stable form keeps each frame's function,
// reduced to its qualified name (parameter and return types are spelt
// differently by different compilers), and drops file and line. The job
// results folder, a temporary folder, becomes the placeholder ${RESULTS}.
#pragma once

#include "host/CRyError.h"

#include <nlohmann/json_fwd.hpp>
#include <string>

namespace snapagent {

// "virtual CRyError CNetAppSnapClient::Initialize(long long, ...)" ->
// "CNetAppSnapClient::Initialize".
std::string QualifiedFunctionName(const std::string& signature);

// Every location line "\n  at <signature> (<file>:<line>)" of an error text,
// wherever it sits (an event argument may hold another error's text),
// becomes "\n  at <qualified name>"; the message after it stays.
std::string WithoutSourceLocations(const std::string& text);

class TextPlaceholders {
public:
    // Every occurrence of folder (trailing "/" ignored) becomes name.
    void SetFolder(const std::string& folder, const std::string& name);
    std::string Apply(const std::string& text) const;

private:
    std::string m_strFolder;
    std::string m_strName;
};

// {"status", "kind", "code", "event_id", "args", "text"}: kind is
// "success", "win32", "event" or "other"; code is the Win32 code (0
// otherwise), event_id the job event id (0 otherwise); args and text pass
// through WithoutSourceLocations and the placeholders; byte strings that are
// not UTF-8 become {"hex": ...}.
nlohmann::ordered_json ErrorJson(const CRyError& error, const TextPlaceholders& placeholders);
// A text as a transcript keeps it.
nlohmann::ordered_json StableTextJson(const std::string& text,
                                      const TextPlaceholders& placeholders);

}  // namespace snapagent
