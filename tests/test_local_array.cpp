// The local array's own guards, which the random-tree jobs never provoke:
// names that could leave the array's root, a planted link, a full disk
// while a snapshot is taken, the session limit, a damaged catalog, batches
// where only the last one ends the run, a second array opened on the root
// mid-creation, the operator's stop, files shared between snapshot copies,
// and a folder chain deeper than PATH_MAX. What SnapDiff reports is checked
// against real trees by test_snapagent_property.
#include "array/local/LocalArrayCatalog.h"
#include "array/local/LocalArrayOperator.h"
#include "tests/support/LocalArrayWorld.h"

#include <dirent.h>
#include <algorithm>
#include <filesystem>
#include <random>

#include <sys/resource.h>
#include <csignal>

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
    const std::pair<std::string, std::string> cases[] = {{"", "s"},
                                                         {"..", "s"},
                                                         {"a/b", "s"},
                                                         {nul, "s"},
                                                         {"/vol/../x", "s"},
                                                         {".snapcatalog", "s"},
                                                         {"v", ""},
                                                         {"v", "."},
                                                         {"v", "../../etc"},
                                                         {"v", nul},
                                                         {"v", std::string(300, 'n')}};
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
    for (size_t i = 1; i < handles.size(); ++i)
        ASSERT_TRUE(world.array->SnapDiffEnd(handles[i]).bOk);
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

// Every row of a snapshot's catalog is in its copy, and nothing else is.
void ExpectCopyMatchesCatalog(LocalArrayWorld& world, const std::string& snapshot) {
    CatalogReader reader;
    ASSERT_TRUE(reader.Open(world.Root() + "/.snapcatalog/v/" + snapshot + ".cat").bOk);
    CatalogRow row;
    size_t rows = 0;
    for (bool done = false; reader.Next(row, done).bOk && !done; ++rows) {
        struct stat st;
        ASSERT_EQ(0,
                  lstat(world.Live("v", ".snapshot/" + snapshot + "/" + row.strPath).c_str(), &st))
            << row.strPath;
        EXPECT_EQ(row.ullSize, row.uiFileType == 1 ? uint64_t(st.st_size) : 0u) << row.strPath;
    }
    const std::filesystem::recursive_directory_iterator copy(
        world.Live("v", ".snapshot/" + snapshot));
    EXPECT_EQ(rows, size_t(std::distance(begin(copy), end(copy))));
}

// A second array opened on the root while a creation copies leaves the
// creation's unfinished copy alone, and its own creation waits for the lock
// and then fails with a clear error; an inspecting opening removes nothing.
TEST(LocalArray, TwoArraysOnOneRootNeverTakeACreationForDebris) {
    LocalArrayWorld world;
    world.Volume("v");
    for (int i = 0; i < 40; ++i) world.File("v", "f" + std::to_string(i), std::string(i, 'x'));
    world.config.uiLockWaitSeconds = 0;
    int entries = 0;
    world.array->SetCreationStepHook([&](const char* step) {
        if (std::string(step) != "entry" || ++entries != 20) return;
        LocalArray second(world.config);
        EXPECT_TRUE(second.OpenConnection().bOk);
        const ArrayStatus refused = second.CreateSnapshot("v", "other");
        EXPECT_NE(std::string::npos,
                  refused.strMessage.find("another process is creating or deleting"))
            << refused.strMessage;
    });
    world.Snap("v", "s1");
    ExpectCopyMatchesCatalog(world, "s1");
    EXPECT_EQ(1u, Snapshots(world));

    MakeDirs(world.Live("v", ".snapshot/junk"));
    LocalArrayOperator inspecting;
    inspecting.bInspectOnly = true;
    SetLocalArrayOperator(inspecting);
    EXPECT_TRUE(LocalArray(world.config).OpenConnection().bOk);
    EXPECT_TRUE(FileExists(world.Live("v", ".snapshot/junk")));
    SetLocalArrayOperator(LocalArrayOperator());
    EXPECT_TRUE(LocalArray(world.config).OpenConnection().bOk);
    EXPECT_FALSE(FileExists(world.Live("v", ".snapshot/junk")));
}

