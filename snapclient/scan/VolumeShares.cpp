// Which shares one SnapDiff run may serve. SnapDiff compares two snapshots
// of a whole volume, so one run serves every SnapDiff share of the volume as
// long as no two of them overlap: a change inside two shares could not be
// given to both. A share nested in another SnapDiff share of its volume is
// refused and the agent scans it the ordinary way.
#include "snapclient/NetAppSnapClient.h"

#include "host/FXPath.h"
#include "host/JobInfo.h"
#include "snapclient/ClientLog.h"
#include "snapclient/scan/SnapDiffName.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>
#include <vector>

bool CNetAppSnapClient::IsPathEligibleForSnapDiffScan(const FileServerExportInfo& share) {
    SC_OPERATION();
    if (share.strPrevSnapName.empty() || share.strCurrSnapName.empty()) {
        SC_LOG_ALWAYS(-1,
                      "Current snapshot[%s] or prev snapshot[%s] is not valid for path[%s], can "
                      "not process path using SnapDiff scan",
                      share.strCurrSnapName.c_str(), share.strPrevSnapName.c_str(),
                      share.strBackupPath.c_str());
        return false;
    }
    if (!share.bSnapDiffEnabled) {
        SC_LOG_ALWAYS(-1, "Path[%s] is not enabled for SnapDiff scan", share.strBackupPath.c_str());
        return false;
    }
    for (const FileServerExportInfo& other : m_lstExportInfo) {
        if (!other.bSnapDiffEnabled || other.strVolume != share.strVolume ||
            other.strBackupPath == share.strBackupPath)
            continue;
        if (!FXPath::IsDescendantOf(share.strVolumePath, other.strVolumePath, true)) continue;
        SC_LOG_ALWAYS(-1,
                      "Path[%s] VolumePath[%s] overlaps with path[%s] VolumePath[%s], can not "
                      "process path[%s] using SnapDiff scan",
                      share.strBackupPath.c_str(), share.strVolumePath.c_str(),
                      other.strBackupPath.c_str(), other.strVolumePath.c_str(),
                      share.strBackupPath.c_str());
        return false;
    }
    return true;
}

namespace {

// A volume path whose bytes say where it lies: absolute, not the root, with
// no "." or ".." component and no doubled "/". Such a path lies inside
// another plain one only where that one's key begins its key at a component
// boundary, so the host's IsDescendantOf need not be asked about any other
// pair; about a path that is not plain it is asked for every pair.
bool PlainVolumePathKey(const std::string& path, std::string_view& key) {
    if (path.size() < 2 || path[0] != '/' || path.find("//") != std::string::npos ||
        HasDotComponent(path))
        return false;
    key = path;
    if (key.back() == '/') key.remove_suffix(1);
    return true;
}

// True when the key inner may lie inside the key outer.
bool MayLieInside(std::string_view inner, std::string_view outer) {
    return inner.compare(0, outer.size(), outer) == 0 &&
           (inner.size() == outer.size() || inner[outer.size()] == '/');
}

}  // namespace

void CNetAppSnapClient::GetCommonVolumeShares(const FileServerExportInfo& share,
                                              std::list<FileServerExportInfo>& common) {
    SC_OPERATION();
    std::string_view shareKey, key;
    const bool sharePlain = PlainVolumePathKey(share.strVolumePath, shareKey);
    std::list<FileServerExportInfo> candidates(1, share);
    for (const FileServerExportInfo& other : m_lstExportInfo) {
        if (other.strVolume != share.strVolume || !other.bSnapDiffEnabled) continue;
        const bool ruledOut = sharePlain && PlainVolumePathKey(other.strVolumePath, key) &&
                              !MayLieInside(key, shareKey);
        if (ruledOut || !FXPath::IsDescendantOf(other.strVolumePath, share.strVolumePath, true))
            candidates.push_back(other);
    }

    // A candidate is dropped when it lies inside another candidate. The
    // plain ones are sorted by key once, so that each looks up only the keys
    // that begin its own; the others are asked about every candidate.
    std::vector<std::pair<std::string_view, const FileServerExportInfo*>> plain;
    std::vector<const FileServerExportInfo*> others;
    for (const FileServerExportInfo& candidate : candidates) {
        if (PlainVolumePathKey(candidate.strVolumePath, key))
            plain.emplace_back(key, &candidate);
        else
            others.push_back(&candidate);
    }
    std::stable_sort(plain.begin(), plain.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    auto liesInside = [](const FileServerExportInfo& inner, const FileServerExportInfo* outer) {
        return outer->strBackupPath != inner.strBackupPath &&
               FXPath::IsDescendantOf(inner.strVolumePath, outer->strVolumePath, true);
    };
    for (const FileServerExportInfo& candidate : candidates) {
        bool nested = false;
        if (!PlainVolumePathKey(candidate.strVolumePath, key)) {
            for (const FileServerExportInfo& outer : candidates)
                nested = nested || liesInside(candidate, &outer);
        } else {
            for (const FileServerExportInfo* outer : others)
                nested = nested || liesInside(candidate, outer);
            for (size_t end = 1; !nested && end <= key.size(); ++end) {
                if (end < key.size() && key[end] != '/') continue;
                const std::string_view outerKey = key.substr(0, end);
                auto at = std::lower_bound(
                    plain.begin(), plain.end(), outerKey,
                    [](const auto& entry, std::string_view k) { return entry.first < k; });
                for (; !nested && at != plain.end() && at->first == outerKey; ++at)
                    nested = liesInside(candidate, at->second);
            }
        }
        if (nested) continue;
        common.push_back(candidate);
        SC_LOG(0, "Found common volume backup path[%s] for SnapDiff scan processing",
               candidate.strBackupPath.c_str());
    }
}

void CNetAppSnapClient::MarkSnapDiffCompletedShares(const std::list<FileServerExportInfo>& shares) {
    // The first share of each completed path is marked; a set keeps this
    // linear in the job's shares.
    std::unordered_set<std::string_view> pending;
    for (const FileServerExportInfo& done : shares) pending.insert(done.strBackupPath);
    for (FileServerExportInfo& entry : m_lstExportInfo)
        if (pending.erase(entry.strBackupPath)) entry.bSnapDiffDone = true;
}

void CNetAppSnapClient::GetSnapDiffItemsPerIteration(int& maxItems) {
    SC_OPERATION();
    // Larger batches are only safe from ONTAP 9.2 on; only a cluster reports
    // a version we can trust for that.
    bool ontap92OrLater = false;
    if (m_pManageOntap && m_pManageOntap->IsCluster()) {
        unsigned major = 0, minor = 0, third = 0;
        if (m_pManageOntap->GetFileServerVersion(major, minor, third, false))
            ontap92OrLater = major > 9 || (major == 9 && minor > 1);
    }
    CJobInfoIndexNasFs jobInfo;
    CRyError err = jobInfo.DetermineSnapDiffMax(ontap92OrLater, VKAPP_NAS_FILESYSTEM,
                                                static_cast<uint64_t>(m_ulAppId1),
                                                static_cast<uint64_t>(m_ulAppId2), maxItems);
    if (err.IsError()) {
        SC_LOG(0, "Could not determine SnapDiffMax value, use default value [%d], error=%s",
               maxItems, err.AsString().c_str());
        return;
    }
    SC_LOG(3, "Determined maximum number of diffs in each SnapDiff response is [%d]", maxItems);
}
