// What a snapshot copy keeps of a live item beside its bytes, owner, mode
// and times: its extended attributes (user, trusted and security ones, and
// POSIX ACLs as system.posix_acl_access and system.posix_acl_default), as
// many as the process may read, and its inode flags. Read from the live
// item, applied to its copy and summed up in a digest for the catalog, so
// that a change of only these is seen even where the clock did not move.
//
// Immutable and append-only flags forbid the changes a copy still needs
// (links, times, names), so a copy sets its flags last (ApplyFlags, at the
// end of the copy), and removing a copy takes them away first
// (ClearBlockingFlags). An attribute or flag the process may not set (a
// trusted one, or an immutable flag, as a user) is left off the copy.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class ItemAttributes {
public:
    // Reads the extended attributes of the item at path (not following a
    // symbolic link); false with errno set when they cannot be listed for
    // another reason than the file system having none or the item being
    // gone.
    bool Read(const std::string& path);
    // Sets them on the copy: the open file fd, or the item at path when fd
    // is -1; false with errno set only when the copy itself is unusable.
    bool Apply(int fd, const std::string& path) const;
    bool Empty() const { return m_attributes.empty(); }
    // The digest of these attributes and of the flags a copy keeps.
    uint64_t Digest(uint32_t inodeFlags) const;

    // The inode flags a copy keeps of its live item's.
    static uint32_t KeptFlags(uint32_t inodeFlags);
    // Adds flags to the regular file or directory at path; flags the
    // process may not set are left off.
    static bool ApplyFlags(const std::string& path, uint32_t flags);
    // Takes the immutable and append-only flags off the item at path, so
    // that it can be changed or removed; false when it has none to take.
    static bool ClearBlockingFlags(const std::string& path);

private:
    std::vector<std::pair<std::string, std::string>> m_attributes;  // sorted by name
};
