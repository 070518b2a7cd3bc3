#include "array/local/LocalArraySnapshotCopy.h"

#include "array/local/LocalArrayDigest.h"
#include "array/local/LocalArrayOperator.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <limits>

using hostlib::Status;

namespace {

const size_t kCopyBufferSize = size_t(1) << 20;
// Copies of a file that is written meanwhile before it is recorded as it
// was before the last one.
const int kCopyAttempts = 3;

Status CopyFailed(const std::string& what, const std::string& path, int error) {
    return Status::IOError(what + " " + path + ": " + strerror(error));
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0) close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// Opens a live file for reading without disturbing its access time when the
// file system lets us.
int OpenSource(const std::string& path) {
    int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC;
    int fd = open(path.c_str(), flags | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = open(path.c_str(), flags);
    return fd;
}

// The next piece of data at or after offset, as [start, end) where end is
// where the next hole begins; false at the end of the file. A file system
// that cannot say where its holes are shows the whole file as data.
bool NextData(int fd, off_t offset, off_t& start, off_t& end) {
    start = lseek(fd, offset, SEEK_DATA);
    if (start < 0) {
        if (errno == ENXIO) return false;
        start = offset;
    }
    end = lseek(fd, start, SEEK_HOLE);
    if (end < 0) end = std::numeric_limits<off_t>::max();
    return true;
}

// Reads a file to its end into digest, writing each piece to target too when
// target is not -1. The snapshot records a digest of exactly the bytes its
// copy holds, so the bytes pass through our buffer once either way: an
// in-kernel copy (copy_file_range) would have them read a second time.
// Holes are skipped, neither read nor written (target keeps them as holes);
// where a file has any, the digest covers where they are as well, so that
// a file without holes has the digest of its bytes alone. step, when set, is
// called after each piece.
bool DigestBytes(int source, int target, std::vector<char>& buffer, uint64_t& value,
                 const std::function<void(const char*)>& step) {
    ContentDigest digest, holes;
    bool holed = false;
    off_t offset = 0, start = 0, end = 0;
    while (NextData(source, offset, start, end)) {
        if (start > offset) {
            const int64_t hole[2] = {offset, start - offset};
            holes.Update(hole, sizeof(hole));
            holed = true;
        }
        for (offset = start; offset < end;) {
            const size_t want = static_cast<size_t>(
                std::min<off_t>(end - offset, static_cast<off_t>(buffer.size())));
            ssize_t n = pread(source, buffer.data(), want, offset);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) break;  // the end of the file
            digest.Update(buffer.data(), static_cast<size_t>(n));
            for (ssize_t done = 0; target >= 0 && done < n;) {
                ssize_t w = pwrite(target, buffer.data() + done, n - done, offset + done);
                if (w < 0 && errno == EINTR) continue;
                if (w < 0) return false;
                done += w;
            }
            offset += n;
            if (step) step("piece");
        }
        if (offset < end) break;
    }
    const off_t size = lseek(source, 0, SEEK_END);
    if (size < 0) return false;
    if (size > offset) {
        const int64_t hole[2] = {offset, size - offset};
        holes.Update(hole, sizeof(hole));
        holed = true;
    }
    if (target >= 0 && ftruncate(target, std::max(size, offset)) != 0) return false;
    value = digest.Value();
    if (holed) {
        const uint64_t both[2] = {value, holes.Value()};
        value = DigestOf(both, sizeof(both));
    }
    return true;
}

// True when nothing wrote to the file between the two states: every write
// moves the modification and change times, and a truncation the size too.
bool SameState(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool Before(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

// A file changed within the current tick of the file system's clock may be
// written again in that tick without its times moving, and a copy taken
// meanwhile would then look current for ever. Waits (one tick, a few
// milliseconds) until the clock has passed the file's change time, so that
// any later write shows; a change time more than a second ahead (a clock
// set back) is not waited for.
void WaitPastChange(const struct stat& st) {
    for (int waited = 0; waited < 50; ++waited) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME_COARSE, &now);
        if (Before(st.st_ctim, now) || st.st_ctim.tv_sec > now.tv_sec + 1) return;
        const struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
}

void TimesOf(const struct stat& st, struct timespec times[2]) {
    times[0] = st.st_atim;
    times[1] = st.st_mtim;
}

// The permission bits that a copy owned as copy keeps of the live item's:
// all of them, but setuid or setgid only where the copy has the live owner
// or group, so that no copy runs as someone the live file does not.
mode_t SealedMode(const struct stat& live, const struct stat& copy) {
    mode_t mode = live.st_mode & 07777;
    if (copy.st_uid != live.st_uid) mode &= ~S_ISUID;
    if (copy.st_gid != live.st_gid) mode &= ~S_ISGID;
    return mode;
}

bool MayNotChown(int error) { return error == EPERM || error == EINVAL; }

// Gives the copy (the open file fd, or the item at path when fd is -1) the
// live item's owner and group where the process may (else its group alone
// where it may), then its mode, its extended attributes and the live access
// and modification times. The owner comes first, since a change of owner
// clears setuid, setgid and file capabilities; the attributes come after
// the mode, which they may refine (an ACL's mask).
bool SealCopy(int fd, const std::string& path, const struct stat& live,
              const ItemAttributes& attributes) {
    const int at = fd >= 0 ? fd : AT_FDCWD;
    const char* name = fd >= 0 ? "" : path.c_str();
    const int flags = fd >= 0 ? AT_EMPTY_PATH : AT_SYMLINK_NOFOLLOW;
    struct stat copy = live;  // its owners, once they are given
    if (fchownat(at, name, live.st_uid, live.st_gid, flags) != 0 &&
        (!MayNotChown(errno) ||
         (fchownat(at, name, -1, live.st_gid, flags) != 0 && !MayNotChown(errno)) ||
         fstatat(at, name, &copy, flags) != 0))
        return false;
    const mode_t mode = SealedMode(live, copy);
    struct timespec times[2];
    TimesOf(live, times);
    if (fd >= 0)
        return fchmod(fd, mode) == 0 && attributes.Apply(fd, path) && futimens(fd, times) == 0;
    return (S_ISLNK(live.st_mode) || fchmodat(AT_FDCWD, name, mode, 0) == 0) &&
           attributes.Apply(-1, path) && utimensat(AT_FDCWD, name, times, AT_SYMLINK_NOFOLLOW) == 0;
}

// Errors of FICLONE that say this file system clones nothing at all; any
// other refusal (a no-copy-on-write file, a file being executed) is this
// file's alone.
bool NeverClones(int error) { return error == EOPNOTSUPP || error == ENOTTY || error == EXDEV; }

}  // namespace

SnapshotCopier::SnapshotCopier(const std::string& volumeDir, const std::string& copyDir,
                               const PreviousCopy* previous, std::function<void(const char*)> step)
    : m_volumeDir(volumeDir), m_copyDir(copyDir), m_previous(previous), m_step(std::move(step)) {}

Status SnapshotCopier::Begin() {
    // Only the folder's owner (root, for a system's array) may enter, so
    // that nobody else can change a copy, whatever its own permissions say.
    const std::string folder = m_copyDir.substr(0, m_copyDir.rfind('/'));
    if (chmod(folder.c_str(), 0700) != 0) return CopyFailed("cannot protect", folder, errno);
    if (mkdir(m_copyDir.c_str(), 0700) != 0) return CopyFailed("cannot create", m_copyDir, errno);
    // Nothing may inherit an ACL the copy does not have live.
    if (removexattr(m_copyDir.c_str(), "system.posix_acl_default") != 0 && errno != ENODATA &&
        errno != ENOTSUP)
        return CopyFailed("cannot clear the default ACL of", m_copyDir, errno);
    return Status::OK();
}

void SnapshotCopier::TakeLeftOut(std::vector<CatalogLeftOut>& items) {
    for (CatalogLeftOut& item : m_leftOut) items.push_back(std::move(item));
    m_leftOut.clear();
}

Status SnapshotCopier::Copy(LiveTreeEntry& entry, bool& vanished) {
    vanished = false;
    const bool root = entry.strPath.empty();
    std::string source = root ? m_volumeDir : m_volumeDir + "/" + entry.strPath;
    std::string target = root ? m_copyDir : m_copyDir + "/" + entry.strPath;
    ItemAttributes attributes;
    if (!attributes.Read(source)) return CopyFailed("cannot read attributes of", source, errno);
    entry.bHasAttributes = true;
    entry.ullAttributes = attributes.Digest(entry.uiInodeFlags);
    const uint32_t flags = ItemAttributes::KeptFlags(entry.uiInodeFlags);
    Status status;
    if (S_ISDIR(entry.st.st_mode)) {
        // Its attributes wait for the end: a default ACL would pass on to
        // every copy made inside it.
        if (!root && mkdir(target.c_str(), 0700) != 0)
            return CopyFailed("cannot create", target, errno);
        m_directories.push_back(DirectoryToSeal{target, entry.st, std::move(attributes)});
    } else if (S_ISLNK(entry.st.st_mode)) {
        status = CopySymlink(source, target, entry, attributes, vanished);
    } else if (S_ISREG(entry.st.st_mode)) {
        status = CopyRegularFile(source, target, entry, attributes, vanished);
    } else {
        status = CopySpecial(target, entry, attributes, vanished);
    }
    if (status.ok() && !vanished && flags) m_flagged.push_back(Flagged{target, flags});
    return status;
}

bool SnapshotCopier::Clone(int source, int target) {
    if (!m_bClones) return false;
    if (ioctl(target, FICLONE, source) == 0) return true;
    if (NeverClones(errno)) m_bClones = false;  // not worth a call per file
    return false;
}

Status SnapshotCopier::CopyRegularFile(const std::string& source, const std::string& target,
                                       LiveTreeEntry& entry, const ItemAttributes& attributes,
                                       bool& vanished) {
    const auto inode =
        std::make_tuple(uint64_t(entry.st.st_dev), uint64_t(entry.st.st_ino), entry.ullGeneration);
    if (entry.st.st_nlink > 1) {
        auto found = m_linkedCopies.find(inode);
        if (found != m_linkedCopies.end()) {
            if (link(found->second.strCopy.c_str(), target.c_str()) != 0)
                return CopyFailed("cannot link", target, errno);
            // Every name describes the one copy they share, as it was made.
            entry.st = found->second.st;
            entry.bHasDigest = true;
            entry.ullDigest = found->second.ullDigest;
            return Status::OK();
        }
    }
    if (ShareUnchanged(target, entry, attributes)) return Status::OK();
    FileDescriptor in(OpenSource(source));
    if (in.get() < 0) {
        if (errno == ENOENT || errno == ELOOP) {
            vanished = true;  // removed or replaced by a link since it was listed
            return Status::OK();
        }
        return CopyFailed("cannot open", source, errno);
    }
    FileDescriptor out(
        open(target.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.get() < 0) return CopyFailed("cannot create", target, errno);
    if (m_buffer.empty()) m_buffer.resize(kCopyBufferSize);
    // The file may be written while it is copied. Its state is taken before
    // each attempt and compared after it; a file that keeps changing is
    // recorded as it was before the last attempt began: its copy holds bytes
    // at least that new, and its times have moved past the recorded ones, so
    // the next snapshot copies it again and a comparison reports it.
    struct stat before, after;
    uint64_t digest = 0;
    for (int attempt = 1;; ++attempt) {
        if (fstat(in.get(), &before) != 0) return CopyFailed("cannot stat", source, errno);
        WaitPastChange(before);
        if (attempt > 1 && ftruncate(out.get(), 0) != 0)
            return CopyFailed("cannot copy", source, errno);
        // A clone shares the blocks and costs no write; its digest is read
        // from the clone itself, which holds exactly what the snapshot keeps.
        const bool copied = Clone(in.get(), out.get())
                                ? DigestBytes(out.get(), -1, m_buffer, digest, m_step)
                                : DigestBytes(in.get(), out.get(), m_buffer, digest, m_step);
        if (!copied) return CopyFailed("cannot copy", source, errno);
        if (fstat(in.get(), &after) != 0) return CopyFailed("cannot stat", source, errno);
        if (SameState(before, after) || attempt == kCopyAttempts) break;
    }
    if (!SealCopy(out.get(), target, before, attributes))
        return CopyFailed("cannot seal", target, errno);
    entry.st = before;
    entry.bHasDigest = true;
    entry.ullDigest = digest;
    if (before.st_nlink > 1) m_linkedCopies[inode] = LinkedCopy{target, before, entry.ullDigest};
    return Status::OK();
}

bool SnapshotCopier::ShareUnchanged(const std::string& target, LiveTreeEntry& entry,
                                    const ItemAttributes& attributes) {
    std::string previous;
    uint64_t digest = 0;
    struct stat old;
    if (!m_previous || !m_previous->Find(entry.strPath, entry.st, entry.ullGeneration,
                                         entry.ullAttributes, previous, digest, old))
        return false;
    // The earlier copy must be what a copy made now would be; one made
    // before copies kept their owners, or all their permission bits, is
    // copied anew. A process that may not give files away keeps its own
    // files' owners only.
    const bool owners = old.st_uid == entry.st.st_uid && old.st_gid == entry.st.st_gid;
    if ((old.st_mode & 07777) != SealedMode(entry.st, old) || (!owners && geteuid() == 0))
        return false;
    // A clone is a file of its own, so that root writing into one snapshot's
    // copy leaves the other's alone; where the file system cannot clone, a
    // hard link. A link that cannot be made (the earlier snapshot deleted
    // meanwhile, too many links, an immutable copy) only costs a copy.
    bool shared = false;
    if (m_bClones) {
        FileDescriptor in(open(previous.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        FileDescriptor out(
            in.get() < 0
                ? -1
                : open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        shared = out.get() >= 0 && Clone(in.get(), out.get()) &&
                 SealCopy(out.get(), target, entry.st, attributes);
        if (!shared && out.get() >= 0) unlink(target.c_str());
    }
    if (!shared && link(previous.c_str(), target.c_str()) != 0) return false;
    entry.bHasDigest = true;
    entry.ullDigest = digest;
    ++m_ullShared;
    if (entry.st.st_nlink > 1)
        m_linkedCopies[std::make_tuple(uint64_t(entry.st.st_dev), uint64_t(entry.st.st_ino),
                                       entry.ullGeneration)] =
            LinkedCopy{target, entry.st, entry.ullDigest};
    return true;
}

Status SnapshotCopier::CopySymlink(const std::string& source, const std::string& target,
                                   const LiveTreeEntry& entry, const ItemAttributes& attributes,
                                   bool& vanished) {
    std::string linkTarget(static_cast<size_t>(entry.st.st_size) + 1, '\0');
    for (;;) {
        ssize_t n = readlink(source.c_str(), &linkTarget[0], linkTarget.size());
        if (n < 0) {
            if (errno == ENOENT || errno == EINVAL) {
                vanished = true;
                return Status::OK();
            }
            return CopyFailed("cannot read link", source, errno);
        }
        if (static_cast<size_t>(n) < linkTarget.size()) {
            linkTarget.resize(n);
            break;
        }
        linkTarget.resize(linkTarget.size() * 2);  // the link grew since it was listed
    }
    if (symlink(linkTarget.c_str(), target.c_str()) != 0)
        return CopyFailed("cannot create link", target, errno);
    if (!SealCopy(-1, target, entry.st, attributes))
        return CopyFailed("cannot seal", target, errno);
    return Status::OK();
}

Status SnapshotCopier::CopySpecial(const std::string& target, const LiveTreeEntry& entry,
                                   const ItemAttributes& attributes, bool& vanished) {
    // A FIFO or socket holds no data, and a device node only its number:
    // the copy is a node of its own kind, never opened.
    if (mknod(target.c_str(), (entry.st.st_mode & S_IFMT) | 0600, entry.st.st_rdev) != 0) {
        if (errno != EPERM) return CopyFailed("cannot create", target, errno);
        m_leftOut.push_back(CatalogLeftOut{CatalogLeftOut::kCannotCopy, entry.strPath});
        vanished = true;
        return Status::OK();
    }
    if (!SealCopy(-1, target, entry.st, attributes))
        return CopyFailed("cannot seal", target, errno);
    return Status::OK();
}

Status SnapshotCopier::Finish() {
    for (auto dir = m_directories.rbegin(); dir != m_directories.rend(); ++dir)
        if (!SealCopy(-1, dir->strPath, dir->st, dir->attributes))
            return CopyFailed("cannot seal", dir->strPath, errno);
    // Last, since an immutable or append-only copy refuses its own times
    // and, for a directory, the names still to be made in it.
    for (const Flagged& item : m_flagged)
        if (!ItemAttributes::ApplyFlags(item.strPath, item.uiFlags))
            return CopyFailed("cannot set the flags of", item.strPath, errno);
    // One flush of the file system for the whole copy: a sync per file made
    // a copy of many small files wait on the disk for each of them.
    FileDescriptor root(open(m_copyDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.get() < 0 || syncfs(root.get()) != 0)
        return CopyFailed("cannot write", m_copyDir, errno);
    return Status::OK();
}

Status RemoveSnapshotTree(const std::string& path, ActivityMeter* meter) {
    if (meter) {
        Status going = meter->Tick();
        if (!going.ok()) return going;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return Status::OK();
        return CopyFailed("cannot stat", path, errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        if (unlink(path.c_str()) == 0 || errno == ENOENT) return Status::OK();
        const int error = errno;
        if (error == EPERM && S_ISREG(st.st_mode) && ItemAttributes::ClearBlockingFlags(path) &&
            unlink(path.c_str()) == 0)
            return Status::OK();
        return CopyFailed("cannot remove", path, error);
    }
    ItemAttributes::ClearBlockingFlags(path);
    if (chmod(path.c_str(), (st.st_mode & 07777) | S_IRWXU) != 0)
        return CopyFailed("cannot make writable", path, errno);
    std::vector<std::string> names;
    {
        int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return CopyFailed("cannot open directory", path, errno);
        DIR* stream = fdopendir(fd);
        if (!stream) {
            int error = errno;
            close(fd);
            return CopyFailed("cannot read directory", path, error);
        }
        while (struct dirent* ent = readdir(stream)) {
            if (strcmp(ent->d_name, ".") != 0 && strcmp(ent->d_name, "..") != 0)
                names.push_back(ent->d_name);
        }
        closedir(stream);
    }
    for (const std::string& name : names) {
        Status status = RemoveSnapshotTree(path + "/" + name, meter);
        if (!status.ok()) return status;
    }
    if (rmdir(path.c_str()) != 0 && errno != ENOENT)
        return CopyFailed("cannot remove", path, errno);
    return Status::OK();
}

Status RealDirectoryBelow(const std::string& base, const std::vector<std::string>& below,
                          std::string& path, bool& exists) {
    path = base;
    exists = false;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return Status::OK();
    for (const std::string& component : below) {
        path += "/" + component;
        if (lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) return Status::OK();
            return CopyFailed("cannot stat", path, errno);
        }
        if (!S_ISDIR(st.st_mode)) return Status::OK();
    }
    exists = true;
    return Status::OK();
}

Status EnsureRealDirectory(const std::string& dir) {
    if (mkdir(dir.c_str(), 0755) == 0) return Status::OK();
    if (errno != EEXIST) return CopyFailed("cannot create", dir, errno);
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) return CopyFailed("cannot stat", dir, errno);
    if (!S_ISDIR(st.st_mode)) return Status::IOError(dir + " exists and is not a directory");
    return Status::OK();
}

Status LinkSnapshotIntoExport(const std::string& exportDir, const std::string& name,
                              const std::string& target) {
    std::string snapshotDir = exportDir + "/.snapshot";
    Status status = EnsureRealDirectory(snapshotDir);
    if (!status.ok()) return status;
    std::string staging = snapshotDir + "/" + kSnapshotStagingName;
    std::string link = snapshotDir + "/" + name;
    if (unlink(staging.c_str()) != 0 && errno != ENOENT)
        return CopyFailed("cannot remove", staging, errno);
    if (symlink(target.c_str(), staging.c_str()) != 0)
        return CopyFailed("cannot create link", staging, errno);
    if (rename(staging.c_str(), link.c_str()) != 0) {
        int error = errno;
        unlink(staging.c_str());
        return CopyFailed("cannot create link", link, error);
    }
    return Status::OK();
}

Status UnlinkSnapshotFromExport(const std::string& exportDir, const std::string& name) {
    std::string snapshotDir = exportDir + "/.snapshot";
    struct stat st;
    if (lstat(snapshotDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return Status::OK();
    std::string link = snapshotDir + "/" + name;
    if (lstat(link.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return Status::OK();
    if (unlink(link.c_str()) != 0 && errno != ENOENT)
        return CopyFailed("cannot remove", link, errno);
    return Status::OK();
}
