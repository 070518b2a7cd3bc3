// The local array's own guards, which the random-tree jobs never provoke:
// names that could leave the array's root, a planted link, a full disk
// while a snapshot is taken, the session limit, a damaged catalog, and
// batches where only the last one ends the run. What SnapDiff reports is
// checked against real trees by test_snapagent_property.
#include "array/local/LocalArrayCatalog.h"
#include "tests/support/LocalArrayWorld.h"

#include <algorithm>
#include <dirent.h>
#include <random>

#include <csignal>
#include <sys/resource.h>

using localarraytest::LocalArrayWorld;
using namespace testsupport;

namespace {

size_t Snapshots(LocalArrayWorld& world) {
    std::vector<SnapShotInfo_t> list;
    EXPECT_TRUE(world.array->ListSnapshots("v", "", list).bOk);
    return list.size();
}

TEST(LocalArray, RefusesNamesThatCouldLeaveTheRoot) {
    LocalArrayWorld world;
    world.Volume("v");
    world.File("v", "f", "x");
    ASSERT_TRUE(world.array->CreateSnapshot("v", "good").bOk);
    const std::string nul("a\0b", 3);
    const std::pair<std::string, std::string> cases[] = {
        {"", "s"}, {"..", "s"}, {"a/b", "s"}, {nul, "s"}, {"/vol/../x", "s"}, {".snapcatalog", "s"},
        {"v", ""}, {"v", "."}, {"v", "../../etc"}, {"v", nul}, {"v", std::string(300, 'n')}};
    for (const auto& c : cases) {
        EXPECT_EQ(kArrayErrInvalidArgument, world.array->CreateSnapshot(c.first, c.second).uiCode);
        EXPECT_EQ(kArrayErrInvalidArgument, world.array->DeleteSnapshot(c.first, c.second).uiCode);
        std::string handle;
        EXPECT_EQ(kArrayErrInvalidArgument, world.Start(c.first, "good", c.second, handle).uiCode);
    }
    EXPECT_EQ(1u, Snapshots(world));

    // A .snapshot folder replaced by a link out of the volume is not followed.
    TempDir outside;
    WriteFile(outside / "precious", "keep");
    world.Volume("w");
    ASSERT_EQ(0, symlink(outside.Path().c_str(), world.Live("w", ".snapshot").c_str()));
    EXPECT_FALSE(world.array->CreateSnapshot("w", "precious").bOk);
    EXPECT_EQ("keep", ReadFile(outside / "precious"));
}

// A snapshot whose catalog or copy cannot be written does not exist at all.
TEST(LocalArray, FailedCreationLeavesNoSnapshotBehind) {
    LocalArrayWorld world;
    world.Volume("v");
    world.File("v", "big", std::string(256 * 1024, 'b'));
    struct rlimit saved, limited;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
    limited = saved;
    limited.rlim_cur = 64 * 1024;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));
    ArrayStatus status = world.array->CreateSnapshot("v", "s1");
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(kArrayErrInternal, status.uiCode) << status.strMessage;
    EXPECT_EQ(0u, Snapshots(world));
    EXPECT_FALSE(FileExists(world.Live("v", ".snapshot/s1")));
    ASSERT_TRUE(world.array->CreateSnapshot("v", "s1").bOk);
    EXPECT_EQ(std::string(256 * 1024, 'b'), ReadFile(world.Live("v", ".snapshot/s1/big")));
}

