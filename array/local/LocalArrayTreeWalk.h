// Walks the live tree of a local-array volume as a snapshot sees it: every
// regular file, directory and symbolic link below the volume root, each
// name once (a file with several links is met once per link). Symbolic
// links are never followed, so the walk cannot leave the volume. The
// ".snapshot" folders the array makes itself (the volume root's and each
// export directory's) are its view of its snapshots and are skipped; any
// other item of that name is ordinary data. Other file kinds (devices,
// pipes, sockets) hold nothing a backup can read and are skipped too.
//
// Order: a directory is visited once it has been listed and before anything
// inside it; siblings come in no particular order. A directory's entry
// carries its state as it was listed and a digest of the names it held
// (with their inodes), so that a snapshot tells a changed directory from an
// unchanged one even when the file system's clock did not move between the
// two. Names that vanish while the walk runs are skipped.
//
// A name whose path from the volume root is too long for the system's path
// calls (within kLongPathMargin of PATH_MAX, room for the snapshot copy's
// own prefix) is left out with its subtree and named in leftOut: one such
// folder chain must not make every snapshot of the volume fail.
#pragma once

#include "array/ArrayBackend.h"

#include <sys/stat.h>
#include <functional>
#include <set>
#include <string>
#include <vector>

struct LiveTreeEntry {
    std::string strPath;  // relative to the volume root, no leading "/"
    uint64_t ullParentInode = 0;
    struct stat st;
    // Set for a directory (its list of names) and, by a snapshot copy, for
    // a regular file (its contents).
    bool bHasDigest = false;
    uint64_t ullDigest = 0;
};

// The visitor may change the entry's stat (to the state it actually saw)
// and may ask to leave the entry out by setting skip.
typedef std::function<ArrayStatus(LiveTreeEntry& entry, bool& skip)> LiveTreeVisitor;

// File type code of SnapDiff and the catalog: 1 regular, 2 directory,
// 5 symbolic link, 0 for kinds the array does not keep.
uint32_t SnapDiffFileType(mode_t mode);

constexpr size_t kLongPathMargin = 512;

// arrayFolders: the directories (relative to the volume root, "" for the
// root) whose ".snapshot" is the array's own.
ArrayStatus WalkLiveTree(const std::string& volumeDir, const std::set<std::string>& arrayFolders,
                         const LiveTreeVisitor& visit, std::vector<std::string>* leftOut = nullptr);
