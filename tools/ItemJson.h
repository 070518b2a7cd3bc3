// Compare items as JSON lines, one object per item: share, status, path,
// path_hex, old_path, old_path_hex, inode, mode, atime, mtime, ctime,
// attribute, renamed. Paths are bytes: path and old_path are JSON strings
// when the bytes are valid UTF-8 and null otherwise; the *_hex fields always
// give the exact bytes as lower-case hex.
#pragma once

#include "records/SnapRecords.h"

#include <nlohmann/json_fwd.hpp>
#include <string>

namespace snapagent {

bool IsValidUtf8(const std::string& bytes);
std::string LowerHex(const std::string& bytes);

// A path's value: the JSON string when valid UTF-8, else null.
nlohmann::ordered_json PathJson(const std::string& path);
// The item's fields, appended to object in the order above.
void AppendItemJson(const std::string& share, const FileServerSnapshotCompareItem& item,
                    nlohmann::ordered_json& object);

// One line, without the line feed.
std::string ItemJsonLine(const std::string& share, const FileServerSnapshotCompareItem& item);

}  // namespace snapagent
