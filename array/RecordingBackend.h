// Records a job's array answers as an ArrayScript ([array] backend = record):
// every call runs on the inner back end, and what it answered becomes a
// script that a ScriptedArray replays with the same answers. Snapshots are
// kept as they were before the job touched them (a name's first sighting
// decides: listed, deleted or refused as existing means it was there;
// created or not found means it was not). SnapDiff batches are kept per
// (volume, base, incremental) in the order the first run that reached them
// received them. A failed call becomes a fault on the Nth call of its
// operation, with the array's code and message, so that a replay fails the
// same call the same way. The script is written, atomically, when the back
// end is destroyed (a failure is logged) or by Save().
#pragma once

#include <boost/shared_ptr.hpp>
#include <map>
#include <set>
#include <string>

#include "array/ArrayBackend.h"
#include "array/ArrayScript.h"
#include "hostlib/Status.h"

class RecordingBackend : public ArrayBackend {
public:
    RecordingBackend(const boost::shared_ptr<ArrayBackend>& inner, const std::string& recordPath,
                     const std::string& arrayName, const std::string& clientName);
    ~RecordingBackend() override;

    hostlib::Status Save() const;
    const ArrayScript& Recorded() const { return m_script; }

    ArrayStatus OpenConnection() override;
    bool IsCluster() override;
    bool IsClusterInterface() override;
    ArrayStatus GetVersion(unsigned& major, unsigned& minor, unsigned& third) override;
    ArrayStatus GetStoragePathForExport(const std::string& exportPath,
                                        std::string& volumePath) override;
    ArrayStatus ListSnapshots(const std::string& volume, const std::string& prefix,
                              std::vector<SnapShotInfo_t>& snapshots) override;
    ArrayStatus CreateSnapshot(const std::string& volume, const std::string& name) override;
    ArrayStatus DeleteSnapshot(const std::string& volume, const std::string& name) override;
    ArrayStatus SnapDiffStart(const std::string& volume, const std::string& base,
                              const std::string& incremental, unsigned long maxItems,
                              const std::string& protocol, std::string& handle, bool& escapedNames,
                              bool& emptyBatchesAllowed) override;
    ArrayStatus SnapDiffNext(const std::string& handle, std::vector<SnapDiffFileInfo>& batch,
                             bool& end) override;
    ArrayStatus SnapDiffEnd(const std::string& handle) override;

private:
    typedef std::tuple<std::string, std::string, std::string> DiffKey;
    struct Session {
        DiffKey key;
        size_t nextBatch;
    };
    // Counts the call; a failure becomes a fault on this call. Returns status.
    ArrayStatus Seen(const std::string& operation, const ArrayStatus& status);
    // First sighting of a snapshot decides whether it existed at the start.
    void Sighted(const std::string& volume, const std::string& name, bool existed);

    boost::shared_ptr<ArrayBackend> m_pInner;
    std::string m_strRecordPath;
    ArrayScript m_script;
    std::map<std::string, uint64_t> m_calls;                  // operation -> calls so far
    std::set<std::pair<std::string, std::string>> m_sighted;  // (volume name, snapshot)
    std::map<std::string, Session> m_sessions;                // open SnapDiff handles
};
