#include "host/FXFile.h"

#include "host/FXErrorUtil.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace {
// open(2) flags for a stdio mode; -1 for a mode we do not know.
int OpenFlags(const char* mode) {
    const bool update = std::strchr(mode, '+') != nullptr;
    switch (mode[0]) {
        case 'r':
            return update ? O_RDWR : O_RDONLY;
        case 'w':
            return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        case 'a':
            return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        default:
            return -1;
    }
}
}  // namespace

CRyError FXFile::vkfopen(FILE*& file, const std::string& path, const char* mode) {
    file = nullptr;
    const int flags = OpenFlags(mode);
    int err = EINVAL;
    if (flags == O_RDONLY) {
        // Reading through a link cannot redirect anything we write.
        file = fopen(path.c_str(), mode);
        err = errno;
    } else if (flags > 0) {
        // The files we write (the snapshot map file) sit in the job results
        // folder and name the backed-up files: a link planted in their place
        // must not make us truncate or append to its target, and no other
        // local user may read them.
        const int fd = open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0600);
        err = errno;
        if (fd >= 0) {
            file = fdopen(fd, mode);
            err = errno;
            if (!file) close(fd);
        }
    }
    if (file) return CRyError::Success();
    return FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_FUNCTION_FAILED,
                                   "Cannot open [%s] with mode [%s]: %s", path.c_str(), mode,
                                   err == ELOOP ? "it is a symbolic link" : strerror(err));
}
