// Fixtures of the change scan tests: a client whose shares and array
// connection are set directly (no snapshot creation needed), a scripted
// array behind it, and helpers that build shares and SnapDiff changes and
// pull a share's items.
#pragma once

#include "host/FXErrorUtil.h"
#include "snapclient/NetAppSnapClient.h"
#include "tests/support/TestSupport.h"

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

namespace scantest {

const char kPrevSnap[] = "VKOP_1_15_811";
const char kCurrSnap[] = "VKOP_1_15_812";

class ScanClient : public CNetAppSnapClient {
public:
    explicit ScanClient(const std::string& jobResultsDir) {
        m_strJobResultsDir = jobResultsDir;
        m_ulClientId = 1;
        m_ulAppId1 = 7;
        m_ulAppId2 = 15;
        m_stArrayInfo.strArrayName = "filer1";
    }
    // The connection goes to the given back end, which the test keeps alive.
    void UseArray(ArrayBackend& backend) {
        m_pManageOntap = boost::make_shared<ManageONTAP>();
        m_pManageOntap->AttachBackend(
            boost::shared_ptr<ArrayBackend>(boost::shared_ptr<void>(), &backend));
    }
    void DropArray() { m_pManageOntap.reset(); }
    std::list<FileServerExportInfo>& Shares() { return m_lstExportInfo; }
    FileServerExportInfo& ShareOf(const std::string& backupPath) {
        for (FileServerExportInfo& share : m_lstExportInfo)
            if (share.strBackupPath == backupPath) return share;
        throw std::runtime_error("no share " + backupPath);
    }
    boost::shared_ptr<CSnapDiffEventMonitor>& EventDB() { return m_pEventDB; }
    std::map<std::string, boost::shared_ptr<CSnapDiffEventMonitor>>& EventDBs() {
        return m_mapEventDBs;
    }
};

inline FileServerExportInfo Share(const std::string& backupPath, const std::string& volumePath,
                                  const std::string& volume, bool enabled = true) {
    FileServerExportInfo share;
    share.strBackupPath = backupPath;
    share.strVolumePath = volumePath;
    share.strVolume = volume;
    share.strPrevSnapName = kPrevSnap;
    share.strCurrSnapName = kCurrSnap;
    share.bSnapDiffEnabled = enabled;
    return share;
}

inline SnapDiffFileInfo Change(uint64_t inode, const std::string& type, const std::string& name,
                               uint32_t fileType = 1) {
    SnapDiffFileInfo change;
    change.ullInode = inode;
    change.uiFileType = fileType;
    change.strChangeType = type;
    change.strFileName = name;
    change.llAtime = static_cast<int64_t>(inode) * 10 + 1;
    change.llCtime = static_cast<int64_t>(inode) * 10 + 2;
    change.llMtime = static_cast<int64_t>(inode) * 10 + 3;
    change.llAttribute = 0644;
    return change;
}

inline ScriptedBatch Batch(std::vector<SnapDiffFileInfo> changes, bool end = false) {
    ScriptedBatch batch;
    batch.vecChanges = std::move(changes);
    batch.bEnd = end;
    return batch;
}

inline ScriptedFault Fault(const std::string& operation, uint64_t nth = 1) {
    ScriptedFault fault;
    fault.strOperation = operation;
    fault.ullNth = nth;
    return fault;
}

inline std::tuple<std::string, std::string, std::string> DiffKey(const std::string& volume) {
    return std::make_tuple(volume, std::string(kPrevSnap), std::string(kCurrSnap));
}

// Pulls until status 5 or 6 (included in the result).
inline std::vector<FileServerSnapshotCompareItem> PullAll(
    const std::function<FileServerSnapshotCompareItem()>& source) {
    std::vector<FileServerSnapshotCompareItem> items;
    for (;;) {
        items.push_back(source());
        const uint32_t status = items.back().uiStatus;
        if (status == kItemNoMore || status == kItemFailure) return items;
    }
}

// The paths of the pulled items, in order, without the closing status.
inline std::vector<std::string> PulledPaths(
    const std::function<FileServerSnapshotCompareItem()>& source) {
    std::vector<std::string> paths;
    for (const FileServerSnapshotCompareItem& item : PullAll(source))
        if (item.uiStatus != kItemNoMore) paths.push_back(item.strPath);
    return paths;
}

// Makes one event store operation fail while it lives.
class StoreFault {
public:
    StoreFault(const std::string& operation, const std::string& message) {
        CSnapDiffEventMonitor::SetFaultHook([operation, message](const char* op) {
            return operation == op ? FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_FUNCTION_FAILED, message.c_str())
                                   : CRyError::Success();
        });
    }
    ~StoreFault() { CSnapDiffEventMonitor::SetFaultHook(nullptr); }
    StoreFault(const StoreFault&) = delete;
    StoreFault& operator=(const StoreFault&) = delete;
};

// Everything a comparison test needs: a results folder, an empty config (no
// batch size setting), a log recorder, the scripted array and the client.
struct ScanEnv {
    testsupport::TempDir dir;
    testsupport::ScopedConfig config{""};
    testsupport::RecordingLogWriter log{3};
    testsupport::ScriptedArrayInstall array;
    ScanClient client{dir.Path()};

    explicit ScanEnv(const ArrayScript& script) : array(script) { client.UseArray(array.Backend()); }
};

}  // namespace scantest
