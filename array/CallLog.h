// The call log ([array] calls_log = FILE): one JSON line per call that the
// client makes on the array, appended as it happens, so that a support
// engineer can read what the array was asked and what it answered. A line
// holds "op", "args", "ok", "code", "message" and "out" (the out-values
// that matter: diff handle, flags, batch size and end flag, snapshot names;
// never whole batches, never credentials). Byte strings are encoded as in
// ScriptJson.h. Each line is one append write, so lines of several
// processes sharing the file do not interleave. A line that cannot be
// written is noted in OutputFailure (hostlib/OutputFailure.h).
#pragma once

#include <boost/shared_ptr.hpp>
#include <nlohmann/json_fwd.hpp>
#include <string>

#include "array/ArrayBackend.h"
#include "hostlib/Status.h"

class CallLog {
public:
    // An I/O error when the file cannot be opened for appending.
    hostlib::Status Open(const std::string& path);
    ~CallLog();
    void Write(const std::string& operation, const nlohmann::ordered_json& arguments,
               const ArrayStatus& result, const nlohmann::ordered_json& out);

private:
    int m_fd = -1;
    std::string m_strPath;
};

// Passes every call to the inner back end and writes it to a CallLog.
class CallLoggingBackend : public ArrayBackend {
public:
    CallLoggingBackend(const boost::shared_ptr<ArrayBackend>& inner,
                       const boost::shared_ptr<CallLog>& log);

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
    boost::shared_ptr<ArrayBackend> m_pInner;
    boost::shared_ptr<CallLog> m_pLog;
};
