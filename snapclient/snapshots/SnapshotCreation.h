// One CreateSnapshot call, share by share: the volume's snapshot of the job
// made (or found made for an earlier share of the volume), the share's read
// path through its .snapshot folder tested, and where either fails the share
// read live or, under the host's snapshot-only setting, dropped. Once every
// share has been through, the snapshots no share can read are deleted.
// Calls the client's virtual operations, so that an override takes effect;
// logs under the operation in progress. Lives for one call; no locks.
#pragma once

#include "records/SnapRecords.h"

#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

class CNetAppSnapClient;
class ManageONTAP;
class UnbackedShares;

class SnapshotCreation {
public:
    // paths: the content mapper path map, which gets each kept share's read path.
    SnapshotCreation(CNetAppSnapClient& client, ManageONTAP& array, long long job, bool autoMount,
                     std::map<std::string, std::string>& paths);

    // Snapshots the share's volume (or leaves a share inside a snapshot
    // folder without one) and tests that the share can be read through it;
    // false when the share is dropped.
    bool SnapshotShare(const std::string& backupPath, FileServerExportInfo& info);
    // Deletes the snapshots none of the kept shares can read, and remembers
    // the dropped shares whose volume's snapshot stays for another share.
    void Settle(const std::list<FileServerExportInfo>& kept, UnbackedShares& unbacked);
    // One line "<volume path>: <first reason>" for each volume that failed.
    std::string FailureSummary() const;

private:
    // True when the volume's snapshot of this job exists now.
    bool CreateVolumeSnapshot(const std::string& backupPath, const FileServerExportInfo& info,
                              const std::string& volumeKey, const std::string& snapName);
    // A share whose snapshot cannot be used is read live (true), or dropped
    // when the host insists on snapshot-only backups; each case logs its line.
    bool KeepWithoutSnapshot(const FileServerExportInfo& info, const std::string& volumeKey,
                             const char* droppedLine, const char* liveLine);

    CNetAppSnapClient& m_client;
    ManageONTAP& m_array;
    const long long m_llJob;
    const bool m_bAutoMount;
    std::map<std::string, std::string>& m_paths;
    bool m_bSnapshotOnly = false;
    std::map<std::string, std::string> m_failureTexts;          // volume path -> first reason
    std::map<std::string, std::set<std::string>> m_unreadable;  // volume key -> snapshots
    std::map<std::string, std::string> m_volumeOfKey;
    // Shares left out after their volume's snapshot was asked for.
    struct DroppedShare {
        std::string strVolumeKey, strVolume, strBackupPath;
    };
    std::vector<DroppedShare> m_dropped;
};
