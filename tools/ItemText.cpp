#include "tools/ItemText.h"

#include <cstdio>

namespace snapagent {

std::string PrintablePath(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (unsigned char c : path) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c <= 0x7E) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string StatusName(uint32_t status) {
    switch (status) {
        case kItemCreated: return "created";
        case kItemModified: return "modified";
        case kItemAllKinds: return "renamed";
        case kItemDeleted: return "deleted";
        case kItemNoMore: return "no more";
        case kItemFailure: return "failure";
        default: return "status " + std::to_string(status);
    }
}

std::string DescribeItem(const FileServerSnapshotCompareItem& item) {
    std::string text = StatusName(item.uiStatus);
    text.resize(9, ' ');
    text += PrintablePath(item.strPath);
    if (item.stItemInfo.bRenamed && !item.strOldPath.empty())
        text += " (renamed from " + PrintablePath(item.strOldPath) + ")";
    return text;
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

}  // namespace snapagent
