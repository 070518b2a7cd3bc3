#include "array/local/LocalArrayTreeWalk.h"

#include "array/local/LocalArrayDigest.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

namespace {

ArrayStatus WalkFailed(const std::string& what, const std::string& path, int error) {
    return ArrayStatus::Fail(kArrayErrInternal, what + " " + path + ": " + strerror(error));
}

// Lists one directory into entries and fills its own stat and name digest;
// gone is set when it vanished or stopped being a directory since its parent
// was listed. arrayFolder: its ".snapshot" is the array's and is left out.
ArrayStatus ReadDirectory(const std::string& volumeDir, LiveTreeEntry& dir, bool arrayFolder,
                          std::vector<LiveTreeEntry>& entries, bool& gone) {
    entries.clear();
    gone = false;
    std::string full = dir.strPath.empty() ? volumeDir : volumeDir + "/" + dir.strPath;
    int fd = open(full.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        gone = errno == ENOENT || errno == ENOTDIR || errno == ELOOP;
        return gone ? ArrayStatus::Ok() : WalkFailed("cannot open directory", full, errno);
    }
    // Its state before the names are read: a name added meanwhile also moves
    // its times, so the next snapshot sees the directory changed.
    if (fstat(fd, &dir.st) != 0) {
        int error = errno;
        close(fd);
        return WalkFailed("cannot stat", full, error);
    }
    DIR* stream = fdopendir(fd);
    if (!stream) {
        int error = errno;
        close(fd);
        return WalkFailed("cannot read directory", full, error);
    }
    // The names are summed, each digested with its inode, so that the order
    // in which the file system lists them does not matter.
    uint64_t digest = 0;
    errno = 0;
    while (struct dirent* ent = readdir(stream)) {
        const char* name = ent->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 ||
            (arrayFolder && strcmp(name, ".snapshot") == 0)) {
            errno = 0;
            continue;
        }
        ContentDigest named;
        uint64_t inode = ent->d_ino;
        named.Update(&inode, sizeof(inode));
        named.Update(name, strlen(name));
        digest += named.Value();
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
        entry.ullParentInode = dir.st.st_ino;
        entries.push_back(std::move(entry));
        errno = 0;
    }
    int error = errno;
    closedir(stream);
    if (error != 0) return WalkFailed("cannot read directory", full, error);
    dir.bHasDigest = true;
    dir.ullDigest = digest;
    return ArrayStatus::Ok();
}

}  // namespace

uint32_t SnapDiffFileType(mode_t mode) {
    if (S_ISREG(mode)) return 1;
    if (S_ISDIR(mode)) return 2;
    if (S_ISLNK(mode)) return 5;
    return 0;
}

ArrayStatus WalkLiveTree(const std::string& volumeDir, const std::set<std::string>& arrayFolders,
                         const LiveTreeVisitor& visit, std::vector<std::string>* leftOut) {
    const size_t longest = PATH_MAX - kLongPathMargin;
    // Explicit stack rather than recursion: a deep tree must not exhaust the
    // call stack or hold one open directory per level. The root comes first
    // and is not visited: the volume is not one of its own names.
    std::vector<LiveTreeEntry> stack(1);
    std::vector<LiveTreeEntry> entries;
    bool root = true;
    while (!stack.empty()) {
        LiveTreeEntry dir = std::move(stack.back());
        stack.pop_back();
        bool gone = false;
        ArrayStatus status =
            ReadDirectory(volumeDir, dir, arrayFolders.count(dir.strPath) != 0, entries, gone);
        if (!status.bOk) return status;
        if (gone && root) return WalkFailed("cannot open directory", volumeDir, ENOENT);
        if (gone) continue;
        if (!root) {
            bool skip = false;
            status = visit(dir, skip);
            if (!status.bOk) return status;
            if (skip) continue;
        }
        root = false;
        for (LiveTreeEntry& entry : entries) {
            if (volumeDir.size() + 1 + entry.strPath.size() > longest) {
                if (leftOut) leftOut->push_back(entry.strPath);
                continue;
            }
            if (S_ISDIR(entry.st.st_mode)) {
                stack.push_back(std::move(entry));
                continue;
            }
            bool skip = false;
            status = visit(entry, skip);
            if (!status.bOk) return status;
        }
    }
    return ArrayStatus::Ok();
}
