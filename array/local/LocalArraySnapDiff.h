// One SnapDiff session of the local array over two catalogs of a volume,
// produced as a streaming merge of the two inode-sorted files, so memory
// holds only the names of one inode at a time. The records are
// InodeSnapDiff's: a file's digest, where both catalogs have one, and a
// directory's digest of its names stand for its contents.
#pragma once

#include "array/local/InodeSnapDiff.h"
#include "array/local/LocalArrayCatalog.h"
#include "hostlib/Status.h"

#include <string>
#include <vector>

class SnapDiffMerge : public InodeSnapDiff {
public:
    SnapDiffMerge(const SnapDiffNaming& naming, unsigned long requestedBatchSize);

    hostlib::Status Open(const std::string& baseCatalog, const std::string& incrementalCatalog);

private:
    // Catalog rows grouped by inode, read ahead by one row.
    class InodeGroups {
    public:
        hostlib::Status Open(const std::string& path);
        bool Exhausted() const { return m_bExhausted; }
        const std::vector<CatalogLeftOut>& LeftOut() const { return m_reader.LeftOut(); }
        // The next row: its inode is the next group's.
        const CatalogRow& Next() const { return m_next; }
        hostlib::Status Take(std::vector<CatalogRow>& group);

    private:
        CatalogReader m_reader;
        CatalogRow m_next;
        bool m_bExhausted = false;
    };

    hostlib::Status RequireNothingLeftOut(const std::vector<CatalogLeftOut>& items) const;
    hostlib::Status Refill() override;

    InodeGroups m_base;
    InodeGroups m_incremental;
    std::vector<CatalogRow> m_baseGroup;
    std::vector<CatalogRow> m_incrementalGroup;
};
