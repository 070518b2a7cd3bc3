// Snapshot client for NetApp ONTAP arrays: one snapshot per volume per job,
// retention, the snapshot map file, and SnapDiff change scans delivered to
// the agent one item at a time. One object serves one job; it starts no
// threads and takes no locks. The class is the agent's interface and holds
// the job's described state; what each concern decides lives in its own
// class (share resolution, snapshot creation, the clean-up rule, the
// snapshot map file, a volume's SnapDiff run, the merge of one inode's
// reports, the shares' verdicts, the change store's optional operations),
// and every operation calls the others through their virtual slots, so an
// override takes effect.
#pragma once

#include "host/ApplicationId.h"
#include "host/ManageONTAP.h"
#include "host/SnapDiffEventMonitor.h"
#include "host/VkMntTab.h"
#include "snapclient/CFileServerSnapClientBase.h"
#include "snapclient/merge/ChangeMerge.h"
#include "snapclient/scan/EventStoreAdapter.h"
#include "snapclient/scan/ShareVerdicts.h"
#include "snapclient/snapshots/UnbackedShares.h"

#include <boost/shared_ptr.hpp>
#include <map>
#include <memory>
#include <set>
#include <string_view>

// The catch handler of an operation of the agent's interface.
#define SC_CAUGHT() Caught(__FILE__, __PRETTY_FUNCTION__, __LINE__)

class ShareMatcher;
struct ShareLocation;

class CNetAppSnapClient : public CFileServerSnapClientBase {
public:
    CNetAppSnapClient();
    ~CNetAppSnapClient() override;

    CRyError Initialize(LONGLONG jobId, ULONG clientId, ULONG appId1, ULONG appId2,
                        const std::string& jobResultsDir, const std::string& reserved,
                        const std::string& snapMapInfoFile, LONGLONG prevJobId, LONGLONG reserved1,
                        LONGLONG reserved2, LONGLONG reserved3,
                        const ContentMapperAPIPtr& contentMapper) override;
    CRyError InitArray(ULONG clientId) override;
    CRyError VerifySnapScanSupport() override;
    CRyError ConfigureSnapshot(std::list<std::string>& shares, const std::list<std::string>& list2,
                               const std::list<std::string>& list3) override;
    CRyError ManageSnapshots() override;
    CRyError CompareSnapshots(std::string path, std::string unused,
                              std::function<FileServerSnapshotCompareItem()>& source) override;
    CRyError CleanupSnapshot(const std::set<std::string>& snapshots) override;
    CRyError UpdateContentMapperPaths(ContentMapperAPIPtr& contentMapper) override;
    CRyError CleanupSnapshotsPostBackup(bool autoMount) override;
    CRyError RepopulateContentMapperPaths(ContentMapperAPIPtr& contentMapper) override;
    CRyError DeleteAutoMountFailedSnapshots(const std::list<std::string>& failedShares) override;

    // Further virtual operations, in slot order after the inherited ones.
    virtual CRyError CreateSnapshot(std::list<std::string>& shares,
                                    const std::list<std::string>& list2,
                                    const std::list<std::string>& list3);
    virtual CRyError AddSnapDevInfo();
    virtual void GetSnapshotName(LONGLONG jobId, std::string& name);
    virtual void GetSnapDiffItemsPerIteration(int& maxItems);
    virtual bool IsEventPartOfBackupPaths(const std::list<FileServerExportInfo>& shares,
                                          std::string& path);
    virtual bool IsPathEligibleForSnapDiffScan(const FileServerExportInfo& share);
    virtual void MarkSnapDiffCompletedShares(const std::list<FileServerExportInfo>& shares);
    virtual void GetCommonVolumeShares(const FileServerExportInfo& share,
                                       std::list<FileServerExportInfo>& common);
    virtual CRyError CreateEventDB(const std::string& prevSnapName, const std::string& currSnapName,
                                   const std::string& volume);
    virtual CRyError EventDBInsert(ChangeEventItem& event);
    virtual CRyError PopulateCompareItem(const ChangeEventItem& event,
                                         FileServerSnapshotCompareItem& item);
    virtual bool CheckIfSnapPath(const std::string& path);

