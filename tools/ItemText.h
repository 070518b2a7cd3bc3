// Human-readable forms of what the plug-in delivers and reports: paths with
// invalid or control bytes shown as \xHH, one compare item on one line, a
// rename on one line, and an error on one line with its reason first.
#pragma once

#include "host/CRyError.h"
#include "records/SnapRecords.h"

#include <string>
#include <vector>

namespace snapagent {

// Valid UTF-8 passes through as it is, except "\" which becomes "\\";
// control characters (C0, DEL, C1) and bytes that are not part of valid
// UTF-8 become \xHH, so that the line stays one line and shows the exact
// bytes of a name that is not text.
std::string PrintablePath(const std::string& path);

// "created", "modified", "renamed", "deleted", "no more", "failure", or
// "status N" for a value the agent does not know.
std::string StatusName(uint32_t status);

// Whether the item is a name the plug-in deletes as a folder path whatever
// it named (its path and old path the same): the first half of a rename,
// a file moved to another share, a removed hard link.
bool IsDeletionAsFolder(const FileServerSnapshotCompareItem& item);

// e.g. "created  /mnt/a/new.txt (renamed from /mnt/a/old.txt)"; a folder's
// path ends with "/", and a deletion as a folder says so in words.
std::string DescribeItem(const FileServerSnapshotCompareItem& item);

// The text without the code locations an error's text carries ("\n  at
// FUNCTION (FILE:LINE)"), which mean nothing to an operator.
std::string WithoutLocations(const std::string& text);

// The lines of a multi-line text joined with " | ".
std::string OneLine(const std::string& text);

// Writes a share's change list one line per change, as DescribeItem does,
// except that the plug-in's two halves of a rename (the deletion of the old
// path, delivered as a directory path "OLD/", right before the renamed item
// of the same inode) become the one line "renamed  OLD -> NEW".
class ChangeLines {
public:
    // Lines that are complete; a deletion may wait for the next item.
    std::vector<std::string> Add(const FileServerSnapshotCompareItem& item);
    std::vector<std::string> Finish();  // end of the share's list

private:
    bool m_bHeld = false;
    FileServerSnapshotCompareItem m_held;
};

// An error on one line a person can act on: the innermost reason first (the
// message where the error was built, then each caller's, then the event's
// arguments), then its code ("Win32 error 1627", "event 0x11000086"). With
// locations, each code location follows after " | at ".
std::string ErrorLine(const CRyError& error, bool withLocations);
// Its parts: the reasons alone (may be empty), and the code alone ("Win32
// error 1627", "event 0x11000086", "status 0x...").
std::string ErrorReason(const CRyError& error);
std::string ErrorCode(const CRyError& error);

// "1 change", "2 changes".
std::string Counted(size_t count, const std::string& singular, const std::string& plural);

}  // namespace snapagent
