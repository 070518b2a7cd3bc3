// Checks the changes the plug-in delivered for a job against two listings of
// each share's real tree, the one taken at the previous job's snapshot and
// the one taken at this job's, as a backup agent would rely on them.
//
// Each share's items are applied to its previous listing as an agent applies
// them: every deletion first (status 4 removes the path and, for a directory
// path, everything under it), then the rest (status 1, 2 and 3 add the path;
// a created or renamed directory, status 1 or 3, brings its whole subtree
// from the current listing). The result must equal the current listing, and
// every file whose contents changed (other inode, type, size or
// modification time at the same path) must have been delivered at its
// current path or inside a delivered created or renamed directory.
//
// One event per inode, read back by its current path, cannot describe three
// situations exactly. They are found from the two listings alone, reported
// as known limits with what was delivered about them, and exactly their
// paths are left out of the comparison:
//  (a) a name holding a backslash, which share matching turns into "/";
//  (b) an inode that left one share for another share of the same volume
//      (a move, or a freed inode number reused there): the source share is
//      not told of the deletion;
//  (c) an inode with several names that gained or lost more than one name,
//      lost one, or changed: only one name is delivered. A single new name
//      for an unchanged file is delivered exactly and is checked.
#pragma once

#include "records/SnapRecords.h"
#include "tools/TreeListing.h"

#include <string>
#include <vector>

namespace snapagent {

struct ShareChanges {
    std::string strSharePath;  // backup path, without a trailing "/"
    std::string strVolume;     // shares of one volume can exchange inodes
    TreeListing previous;      // the share's tree at the previous job's snapshot
    TreeListing current;       // the share's tree at this job's snapshot
    std::vector<FileServerSnapshotCompareItem> items;  // in pull order, without status 5
};

enum class KnownLimit : char {
    kBackslashName = 'a',
    kInodeInOtherShare = 'b',
    kSeveralNames = 'c',
};

struct LimitCase {
    KnownLimit limit;
    std::string strWhat;                     // what happened in the tree
    std::vector<std::string> vecDelivered;   // items delivered about it, described
};

struct Finding {
    std::string strPath;  // relative to the share
    std::string strReason;
};

struct ShareVerdict {
    std::string strSharePath;
    size_t nDelivered = 0;
    std::vector<Finding> missing;     // the agent would lack these
    std::vector<Finding> unexpected;  // the agent would hold or be told these wrongly
    std::vector<LimitCase> limits;
    bool Verified() const { return missing.empty() && unexpected.empty(); }
};

// One verdict per share, in the order given. Shares are related by volume
// only for limit (b).
std::vector<ShareVerdict> VerifyJob(const std::vector<ShareChanges>& shares);

// "(a) backslash in a name" and so on.
std::string LimitName(KnownLimit limit);

}  // namespace snapagent
