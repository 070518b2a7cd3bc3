#include "host/VkMntTab.h"

#include "host/FXErrorUtil.h"
#include "host/VKPlatformInfo.h"

#include <mntent.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

namespace {
const char kSystemMountTable[] = "/proc/self/mounts";

std::string MountTablePath() {
    std::string path;
    if (VKPlatformInfo::getRegString("host", "mount_table", &path) && !path.empty()) return path;
    return kSystemMountTable;
}

// Reads the whole table at once: the kernel regenerates /proc/self/mounts on
// every read, and one consistent copy is what the share resolution needs.
CRyError ReadTable(const std::string& path, std::string& contents) {
    FILE* file = setmntent(path.c_str(), "r");
    if (!file) {
        int err = errno;
        return FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_FUNCTION_FAILED,
                                       "Unable to open mount table [%s]: %s", path.c_str(),
                                       strerror(err));
    }
    char chunk[8192];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) contents.append(chunk, n);
    bool failed = ferror(file) != 0;
    int err = errno;
    endmntent(file);
    if (failed)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_FUNCTION_FAILED,
                                       "Unable to read mount table [%s]: %s", path.c_str(),
                                       strerror(err));
    return CRyError::Success();
}

// Drops lines that hold a NUL byte: no mount table has them, and
// getmntent_r would take the NUL for a cut line and swallow the next entry.
// Returns the length of the longest line kept.
size_t DropCorruptLines(std::string& text) {
    std::string kept;
    kept.reserve(text.size());
    size_t longest = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (std::memchr(text.data() + start, '\0', end - start) == nullptr) {
            kept.append(text, start, end - start);
            kept += '\n';
            longest = std::max(longest, end - start);
        }
        start = end + 1;
    }
    text.swap(kept);
    return longest;
}
}  // namespace

CRyError VkMntTab::getAll(std::list<Entry>& entries) {
    const std::string path = MountTablePath();
    std::string contents;
    CRyError err = ReadTable(path, contents);
    if (err.IsError()) return err.Push(FX_LOCATION);
    const size_t longest = DropCorruptLines(contents);
    if (contents.empty()) return CRyError::Success();
    if (longest > static_cast<size_t>(INT_MAX) - 2)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_FUNCTION_FAILED,
                                       "Mount table [%s] has a line of %zu bytes", path.c_str(),
                                       longest);

    // getmntent_r cuts a line that does not fit its buffer and drops the
    // rest; a cut mount directory would cover paths it does not hold, so the
    // buffer takes the longest line whole.
    std::vector<char> buffer(longest + 2);
    FILE* stream = fmemopen(&contents[0], contents.size(), "r");
    if (!stream) {
        int errNo = errno;
        return FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_FUNCTION_FAILED,
                                       "Unable to parse mount table [%s]: %s", path.c_str(),
                                       strerror(errNo));
    }
    struct mntent entry;
    while (getmntent_r(stream, &entry, buffer.data(), static_cast<int>(buffer.size()))) {
        // A line without a mount directory mounts nothing.
        if (!entry.mnt_dir || !*entry.mnt_dir) continue;
        entries.push_back(Entry{entry.mnt_fsname ? entry.mnt_fsname : "", entry.mnt_dir,
                                entry.mnt_type ? entry.mnt_type : "",
                                entry.mnt_opts ? entry.mnt_opts : ""});
    }
    fclose(stream);
    return CRyError::Success();
}
