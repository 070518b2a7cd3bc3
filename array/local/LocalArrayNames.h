// Names on the local array: the checks that keep every volume, snapshot and
// export path inside the array's root, and the escaping with which SnapDiff
// hands file names to NFS clients.
//
// A name (volume or snapshot) is one directory entry: it is refused when it
// is empty, "." or "..", holds "/" or a NUL byte, or is too long to be a file
// name once the array adds its own suffix. Refusals carry
// Status::kInvalidArgument and a message naming what was refused.
#pragma once

#include "hostlib/Status.h"

#include <string>
#include <vector>

// Longest volume or snapshot name; leaves room for the catalog's suffixes
// within one 255-byte directory entry.
constexpr size_t kLocalArrayMaxNameLength = 240;

// Checks one name; kind ("volume", "snapshot") goes into the message.
hostlib::Status CheckLocalArrayName(const std::string& kind, const std::string& name);

// Splits "/vol/<volume>/<a>/<b>" into the volume and the components below
// it, dropping empty components (doubled or trailing "/"). Refuses a path
// that does not begin with /vol/, and "." or ".." or NUL in any component.
hostlib::Status SplitVolumePath(const std::string& path, std::string& volume,
                                std::vector<std::string>& below);

// Escapes a file name as SnapDiff returns it over NFS: bytes 9, 10, 13 and
// 32..126 pass unchanged except the backslash; every other byte becomes
// "\XX" with two upper-case hexadecimal digits.
std::string EscapeSnapDiffName(const std::string& name);
