#include "array/local/LocalArraySnapDiff.h"

#include "array/local/LocalArrayNames.h"

#include <algorithm>
#include <cstring>

namespace {

std::string LeafName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Orders the names of an inode as the file system knows them: directory
// (inode and generation, so a directory in a reused inode holds new names),
// then name in that directory.
bool LinkLess(const CatalogRow& a, const CatalogRow& b) {
    if (a.ullParentInode != b.ullParentInode) return a.ullParentInode < b.ullParentInode;
    if (a.ullParentGeneration != b.ullParentGeneration)
        return a.ullParentGeneration < b.ullParentGeneration;
    return LeafName(a.strPath) < LeafName(b.strPath);
}

// Every attribute a change to the file can touch is compared, to the
// nanosecond; the digest decides when they all agree, since a file
// rewritten with as many bytes within one tick of the clock looks the same
// by its attributes alone; so does the digest of its extended attributes
// and flags. A snapshot without copies has no digests of files or of
// their extended attributes, and then the other attributes are all there
// is.
bool AttributesChanged(const CatalogRow& a, const CatalogRow& b) {
    return a.uiFileType != b.uiFileType || a.ullSize != b.ullSize || a.llMtime != b.llMtime ||
           a.uiMtimeNs != b.uiMtimeNs || a.llCtime != b.llCtime || a.uiCtimeNs != b.uiCtimeNs ||
           a.uiMode != b.uiMode || a.ullLinks != b.ullLinks || a.uiOwner != b.uiOwner ||
           a.uiGroup != b.uiGroup || (a.bHasDigest && b.bHasDigest && a.ullDigest != b.ullDigest) ||
           (a.bHasAttributes && b.bHasAttributes && a.ullAttributes != b.ullAttributes);
}

}  // namespace

unsigned long SnapDiffMerge::ClampBatchSize(unsigned long requested) {
    return std::min(kMaxBatch, std::max(kMinBatch, requested));
}

SnapDiffMerge::SnapDiffMerge(const SnapDiffNaming& naming, unsigned long requestedBatchSize)
    : m_naming(naming), m_batchSize(ClampBatchSize(requestedBatchSize)) {}

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
        "snapshot " + EscapeSnapDiffName(m_naming.strIncremental) + " of volume " +
            m_naming.strVolume + " left out " + std::to_string(items.size()) +
            (one ? " item, with all it holds, and cannot say how it changed"
                 : " items, with all they hold, and cannot say how they changed") +
            ", so the volume's shares need a full scan: " + named);
}

void SnapDiffMerge::Queue(const CatalogRow& row, const char* changeType) {
    SnapDiffFileInfo info;
    info.ullInode = row.ullInode;
    info.uiFileType = row.uiFileType;
    info.strChangeType = changeType;
    std::string name = "/" + row.strPath;  // "/" for the volume root
    if (!m_naming.bCluster) {
        // A deleted name exists only in the base snapshot.
        const std::string& snapshot = strcmp(changeType, kChangeTextDeleted) == 0
                                          ? m_naming.strBase
                                          : m_naming.strIncremental;
        name = "/vol/" + m_naming.strVolume + "/.snapshot/" + snapshot +
               (row.strPath.empty() ? "" : name);
    }
    info.strFileName = EscapeSnapDiffName(name);
    info.ullFileSize = row.ullSize;
    info.llAttribute = row.uiMode;
    info.llMtime = row.llMtime;
    info.llCtime = row.llCtime;
    info.llAtime = row.llAtime;
    m_pending.push_back(std::move(info));
}

void SnapDiffMerge::Compare(std::vector<CatalogRow>& base, std::vector<CatalogRow>& incremental) {
    std::sort(base.begin(), base.end(), LinkLess);
    std::sort(incremental.begin(), incremental.end(), LinkLess);
    const CatalogRow* kept = nullptr;
    size_t i = 0, j = 0;
    while (i < base.size() || j < incremental.size()) {
        if (j == incremental.size() || (i < base.size() && LinkLess(base[i], incremental[j]))) {
            Queue(base[i++], kChangeTextDeleted);
        } else if (i == base.size() || LinkLess(incremental[j], base[i])) {
            Queue(incremental[j++], kChangeTextCreated);
        } else {
            if (!kept) kept = &incremental[j];
            ++i, ++j;
        }
    }
    // A new name already reports the inode; a modification is only needed
    // where a name survived.
    if (kept && AttributesChanged(base.front(), incremental.front()))
        Queue(*kept, kChangeTextModified);
}

ArrayStatus SnapDiffMerge::Refill() {
    while (m_pending.empty() && !(m_base.Exhausted() && m_incremental.Exhausted())) {
        ArrayStatus status;
        if (m_incremental.Exhausted() ||
            (!m_base.Exhausted() && CatalogRowLess(m_base.Next(), m_incremental.Next()) &&
             !SameInode(m_base.Next(), m_incremental.Next()))) {
            status = m_base.Take(m_baseGroup);
            if (!status.bOk) return status;
            for (const CatalogRow& row : m_baseGroup) Queue(row, kChangeTextDeleted);
        } else if (m_base.Exhausted() || !SameInode(m_base.Next(), m_incremental.Next())) {
            status = m_incremental.Take(m_incrementalGroup);
            if (!status.bOk) return status;
            for (const CatalogRow& row : m_incrementalGroup) Queue(row, kChangeTextCreated);
        } else {
            status = m_base.Take(m_baseGroup);
            if (status.bOk) status = m_incremental.Take(m_incrementalGroup);
            if (!status.bOk) return status;
            Compare(m_baseGroup, m_incrementalGroup);
        }
    }
    return ArrayStatus::Ok();
}

ArrayStatus SnapDiffMerge::Next(std::vector<SnapDiffFileInfo>& batch, bool& end) {
    batch.clear();
    end = false;
    for (;;) {
        ArrayStatus status = Refill();
        if (!status.bOk) return status;
        if (m_pending.empty() || batch.size() == m_batchSize) break;
        batch.push_back(std::move(m_pending.front()));
        m_pending.pop_front();
    }
    end = m_pending.empty();
    return ArrayStatus::Ok();
}
