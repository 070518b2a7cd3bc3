// Snapshot client for NetApp ONTAP arrays: one snapshot per volume per job,
// retention, the snapshot map file, and SnapDiff change scans delivered to
// the agent one item at a time. One object serves one job; it starts no
// threads and takes no locks. The implementation is split by concern over
// the NetAppSnapClient*.cpp files of snapclient/ (the object, its guard),
// shares/ (share resolution, auto-mount), snapshots/ (creation, retention,
// post-backup cleanup, the snapshot map file), scan/ (SnapDiff runs, names,
// the change store) and delivery/ (the pull function); they share this one
// class. What the reports of one inode become is ChangeMerge's (merge/).
#pragma once

#include "host/ApplicationId.h"
#include "host/ManageONTAP.h"
#include "host/SnapDiffEventMonitor.h"
#include "host/VkMntTab.h"
#include "snapclient/CFileServerSnapClientBase.h"
#include "snapclient/merge/ChangeMerge.h"
#include "snapclient/shares/ShareMatcher.h"

#include <boost/shared_ptr.hpp>
#include <map>
#include <memory>
#include <set>
#include <string_view>

// The catch handler of an operation of the agent's interface.
#define SC_CAUGHT() Caught(__FILE__, __PRETTY_FUNCTION__, __LINE__)

