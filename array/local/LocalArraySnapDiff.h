// One SnapDiff session of the local array: the difference between two
// catalogs of a volume, produced as a streaming merge of the two
// inode-sorted files, so memory holds only the names of one inode at a time.
//
// An inode is identified by device, inode number and generation, so that an
// inode number the file system gave to a new file is a deletion and a
// creation, never a rename; each of its names by (directory inode and
// generation, name in that directory), as the array's file system sees them.
// The volume root is an inode like any other, named "/". For each inode:
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
// A rename or move is thus a deletion plus a creation with the same inode.
// Entries inside a renamed directory keep their (directory inode, name) and
// are not reported, as on a real array.
//
// Names are escaped for NFS (see EscapeSnapDiffName). On a cluster they are
// volume-relative ("/dir/f"); otherwise they are
// "/vol/<volume>/.snapshot/<snapshot>/<path>" with the base snapshot for
// deletions and the incremental one for the rest. Times handed out are seconds;
// llAttribute carries the permission bits.
#pragma once

#include "array/ArrayBackend.h"
#include "array/local/LocalArrayCatalog.h"
#include "array/local/SnapDiffSource.h"

#include <deque>
#include <string>
#include <vector>

struct SnapDiffNaming {
    bool bCluster = true;
    std::string strVolume;
    std::string strBase;
    std::string strIncremental;
};

class SnapDiffMerge : public SnapDiffSource {
public:
    // Batch sizes a real array accepts; a request outside is clamped.
    static constexpr unsigned long kMinBatch = 256;
    static constexpr unsigned long kMaxBatch = 4096;
    static unsigned long ClampBatchSize(unsigned long requested);

    SnapDiffMerge(const SnapDiffNaming& naming, unsigned long requestedBatchSize);

    ArrayStatus Open(const std::string& baseCatalog, const std::string& incrementalCatalog);
    // Fills batch with at most the batch size of changes. end is true on the
    // last batch: no changes follow it. Only the last batch may be empty.
    ArrayStatus Next(std::vector<SnapDiffFileInfo>& batch, bool& end) override;

private:
    // Catalog rows grouped by inode, read ahead by one row.
    class InodeGroups {
    public:
        ArrayStatus Open(const std::string& path);
        bool Exhausted() const { return m_bExhausted; }
        const std::vector<CatalogLeftOut>& LeftOut() const { return m_reader.LeftOut(); }
        // The next row: its inode is the next group's.
        const CatalogRow& Next() const { return m_next; }
        ArrayStatus Take(std::vector<CatalogRow>& group);

    private:
        CatalogReader m_reader;
        CatalogRow m_next;
        bool m_bExhausted = false;
    };

    ArrayStatus RequireNothingLeftOut(const std::vector<CatalogLeftOut>& items) const;
    // Queues the changes of the next inode(s) until some are pending or both
    // catalogs are exhausted.
    ArrayStatus Refill();
    void Compare(std::vector<CatalogRow>& base, std::vector<CatalogRow>& incremental);
    void Queue(const CatalogRow& row, const char* changeType);

    SnapDiffNaming m_naming;
    unsigned long m_batchSize;
    InodeGroups m_base;
    InodeGroups m_incremental;
    std::vector<CatalogRow> m_baseGroup;
    std::vector<CatalogRow> m_incrementalGroup;
    std::deque<SnapDiffFileInfo> m_pending;
};
