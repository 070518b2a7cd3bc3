#include "array/local/LocalArrayItemAttributes.h"

#include "array/local/LocalArrayDigest.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Flags that say how the item may be used, not how the file system stores
// it (extents, compression and the like are the copy's own business).
const uint32_t kKeptFlags =
    FS_IMMUTABLE_FL | FS_APPEND_FL | FS_NODUMP_FL | FS_NOATIME_FL | FS_SYNC_FL | FS_DIRSYNC_FL;
const uint32_t kBlockingFlags = FS_IMMUTABLE_FL | FS_APPEND_FL;

// Errors that mean this item or file system has no (readable) attributes.
bool NoAttributes(int error) {
    return error == ENOTSUP || error == ENODATA || error == EPERM || error == EACCES ||
           error == ENOENT;
}

// Calls get(buffer, size) until the buffer is large enough: an attribute
// may grow between the call that sizes it and the one that reads it.
template <typename Get>
bool ReadGrowing(std::string& out, Get get) {
    for (;;) {
        ssize_t size = get(nullptr, 0);
        if (size < 0) return false;
        out.resize(static_cast<size_t>(size));
        ssize_t n = get(size ? &out[0] : nullptr, out.size());
        if (n >= 0) {
            out.resize(static_cast<size_t>(n));
            return true;
        }
        if (errno != ERANGE) return false;
    }
}

// Opens a copy's regular file or directory for its flags.
int OpenForFlags(const std::string& path) {
    return open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

}  // namespace

bool ItemAttributes::Read(const std::string& path) {
    m_attributes.clear();
    const char* p = path.c_str();
    std::string names;
    if (!ReadGrowing(names, [&](char* b, size_t n) { return llistxattr(p, b, n); }))
        return NoAttributes(errno);
    for (size_t at = 0; at < names.size();) {
        std::string name(names.c_str() + at);
        at += name.size() + 1;
        std::string value;
        if (ReadGrowing(value, [&](char* b, size_t n) { return lgetxattr(p, name.c_str(), b, n); }))
            m_attributes.emplace_back(std::move(name), std::move(value));
        else if (!NoAttributes(errno))
            return false;
    }
    std::sort(m_attributes.begin(), m_attributes.end());
    return true;
}

bool ItemAttributes::Apply(int fd, const std::string& path) const {
    for (const auto& a : m_attributes) {
        const int set =
            fd >= 0 ? fsetxattr(fd, a.first.c_str(), a.second.data(), a.second.size(), 0)
                    : lsetxattr(path.c_str(), a.first.c_str(), a.second.data(), a.second.size(), 0);
        // One the process may not set (or this file system cannot hold) is
        // left off the copy, as the user's own tools would.
        if (set != 0 && errno != EPERM && errno != EACCES && errno != ENOTSUP && errno != EINVAL)
            return false;
    }
    return true;
}

uint64_t ItemAttributes::Digest(uint32_t inodeFlags) const {
    ContentDigest digest;
    const uint32_t flags = KeptFlags(inodeFlags);
    digest.Update(&flags, sizeof(flags));
    for (const auto& a : m_attributes) {
        const uint64_t sizes[2] = {a.first.size(), a.second.size()};
        digest.Update(sizes, sizeof(sizes));
        digest.Update(a.first.data(), a.first.size());
        digest.Update(a.second.data(), a.second.size());
    }
    return digest.Value();
}

uint32_t ItemAttributes::KeptFlags(uint32_t inodeFlags) { return inodeFlags & kKeptFlags; }

bool ItemAttributes::ApplyFlags(const std::string& path, uint32_t flags) {
    const int fd = OpenForFlags(path);
    if (fd < 0) return false;
    unsigned current = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &current) == 0;
    current |= flags;
    ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &current) == 0;
    const int error = errno;
    close(fd);
    errno = error;
    return ok || error == EPERM || error == EOPNOTSUPP || error == ENOTTY || error == EINVAL;
}

bool ItemAttributes::ClearBlockingFlags(const std::string& path) {
    const int fd = OpenForFlags(path);
    if (fd < 0) return false;
    unsigned current = 0;
    bool cleared = ioctl(fd, FS_IOC_GETFLAGS, &current) == 0 && (current & kBlockingFlags);
    current &= ~kBlockingFlags;
    cleared = cleared && ioctl(fd, FS_IOC_SETFLAGS, &current) == 0;
    close(fd);
    return cleared;
}
