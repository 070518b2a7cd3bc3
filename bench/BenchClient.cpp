#include "bench/BenchClient.h"

#include "bench/BenchSupport.h"

namespace bench {

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
