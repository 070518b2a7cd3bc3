#include "array/local/LocalArraySnapDiff.h"

#include "array/local/LocalArrayNames.h"

SnapDiffMerge::SnapDiffMerge(const SnapDiffNaming& naming, unsigned long requestedBatchSize)
    : InodeSnapDiff(naming, requestedBatchSize) {}

ArrayStatus SnapDiffMerge::InodeGroups::Open(const std::string& path) {
    ArrayStatus status = m_reader.Open(path);
    if (!status.bOk) return status;
    return m_reader.Next(m_next, m_bExhausted);
}

ArrayStatus SnapDiffMerge::InodeGroups::Take(std::vector<CatalogRow>& group) {
    group.clear();
    const CatalogRow first = m_next;
    while (!m_bExhausted && SameInode(m_next, first)) {
        group.push_back(std::move(m_next));
        ArrayStatus status = m_reader.Next(m_next, m_bExhausted);
        if (!status.bOk) return status;
    }
    return ArrayStatus::Ok();
}

ArrayStatus SnapDiffMerge::Open(const std::string& baseCatalog,
                                const std::string& incrementalCatalog) {
    ArrayStatus status = m_base.Open(baseCatalog);
    if (status.bOk) status = m_incremental.Open(incrementalCatalog);
    if (status.bOk) status = RequireNothingLeftOut(m_incremental.LeftOut());
    return status;
}

// Items the incremental snapshot left out may have changed in any way, and a
// list of changes would be silent on them; the agent must read the share in
// full instead. Items only the base left out are new to the incremental
// snapshot and are reported as created, so they need no refusal.
ArrayStatus SnapDiffMerge::RequireNothingLeftOut(const std::vector<CatalogLeftOut>& items) const {
    if (items.empty()) return ArrayStatus::Ok();
    const size_t kNamed = 3;
    std::string named;
    for (size_t i = 0; i < items.size() && i < kNamed; ++i)
        named += std::string(i == 0 ? "" : "; ") + "[" + EscapeSnapDiffName(items[i].strPath) +
                 "]: " + LeftOutReasonText(items[i].reason);
    if (items.size() > kNamed)
        named += "; and " + std::to_string(items.size() - kNamed) +
                 " more, named in the log of the job that took the snapshot";
    const bool one = items.size() == 1;
    return ArrayStatus::Fail(
        kArrayErrLeftOut,
        "snapshot " + EscapeSnapDiffName(Naming().strIncremental) + " of volume " +
            Naming().strVolume + " left out " + std::to_string(items.size()) +
            (one ? " item, with all it holds, and cannot say how it changed"
                 : " items, with all they hold, and cannot say how they changed") +
            ", so the volume's shares need a full scan: " + named);
}

ArrayStatus SnapDiffMerge::Refill() {
    while (!Pending() && !(m_base.Exhausted() && m_incremental.Exhausted())) {
        ArrayStatus status;
        if (m_incremental.Exhausted() ||
            (!m_base.Exhausted() && CatalogRowLess(m_base.Next(), m_incremental.Next()) &&
             !SameInode(m_base.Next(), m_incremental.Next()))) {
            status = m_base.Take(m_baseGroup);
            if (!status.bOk) return status;
            QueueAll(m_baseGroup, kChangeTextDeleted);
        } else if (m_base.Exhausted() || !SameInode(m_base.Next(), m_incremental.Next())) {
            status = m_incremental.Take(m_incrementalGroup);
            if (!status.bOk) return status;
            QueueAll(m_incrementalGroup, kChangeTextCreated);
        } else {
            status = m_base.Take(m_baseGroup);
            if (status.bOk) status = m_incremental.Take(m_incrementalGroup);
            if (!status.bOk) return status;
            Compare(m_baseGroup, m_incrementalGroup, false);
        }
    }
    return ArrayStatus::Ok();
}
