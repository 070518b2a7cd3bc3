#include "tools/ItemText.h"

#include "tools/ItemJson.h"

#include <cstdio>
#include <regex>

namespace snapagent {

namespace {

// Length of the valid UTF-8 sequence at pos that is not a control
// character, or 0.
size_t PrintableSequence(const std::string& text, size_t pos) {
    const unsigned char c = static_cast<unsigned char>(text[pos]);
    if (c >= 0x20 && c < 0x7F) return 1;
    if (c < 0xC2 || c > 0xF4) return 0;
    const size_t length = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (pos + length > text.size()) return 0;
    const std::string sequence = text.substr(pos, length);
    if (!IsValidUtf8(sequence)) return 0;
    // C1 controls U+0080..U+009F are C2 80..C2 9F.
    if (c == 0xC2 && static_cast<unsigned char>(text[pos + 1]) < 0xA0) return 0;
    return length;
}

}  // namespace

std::string PrintablePath(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (size_t i = 0; i < path.size();) {
        const size_t length = PrintableSequence(path, i);
        if (path[i] == '\\') {
            out += "\\\\";
        } else if (length) {
            out.append(path, i, length);
            i += length;
            continue;
        } else {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(path[i]));
            out += hex;
        }
        ++i;
    }
    return out;
}

std::string StatusName(uint32_t status) {
    switch (status) {
        case kItemCreated:
            return "created";
        case kItemModified:
            return "modified";
        case kItemAllKinds:
            return "renamed";
        case kItemDeleted:
            return "deleted";
        case kItemNoMore:
            return "no more";
        case kItemFailure:
            return "failure";
        default:
            return "status " + std::to_string(status);
    }
}

std::string DescribeItem(const FileServerSnapshotCompareItem& item) {
    std::string text = StatusName(item.uiStatus);
    text.resize(9, ' ');
    // The plug-in hands the name a file left (a rename half, a move to
    // another share, a removed hard link) as a folder path, so that the
    // agent drops whatever it held below it too. The name may be a file's:
    // it gets no "/", and the words say what the agent does with it.
    if (IsDeletionAsFolder(item)) {
        std::string path = item.strPath;
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        return text + PrintablePath(path) + " (as a folder: with anything below it)";
    }
    text += PrintablePath(item.strPath);
    if (item.stItemInfo.bRenamed && !item.strOldPath.empty())
        text += " (renamed from " + PrintablePath(item.strOldPath) + ")";
    return text;
}

bool IsDeletionAsFolder(const FileServerSnapshotCompareItem& item) {
    return item.uiStatus == kItemDeleted && !item.strOldPath.empty() &&
           item.strOldPath == item.strPath;
}

std::string WithoutLocations(const std::string& text) {
    static const std::regex kLocation("\n[ \t]*at [^\n]* \\([^()\n]*:[0-9]+\\)");
    return std::regex_replace(text, kLocation, "");
}

std::string OneLine(const std::string& text) {
    std::string out;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        size_t first = text.find_first_not_of(" \t\r", begin);
        if (first != std::string::npos && first < end) {
            size_t last = text.find_last_not_of(" \t\r", end - 1);
            out += (out.empty() ? "" : " | ") + text.substr(first, last - first + 1);
        }
        begin = end + 1;
    }
    return out;
}

std::vector<std::string> ChangeLines::Add(const FileServerSnapshotCompareItem& item) {
    std::vector<std::string> lines;
    if (m_bHeld) {
        const bool secondHalf =
            item.stItemInfo.bRenamed && item.stItemInfo.ullInode == m_held.stItemInfo.ullInode &&
            (item.strOldPath + "/" == m_held.strPath || item.strOldPath == m_held.strPath);
        m_bHeld = false;
        if (secondHalf) {
            std::string text =
                "renamed  " + PrintablePath(item.strOldPath) + " -> " + PrintablePath(item.strPath);
            if (item.uiStatus != kItemCreated && item.uiStatus != kItemAllKinds)
                text += " (" + StatusName(item.uiStatus) + ")";
            lines.push_back(text);
            return lines;
        }
        lines.push_back(DescribeItem(m_held));
    }
    if (IsDeletionAsFolder(item)) {
        m_held = item;
        m_bHeld = true;
    } else {
        lines.push_back(DescribeItem(item));
    }
    return lines;
}

std::vector<std::string> ChangeLines::Finish() {
    std::vector<std::string> lines;
    if (m_bHeld) lines.push_back(DescribeItem(m_held));
    m_bHeld = false;
    return lines;
}

std::string ErrorReason(const CRyError& error) {
    std::string reason = error.Message();
    const auto& frames = error.Frames();
    for (size_t i = 1; i < frames.size(); ++i)
        if (!frames[i].strMessage.empty())
            reason += (reason.empty() ? "" : ": ") + frames[i].strMessage;
    for (const std::string& argument : error.EventArguments())
        if (!OneLine(argument).empty()) reason += (reason.empty() ? "" : ": ") + argument;
    return OneLine(reason);
}

std::string ErrorLine(const CRyError& error, bool withLocations) {
    if (!error.IsError()) return "success";
    const std::string code = ErrorCode(error);
    std::string line = ErrorReason(error);
    line += line.empty() ? code : " (" + code + ")";
    if (withLocations)
        for (const auto& frame : error.Frames())
            line += " | at " + frame.location.strFunction + " (" + frame.location.strFile + ":" +
                    std::to_string(frame.location.iLine) + ")";
    return line;
}

std::string ErrorCode(const CRyError& error) {
    char code[48];
    switch (error.GetKind()) {
        case CRyError::kWin32:
            snprintf(code, sizeof code, "Win32 error %u", error.Win32Code());
            break;
        case CRyError::kEvent:
            snprintf(code, sizeof code, "event 0x%08X", error.EventId());
            break;
        default:
            snprintf(code, sizeof code, "status 0x%08X", static_cast<uint32_t>(error.Status()));
    }
    return code;
}

std::string Counted(size_t count, const std::string& singular, const std::string& plural) {
    return std::to_string(count) + " " + (count == 1 ? singular : plural);
}

}  // namespace snapagent
