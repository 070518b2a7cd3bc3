// End-to-end change scan: a scripted array streams the synthetic SnapDiff
// run of ChangeWorkload.h through CompareSnapshots and the pull function of
// every share; one run per process so that the peak resident memory belongs
// to this N alone. Prints one JSON line.
//
//   bench_scan --n 1e6 [--shares 3] [--batch 1024] [--work DIR] [--log-level 0]
//   bench_scan --n 1e6 --array-only    the scripted array's own share of the time
//
// Without --batch the batch size is the client's own choice for the array
// (1024 on ONTAP 9.2 and later). The run is checked: the agent must receive
// exactly the items the workload implies, or the program fails.
#include "array/ScriptedArray.h"
#include "bench/BenchClient.h"
#include "bench/BenchSupport.h"
#include "bench/ChangeWorkload.h"

#include <sys/stat.h>
#include <filesystem>

namespace {

using namespace bench;

ArrayScript ScriptOf(const ChangeWorkload& workload) {
    ArrayScript script;
    ScriptedSnapDiff& diff = script.mapSnapDiffs[std::make_tuple(
        std::string("vola"), std::string(kPrevSnap), std::string(kCurrSnap))];
    diff.bEscapedNames = true;
    diff.generator = [&workload](size_t index, unsigned long maxItems, ScriptedBatch& batch) {
        const uint64_t first = static_cast<uint64_t>(index) * maxItems;
        const uint64_t last = std::min<uint64_t>(workload.Records(), first + maxItems);
        WorkloadChange change;
        batch.vecChanges.reserve(last > first ? last - first : 0);
        for (uint64_t i = first; i < last; ++i) {
            workload.Fill(i, change, false);
            SnapDiffFileInfo info;
            info.ullInode = change.inode;
            info.uiFileType = change.fileType;
            info.strChangeType = ChangeTypeText(change.kind);
            info.strFileName = change.escapedName;
            info.llAttribute = change.attribute;
            info.llMtime = change.mtime;
            info.llCtime = change.ctime;
            info.llAtime = change.atime;
            batch.vecChanges.push_back(std::move(info));
        }
        batch.bEnd = last == workload.Records();
        return true;
    };
    return script;
}

// Kept out of line and named so that callgrind can count this call alone
// (--toggle-collect=*RunClientScan*).
__attribute__((noinline)) DeliveredItems RunClientScan(BenchClient& client) {
    return CompareAndPullAllShares(client);
}

// Drains the scripted array as the client would, without the client.
__attribute__((noinline)) uint64_t DrainArray(ScriptedArray& array, unsigned long maxItems) {
    std::string handle;
    bool escaped = true, emptyAllowed = false;
    ArrayStatus status = array.SnapDiffStart("vola", kPrevSnap, kCurrSnap, maxItems, "nfs", handle,
                                             escaped, emptyAllowed);
    if (!status.bOk) Fail("SnapDiffStart: " + status.strMessage);
    uint64_t changes = 0;
    for (bool end = false; !end;) {
        std::vector<SnapDiffFileInfo> batch;
        status = array.SnapDiffNext(handle, batch, end);
        if (!status.bOk) Fail("SnapDiffNext: " + status.strMessage);
        changes += batch.size();
    }
    return changes;
}

void CheckDelivered(const ChangeWorkload& workload, const DeliveredItems& delivered) {
    std::array<uint64_t, 7> expected{};
    for (uint64_t i = 0; i < workload.Records(); ++i)
        ++expected[ExpectedItemStatus(workload.KindOf(i))];
    expected[5] = workload.Shares();
    if (expected != delivered.byStatus) {
        std::string text;
        for (int status = 0; status < 7; ++status)
            text += " [" + std::to_string(status) + "] " +
                    std::to_string(delivered.byStatus[status]) + "/" +
                    std::to_string(expected[status]);
        Fail("delivered/expected items by status:" + text);
    }
}

uint64_t FileBytes(const std::string& folder) {
    uint64_t bytes = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        if (entry.is_regular_file(error)) bytes += entry.file_size(error);
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options(argc, argv);
    const uint64_t n = options.Number("n", 100000);
    const unsigned shares = static_cast<unsigned>(options.Number("shares", 3));
    const uint64_t batchSize = options.Number("batch", 0);
    if (n == 0 || shares == 0) Fail("--n and --shares must be positive");
    const ChangeWorkload workload(n, shares);
    ScratchDir scratch(options.Text("work", ""));
    InstallConfig(scratch.Path() + "/snapclient.conf",
                  batchSize ? "[snapdiff]\nmax_items = " + std::to_string(batchSize) + "\n" : "");
    DiscardingLogWriter log(static_cast<int>(options.Number("log-level", 0)));
    ScriptedArray array(ScriptOf(workload));

    nlohmann::json result = {{"n", n}, {"shares", shares}, {"batch", batchSize}};
    if (options.Number("array-only", 0)) {
        const double start = NowSeconds();
        const uint64_t changes = DrainArray(array, batchSize ? batchSize : 1024);
        const double seconds = NowSeconds() - start;
        if (changes != n) Fail("the scripted array sent " + std::to_string(changes) + " changes");
        result["array_seconds"] = seconds;
        result["array_changes_per_s"] = n / seconds;
        PrintResult(result);
        return 0;
    }

    const std::string results = scratch.Path() + "/results";
    if (mkdir(results.c_str(), 0700) != 0) Fail("cannot create " + results);
    BenchClient client(results);
    client.UseArray(array);
    for (unsigned share = 0; share < shares; ++share)
        client.AddShare(ChangeWorkload::ShareBackupPath(share),
                        ChangeWorkload::ShareVolumePath(share), "vola");

    const double start = NowSeconds();
    const DeliveredItems delivered = RunClientScan(client);
    const double seconds = NowSeconds() - start;
    CheckDelivered(workload, delivered);

    result["seconds"] = seconds;
    result["changes_per_s"] = n / seconds;
    result["items"] = delivered.Changes();
    result["peak_rss_mib"] = PeakRssMiB();
    result["store_mib"] = FileBytes(results) / 1048576.0;
    result["log_lines"] = log.Lines();
    PrintResult(result);
    return 0;
}
