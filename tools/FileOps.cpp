#include "tools/FileOps.h"

#include "array/local/BtrfsSubvolume.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using hostlib::Status;

namespace snapagent {
namespace {

int MakeWritable(const char* path, const struct stat* st, int type, struct FTW*) {
    if (type == FTW_D || type == FTW_DNR) chmod(path, (st->st_mode & 07777) | S_IRWXU);
    return 0;
}

// A btrfs read-only snapshot cannot be emptied, even by root: a subvolume
// goes whole, with the snapshots below it, as the array deletes one.
int RemoveSubvolume(const char* path, const struct stat*, int type, struct FTW*) {
    if (type != FTW_D || !IsBtrfsSubvolume(path)) return FTW_CONTINUE;
    return DeleteBtrfsSubvolume(path, true).ok() ? FTW_SKIP_SUBTREE : FTW_CONTINUE;
}

int RemoveOne(const char* path, const struct stat*, int type, struct FTW*) {
    const int rc = (type == FTW_DP || type == FTW_D) ? rmdir(path) : unlink(path);
    return rc == 0 || errno == ENOENT ? 0 : -1;
}

}  // namespace

Status ErrnoFailure(const std::string& what, const std::string& path, int error) {
    std::string message = what + " [" + path + "]: " + strerror(error);
    return error == ENOENT ? Status::NotFound(std::move(message))
                           : Status::IOError(std::move(message));
}

Status MakeDirectories(const std::string& path, unsigned mode) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        const std::string prefix = path.substr(0, pos);
        if (mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST)
            return ErrnoFailure("cannot create directory", prefix);
    }
    return Status::OK();
}

Status WriteBytes(const std::string& path, const std::string& bytes, bool append, int mode) {
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | (append ? O_APPEND : O_TRUNC);
    const int fd = open(path.c_str(), flags, mode >= 0 ? mode : 0644);
    if (fd < 0) return ErrnoFailure("cannot open", path);
    if (mode >= 0 && fchmod(fd, static_cast<mode_t>(mode)) != 0) {
        const Status failed = ErrnoFailure("cannot set the mode of", path);
        close(fd);
        return failed;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            const Status failed = ErrnoFailure("cannot write", path);
            close(fd);
            return failed;
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0) return ErrnoFailure("cannot close", path);
    return Status::OK();
}

Status RenamePath(const std::string& from, const std::string& to) {
    if (rename(from.c_str(), to.c_str()) != 0)
        return ErrnoFailure("cannot rename", from + "] to [" + to);
    return Status::OK();
}

Status HardLink(const std::string& existing, const std::string& name) {
    if (link(existing.c_str(), name.c_str()) != 0) return ErrnoFailure("cannot link", name);
    return Status::OK();
}

Status SymbolicLink(const std::string& target, const std::string& name) {
    if (symlink(target.c_str(), name.c_str()) != 0) return ErrnoFailure("cannot create link", name);
    return Status::OK();
}

Status RemoveTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? Status::OK() : ErrnoFailure("cannot lstat", path);
    if (!S_ISDIR(st.st_mode))
        return unlink(path.c_str()) == 0 ? Status::OK() : ErrnoFailure("cannot remove", path);
    nftw(path.c_str(), RemoveSubvolume, 32, FTW_PHYS | FTW_ACTIONRETVAL);
    if (lstat(path.c_str(), &st) != 0 && errno == ENOENT) return Status::OK();
    // Read-only directories (snapshot copies) must be opened up before their
    // entries can go.
    nftw(path.c_str(), MakeWritable, 32, FTW_PHYS);
    if (nftw(path.c_str(), RemoveOne, 32, FTW_PHYS | FTW_DEPTH) != 0)
        return ErrnoFailure("cannot remove", path);
    return Status::OK();
}

Status RemoveRegularFile(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? Status::OK() : ErrnoFailure("cannot lstat", path);
    if (!S_ISREG(st.st_mode))
        return Status::InvalidArgument("not a regular file, left alone [" + path + "]");
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return ErrnoFailure("cannot remove", path);
    return Status::OK();
}

Status MakeAbsolute(std::string& path) {
    if (path.empty() || path[0] == '/') return Status::OK();
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return ErrnoFailure("cannot read the current folder", path);
    path = std::string(cwd) + "/" + path;
    return Status::OK();
}

bool WriteAndFlush(FILE* file, const std::string& text) {
    fwrite(text.data(), 1, text.size(), file);
    fflush(file);
    return !ferror(file);
}

Status MakeTempFolder(const std::string& prefix, std::string& path) {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) return ErrnoFailure("cannot create a folder like", pattern);
    path = buffer.data();
    return Status::OK();
}

}  // namespace snapagent
