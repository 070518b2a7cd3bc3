#include "array/local/LocalArraySnapDiff.h"

#include "array/local/LocalArrayNames.h"

using hostlib::Status;

SnapDiffMerge::SnapDiffMerge(const SnapDiffNaming& naming, unsigned long requestedBatchSize)
    : InodeSnapDiff(naming, requestedBatchSize) {}

Status SnapDiffMerge::InodeGroups::Open(const std::string& path) {
    Status status = m_reader.Open(path);
    if (!status.ok()) return status;
    return m_reader.Next(m_next, m_bExhausted);
}

Status SnapDiffMerge::InodeGroups::Take(std::vector<CatalogRow>& group) {
    group.clear();
    const CatalogRow first = m_next;
    while (!m_bExhausted && SameInode(m_next, first)) {
        group.push_back(std::move(m_next));
        Status status = m_reader.Next(m_next, m_bExhausted);
        if (!status.ok()) return status;
    }
    return Status::OK();
}

Status SnapDiffMerge::Open(const std::string& baseCatalog, const std::string& incrementalCatalog) {
    Status status = m_base.Open(baseCatalog);
    if (status.ok()) status = m_incremental.Open(incrementalCatalog);
    if (status.ok()) status = RequireNothingLeftOut(m_incremental.LeftOut());
    return status;
}

// Items the incremental snapshot left out may have changed in any way, and a
// list of changes would be silent on them; the agent must read the share in
// full instead. Items only the base left out are new to the incremental
// snapshot and are reported as created, so they need no refusal.
Status SnapDiffMerge::RequireNothingLeftOut(const std::vector<CatalogLeftOut>& items) const {
    if (items.empty()) return Status::OK();
    const size_t kNamed = 3;
    std::string named;
    for (size_t i = 0; i < items.size() && i < kNamed; ++i)
        named += std::string(i == 0 ? "" : "; ") + "[" + EscapeSnapDiffName(items[i].strPath) +
                 "]: " + LeftOutReasonText(items[i].reason);
    if (items.size() > kNamed)
        named += "; and " + std::to_string(items.size() - kNamed) +
                 " more, named in the log of the job that took the snapshot";
    const bool one = items.size() == 1;
    return Status::Incomplete(
        "snapshot " + EscapeSnapDiffName(Naming().strIncremental) + " of volume " +
        Naming().strVolume + " left out " + std::to_string(items.size()) +
        (one ? " item, with all it holds, and cannot say how it changed"
             : " items, with all they hold, and cannot say how they changed") +
        ", so the volume's shares need a full scan: " + named);
}

Status SnapDiffMerge::Refill() {
    while (!Pending() && !(m_base.Exhausted() && m_incremental.Exhausted())) {
        Status status;
        if (m_incremental.Exhausted() ||
            (!m_base.Exhausted() && CatalogRowLess(m_base.Next(), m_incremental.Next()) &&
             !SameInode(m_base.Next(), m_incremental.Next()))) {
            status = m_base.Take(m_baseGroup);
            if (!status.ok()) return status;
            QueueAll(m_baseGroup, kChangeTextDeleted);
        } else if (m_base.Exhausted() || !SameInode(m_base.Next(), m_incremental.Next())) {
            status = m_incremental.Take(m_incrementalGroup);
            if (!status.ok()) return status;
            QueueAll(m_incrementalGroup, kChangeTextCreated);
        } else {
            status = m_base.Take(m_baseGroup);
            if (status.ok()) status = m_incremental.Take(m_incrementalGroup);
            if (!status.ok()) return status;
            Compare(m_baseGroup, m_incrementalGroup, false);
        }
    }
    return Status::OK();
}
