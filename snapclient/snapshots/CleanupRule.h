// Which of a volume's listed snapshots a clean-up of this job deletes: every
// snapshot of this client and application but those of later jobs (a job
// started after this one still reads them), the job's own unless it goes
// too, the previous job's where the next comparison needs it, and, while the
// job's own snapshot of the volume was not made, the newest other one, so
// that the volume keeps something to compare with and to read from.
// Retention and the post-backup clean-up both decide by this rule; each
// names the volume in its lines its own way. Logs under the operation in
// progress; holds references only, for the length of one clean-up.
#pragma once

#include "records/SnapRecords.h"

#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

class ManageONTAP;

struct CleanupRule {
    const std::string& strPrefix;  // the client's snapshot names
    long long llJob;
    const std::string& strCurrent;  // the job's own snapshot
    bool bKeepCurrent;
    const std::string& strPrevious;  // kept when listed; empty: none kept
    bool bKeepLastGood;
    const char* pszLaterJobLine;  // level 1, with the name and the volume

    // The listed snapshots to delete; previousListed tells whether the kept
    // previous snapshot was listed.
    std::set<std::string> Deletable(const std::vector<SnapShotInfo_t>& listed,
                                    const std::string& volume, bool& previousListed) const;
};

// Drops from toDelete (volume key -> names) every snapshot that a share of
// shares outside excludedVolumePaths still reads through; volumeOfKey names
// the volume of each key. A snapshot pulled from under a share's backup
// would fail it.
void KeepSnapshotsReadByShares(std::map<std::string, std::set<std::string>>& toDelete,
                               const std::map<std::string, std::string>& volumeOfKey,
                               const std::set<std::string>& excludedVolumePaths,
                               const std::list<FileServerExportInfo>& shares);

// The client's snapshots on a volume for a clean-up; a failed list is logged
// and leaves the list as the array left it.
void ListSnapshotsForCleanup(ManageONTAP& array, const std::string& volumeKey,
                             const std::string& volume, const std::string& prefix,
                             std::vector<SnapShotInfo_t>& snapshots);

// The agent's setting under which neither clean-up keeps a snapshot for the
// next job's SnapDiff.
extern const char kDisableSnapDiffKey[];
// True when the agent's setting key is a non-zero number, read into value.
bool RegistrySettingOn(const char* key, int& value);
