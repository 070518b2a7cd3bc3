#include "tools/ErrorJson.h"

#include "array/ScriptJson.h"

#include <nlohmann/json.hpp>

namespace snapagent {
namespace {

const char kFrameLead[] = "\n  at ";

// The position of " (file:line)" in a location line, or npos. The
// signature before it may hold parentheses of its own; a location is the
// first " (" whose closing ")" comes right after ":<digits>" and ends the
// line or starts the frame's ": message".
size_t LocationStart(const std::string& line) {
    for (size_t open = line.find(" ("); open != std::string::npos;
         open = line.find(" (", open + 1)) {
        const size_t close = line.find(')', open + 2);
        if (close == std::string::npos) return std::string::npos;
        const std::string inside = line.substr(open + 2, close - open - 2);
        const size_t colon = inside.rfind(':');
        if (colon == std::string::npos || colon + 1 == inside.size() ||
            inside.find_first_not_of("0123456789", colon + 1) != std::string::npos ||
            inside.find('(') != std::string::npos)
            continue;
        const std::string after = line.substr(close + 1);
        if (after.empty() || after.compare(0, 2, ": ") == 0) return open;
    }
    return std::string::npos;
}

std::string KindName(CRyError::Kind kind) {
    switch (kind) {
        case CRyError::kSuccess:
            return "success";
        case CRyError::kWin32:
            return "win32";
        case CRyError::kEvent:
            return "event";
        default:
            return "other";
    }
}

}  // namespace

std::string QualifiedFunctionName(const std::string& signature) {
    std::string text = signature;
    // One spelling of the anonymous namespace, without parentheses.
    const std::string clangAnonymous = "(anonymous namespace)";
    for (size_t at = text.find(clangAnonymous); at != std::string::npos;
         at = text.find(clangAnonymous, at))
        text.replace(at, clangAnonymous.size(), "{anonymous}");
    const size_t open = text.find('(');
    std::string head = text.substr(0, open);
    const size_t space = head.rfind(' ');
    return space == std::string::npos ? head : head.substr(space + 1);
}

std::string WithoutSourceLocations(const std::string& text) {
    std::string out;
    size_t pos = 0;
    for (;;) {
        const size_t lead = text.find(kFrameLead, pos);
        if (lead == std::string::npos) break;
        const size_t start = lead + sizeof kFrameLead - 1;
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        out.append(text, pos, start - pos);
        const size_t location = LocationStart(line);
        if (location == std::string::npos) {
            out += line;
        } else {
            out += QualifiedFunctionName(line.substr(0, location));
            const size_t close = line.find(')', location);
            out.append(line, close + 1, std::string::npos);
        }
        pos = end;
    }
    out.append(text, pos, std::string::npos);
    return out;
}

void TextPlaceholders::SetFolder(const std::string& folder, const std::string& name) {
    m_strFolder = folder;
    while (m_strFolder.size() > 1 && m_strFolder.back() == '/') m_strFolder.pop_back();
    m_strName = name;
}

std::string TextPlaceholders::Apply(const std::string& text) const {
    if (m_strFolder.empty()) return text;
    std::string out;
    size_t pos = 0;
    for (size_t at = text.find(m_strFolder); at != std::string::npos;
         at = text.find(m_strFolder, pos)) {
        out.append(text, pos, at - pos);
        out += m_strName;
        pos = at + m_strFolder.size();
    }
    out.append(text, pos, std::string::npos);
    return out;
}

nlohmann::ordered_json StableTextJson(const std::string& text,
                                      const TextPlaceholders& placeholders) {
    return BytesToOrderedJson(placeholders.Apply(WithoutSourceLocations(text)));
}

nlohmann::ordered_json ErrorJson(const CRyError& error, const TextPlaceholders& placeholders) {
    nlohmann::ordered_json json;
    json["status"] = error.Status();
    json["kind"] = KindName(error.GetKind());
    json["code"] = error.Win32Code();
    json["event_id"] = error.EventId();
    nlohmann::ordered_json args = nlohmann::ordered_json::array();
    for (const std::string& argument : error.EventArguments())
        args.push_back(StableTextJson(argument, placeholders));
    json["args"] = args;
    json["text"] = StableTextJson(error.AsString(), placeholders);
    return json;
}

}  // namespace snapagent
