#include "tools/ItemJson.h"

#include <nlohmann/json.hpp>

namespace snapagent {

bool IsValidUtf8(const std::string& bytes) {
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        size_t length;
        uint32_t codePoint;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            codePoint = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            codePoint = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            codePoint = c & 0x07;
        } else {
            return false;
        }
        if (i + length > n) return false;
        for (size_t k = 1; k < length; ++k) {
            const unsigned char cc = static_cast<unsigned char>(bytes[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            codePoint = (codePoint << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000) ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF)
            return false;
        i += length;
    }
    return true;
}

std::string LowerHex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 0x0F];
    }
    return out;
}

nlohmann::ordered_json PathJson(const std::string& path) {
    return IsValidUtf8(path) ? nlohmann::ordered_json(path) : nlohmann::ordered_json(nullptr);
}

void AppendItemJson(const std::string& share, const FileServerSnapshotCompareItem& item,
                    nlohmann::ordered_json& line) {
    line["share"] = PathJson(share);
    line["share_hex"] = LowerHex(share);
    line["status"] = item.uiStatus;
    line["path"] = PathJson(item.strPath);
    line["path_hex"] = LowerHex(item.strPath);
    line["old_path"] = PathJson(item.strOldPath);
    line["old_path_hex"] = LowerHex(item.strOldPath);
    line["inode"] = item.stItemInfo.ullInode;
    line["mode"] = item.stItemInfo.uiMode;
    line["atime"] = item.stItemInfo.llAtime;
    line["mtime"] = item.stItemInfo.llMtime;
    line["ctime"] = item.stItemInfo.llCtime;
    line["attribute"] = item.stItemInfo.llAttribute;
    line["renamed"] = item.stItemInfo.bRenamed;
}

std::string ItemJsonLine(const std::string& share, const FileServerSnapshotCompareItem& item) {
    nlohmann::ordered_json line;
    AppendItemJson(share, item, line);
    return line.dump();
}

std::string OutcomeName(const ShareResult& share) {
    if (share.bDropped) return "not_backed_up";
    if (share.bCompared) return "compared";
    return share.strFullScanReason == kFullJobReason ? "full" : "needs_full_scan";
}

void AppendShareSummaryJson(const ShareResult& share, const nlohmann::ordered_json& reason,
                            nlohmann::ordered_json& line) {
    line["share"] = PathJson(share.strShare);
    line["share_hex"] = LowerHex(share.strShare);
    line["outcome"] = OutcomeName(share);
    line["changes"] = share.nItems;
    const std::string outcome = line["outcome"];
    line["reason"] = outcome == "compared" || outcome == "full" ? nullptr : reason;
}

}  // namespace snapagent
