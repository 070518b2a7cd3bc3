#include "array/local/BtrfsSubvolume.h"

#include <btrfsutil.h>
#include <linux/btrfs_tree.h>
#include <linux/capability.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

using hostlib::Status;

namespace {

// libbtrfsutil's own text and, where it set one, the system's reason.
Status Failed(const std::string& what, const std::string& path, btrfs_util_error error) {
    std::string reason = btrfs_util_strerror(error);
    if (errno != 0) reason += std::string(": ") + strerror(errno);
    return Status::IOError("cannot " + what + " " + path + ": " + reason);
}

bool IsRealFolder(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool IsOnBtrfs(const std::string& path) {
    struct statfs fs;
    return statfs(path.c_str(), &fs) == 0 && fs.f_type == BTRFS_SUPER_MAGIC;
}

bool IsBtrfsSubvolume(const std::string& path) {
    return IsRealFolder(path) && btrfs_util_is_subvolume(path.c_str()) == BTRFS_UTIL_OK;
}

bool MayDeleteBtrfsSnapshots() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_SYS_ADMIN / 32].effective & (1u << (CAP_SYS_ADMIN % 32))) != 0;
}

Status MakeBtrfsSubvolume(const std::string& path) {
    errno = 0;
    btrfs_util_error error = btrfs_util_create_subvolume(path.c_str(), 0, nullptr, nullptr);
    return error == BTRFS_UTIL_OK ? Status::OK() : Failed("make the btrfs subvolume", path, error);
}

Status MakeReadOnlyBtrfsSnapshot(const std::string& source, const std::string& target) {
    errno = 0;
    btrfs_util_error error = btrfs_util_create_snapshot(
        source.c_str(), target.c_str(), BTRFS_UTIL_CREATE_SNAPSHOT_READ_ONLY, nullptr, nullptr);
    return error == BTRFS_UTIL_OK
               ? Status::OK()
               : Failed("make a read-only btrfs snapshot of " + source + " at", target, error);
}

Status DeleteBtrfsSubvolume(const std::string& path, bool withNested) {
    errno = 0;
    btrfs_util_error error = btrfs_util_delete_subvolume(
        path.c_str(), withNested ? BTRFS_UTIL_DELETE_SUBVOLUME_RECURSIVE : 0);
    if (error == BTRFS_UTIL_OK) return Status::OK();
    const Status status = Failed("delete the btrfs snapshot", path, error);
    if (MayDeleteBtrfsSnapshots()) return status;
    return status.WithMessage(status.message() +
                              " (deleting a btrfs snapshot needs root: CAP_SYS_ADMIN)");
}
