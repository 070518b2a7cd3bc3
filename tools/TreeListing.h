// An independent listing of a live directory tree, taken with lstat alone,
// so that what the array delivered can be checked against what is really on
// disk. Paths are byte strings relative to the listed root, without leading
// or trailing "/"; the root itself is not listed. The root's ".snapshot" is
// skipped: the array shows the share's snapshots there, and they are never
// part of its own tree; an item of that name further down is the share's.
#pragma once

#include "hostlib/Status.h"

#include <cstdint>
#include <map>
#include <string>

namespace snapagent {

enum class EntryType : char { kFile = 'f', kDirectory = 'd', kSymlink = 'l', kOther = 'o' };

struct TreeEntry {
    uint64_t ullInode = 0;
    EntryType type = EntryType::kFile;
    uint64_t ullSize = 0;
    int64_t llMtimeNs = 0;  // nanoseconds since the epoch
    uint64_t ullLinks = 1;  // number of names of the inode, as the file system counts them
};

// Relative path -> entry, in byte order, so that a directory's subtree
// follows it directly.
typedef std::map<std::string, TreeEntry> TreeListing;

// Lists everything below root (root may itself be reached through a
// symbolic link). Failed (not found, or an I/O error) when root or any
// directory below it cannot be read; a partial listing would make every
// comparison lie.
hostlib::Status ListTree(const std::string& root, TreeListing& listing);

// The number of entries below root, the root's own ".snapshot" left out,
// read from the directories alone (no lstat): what a first snapshot of a
// volume walks, for a progress total. Stops early (with what it counted)
// when stop says so; unreadable folders count as empty.
uint64_t CountEntries(const std::string& root, bool (*stop)());

// True when path equals dir or lies below it by whole components
// (dir "" is the root and holds everything).
bool IsAtOrBelow(const std::string& path, const std::string& dir);

// Where two listings of one tree disagree on name, type or size (inode and
// times are left out: a copy of a tree has inodes and directory times of
// its own). Empty when they agree; else a short text naming the first few
// differences.
std::string CompareTreeShape(const TreeListing& expected, const TreeListing& actual);

}  // namespace snapagent
