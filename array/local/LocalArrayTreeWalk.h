// Walks the live tree of a local-array volume as a snapshot sees it: the
// volume root itself (path "") and every item below it (regular files,
// directories, symbolic links, FIFOs, device nodes and sockets), each name
// once (a file with several links is met once per link). Symbolic links are
// never followed, and the walk stays on the volume's own file system: a
// mount or a nested subvolume below the root is not entered but named in
// leftOut, since a snapshot of the volume never holds it. The ".snapshot"
// folders the array makes itself (the volume root's and each export
// directory's) are its view of its snapshots and are skipped; any other
// item of that name is ordinary data. Directories are opened without moving
// their access times where the process may.
//
// Order: a directory is visited once it has been listed and before anything
// inside it; siblings come in no particular order. A directory's entry
// carries its state as it was listed and a digest of the names it held
// (with their inodes), so that a snapshot tells a changed directory from an
// unchanged one even when the file system's clock did not move between the
// two. Names that vanish while the walk runs are skipped.
//
// Each entry carries a generation: with the device and inode number it
// tells this inode from an earlier one that had the number, so that a file
// removed and another created in its inode is a deletion and a creation,
// never a rename. It mixes the file system's inode generation
// (FS_IOC_GETVERSION, read from regular files and directories where the
// process may open them) with the birth time (statx), whichever the file
// system has.
//
// A name whose path from the volume root is too long for the system's path
// calls (within kLongPathMargin of PATH_MAX, room for the snapshot copy's
// own prefix) is left out with its subtree and named in leftOut: one such
// folder chain must not make every snapshot of the volume fail.
#pragma once

#include "array/ArrayBackend.h"
#include "array/local/LocalArrayCatalog.h"
#include "hostlib/Status.h"

#include <sys/stat.h>
#include <functional>
#include <set>
#include <string>
#include <vector>

struct LiveTreeEntry {
    std::string strPath;  // relative to the volume root, no leading "/"; "" for the root
    uint64_t ullParentInode = 0;
    uint64_t ullParentGeneration = 0;
    uint64_t ullGeneration = 0;
    struct stat st;
    // The inode flags (FS_IOC_GETFLAGS) of a regular file or directory, 0
    // where the file system has none or the process may not read them.
    uint32_t uiInodeFlags = 0;
    // Set for a directory (its list of names) and, by a snapshot copy, for
    // a regular file (its contents).
    bool bHasDigest = false;
    uint64_t ullDigest = 0;
    // Set by a snapshot copy: the item's extended attributes and flags.
    bool bHasAttributes = false;
    uint64_t ullAttributes = 0;
};

// The visitor may change the entry's stat (to the state it actually saw)
// and may ask to leave the entry out by setting skip.
typedef std::function<hostlib::Status(LiveTreeEntry& entry, bool& skip)> LiveTreeVisitor;

// File type code of SnapDiff and the catalog: 1 regular, 2 directory,
// 3 block device, 4 character device, 5 symbolic link, 6 socket, 7 FIFO.
uint32_t SnapDiffFileType(mode_t mode);

constexpr size_t kLongPathMargin = 512;

// The stat, generation and inode flags of the one item at path, as a walk
// gives them, for a reader that finds items by name rather than by a walk.
// Fails with errno set where the item cannot be stat'ed.
hostlib::Status IdentifyLiveItem(const std::string& path, LiveTreeEntry& entry);

// arrayFolders: the directories (relative to the volume root, "" for the
// root) whose ".snapshot" is the array's own.
hostlib::Status WalkLiveTree(const std::string& volumeDir,
                             const std::set<std::string>& arrayFolders,
                             const LiveTreeVisitor& visit,
                             std::vector<CatalogLeftOut>* leftOut = nullptr);
