#include "host/FXPath.h"

#include "host/FXErrorUtil.h"

#include <sys/stat.h>
#include <cerrno>
#include <cstring>

namespace {
// The path without trailing delimiters, except that "/" stays "/".
std::string Normalised(const std::string& path) {
    std::string out = path;
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}
}  // namespace

bool FXPath::IsDescendantOf(const std::string& path, const std::string& dir, bool orEqual) {
    // An empty directory names no place; it must not cover every path.
    if (path.empty() || dir.empty()) return false;
    std::string p = Normalised(path);
    std::string d = Normalised(dir);
    if (p == d) return orEqual;
    if (d == "/") return !p.empty() && p[0] == '/';
    return p.size() > d.size() && p.compare(0, d.size(), d) == 0 && p[d.size()] == '/';
}

bool FXPath::IsAncestorOf(const std::string& dir, const std::string& path, bool orEqual) {
    return IsDescendantOf(path, dir, orEqual);
}

void FXPath::RemovePathFromFileName(std::string& path, const std::string& dir) {
    if (!IsDescendantOf(path, dir, false)) return;
    std::string d = Normalised(dir);
    path.erase(0, d == "/" ? 0 : d.size());
}

CRyError FXPath::Append(std::string& path, const std::string& part, int) {
    if (part.empty()) return CRyError::Success();
    bool endsWithSlash = !path.empty() && path.back() == '/';
    bool startsWithSlash = part.front() == '/';
    if (endsWithSlash && startsWithSlash)
        path.append(part, 1, std::string::npos);
    else if (!endsWithSlash && !startsWithSlash && !path.empty())
        path += "/" + part;
    else
        path += part;
    return CRyError::Success();
}

void FXPath::AppendTrailingDelimiter(std::string& path) {
    if (!path.empty() && path.back() != '/') path += '/';
}

void FXPath::RemoveTrailingDelimiter(std::string& path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
}

CRyError FXPath::DoesPathExist(const std::string& path, bool& exists) {
    exists = false;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        int err = errno;
        return FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_FUNCTION_FAILED,
                                       "Path [%s] is not accessible: %s", path.c_str(),
                                       strerror(err));
    }
    exists = true;
    return CRyError::Success();
}
