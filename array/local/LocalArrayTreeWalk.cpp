#include "array/local/LocalArrayTreeWalk.h"

#include "array/local/LocalArrayDigest.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

using hostlib::Status;

namespace {

Status WalkFailed(const std::string& what, const std::string& path, int error) {
    return Status::IOError(what + " " + path + ": " + strerror(error));
}

const unsigned kStatxWanted = STATX_BASIC_STATS | STATX_BTIME | STATX_MNT_ID;

// Where an item lives: a name whose file system or mount differs from the
// root's is another file system mounted below the volume.
struct Place {
    uint64_t ullDevice = 0;
    uint64_t ullMount = 0;
    bool bHasMount = false;
    bool operator!=(const Place& o) const {
        return ullDevice != o.ullDevice || (bHasMount && o.bHasMount && ullMount != o.ullMount);
    }
};

void FromStatx(const struct statx& x, struct stat& st, Place& place) {
    memset(&st, 0, sizeof(st));
    st.st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
    st.st_ino = x.stx_ino;
    st.st_mode = x.stx_mode;
    st.st_nlink = x.stx_nlink;
    st.st_uid = x.stx_uid;
    st.st_gid = x.stx_gid;
    st.st_rdev = makedev(x.stx_rdev_major, x.stx_rdev_minor);
    st.st_size = static_cast<off_t>(x.stx_size);
    st.st_blksize = x.stx_blksize;
    st.st_blocks = static_cast<blkcnt_t>(x.stx_blocks);
    st.st_atim = {x.stx_atime.tv_sec, x.stx_atime.tv_nsec};
    st.st_mtim = {x.stx_mtime.tv_sec, x.stx_mtime.tv_nsec};
    st.st_ctim = {x.stx_ctime.tv_sec, x.stx_ctime.tv_nsec};
    place.ullDevice = st.st_dev;
    place.bHasMount = (x.stx_mask & STATX_MNT_ID) != 0;
    place.ullMount = x.stx_mnt_id;
}

// The generation from what the file system has: the inode generation where
// fd (when not -1) answers for it, and the birth time.
uint64_t GenerationOf(const struct statx& x, int fd) {
    int version = 0;
    const bool hasVersion = fd >= 0 && ioctl(fd, FS_IOC_GETVERSION, &version) == 0;
    const bool hasBirth = (x.stx_mask & STATX_BTIME) != 0;
    if (!hasVersion && !hasBirth) return 0;
    const int64_t parts[4] = {hasVersion ? 1 : 0, version, hasBirth ? x.stx_btime.tv_sec : 0,
                              hasBirth ? x.stx_btime.tv_nsec : 0};
    return DigestOf(parts, sizeof(parts));
}

uint32_t FlagsOf(int fd) {
    unsigned flags = 0;  // the ioctl takes an int whatever its name says
    return fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 ? flags : 0;
}

// Opens a directory (or, with O_RDONLY, a file) of the live tree without
// moving its access time where the process may.
int OpenLive(int at, const char* name, int flags) {
    flags |= O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    int fd = openat(at, name, flags | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = openat(at, name, flags);
    return fd;
}

// The generation and flags of a regular file, read through a short-lived
// descriptor; a file the process may not open has its birth time alone.
void IdentifyFile(int dirFd, const char* name, const struct statx& x, LiveTreeEntry& entry) {
    const int fd = S_ISREG(x.stx_mode) ? OpenLive(dirFd, name, O_RDONLY) : -1;
    entry.ullGeneration = GenerationOf(x, fd);
    entry.uiInodeFlags = FlagsOf(fd);
    if (fd >= 0) close(fd);
}

struct WalkState {
    std::string volumeDir;
    Place root;
    std::vector<CatalogLeftOut>* leftOut;
};

// Lists one directory into entries and fills its own stat, identity and
// name digest; gone is set when it vanished or stopped being a directory
// since its parent was listed. arrayFolder: its ".snapshot" is the array's
// and is left out.
Status ReadDirectory(WalkState& walk, LiveTreeEntry& dir, bool arrayFolder,
                     std::vector<LiveTreeEntry>& entries, bool& gone) {
    entries.clear();
    gone = false;
    std::string full = dir.strPath.empty() ? walk.volumeDir : walk.volumeDir + "/" + dir.strPath;
    int fd = OpenLive(AT_FDCWD, full.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        gone = errno == ENOENT || errno == ENOTDIR || errno == ELOOP;
        return gone ? Status::OK() : WalkFailed("cannot open directory", full, errno);
    }
    // Its state before the names are read: a name added meanwhile also moves
    // its times, so the next snapshot sees the directory changed.
    struct statx x;
    Place place;
    if (statx(fd, "", AT_EMPTY_PATH, kStatxWanted, &x) != 0) {
        int error = errno;
        close(fd);
        return WalkFailed("cannot stat", full, error);
    }
    FromStatx(x, dir.st, place);
    if (dir.strPath.empty()) walk.root = place;
    // The root is the volume itself, whatever inode shows it: a btrfs
    // snapshot's root is born with the snapshot, and a new generation there
    // would read as the share deleted and made again.
    dir.ullGeneration = dir.strPath.empty() ? 0 : GenerationOf(x, fd);
    dir.uiInodeFlags = FlagsOf(fd);
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
        entry.strPath = dir.strPath.empty() ? name : dir.strPath + "/" + name;
        if (statx(fd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, kStatxWanted, &x) != 0) {
            if (errno == ENOENT) {
                errno = 0;
                continue;
            }
            int error = errno;
            closedir(stream);
            return WalkFailed("cannot stat", full + "/" + name, error);
        }
        FromStatx(x, entry.st, place);
        if (place != walk.root) {
            if (walk.leftOut)
                walk.leftOut->push_back(
                    CatalogLeftOut{CatalogLeftOut::kOtherFileSystem, entry.strPath});
            errno = 0;
            continue;
        }
        if (!S_ISDIR(x.stx_mode)) IdentifyFile(fd, name, x, entry);
        entry.ullParentInode = dir.st.st_ino;
        entry.ullParentGeneration = dir.ullGeneration;
        entries.push_back(std::move(entry));
        errno = 0;
    }
    int error = errno;
    closedir(stream);
    if (error != 0) return WalkFailed("cannot read directory", full, error);
    dir.bHasDigest = true;
    dir.ullDigest = digest;
    return Status::OK();
}

}  // namespace

