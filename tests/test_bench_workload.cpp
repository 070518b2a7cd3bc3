// The synthetic SnapDiff run of the benchmarks (bench/ChangeWorkload.h):
// its mix, its inode order, its names, and that the rows the plain SQLite
// ceiling stores are exactly what the client stores for the same changes,
// so that the benchmark compares like with like.
#include "bench/ChangeWorkload.h"
#include "tests/ScanTestEnv.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>

namespace {

using namespace scantest;
using bench::ChangeKind;
using bench::ChangeWorkload;
using bench::WorkloadChange;

size_t Count(const std::string& text, char c) { return std::count(text.begin(), text.end(), c); }

TEST(BenchWorkload, MixOrderAndShapeOfTheChanges) {
    const ChangeWorkload workload(4000, 3);
    std::map<ChangeKind, uint64_t> kinds;
    std::set<size_t> depths;
    std::array<uint64_t, 3> perShare{};
    uint64_t escaped = 0, directories = 0;
    uint64_t lastInode = 0;
    std::set<uint64_t> inodes;
    WorkloadChange change, next;
    for (uint64_t i = 0; i < workload.Records(); ++i) {
        workload.Fill(i, change);
        ++kinds[change.kind];
        ASSERT_EQ(change.kind, workload.KindOf(i));
        ASSERT_EQ(change.inode, workload.InodeOf(i));
        ASSERT_EQ(change.share, workload.ShareOf(i));
        ASSERT_GE(change.inode, lastInode) << "record " << i << " breaks inode order";
        lastInode = change.inode;
        ASSERT_EQ(0u, change.escapedName.rfind("/s" + std::to_string(change.share) + "/", 0))
            << change.escapedName;
        ++perShare[change.share];
        depths.insert(Count(change.escapedName, '/'));
        escaped += change.escapedName.find('\\') != std::string::npos;
        directories += change.fileType == 2;
        if (change.kind == ChangeKind::kRenameFrom) {
            // A rename is its deletion then its creation: same inode, same
            // folder, another name.
            ASSERT_LT(i + 1, workload.Records());
            workload.Fill(i + 1, next);
            EXPECT_EQ(ChangeKind::kRenameTo, next.kind);
            EXPECT_EQ(change.inode, next.inode);
            EXPECT_NE(change.escapedName, next.escapedName);
            const size_t folderEnd = change.escapedName.rfind('/');
            EXPECT_EQ(change.escapedName.substr(0, folderEnd), next.escapedName.substr(0, folderEnd));
        } else if (change.kind != ChangeKind::kRenameTo) {
            EXPECT_TRUE(inodes.insert(change.inode).second) << "inode reused at record " << i;
        }
    }
    EXPECT_EQ(2800u, kinds[ChangeKind::kModification]);
    EXPECT_EQ(600u, kinds[ChangeKind::kCreation]);
    EXPECT_EQ(400u, kinds[ChangeKind::kDeletion]);
    EXPECT_EQ(100u, kinds[ChangeKind::kRenameFrom]);
    EXPECT_EQ(100u, kinds[ChangeKind::kRenameTo]);
    EXPECT_EQ((std::set<size_t>{3, 4, 5, 6, 7, 8}), depths);
    EXPECT_NEAR(0.2, escaped / 4000.0, 0.03);
    EXPECT_GT(directories, 0u);
    for (uint64_t records : perShare) EXPECT_NEAR(4000 / 3.0, records, 200.0);
}

// The ceiling stores backupPath + "/" for each change; the client must
// arrive at the same bytes by decoding the escaped name and placing it
// under its share.
TEST(BenchWorkload, CeilingRowsAreWhatTheClientStores) {
    for (unsigned shares : {1u, 3u, 20u}) {
        SCOPED_TRACE(shares);
        const ChangeWorkload workload(3000, shares);
        ScanClient client("/nonexistent");
        std::list<FileServerExportInfo> list;
        for (unsigned share = 0; share < shares; ++share)
            list.push_back(Share(ChangeWorkload::ShareBackupPath(share),
                                 ChangeWorkload::ShareVolumePath(share), "vola"));
        size_t size = 2048;
        unsigned char* buffer = new unsigned char[size];
        WorkloadChange change, nameOnly;
        for (uint64_t i = 0; i < workload.Records(); ++i) {
            workload.Fill(i, change);
            workload.Fill(i, nameOnly, false);
            ASSERT_EQ(change.escapedName, nameOnly.escapedName);
            ASSERT_TRUE(nameOnly.backupPath.empty());
            std::string name = change.escapedName;
            ASSERT_TRUE(client.SnapDiffRemoveEscapeSequence(name, buffer, size));
            ASSERT_TRUE(client.IsEventPartOfBackupPaths(list, name)) << change.escapedName;
            ASSERT_EQ(change.backupPath, name) << change.escapedName;
            ASSERT_EQ(0u, name.rfind(ChangeWorkload::ShareBackupPath(change.share) + "/", 0));
        }
        delete[] buffer;
    }
}

// The benchmark refuses a run whose items differ from these expectations;
// a real client run over the scripted array meets them exactly, with every
// rename split into its two items.
TEST(BenchWorkload, ClientDeliversTheExpectedItems) {
    const ChangeWorkload workload(2003, 3);  // ends inside a group
    ArrayScript script;
    ScriptedSnapDiff& diff = script.mapSnapDiffs[DiffKey("vola")];
    diff.generator = [&workload](size_t index, unsigned long maxItems, ScriptedBatch& batch) {
        WorkloadChange change;
        const uint64_t first = index * maxItems;
        const uint64_t last = std::min<uint64_t>(workload.Records(), first + maxItems);
        for (uint64_t i = first; i < last; ++i) {
            workload.Fill(i, change, false);
            SnapDiffFileInfo info = Change(change.inode, bench::ChangeTypeText(change.kind),
                                           change.escapedName, change.fileType);
            batch.vecChanges.push_back(info);
        }
        batch.bEnd = last == workload.Records();
        return true;
    };
    ScanEnv env(script);
    std::array<uint64_t, 7> expected{};
    std::map<std::string, uint32_t> expectedStatusOfPath;
    WorkloadChange change;
    for (uint64_t i = 0; i < workload.Records(); ++i) {
        workload.Fill(i, change);
        ++expected[bench::ExpectedItemStatus(change.kind)];
        const std::string path = change.backupPath + (change.fileType == 2 ? "/" : "");
        expectedStatusOfPath[path] = bench::ExpectedItemStatus(change.kind);
    }
    for (unsigned share = 0; share < 3; ++share)
        env.client.Shares().push_back(Share(ChangeWorkload::ShareBackupPath(share),
                                            ChangeWorkload::ShareVolumePath(share), "vola"));

    std::array<uint64_t, 7> delivered{};
    std::map<std::string, uint32_t> statusOfPath;
    for (unsigned share = 0; share < 3; ++share) {
        std::function<FileServerSnapshotCompareItem()> source;
        CRyError err = env.client.CompareSnapshots(ChangeWorkload::ShareBackupPath(share), "", source);
        ASSERT_FALSE(err.IsError()) << err.AsString();
        for (const FileServerSnapshotCompareItem& item : PullAll(source)) {
            ++delivered[item.uiStatus];
            if (item.uiStatus == kItemNoMore) continue;
            // The old half of a rename comes out as a directory.
            std::string path = item.strPath;
            if (item.uiStatus == kItemDeleted && path.size() > 4 &&
                path.compare(path.size() - 5, 5, ".old/") == 0)
                path.pop_back();
            statusOfPath[path] = item.uiStatus;
        }
    }
    expected[kItemNoMore] = 3;
    EXPECT_EQ(expected, delivered);
    EXPECT_EQ(expectedStatusOfPath, statusOfPath);
}

}  // namespace
