// Path utilities on byte strings with "/" as the only delimiter. No letter
// case folding; repeated delimiters are not collapsed.
#pragma once

#include "host/CRyError.h"

#include <string>

namespace FXPath {
// True when path equals dir (orEqual) or lies below it, by whole components.
// A trailing "/" on either side is ignored.
bool IsDescendantOf(const std::string& path, const std::string& dir, bool orEqual);
bool IsAncestorOf(const std::string& dir, const std::string& path, bool orEqual);
// Removes dir from the front of path, leaving the part below it (with its
// leading "/"); path is left unchanged when it does not lie below dir.
void RemovePathFromFileName(std::string& path, const std::string& dir);
// Appends part to path with exactly one "/" between them.
CRyError Append(std::string& path, const std::string& part, int flags);
// Ends path with one "/" (an empty path stays empty).
void AppendTrailingDelimiter(std::string& path);
// Removes every trailing "/" except when the path is "/" itself.
void RemoveTrailingDelimiter(std::string& path);
// Error when the path cannot be reached (lstat fails); exists set on success.
CRyError DoesPathExist(const std::string& path, bool& exists);
}  // namespace FXPath
