// The interface through which a NAS file-server agent drives a snapshot
// client for one backup job. The agent obtains an object from the plug-in's
// exported GetSnapClient, calls it from one thread, and destroys it through
// the virtual destructor. Slot order is part of the plug-in contract.
//
// Every operation answers with a CRyError and never throws. An error ends
// that operation only: the object stays usable, and the agent goes on with
// the job (a share whose comparison failed is scanned the ordinary way; a
// failed CompareSnapshots may be asked again, which runs SnapDiff again).
// After CleanupSnapshotsPostBackup has released the array connection, the
// operations that need the array fail with an error that says so.
#pragma once

#include "host/CRyError.h"
#include "host/ContentMapper.h"
#include "records/SnapRecords.h"

#include <functional>
#include <list>
#include <set>
#include <string>

class CFileServerSnapClientBase {
public:
    virtual ~CFileServerSnapClientBase() {}

    virtual CRyError Initialize(LONGLONG jobId, ULONG clientId, ULONG appId1, ULONG appId2,
                                const std::string& jobResultsDir, const std::string& reserved,
                                const std::string& snapMapInfoFile, LONGLONG prevJobId,
                                LONGLONG reserved1, LONGLONG reserved2, LONGLONG reserved3,
                                const ContentMapperAPIPtr& contentMapper) = 0;
    virtual CRyError InitArray(ULONG clientId) = 0;
    virtual CRyError VerifySnapScanSupport() = 0;
    virtual CRyError ConfigureSnapshot(std::list<std::string>& shares,
                                       const std::list<std::string>& list2,
                                       const std::list<std::string>& list3) = 0;
    virtual CRyError ManageSnapshots() = 0;
    // On success binds source to the share's changes, one item per call:
    // status 1 to 4 a change; 5 when none is left; 6 when the changes cannot
    // all be read (the list is incomplete: the agent must not take what it
    // pulled for the share's changes). 5 and 6 end the list; a call after
    // them asks again and answers 5 or 6 again. Every bound function reads
    // the share of the latest successful CompareSnapshots and is valid while
    // the client lives. On error source is left as it was.
    virtual CRyError CompareSnapshots(std::string path, std::string unused,
                                      std::function<FileServerSnapshotCompareItem()>& source) = 0;
    virtual CRyError CleanupSnapshot(const std::set<std::string>& snapshots) = 0;
    virtual CRyError UpdateContentMapperPaths(ContentMapperAPIPtr& contentMapper) = 0;
    virtual CRyError CleanupSnapshotsPostBackup(bool autoMount) = 0;
    virtual CRyError RepopulateContentMapperPaths(ContentMapperAPIPtr& contentMapper) = 0;
    virtual CRyError DeleteAutoMountFailedSnapshots(const std::list<std::string>& failedShares) = 0;
};

// Exported with C linkage by the plug-in: a new client, or null when it
// cannot be allocated. The agent owns the object.
extern "C" CFileServerSnapClientBase* GetSnapClient();
typedef CFileServerSnapClientBase* (*GetSnapClientFn)();
