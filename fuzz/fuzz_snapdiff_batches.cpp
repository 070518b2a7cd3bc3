// Whole comparisons over SnapDiff batches decoded from the fuzz input:
// random change types, inodes (few, so that reports of one inode merge),
// file types, times, names of any bytes and lengths, failing batches, end
// flags and empty batches, escaped names or not, on a cluster and not, for
// two shares of a volume or one share that is the whole volume. Every item
// the agent pulls must lie under a share of the client and have no "." or
// ".." component, and the pulls must end.
#include "array/ScriptedArray.h"
#include "fuzz/FuzzSupport.h"
#include "tests/support/ScanClient.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <cstdio>
#include <cstdlib>

namespace {

using namespace scantest;

std::string ChangeName(FuzzedDataProvider& input, bool cluster) {
    static const char* const kStarts[] = {"/a/", "/c/", "/", "/a", "/b/", ""};
    std::string name;
    if (!cluster && input.ConsumeBool())
        name = std::string("/vol/vola/.snapshot/") + (input.ConsumeBool() ? kCurrSnap : kPrevSnap);
    name += input.PickValueInArray(kStarts);
    return name + input.ConsumeRandomLengthString(input.ConsumeBool() ? 4096 : 48);
}

ScriptedBatch Batch(FuzzedDataProvider& input, bool cluster) {
    static const char* const kTypes[] = {"file_creation", "file_deletion", "inode_modification"};
    ScriptedBatch batch;
    batch.bFail = input.ConsumeIntegralInRange<int>(0, 31) == 0;
    batch.bEnd = input.ConsumeIntegralInRange<int>(0, 7) == 0;
    const int changes = input.ConsumeIntegralInRange<int>(0, 24);
    for (int i = 0; i < changes && input.remaining_bytes() > 0; ++i) {
        SnapDiffFileInfo change;
        change.ullInode = input.ConsumeBool() ? input.ConsumeIntegralInRange<uint64_t>(0, 24)
                                              : input.ConsumeIntegral<uint64_t>();
        change.strChangeType = input.ConsumeIntegralInRange<int>(0, 7) == 0
                                   ? input.ConsumeRandomLengthString(24)
                                   : input.PickValueInArray(kTypes);
        change.uiFileType = input.ConsumeIntegralInRange<uint32_t>(0, 3);
        change.llAtime = input.ConsumeIntegral<int64_t>();
        change.llCtime = input.ConsumeBool() ? -1 : input.ConsumeIntegral<int64_t>();
        change.llMtime = input.ConsumeIntegral<int64_t>();
        change.llAttribute = input.ConsumeIntegral<int64_t>();
        change.strFileName = ChangeName(input, cluster);
        batch.vecChanges.push_back(change);
    }
    return batch;
}

bool HasDotComponent(const std::string& path) {
    const std::string framed = "/" + path + "/";
    return framed.find("/./") != std::string::npos || framed.find("/../") != std::string::npos;
}

// The share's own directory counts: its changes are reported too.
bool UnderAShare(const std::list<FileServerExportInfo>& shares, const std::string& path) {
    if (path.empty()) return true;
    for (const FileServerExportInfo& share : shares)
        if (path == share.strBackupPath ||
            path.compare(0, share.strBackupPath.size() + 1, share.strBackupPath + "/") == 0)
            return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string results = [] {
        fuzzsupport::InstallQuietLog();
        const std::string dir = fuzzsupport::ScratchDir() + "/results";
        mkdir(dir.c_str(), 0755);
        return dir;
    }();
    FuzzedDataProvider input(data, size);
    ArrayScript script;
    script.bCluster = input.ConsumeBool();
    ScriptedSnapDiff& diff = script.mapSnapDiffs[std::make_tuple("vola", kPrevSnap, kCurrSnap)];
    diff.bEscapedNames = input.ConsumeBool();
    diff.bEmptyBatchesAllowed = input.ConsumeBool();
    const bool wholeVolume = input.ConsumeBool();
    const int batches = input.ConsumeIntegralInRange<int>(0, 8);
    for (int i = 0; i < batches; ++i) diff.vecBatches.push_back(Batch(input, script.bCluster));

    ScriptedArray array(script);
    ScanClient client(results);
    client.UseArray(array);
    if (wholeVolume)
        client.Shares() = {Share("/mnt/w", "/vol/vola", "vola")};
    else
        client.Shares() = {Share("/mnt/a", "/vol/vola/a", "vola"),
                           Share("/mnt/c", "/vol/vola/c/", "vola")};
    const std::list<FileServerExportInfo> shares = client.Shares();

    for (const FileServerExportInfo& share : shares) {
        std::function<FileServerSnapshotCompareItem()> source;
        if (client.CompareSnapshots(share.strBackupPath, "", source).IsError()) continue;
        for (int pulls = 0;; ++pulls) {
            if (pulls > 100000) abort();  // more items than changes sent: the pulls never end
            const FileServerSnapshotCompareItem item = source();
            if (item.uiStatus == kItemNoMore || item.uiStatus == kItemFailure) break;
            if (!UnderAShare(shares, item.strPath) || !UnderAShare(shares, item.strOldPath) ||
                HasDotComponent(item.strPath) || HasDotComponent(item.strOldPath)) {
                fprintf(stderr, "item outside the shares: status %u path [%s] old path [%s]\n",
                        item.uiStatus, item.strPath.c_str(), item.strOldPath.c_str());
                abort();
            }
        }
    }
    return 0;
}
