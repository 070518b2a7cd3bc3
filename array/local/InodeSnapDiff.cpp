#include "array/local/InodeSnapDiff.h"

#include "array/local/LocalArrayNames.h"

#include <algorithm>
#include <cstring>

using hostlib::Status;

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

unsigned long InodeSnapDiff::ClampBatchSize(unsigned long requested) {
    return std::min(kMaxBatch, std::max(kMinBatch, requested));
}

InodeSnapDiff::InodeSnapDiff(const SnapDiffNaming& naming, unsigned long requestedBatchSize)
    : m_naming(naming), m_batchSize(ClampBatchSize(requestedBatchSize)) {}

void InodeSnapDiff::Queue(const CatalogRow& row, const char* changeType) {
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

void InodeSnapDiff::QueueAll(const std::vector<CatalogRow>& rows, const char* changeType) {
    for (const CatalogRow& row : rows) Queue(row, changeType);
}

void InodeSnapDiff::Compare(std::vector<CatalogRow>& base, std::vector<CatalogRow>& incremental,
                            bool contentsChanged) {
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
    if (kept && (contentsChanged || AttributesChanged(base.front(), incremental.front())))
        Queue(*kept, kChangeTextModified);
}

Status InodeSnapDiff::Next(std::vector<SnapDiffFileInfo>& batch, bool& end) {
    batch.clear();
    end = false;
    for (;;) {
        Status status = Refill();
        if (!status.ok()) return status;
        if (m_pending.empty() || batch.size() == m_batchSize) break;
        batch.push_back(std::move(m_pending.front()));
        m_pending.pop_front();
    }
    end = m_pending.empty();
    return Status::OK();
}
