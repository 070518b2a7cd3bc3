#include "bench/BenchClient.h"

#include "bench/BenchSupport.h"

#include <boost/make_shared.hpp>

namespace bench {

BenchClient::BenchClient(const std::string& jobResultsDir) {
    m_strJobResultsDir = jobResultsDir;
    m_ulClientId = 1;
    m_ulAppId1 = 7;
    m_ulAppId2 = 15;
    m_stArrayInfo.strArrayName = "filer1";
}

void BenchClient::UseArray(ArrayBackend& backend) {
    m_pManageOntap = boost::make_shared<ManageONTAP>();
    m_pManageOntap->AttachBackend(
        boost::shared_ptr<ArrayBackend>(boost::shared_ptr<void>(), &backend));
}

void BenchClient::AddShare(const std::string& backupPath, const std::string& volumePath,
                           const std::string& volume) {
    FileServerExportInfo share;
    share.strBackupPath = backupPath;
    share.strVolumePath = volumePath;
    share.strVolume = volume;
    share.strPrevSnapName = kPrevSnap;
    share.strCurrSnapName = kCurrSnap;
    share.bSnapDiffEnabled = true;
    m_lstExportInfo.push_back(share);
}

DeliveredItems CompareAndPullAllShares(BenchClient& client) {
    DeliveredItems delivered;
    std::vector<std::string> paths;
    for (const FileServerExportInfo& share : client.Shares()) paths.push_back(share.strBackupPath);
    for (const std::string& path : paths) {
        std::function<FileServerSnapshotCompareItem()> source;
        CRyError err = client.CompareSnapshots(path, "", source);
        if (err.IsError()) Fail("CompareSnapshots(" + path + ") failed: " + err.AsString());
        for (;;) {
            const FileServerSnapshotCompareItem item = source();
            if (item.uiStatus > 6)
                Fail("status " + std::to_string(item.uiStatus) + " from " + path);
            ++delivered.byStatus[item.uiStatus];
            if (item.uiStatus == 6) Fail("status 6 while pulling " + path);
            if (item.uiStatus == 5) break;
        }
    }
    return delivered;
}

}  // namespace bench
