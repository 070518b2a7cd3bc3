// A stateful array that answers from an ArrayScript: exports, snapshots per
// volume (create adds, 104 when the name exists; delete removes; list
// filters by prefix), SnapDiff answers keyed by (volume, base, incremental),
// where a new start on a key replays its answer from the first batch.
// Faults are not handled here: wrap it in a FaultInjectingBackend.
//
// Volume arguments are reduced with VolumeNameOfArgument, so /vol/v/a and v
// reach the same snapshots. A volume the script does not name appears on
// first use: CreateSnapshot on it succeeds and listing it gives nothing, as
// on an array whose volume simply has no snapshots yet. A scripted batch
// larger than the caller's maxItems is sent in pieces of at most maxItems,
// the end flag with the last piece only.
#pragma once

#include "array/ArrayBackend.h"
#include "array/ArrayScript.h"

#include <map>

class ScriptedArray : public ArrayBackend {
public:
    explicit ScriptedArray(const ArrayScript& script);

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

    // The current state (snapshots change as the client works).
    const ArrayScript& Script() const { return m_script; }
    ArrayScript& MutableScript() { return m_script; }
    // Handles started and not yet ended.
    size_t OpenSessions() const { return m_sessions.size(); }

private:
    struct Session {
        const ScriptedSnapDiff* answer;
        size_t nextBatch;
        unsigned long maxItems;
        ScriptedBatch pending;  // the batch being sent in pieces of maxItems
        size_t pendingSent;     // changes of pending already sent
    };
    ArrayStatus SendPiece(std::map<std::string, Session>::iterator session,
                          std::vector<SnapDiffFileInfo>& batch, bool& end);
    ArrayScript m_script;
    std::map<std::string, Session> m_sessions;
    uint64_t m_ullNextHandle = 1;
};
