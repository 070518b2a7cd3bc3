// A comparison of a million changes keeps resident memory bounded: batches
// are stored and dropped one at a time and nothing collects the volume's
// changes in memory. Alone in its program so that no other test's peak
// counts against it.
#include "tests/support/ClientEnv.h"

#include <fstream>

namespace {

using namespace scantest;

// A field of /proc/self/status in KiB, or -1.
long StatusKiB(const std::string& field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return std::stol(line.substr(field.size() + 1));
    return -1;
}

TEST(ScanMemory, MillionChangeRunStaysBounded) {
#ifdef SNAPCLIENT_SANITIZED
    GTEST_SKIP() << "sanitizer allocators inflate resident memory";
#endif
    const size_t kChanges = 1000000;
    ArrayScript script;
    ScriptedSnapDiff& diff = script.mapSnapDiffs[DiffKey("vola")];
    diff.generator = [kChanges](size_t index, unsigned long maxItems, ScriptedBatch& batch) {
        const size_t first = index * maxItems;
        const size_t last = std::min(kChanges, first + maxItems);
        for (size_t i = first; i < last; ++i)
            batch.vecChanges.push_back(
                Change(i + 1, i % 3 ? "file_creation" : "inode_modification",
                       "/a/dir" + std::to_string(i % 1000) + "/file\\20" + std::to_string(i)));
        batch.bEnd = last == kChanges;
        return true;
    };
    ScanEnv env(script);
    env.log.SetLevel(0);
    env.client.Shares() = {Share("/mnt/a", "/vol/vola/a", "vola")};

    const long startKiB = StatusKiB("VmRSS");
    ASSERT_GT(startKiB, 0);
    std::function<FileServerSnapshotCompareItem()> source;
    CRyError err = env.client.CompareSnapshots("/mnt/a", "", source);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    size_t pulled = 0;
    for (FileServerSnapshotCompareItem item = source(); item.uiStatus != kItemNoMore;
         item = source()) {
        ASSERT_NE(kItemFailure, item.uiStatus);
        ++pulled;
    }
    EXPECT_EQ(kChanges, pulled);
    const long peakKiB = StatusKiB("VmHWM");
    EXPECT_LT(peakKiB - startKiB, 150L * 1024) << "start " << startKiB << " KiB, peak " << peakKiB;
}

// The names a file gains beyond the one its change event holds are kept in
// memory up to a bound per volume; one more fails the share that holds it
// (the agent scans it in full), while the volume's other shares are served.
TEST(ScanMemory, ExtraNamesBeyondTheBoundFailTheirShareOnly) {
    const size_t kNames = ChangeMerge::kMaxExtraNames + 2;  // one in the event, one too many
    ArrayScript script;
    std::vector<SnapDiffFileInfo> changes;
    for (size_t i = 0; i < kNames; ++i)
        changes.push_back(Change(7, "file_creation", "/a/link" + std::to_string(i)));
    changes.push_back(Change(8, "file_creation", "/b/new"));
    script.mapSnapDiffs[DiffKey("vola")].vecBatches = {Batch(changes, true)};
    ScanEnv env(script);
    env.log.SetLevel(0);
    env.client.Shares() = {Share("/mnt/a", "/vol/vola/a", "vola"),
                           Share("/mnt/b", "/vol/vola/b", "vola")};
    std::function<FileServerSnapshotCompareItem()> source;
    CRyError err = env.client.CompareSnapshots("/mnt/a", "", source);
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(ERROR_OPERATION_ABORTED, err.Win32Code());
    EXPECT_EQ(
        "SnapDiff change [/mnt/a/link" + std::to_string(kNames - 1) +
            "/] of share [/mnt/a] cannot be delivered: the job changed more than 100000 names "
            "of files beyond the one their change event holds on volume [vola]",
        err.Message());
    ASSERT_FALSE(env.client.CompareSnapshots("/mnt/b", "", source).IsError());
    EXPECT_EQ(std::vector<std::string>{"/mnt/b/new"}, PulledPaths(source));
}

}  // namespace