    CRyError CleanupSnapshotByVolume(const std::map<std::string, std::set<std::string>>& volumes);
    // onePass as DecodeSnapDiffName gives it.
    bool SnapDiffRemoveEscapeSequence(std::string& name, unsigned char*& buffer, size_t& size,
                                      std::string* onePass = nullptr);
    FileServerSnapshotCompareItem GetSnapshotCompareItem();

protected:
    ULONG m_ulClientId;
    ULONG m_ulAppId1;
    ULONG m_ulAppId2;
    LONGLONG m_llJobId;
    std::string m_strJobResultsDir;
    std::string m_strReserved;
    std::string m_strSnapMapInfoFile;
    LONGLONG m_llReserved1;
    LONGLONG m_llReserved2;
    LONGLONG m_llReserved3;
    LONGLONG m_llPrevJobId;
    std::string m_strSnapNamePrefix;
    std::list<FileServerExportInfo> m_lstExportInfo;
    std::map<std::string, std::string> m_mapContentMapperPaths;
    boost::shared_ptr<CSnapDiffEventMonitor> m_pEventDB;
    std::map<std::string, boost::shared_ptr<CSnapDiffEventMonitor>> m_mapEventDBs;
    boost::shared_ptr<ManageONTAP> m_pManageOntap;
    bool m_bAutoMountClient;
    boost::shared_ptr<ApplicationId> m_pApplicationId;
    NASArrayInfo m_stArrayInfo;

private:
    // The error of the exception in flight, for the catch handler of an
    // interface operation (SC_CAUGHT); the item of status 6 for the pull
    // function's.
    CRyError Caught(const char* file, const char* function, int line) noexcept;
    FileServerSnapshotCompareItem CaughtInPull() noexcept;
    // Built with the object, so that it can be returned with no memory left.
    CRyError m_errOutOfMemory;

    // Volume key (volume path on a cluster, else volume name) -> snapshot names.
    typedef std::map<std::string, std::set<std::string>> VolumeSnapshots;
    // The job's shares not backed up while their volume's snapshot stayed.
    UnbackedShares m_unbackedShares;

    // Branch of CompareSnapshots for a share whose volume was compared already.
    CRyError ServeGatheredShare(const FileServerExportInfo& share, const std::string& path,
                                std::function<FileServerSnapshotCompareItem()>& source);
    // One SnapDiff run for the share's volume, storing the changes of every
    // share it serves, then the share's read is prepared and bound.
    CRyError CompareShareVolume(FileServerExportInfo& share,
                                std::function<FileServerSnapshotCompareItem()>& source);
    // Starts the read of the share's stored events and binds the pull function.
    CRyError BindShareEvents(const FileServerExportInfo& share,
                             std::function<FileServerSnapshotCompareItem()>& source);
    // The matcher of the run in progress, which IsEventPartOfBackupPaths
    // answers through for the run's shares; null between runs.
    const ShareMatcher* m_pRunMatcher = nullptr;
    ShareVerdicts m_verdicts;
    EventStoreAdapter m_store;
    // The merge of one inode's reports, and the stored event a repeated
    // inode is merged with, the event the last pull read: kept so that
    // their strings keep their buffers from one change to the next.
    ChangeMerge m_merge;
    ChangeEventItem m_stMergeStored;
    ChangeEventItem m_stScanPulledEvent;
    // Fails every share that may hold a name the merge could not keep.
    void RefuseExtraNames(const std::vector<std::string>& names);
    // The next held name of the scanned share into item; false when none is left.
    bool NextExtraName(FileServerSnapshotCompareItem& item);
    // Tells the new store and the merge the shares the run serves.
    CRyError PrepareVolumeShares(const std::list<FileServerExportInfo>& shares);
    // After an event was written over a stored one: remembers a move out of
    // a share; a full memory marks that share undeliverable.
    void NoteMovedOut(const ChangeEventItem& written);
    // Registers m_pEventDB, with what the merge gathered, as the volume's database.
    void RegisterVolumeDatabase(const std::string& volume);
    // Starts the read of the share's events, those that left it included.
    CRyError PrepareShareRead(const FileServerExportInfo& share);
    // After the prefix read: the next remembered event that left the
    // scanned share; GetNextEvent's results.
    int NextMovedOutEvent(ChangeEventItem& event);
};