Status IdentifyLiveItem(const std::string& path, LiveTreeEntry& entry) {
    struct statx x;
    Place place;
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, kStatxWanted, &x) != 0)
        return WalkFailed("cannot stat", path, errno);
    FromStatx(x, entry.st, place);
    const bool dir = S_ISDIR(x.stx_mode);
    const int fd = dir || S_ISREG(x.stx_mode)
                       ? OpenLive(AT_FDCWD, path.c_str(), O_RDONLY | (dir ? O_DIRECTORY : 0))
                       : -1;
    entry.ullGeneration = GenerationOf(x, fd);
    entry.uiInodeFlags = FlagsOf(fd);
    if (fd >= 0) close(fd);
    return Status::OK();
}

uint32_t SnapDiffFileType(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFREG:
            return 1;
        case S_IFDIR:
            return 2;
        case S_IFBLK:
            return 3;
        case S_IFCHR:
            return 4;
        case S_IFLNK:
            return 5;
        case S_IFSOCK:
            return 6;
        case S_IFIFO:
            return 7;
    }
    return 0;
}

Status WalkLiveTree(const std::string& volumeDir, const std::set<std::string>& arrayFolders,
                    const LiveTreeVisitor& visit, std::vector<CatalogLeftOut>* leftOut) {
    const size_t longest = PATH_MAX - kLongPathMargin;
    WalkState walk{volumeDir, Place(), leftOut};
    // Explicit stack rather than recursion: a deep tree must not exhaust the
    // call stack or hold one open directory per level. The root comes first.
    std::vector<LiveTreeEntry> stack(1);
    std::vector<LiveTreeEntry> entries;
    bool root = true;
    while (!stack.empty()) {
        LiveTreeEntry dir = std::move(stack.back());
        stack.pop_back();
        bool gone = false;
        Status status =
            ReadDirectory(walk, dir, arrayFolders.count(dir.strPath) != 0, entries, gone);
        if (!status.ok()) return status;
        if (gone && root) return WalkFailed("cannot open directory", volumeDir, ENOENT);
        root = false;
        if (gone) continue;
        bool skip = false;
        status = visit(dir, skip);
        if (!status.ok()) return status;
        if (skip) continue;
        for (LiveTreeEntry& entry : entries) {
            if (volumeDir.size() + 1 + entry.strPath.size() > longest) {
                if (leftOut)
                    leftOut->push_back(CatalogLeftOut{CatalogLeftOut::kPathTooLong, entry.strPath});
                continue;
            }
            if (S_ISDIR(entry.st.st_mode)) {
                stack.push_back(std::move(entry));
                continue;
            }
            skip = false;
            status = visit(entry, skip);
            if (!status.ok()) return status;
        }
    }
    return Status::OK();
}
