#include "tools/ItemJson.h"

#include <cstring>
#include <nlohmann/json.hpp>

namespace snapagent {

nlohmann::ordered_json PathJson(const std::string& path) {
    return IsValidUtf8(path) ? nlohmann::ordered_json(path) : nlohmann::ordered_json(nullptr);
}

void AppendItemJson(const std::string& share, const FileServerSnapshotCompareItem& item,
                    nlohmann::ordered_json& line) {
    line["share"] = PathJson(share);
    line["share_hex"] = HexOfBytes(share, false);
    line["status"] = item.uiStatus;
    line["path"] = PathJson(item.strPath);
    line["path_hex"] = HexOfBytes(item.strPath, false);
    line["old_path"] = PathJson(item.strOldPath);
    line["old_path_hex"] = HexOfBytes(item.strOldPath, false);
    line["inode"] = item.stItemInfo.ullInode;
    line["mode"] = item.stItemInfo.uiMode;
    line["atime"] = item.stItemInfo.llAtime;
    line["mtime"] = item.stItemInfo.llMtime;
    line["ctime"] = item.stItemInfo.llCtime;
    line["attribute"] = item.stItemInfo.llAttribute;
    line["renamed"] = item.stItemInfo.bRenamed;
}

bool BytesOfHex(const std::string& hex, std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    if (hex.size() % 2) return false;
    bytes.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const char* high = strchr(kDigits, hex[i]);
        const char* low = strchr(kDigits, hex[i + 1]);
        if (!hex[i] || !hex[i + 1] || !high || !low) return false;
        bytes.push_back(static_cast<char>((high - kDigits) * 16 + (low - kDigits)));
    }
    return true;
}

std::string ItemJsonLine(const std::string& share, const FileServerSnapshotCompareItem& item) {
    nlohmann::ordered_json line;
    AppendItemJson(share, item, line);
    return line.dump();
}

std::string OutcomeName(const ShareResult& share) {
    if (share.bDropped) return "not_backed_up";
    if (share.bCompared) return "compared";
    return share.bFull ? "full" : "needs_full_scan";
}

void AppendShareSummaryJson(const ShareResult& share, const nlohmann::ordered_json& reason,
                            nlohmann::ordered_json& line) {
    line["share"] = PathJson(share.strShare);
    line["share_hex"] = HexOfBytes(share.strShare, false);
    line["outcome"] = OutcomeName(share);
    line["changes"] = share.nItems;
    const std::string outcome = line["outcome"];
    const bool asAsked =
        outcome == "compared" || (outcome == "full" && share.strFullScanReason == kFullJobReason);
    line["reason"] = asAsked ? nullptr : reason;
}

}  // namespace snapagent
