// Decorates any back end: records every call (operation, arguments, result)
// and fails the Nth call of an operation, optionally counting only the calls
// whose volume argument names a given volume. Counts are per decorator.
// Used by tests, by the config's fault settings and by the scripted array.
// A fault's volume and a call's volume argument match when they name the
// same volume (VolumeNameOfArgument); GetActualStoragePathForNfsExport counts
// its export path as its volume argument. A fault fails the call without
// passing it on, as a request lost on the way would. After a fault with
// bDropConnection every later call fails with kArrayErrNotConnected.
#pragma once

#include "array/ArrayBackend.h"
#include "array/ArrayScript.h"

#include <boost/shared_ptr.hpp>
#include <functional>
#include <map>
#include <vector>

class FaultInjectingBackend : public ArrayBackend {
public:
    struct Call {
        std::string strOperation;
        std::vector<std::string> vecArguments;  // volume argument first where there is one
        bool bOk = true;
        uint32_t uiCode = 0;
    };

    FaultInjectingBackend(const boost::shared_ptr<ArrayBackend>& inner,
                          const std::vector<ScriptedFault>& faults);

    void AddFault(const ScriptedFault& fault);
    const std::vector<Call>& Calls() const { return m_calls; }
    void ClearCalls() { m_calls.clear(); }
    // Number of calls of an operation so far (all volumes).
    uint64_t CallCount(const std::string& operation) const;
    boost::shared_ptr<ArrayBackend> Inner() const { return m_pInner; }
    // A new connection after a dropped one (the next job's): calls pass again.
    void Reconnect() { m_bDropped = false; }
    // Runs before every call reaches the fault check (tests stop the process
    // there, as a crash between two array calls would).
    void SetBeforeCall(std::function<void(const std::string& operation)> observer) {
        m_beforeCall = std::move(observer);
    }

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
    // The injected failure for this call, ok when none; counts the call.
    ArrayStatus Injected(const std::string& operation, const std::string& volume);
    // Counts and records one call; the inner back end answers it unless a
    // fault does (then the inner back end never sees it).
    ArrayStatus Run(const std::string& operation, const std::string& volume,
                    std::vector<std::string> arguments, const std::function<ArrayStatus()>& call);

    boost::shared_ptr<ArrayBackend> m_pInner;
    std::vector<ScriptedFault> m_faults;
    std::map<std::string, uint64_t> m_counts;  // key: operation [+ "\n" + volume name]
    std::vector<Call> m_calls;
    bool m_bDropped = false;
    std::map<std::string, std::string> m_handleVolumes;  // SnapDiff handle -> volume name
    std::function<void(const std::string&)> m_beforeCall;
};
