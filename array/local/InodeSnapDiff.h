// What every SnapDiff source of the local array shares: the records one
// inode gives from its names and state in the two snapshots, and how they
// are cut into batches. A source finds the inodes that may have changed, in
// catalog order, and hands each one's rows to Compare. An inode is
// identified by device, inode number and generation, so that an inode
// number the file system gave to a new file is a deletion and a creation,
// never a rename; each of its names by (directory inode and generation,
// name in that directory). The volume root is an inode like any other,
// named "/". For each inode:
//   only in the base             "file_deletion" for each of its names;
//   only in the incremental      "file_creation" for each of its names;
//   in both                      "file_deletion" for each name that is gone,
//                                "file_creation" for each new name, and one
//                                "inode_modification" at its first kept name
//                                when type, size, mode, link count, owner,
//                                group, mtime or ctime (to the nanosecond)
//                                changed, or the contents or extended
//                                attributes (of an item in a materialised
//                                snapshot) or the names (of a directory) did.
// A rename or move is thus a deletion plus a creation with the same inode,
// and entries inside a renamed directory are not reported, as on a real
// array.
//
// Names are escaped for NFS (see EscapeSnapDiffName). On a cluster they are
// volume-relative ("/dir/f"); otherwise they are
// "/vol/<volume>/.snapshot/<snapshot>/<path>" with the base snapshot for
// deletions and the incremental one for the rest. Times handed out are
// seconds; llAttribute carries the permission bits.
#pragma once

#include "array/local/LocalArrayCatalog.h"
#include "array/local/SnapDiffSource.h"
#include "hostlib/Status.h"

#include <deque>
#include <string>
#include <vector>

struct SnapDiffNaming {
    bool bCluster = true;
    std::string strVolume;
    std::string strBase;
    std::string strIncremental;
};

class InodeSnapDiff : public SnapDiffSource {
public:
    // Batch sizes a real array accepts; a request outside is clamped.
    static constexpr unsigned long kMinBatch = 256;
    static constexpr unsigned long kMaxBatch = 4096;
    static unsigned long ClampBatchSize(unsigned long requested);

    // Fills batch with at most the batch size of changes. end is true on the
    // last batch: no changes follow it. Only the last batch may be empty.
    hostlib::Status Next(std::vector<SnapDiffFileInfo>& batch, bool& end) override;

protected:
    InodeSnapDiff(const SnapDiffNaming& naming, unsigned long requestedBatchSize);
    const SnapDiffNaming& Naming() const { return m_naming; }

    // Compares further inodes until some changes are pending or no inode
    // is left.
    virtual hostlib::Status Refill() = 0;
    bool Pending() const { return !m_pending.empty(); }

    // Every name of an inode that only one of the snapshots holds.
    void QueueAll(const std::vector<CatalogRow>& rows, const char* changeType);
    // The names of one inode in both snapshots (reordered here).
    // contentsChanged: the source knows its contents or names changed even
    // where its attributes, put back or within one clock tick, do not show it.
    void Compare(std::vector<CatalogRow>& base, std::vector<CatalogRow>& incremental,
                 bool contentsChanged);

private:
    void Queue(const CatalogRow& row, const char* changeType);

    SnapDiffNaming m_naming;
    unsigned long m_batchSize;
    std::deque<SnapDiffFileInfo> m_pending;
};
