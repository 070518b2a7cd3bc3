// Decorates any back end: records every call (operation, arguments, result)
// and fails the Nth call of an operation, optionally counting only the calls
// whose volume argument names a given volume. Counts are per decorator.
// Used by tests, by the config's fault settings and by the scripted array.
#pragma once

#include "array/ArrayBackend.h"
#include "array/ArrayScript.h"

#include <boost/shared_ptr.hpp>
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
                              const std::string& protocol, std::string& handle,
                              bool& escapedNames, bool& emptyBatchesAllowed) override;
    ArrayStatus SnapDiffNext(const std::string& handle, std::vector<SnapDiffFileInfo>& batch,
                             bool& end) override;
    ArrayStatus SnapDiffEnd(const std::string& handle) override;

private:
    // The injected failure for this call, if any; counts the call.
    bool Injected(const std::string& operation, const std::string& volume, ArrayStatus& status);

    boost::shared_ptr<ArrayBackend> m_pInner;
    std::vector<ScriptedFault> m_faults;
    std::map<std::string, uint64_t> m_counts;  // key: operation + "\n" + volume filter
    std::vector<Call> m_calls;
    bool m_bDropped = false;
    std::map<std::string, std::string> m_handleVolumes;  // SnapDiff handle -> volume name
};
