// Checks the changes the plug-in delivered for a job against two listings of
// each share's real tree, the one taken at the previous job's snapshot and
// the one taken at this job's, as a backup agent would rely on them.
//
// Each share's items are applied to its previous listing as an agent applies
// them: every deletion first (status 4 removes the path and, for a directory
// path, everything under it, as a renamed item with every change kind,
// status 3, removes its old path), then the rest (status 1, 2 and 3 add the path;
// a created or renamed directory, status 1 or 3, brings its whole subtree
// from the current listing). The result must equal the current listing, and
// every file whose contents changed (other inode, type, size or
// modification time at the same path) must have been delivered at its
// current path or inside a delivered created or renamed directory.
//
// One situation cannot be described exactly: SnapDiff reports a changed
// file once, at one of its names, so a file with several names whose
// contents changed is delivered as modified under that name (and under each
// name it gained) only. It is found from the two listings alone, reported
// as a known limit with what was delivered about it, and exactly the names
// that no item delivers are left out of the comparison:
//  (a) a changed file with several names: a name it kept that the array did
//      not report. Names created or removed are delivered one by one and
//      are checked.
// An inode that leaves one share for another of the same volume is told to
// both (the deletion to the one it left) and is checked like any change.
#pragma once

#include "records/SnapRecords.h"
#include "tools/TreeListing.h"

#include <string>
#include <vector>

namespace snapagent {

struct ShareChanges {
    std::string strSharePath;  // backup path, without a trailing "/"
    std::string strVolume;     // the volume that holds the share
    TreeListing previous;      // the share's tree at the previous job's snapshot
    TreeListing current;       // the share's tree at this job's snapshot
    std::vector<FileServerSnapshotCompareItem> items;  // in pull order, without status 5
};

enum class KnownLimit : char {
    kChangedNamesNotReported = 'c',
};

struct LimitCase {
    KnownLimit limit;
    std::string strWhat;                    // what happened in the tree
    std::vector<std::string> vecDelivered;  // items delivered about it, described
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

// One verdict per share, in the order given.
std::vector<ShareVerdict> VerifyJob(const std::vector<ShareChanges>& shares);

// "(a) changed file with several names".
std::string LimitName(KnownLimit limit);

}  // namespace snapagent