// The operator sees each long operation's count and stops it between two
// files: a stopped creation leaves debris (no snapshot) that the next
// opening clears, a stopped deletion leaves the snapshot listed. The next
// snapshot shares each unchanged file with the first one's copy (one
// read-only inode) and copies the changed one; SnapDiff sees exactly that
// change, and deleting the first snapshot leaves the second whole.
TEST(LocalArray, OperatorStopsLongOperationsAndSnapshotsShareUnchangedFiles) {
    LocalArrayWorld world;
    world.Volume("v");
    for (int i = 0; i < 300; ++i) world.File("v", "f" + std::to_string(i), "x");
    LocalArrayActivity last;
    int stopAfter = -1;
    LocalArrayOperator op;
    op.onActivity = [&](const LocalArrayActivity& a) { last = a; };
    op.stopRequested = [&] { return stopAfter == 0 || (stopAfter > 0 && --stopAfter == 0); };
    SetLocalArrayOperator(op);
    world.Snap("v", "s1");
    EXPECT_TRUE(last.bFinished && last.ullDone == 300 && last.strSnapshot == "s1");

    stopAfter = 100;
    const ArrayStatus stopped = world.array->CreateSnapshot("v", "s2");
    EXPECT_NE(std::string::npos, stopped.strMessage.find("stopped at the operator's request"))
        << stopped.strMessage;
    EXPECT_TRUE(FileExists(world.Live("v", ".snapshot/.creating")));
    stopAfter = 10;
    EXPECT_FALSE(world.array->DeleteSnapshot("v", "s1").bOk);
    EXPECT_EQ(1u, Snapshots(world));
    stopAfter = -1;
    ASSERT_TRUE(LocalArray(world.config).OpenConnection().bOk);
    EXPECT_FALSE(FileExists(world.Live("v", ".snapshot/.creating")));
    world.File("v", "f0", "y");
    world.Snap("v", "s2");
    auto inode = [&](const std::string& path) {
        struct stat st = {};
        return lstat(world.Live("v", ".snapshot/" + path).c_str(), &st) == 0 &&
                       (st.st_mode & 0222) == 0
                   ? st.st_ino
                   : 0;
    };
    EXPECT_TRUE(inode("s1/f1") != 0 && inode("s1/f1") == inode("s2/f1") &&
                inode("s1/f0") != inode("s2/f0"));
    const LocalArrayWorld::Run run = world.Diff("v", "s1", "s2");
    EXPECT_TRUE(run.changes.size() == 1 && run.changes[0].strFileName == "/f0");
    ASSERT_TRUE(world.array->DeleteSnapshot("v", "s1").bOk);
    EXPECT_EQ("x", world.Read(world.Live("v", ".snapshot/s2/f1")));
    EXPECT_EQ(1u, Snapshots(world));
    SetLocalArrayOperator(LocalArrayOperator());
}

// Removes a folder chain too deep for path calls, one level at a time.
// (The chain holds one folder per level and one file at its end.)
void RemoveDeep(int parent, const char* name) {
    const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (unlinkat(fd, "deep-file", 0) != 0) RemoveDeep(fd, name);
    close(fd);
    ASSERT_EQ(0, unlinkat(parent, name, AT_REMOVEDIR));
}

// A folder chain longer than PATH_MAX is left out of the snapshot (and
// logged); the rest of the volume is snapshotted, job after job.
TEST(LocalArray, FolderChainDeeperThanPathMaxIsLeftOut) {
    LocalArrayWorld world;
    world.Volume("v");
    world.File("v", "kept", "k");
    const std::string component(200, 'd');
    int fd = open(world.Live("v").c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < 30; ++level) {
        ASSERT_EQ(0, mkdirat(fd, component.c_str(), 0755));
        const int next = openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
    }
    close(openat(fd, "deep-file", O_WRONLY | O_CREAT, 0644));
    close(fd);
    world.Snap("v", "s1");
    world.Snap("v", "s2");
    EXPECT_EQ("k", world.Read(world.Live("v", ".snapshot/s2/kept")));
    EXPECT_TRUE(world.Diff("v", "s1", "s2").changes.empty());
    const int volume = open(world.Live("v").c_str(), O_RDONLY | O_DIRECTORY);
    RemoveDeep(volume, component.c_str());
    close(volume);
}

}  // namespace
