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
    kArrayErrLeftOut = 13997,          // SnapDiffStart: the snapshot left items out
    kArrayErrStopped = 13998,          // a long operation stopped at the operator's request
    kArrayErrInjected = 13999,         // default code of an injected fault
};

class ArrayBackend {
public:
    virtual ~ArrayBackend() = default;

    // Reaches the array. Called once at set-up and again before each SnapDiff
    // run; a failure (kArrayErrNotConnected when the array cannot be reached)
    // leaves nothing behind, and every later call may try again. The local
    // array also clears what a killed snapshot creation left.
    virtual ArrayStatus OpenConnection() = 0;
    // What the array is, from its configuration: no failure, no round trip.
    // On a cluster a volume argument is the share's volume path, and SnapDiff
    // names are relative to the volume; elsewhere they lie in the snapshot
    // folder (/vol/<volume>/.snapshot/<snapshot>/...).
    virtual bool IsCluster() = 0;
    virtual bool IsClusterInterface() = 0;
    // The array's software version; the outputs are undefined on failure.
    virtual ArrayStatus GetVersion(unsigned& major, unsigned& minor, unsigned& third) = 0;
    // The storage path (/vol/<volume>[/...]) of an export path.
    // kArrayErrNotFound when no export or folder of that name exists;
    // volumePath is undefined on failure.
    virtual ArrayStatus GetStoragePathForExport(const std::string& exportPath,
                                                std::string& volumePath) = 0;
    // Snapshots of the volume whose names begin with prefix, in no promised
    // order. The list is cleared first; no snapshot yet is an empty list, not
    // an error. On failure (kArrayErrNotFound for an unknown volume) the list is
    // undefined: ManageONTAP hands the caller nothing of it.
    virtual ArrayStatus ListSnapshots(const std::string& volume, const std::string& prefix,
                                      std::vector<SnapShotInfo_t>& snapshots) = 0;
    // Takes a snapshot of the volume. kArrayErrSnapshotExists when the name
    // is taken (the existing snapshot is left as it is); any other failure
    // leaves no snapshot of that name, or debris that the next creation or
    // OpenConnection clears, never a listed half-made snapshot.
    virtual ArrayStatus CreateSnapshot(const std::string& volume, const std::string& name) = 0;
    // Deletes the snapshot. kArrayErrNotFound when it does not exist. A
    // deletion that fails part-way leaves the snapshot listed, so that it can
    // be deleted again.
    virtual ArrayStatus DeleteSnapshot(const std::string& volume, const std::string& name) = 0;
    // Opens a SnapDiff session between two snapshots of the volume, at most
    // maxItems changes a batch, and names it by handle. escapedNames: every
    // name comes escaped (a backslash starts an escape). emptyBatchesAllowed:
    // an empty batch without the end flag means "not ready yet", not "done".
    // Sessions are few (kArrayErrTooManySessions): one that opened must be
    // ended by SnapDiffEnd unless a SnapDiffNext answered with the end flag.
    // A failed start opens no session and leaves the outputs undefined.
    virtual ArrayStatus SnapDiffStart(const std::string& volume, const std::string& base,
                                      const std::string& incremental, unsigned long maxItems,
                                      const std::string& protocol, std::string& handle,
                                      bool& escapedNames, bool& emptyBatchesAllowed) = 0;
    // The next batch of changes, replacing batch's contents; end is set with
    // the last batch, which may hold changes or be empty, and the session is
    // then over (a later call or SnapDiffEnd answers kArrayErrBadHandle). An
    // empty batch without end is "not ready yet" only where the start allowed
    // it; otherwise the caller takes it as the end. On failure batch is empty
    // or undefined and the session may still be open: the caller ends it.
    virtual ArrayStatus SnapDiffNext(const std::string& handle,
                                     std::vector<SnapDiffFileInfo>& batch, bool& end) = 0;
    // Ends the session and frees its slot. kArrayErrBadHandle for a handle
    // that is unknown or already over, which callers may ignore.
    virtual ArrayStatus SnapDiffEnd(const std::string& handle) = 0;
};

// Volume name named by a volume argument: "/vol/<v>[/...]" gives <v>, any
// other text is taken as the name itself.
std::string VolumeNameOfArgument(const std::string& volumeArgument);