struct SnapDiffEventMonitorExtensions;

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
    bool SnapDiffRemoveEscapeSequence(std::string& name, unsigned char*& buffer, size_t& size,
                                      std::string* onePass = nullptr);
    FileServerSnapshotCompareItem GetSnapshotCompareItem();
    // True when a component of path is "." or "..".
    static bool HasDotComponent(const std::string& path);

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
    // --- Exceptions (NetAppSnapClientGuard.cpp) ---
    // The error of the exception in flight, for the catch handler of an
    // interface operation (SC_CAUGHT); the item of status 6 for the pull
    // function's.
    CRyError Caught(const char* file, const char* function, int line) noexcept;
    FileServerSnapshotCompareItem CaughtInPull() noexcept;
    // Built with the object, so that it can be returned with no memory left.
    CRyError m_errOutOfMemory;

    // --- Frame helpers (NetAppSnapClient.cpp) ---
    // The error the agent gets when the array does not answer a connection.
    CRyError ArrayUnreachable(const FXCodeLocation& where) const;
    // The error of an operation that needs the array connection and has
    // none (never set up, or released by the post-backup cleanup); each
    // operation words its own message.
    static CRyError NoArray(const FXCodeLocation& where, const char* message);
    // The agent's content mapper as our concrete class, or error 160.
    static CRyError AsContentMapper(const ContentMapperAPIPtr& given,
                                    boost::shared_ptr<CContentMapper>& mapper,
                                    const FXCodeLocation& where);

    // --- Snapshot helpers (shares/NetAppSnapClientShares.cpp, snapshots/*.cpp) ---
    // The strings share resolution derives for one backup path.
    struct ShareLocation {
        std::string strInterface;
        std::string strMountFormat;
        std::string strExportPath;
        std::string strVolumePath;
        std::string strVolume;
    };
    // Volume key (volume path on a cluster, else volume name) -> snapshot names.
    typedef std::map<std::string, std::set<std::string>> VolumeSnapshots;

    // Snapshot creation pieces (snapshots/NetAppSnapClientCreation.cpp). The
    // state of one CreateSnapshot call: why shares failed, the snapshots
    // that cannot be read, the shares dropped.
    struct SnapshotCreation;
    // Snapshots the share's volume (or leaves a share inside a snapshot
    // folder without one) and tests that the share can be read through it;
    // false when the share is dropped.
    bool SnapshotShare(SnapshotCreation& creation, const std::string& backupPath,
                       FileServerExportInfo& info);
    // True when the volume's snapshot of this job exists now.
    bool CreateVolumeSnapshot(SnapshotCreation& creation, const std::string& backupPath,
                              const FileServerExportInfo& info, const std::string& volumeKey,
                              const std::string& snapName);
    // A share whose snapshot cannot be used is read live (true), or dropped
    // when the host insists on snapshot-only backups; each case logs its line.
    bool KeepWithoutSnapshot(SnapshotCreation& creation, const FileServerExportInfo& info,
                             const std::string& volumeKey, const char* droppedLine,
                             const char* liveLine);
    // Deletes the snapshots no share can read and remembers dropped shares
    // whose volume's snapshot stays for another share.
    void SettleFailedSnapshots(SnapshotCreation& creation);

    // Share resolution pieces (NetAppSnapClientShares.cpp).
    static bool FindMountedExport(const std::list<VkMntTab::Entry>& mounts,
                                  const std::string& backupPath, ShareLocation& location);
    static bool FindAutoMountExport(const std::string& backupPath, ShareLocation& location);
    static std::string ExportPathOfMountFormat(const std::string& mountFormat);
    static std::string VolumeFromVolumePath(const std::string& volumePath);
    bool LocateVolume(ShareLocation& location);
    bool ResolveShareForSnapshot(const std::string& backupPath,
                                 const std::list<VkMntTab::Entry>& mounts, ShareLocation& location);
    std::string VolumeKey(const std::string& volumePath, const std::string& volume);
    // The client's snapshots on a volume, for the two clean-ups; a failed
    // list is logged and leaves the list as the array left it.
    void ListClientSnapshotsForCleanup(const std::string& volumeKey, const std::string& volume,
                                       std::vector<SnapShotInfo_t>& snapshots);
    static bool RegistrySettingOn(const char* key, int& value);
    // True for a snapshot of this client whose job id is above the current
    // job's: a job started after this one still reads or compares it, so
    // neither clean-up of this job may delete it (NetAppSnapClient.cpp).
    bool IsSnapshotOfLaterJob(const std::string& name) const;
    // Drops from toDelete every snapshot that a kept share outside
    // excludedVolumePaths still reads through (NetAppSnapClientRetention.cpp).
    void KeepSnapshotsReadByShares(VolumeSnapshots& toDelete,
                                   const std::map<std::string, std::string>& volumeOfKey,
                                   const std::set<std::string>& excludedVolumePaths);
    // Calls visit with the backup path of every record of the job's snapshot
    // map file, in file order, until visit fails (NetAppSnapClientSnapMap.cpp).
    // A record whose backup path may hold ":" gives every possible cut,
    // the shortest first.
    CRyError ForEachSnapMapBackupPath(
        const std::function<CRyError(const std::vector<std::string>& backupPaths)>& visit,
        bool& opened);
    // Whether a recorded backup path leads to a volume, asking nothing of the
    // operator: the cut of a record that the cleanup takes.
    bool ResolvesForCleanup(const std::string& backupPath, bool autoMount);
    // Volume -> its key for the array and the shares of this job that were
    // not backed up while the volume's current snapshot stayed for other
    // shares. The post-backup cleanup deletes that snapshot, or the next job
    // would compare those shares from it and never deliver their earlier
    // changes.
    struct UnbackedShares {
        std::string strVolumeKey;
        std::vector<std::string> vecBackupPaths;
    };
    std::map<std::string, UnbackedShares> m_mapUnbackedShareVolumes;
    void RememberUnbackedShare(const std::string& volumeKey, const std::string& volume,
                               const std::string& backupPath);
    // Post-backup resolution of one recorded path (NetAppSnapClientPostBackup.cpp).
    // An error that stops the cleanup carries the operation's location.
    bool ResolveBackupPathForCleanup(const std::string& backupPath, bool autoMount,
                                     ShareLocation& location, CRyError& stop,
                                     const FXCodeLocation& where);

    // --- Change scan helpers (NetAppSnapClientScan*.cpp) ---
    // State of one SnapDiff run (NetAppSnapClientScanCompare.cpp).
    struct SnapDiffRun;
    // Branch of CompareSnapshots for a share whose volume was compared already.
    CRyError ServeGatheredShare(const FileServerExportInfo& share, const std::string& path,
                                std::function<FileServerSnapshotCompareItem()>& source);
    // One SnapDiff run for the share's volume, storing the changes of every
    // share it serves, then the share's read is prepared and bound.
    CRyError CompareShareVolume(FileServerExportInfo& share,
                                std::function<FileServerSnapshotCompareItem()>& source);
    CRyError RunSnapDiffBatches(SnapDiffRun& run);
    CRyError StoreSnapDiffChange(SnapDiffRun& run, SnapDiffFileInfo& change);
    // The run's shares as IsEventPartOfBackupPaths matches paths to them:
    // built once per run, held while it lasts.
    std::unique_ptr<ShareMatcher> m_pRunMatcher;
    // False for a volume path of another form than share resolution gives
    // (no volume name, or nothing after it to match changes against).
    static bool HasMatchableVolumePath(const FileServerExportInfo& share);
    // Backup path -> why a change of that share, received by the last run of
    // its volume, could not be delivered; such a share needs a full scan.
    std::map<std::string, CRyError> m_mapUndeliverableShares;
    // Starts the read of the share's stored events and binds the pull function.
    CRyError BindShareEvents(const FileServerExportInfo& share,
                             std::function<FileServerSnapshotCompareItem()>& source);
    // The event the last pull read from the store (NetAppSnapClientScanDelivery.cpp).
    ChangeEventItem m_stScanPulledEvent;
    // Records that a change of the share cannot be delivered: its comparison
    // fails with 995 and the message, so the agent scans it in full.
    void MarkShareUndeliverable(const std::string& backupPath, const std::string& name,
                                const std::string& why);

    // --- Names that may mean several files (NetAppSnapClientScanNames.cpp) ---
    // Cuts a non-cluster name down to its path below the snapshot folder.
    static bool CutSnapshotPrefix(std::string& name, const std::string& currSnapName,
                                  const std::string& prevSnapName);
    // A name as the array sent it and as decoded, for one change.
    struct ReceivedName {
        const std::string& strRaw;      // as sent
        const std::string& strOnePass;  // one decoding pass, when a second one ran
        const std::string& strDecoded;  // both passes, snapshot folder cut away
        const std::string& strChangeType;
        bool bCluster;
    };
    enum class NamePlacement { kOrdinary, kPlaced, kLeftOut };
    // kOrdinary: a name without a backslash that no second pass changed,
    // for the usual share matching. Otherwise placed holds the backup path
    // of the one form that exists in the change's snapshot (kPlaced), or the
    // change is left out (kLeftOut) and, when a share may hold it, that
    // share is marked undeliverable.
    NamePlacement PlaceNameOfSeveralForms(const FileServerExportInfo& runShare,
                                          const ReceivedName& name, std::string& placed);

    // --- The merge of one inode's reports (merge/ChangeMerge.h) ---
    ChangeMerge m_merge;
    // The stored event a repeated inode is merged with; kept so that its
    // strings keep their buffers from one change to the next.
    ChangeEventItem m_stMergeStored;
    // Fails every share that may hold a name the merge could not keep.
    void RefuseExtraNames(const std::vector<std::string>& names);
    // The next held name of the scanned share into item; false when none is left.
    bool NextExtraName(FileServerSnapshotCompareItem& item);

    // --- The volume's change store (scan/NetAppSnapClientEventStore.cpp) ---
    // Our host store's extra operations, or null: the host's store has the
    // common operations only, and the client remembers moved-out inodes.
    const SnapDiffEventMonitorExtensions* m_pStoreExtensions;
    static const SnapDiffEventMonitorExtensions* FindStoreExtensions();
    // Stores event unless its inode is stored already: then exists is true
    // and stored holds the stored event. Our store's one call where the host
    // offers it (m_pfnInsertOrGet, else null), or InsertEvent and
    // GetEventOfInode (InsertThenGet).
    typedef CRyError (*InsertOrGet)(CSnapDiffEventMonitor& store, const ChangeEventItem& event,
                                    bool& exists, ChangeEventItem& stored);
    InsertOrGet m_pfnInsertOrGet;
    static InsertOrGet FindInsertOrGet(const SnapDiffEventMonitorExtensions* table);
    CRyError InsertThenGet(const ChangeEventItem& event, bool& exists, ChangeEventItem& stored);
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
