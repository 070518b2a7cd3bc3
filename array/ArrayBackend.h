// The array behind ManageONTAP. One back end serves one ManageONTAP object;
// calls come from one thread at a time. Every operation returns an
// ArrayStatus: ok, or a code and message that ManageONTAP keeps as its last
// error. A volume argument is a volume name, or on a cluster a volume path
// /vol/<volume>[/...] that names <volume>.
#pragma once

#include "records/SnapRecords.h"

#include <cstdint>
#include <string>
#include <vector>

struct ArrayStatus {
    bool bOk = true;
    uint32_t uiCode = 0;
    std::string strMessage;

    static ArrayStatus Ok() { return ArrayStatus(); }
    static ArrayStatus Fail(uint32_t code, const std::string& message) {
        ArrayStatus s;
        s.bOk = false;
        s.uiCode = code;
        s.strMessage = message;
        return s;
    }
};

// Codes our back ends answer with.
enum : uint32_t {
    kArrayErrSnapshotExists = 104,     // CreateOntapSnap: the name exists
    kArrayErrNotFound = 13040,         // volume, snapshot or export unknown
    kArrayErrInvalidArgument = 13115,  // a name that is empty, ".", "..", or holds "/" or NUL
    kArrayErrNotConnected = 13001,     // no back end, or the connection was dropped
    kArrayErrInternal = 13002,         // the back end's own storage failed
    kArrayErrTooManySessions = 14506,  // SnapDiffStart: every session is in use
    kArrayErrBadHandle = 14508,        // SnapDiffNext/End: unknown or ended handle
    kArrayErrStopped = 13998,          // a long operation stopped at the operator's request
    kArrayErrInjected = 13999,         // default code of an injected fault
};

class ArrayBackend {
public:
    virtual ~ArrayBackend() = default;

    virtual ArrayStatus OpenConnection() = 0;
    virtual bool IsCluster() = 0;
    virtual bool IsClusterInterface() = 0;
    virtual ArrayStatus GetVersion(unsigned& major, unsigned& minor, unsigned& third) = 0;
    virtual ArrayStatus GetStoragePathForExport(const std::string& exportPath,
                                                std::string& volumePath) = 0;
    // Snapshots of the volume whose names begin with prefix.
    virtual ArrayStatus ListSnapshots(const std::string& volume, const std::string& prefix,
                                      std::vector<SnapShotInfo_t>& snapshots) = 0;
    virtual ArrayStatus CreateSnapshot(const std::string& volume, const std::string& name) = 0;
    virtual ArrayStatus DeleteSnapshot(const std::string& volume, const std::string& name) = 0;
    virtual ArrayStatus SnapDiffStart(const std::string& volume, const std::string& base,
                                      const std::string& incremental, unsigned long maxItems,
                                      const std::string& protocol, std::string& handle,
                                      bool& escapedNames, bool& emptyBatchesAllowed) = 0;
    virtual ArrayStatus SnapDiffNext(const std::string& handle,
                                     std::vector<SnapDiffFileInfo>& batch, bool& end) = 0;
    virtual ArrayStatus SnapDiffEnd(const std::string& handle) = 0;
};

// Volume name named by a volume argument: "/vol/<v>[/...]" gives <v>, any
// other text is taken as the name itself.
std::string VolumeNameOfArgument(const std::string& volumeArgument);
