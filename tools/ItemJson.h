// Compare items as JSON lines, one object per item: share, status, path,
// path_hex, old_path, old_path_hex, inode, mode, atime, mtime, ctime,
// attribute, renamed. Paths are bytes: path and old_path are JSON strings
// when the bytes are valid UTF-8 and null otherwise; the *_hex fields always
// give the exact bytes as lower-case hex.
#pragma once

#include "hostlib/TextBytes.h"
#include "records/SnapRecords.h"
#include "tools/JobRunner.h"

#include <nlohmann/json_fwd.hpp>
#include <string>

namespace snapagent {

// A path's value: the JSON string when valid UTF-8, else null.
nlohmann::ordered_json PathJson(const std::string& path);
// The item's fields, appended to object in the order above.
void AppendItemJson(const std::string& share, const FileServerSnapshotCompareItem& item,
                    nlohmann::ordered_json& object);

// The bytes a *_hex field spells; false when it is not lower-case hex.
bool BytesOfHex(const std::string& hex, std::string& bytes);

// One line, without the line feed.
std::string ItemJsonLine(const std::string& share, const FileServerSnapshotCompareItem& item);

// A share's outcome, one of "compared", "full", "needs_full_scan",
// "not_backed_up" (docs/json.md).
std::string OutcomeName(const ShareResult& share);
// The summary of a share, after its items: share, share_hex, outcome,
// changes, reason (null when compared or backed up in full as asked). The
// "outcome" field tells it apart from an item. reason is the reason's JSON.
void AppendShareSummaryJson(const ShareResult& share, const nlohmann::ordered_json& reason,
                            nlohmann::ordered_json& object);

}  // namespace snapagent
