// Human-readable forms of what the plug-in delivers and reports: paths with
// unprintable bytes shown as \xHH, one compare item on one line, and an
// error's text (which spans lines, one per code location) on one line.
#pragma once

#include "records/SnapRecords.h"

#include <string>

namespace snapagent {

// Bytes 0x20..0x7E pass through, except "\" which becomes "\\"; every other
// byte becomes \xHH, so that the line stays one line and shows the exact bytes.
std::string PrintablePath(const std::string& path);

// "created", "modified", "renamed", "deleted", "no more", "failure", or
// "status N" for a value the agent does not know.
std::string StatusName(uint32_t status);

// e.g. "created  /mnt/a/new.txt (renamed from /mnt/a/old.txt)".
std::string DescribeItem(const FileServerSnapshotCompareItem& item);

// The lines of a multi-line text joined with " | ".
std::string OneLine(const std::string& text);

}  // namespace snapagent
