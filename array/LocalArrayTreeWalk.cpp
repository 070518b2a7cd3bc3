#include "array/LocalArrayTreeWalk.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

ArrayStatus WalkFailed(const std::string& what, const std::string& path, int error) {
    return ArrayStatus::Fail(kArrayErrInternal, what + " " + path + ": " + strerror(error));
}

struct PendingDir {
    std::string strPath;  // relative; empty for the volume root
    uint64_t ullInode;
};

// Lists one directory; the directory may have vanished (then it is empty).
ArrayStatus ReadDirectory(const std::string& volumeDir, const PendingDir& dir,
                          std::vector<LiveTreeEntry>& entries) {
    entries.clear();
    std::string full = dir.strPath.empty() ? volumeDir : volumeDir + "/" + dir.strPath;
    int fd = open(full.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // Gone or replaced by a non-directory since it was listed.
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) return ArrayStatus::Ok();
        return WalkFailed("cannot open directory", full, errno);
    }
    DIR* stream = fdopendir(fd);
    if (!stream) {
        int error = errno;
        close(fd);
        return WalkFailed("cannot read directory", full, error);
    }
    errno = 0;
    while (struct dirent* ent = readdir(stream)) {
        const char* name = ent->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || strcmp(name, ".snapshot") == 0) {
            errno = 0;
            continue;
        }
        LiveTreeEntry entry;
        if (fstatat(fd, name, &entry.st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                errno = 0;
                continue;
            }
            int error = errno;
            closedir(stream);
            return WalkFailed("cannot stat", full + "/" + name, error);
        }
        if (SnapDiffFileType(entry.st.st_mode) == 0) {
            errno = 0;
            continue;
        }
        entry.strPath = dir.strPath.empty() ? name : dir.strPath + "/" + name;
        entry.ullParentInode = dir.ullInode;
        entries.push_back(std::move(entry));
        errno = 0;
    }
    int error = errno;
    closedir(stream);
    if (error != 0) return WalkFailed("cannot read directory", full, error);
    return ArrayStatus::Ok();
}

}  // namespace

uint32_t SnapDiffFileType(mode_t mode) {
    if (S_ISREG(mode)) return 1;
    if (S_ISDIR(mode)) return 2;
    if (S_ISLNK(mode)) return 5;
    return 0;
}

ArrayStatus WalkLiveTree(const std::string& volumeDir, const LiveTreeVisitor& visit) {
    struct stat rootStat;
    if (lstat(volumeDir.c_str(), &rootStat) != 0) return WalkFailed("cannot stat", volumeDir, errno);
    // Explicit stack rather than recursion: a deep tree must not exhaust the
    // call stack or hold one open directory per level.
    std::vector<PendingDir> stack{PendingDir{std::string(), static_cast<uint64_t>(rootStat.st_ino)}};
    std::vector<LiveTreeEntry> entries;
    while (!stack.empty()) {
        PendingDir dir = std::move(stack.back());
        stack.pop_back();
        ArrayStatus status = ReadDirectory(volumeDir, dir, entries);
        if (!status.bOk) return status;
        for (LiveTreeEntry& entry : entries) {
            bool skip = false;
            status = visit(entry, skip);
            if (!status.bOk) return status;
            if (!skip && S_ISDIR(entry.st.st_mode))
                stack.push_back(PendingDir{entry.strPath, static_cast<uint64_t>(entry.st.st_ino)});
        }
    }
    return ArrayStatus::Ok();
}