// Sixteen sessions at most; an ended run's handle is refused; a run over a
// damaged catalog fails and gives its session back (the client does not
// end a failed run, so the array must); only the last batch ends a run and
// none before it is empty.
TEST(LocalArray, SnapDiffSessionsBatchesAndDamage) {
    LocalArrayWorld world;
    world.Volume("v");
    world.config.bMaterialize = false;  // catalogs alone: no copy to fsync file by file
    world.Rebuild();
    ASSERT_TRUE(world.array->CreateSnapshot("v", "a").bOk);
    world.File("v", "one", "x");
    ASSERT_TRUE(world.array->CreateSnapshot("v", "one").bOk);
    std::vector<std::string> handles(16);
    for (std::string& handle : handles) ASSERT_TRUE(world.Start("v", "a", "one", handle).bOk);
    std::string refused;
    EXPECT_EQ(kArrayErrTooManySessions, world.Start("v", "a", "one", refused).uiCode);
    for (size_t i = 1; i < handles.size(); ++i) ASSERT_TRUE(world.array->SnapDiffEnd(handles[i]).bOk);
    EXPECT_EQ(kArrayErrBadHandle, world.array->SnapDiffEnd(handles[1]).uiCode);

    for (int i = 0; i < 599; ++i) world.File("v", "f" + std::to_string(i), "x");
    ASSERT_TRUE(world.array->CreateSnapshot("v", "b").bOk);
    const LocalArrayWorld::Run run = world.Diff("v", "a", "b", 10);  // at least 256 a batch
    EXPECT_EQ((std::vector<size_t>{256, 256, 88}), run.batchSizes);
    EXPECT_EQ((std::vector<bool>{false, false, true}), run.endFlags);
    ASSERT_TRUE(world.array->SnapDiffEnd(handles[0]).bOk);
    EXPECT_EQ(0u, world.array->OpenSessions());

    const std::string catalog = world.Root() + "/.snapcatalog/v/b.cat";
    struct stat st;
    ASSERT_EQ(0, stat(catalog.c_str(), &st));
    ASSERT_EQ(0, truncate(catalog.c_str(), st.st_size / 2));
    std::string handle;
    ASSERT_TRUE(world.Start("v", "a", "b", handle).bOk);
    std::vector<SnapDiffFileInfo> batch;
    bool end = false;
    ArrayStatus status;
    for (end = false; (status = world.array->SnapDiffNext(handle, batch, end)).bOk && !end;) {
    }
    EXPECT_EQ(kArrayErrInternal, status.uiCode);
    EXPECT_FALSE(end);
    EXPECT_EQ(0u, world.array->OpenSessions());
}

// A catalog larger than the memory budget is sorted through runs on disk
// and reads back whole and in inode order; the runs are gone afterwards.
TEST(LocalArray, CatalogSortsBeyondTheMemoryBudget) {
    std::mt19937 random(7);
    std::vector<std::pair<uint64_t, std::string>> expected;
    TempDir dir;
    {
        CatalogWriter writer(dir / "s.cat", 16 * 1024);
        for (int i = 0; i < 5000; ++i) {
            CatalogRow row;
            row.ullInode = random() % 3000 + 2;  // several names for some inodes
            row.uiFileType = 1;
            row.strPath = "dir" + std::to_string(i % 17) + "/name\n" + std::to_string(i);
            expected.emplace_back(row.ullInode, row.strPath);
            ASSERT_TRUE(writer.Add(row).bOk);
        }
        EXPECT_GT(writer.SpilledRuns(), 1u);
        const ArrayStatus finished = writer.Finish();
        ASSERT_TRUE(finished.bOk) << finished.strMessage;
    }
    std::sort(expected.begin(), expected.end());
    CatalogReader reader;
    ASSERT_TRUE(reader.Open(dir / "s.cat").bOk);
    std::vector<std::pair<uint64_t, std::string>> read;
    CatalogRow row;
    std::vector<uint64_t> inodes;
    for (bool done = false; reader.Next(row, done).bOk && !done;) {
        read.emplace_back(row.ullInode, row.strPath);
        inodes.push_back(row.ullInode);
    }
    EXPECT_TRUE(std::is_sorted(inodes.begin(), inodes.end()));
    std::sort(read.begin(), read.end());  // rows of one inode in any order
    EXPECT_TRUE(read == expected);
    size_t files = 0;
    if (DIR* d = opendir(dir.Path().c_str())) {
        while (dirent* e = readdir(d)) files += e->d_name[0] != '.';
        closedir(d);
    }
    EXPECT_EQ(1u, files);  // the runs are gone
}

}  // namespace
