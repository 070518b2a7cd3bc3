// The local array misses no change, and a job killed at any point of its
// array work leaves nothing that the next opening does not clear.

#include "tests/support/LocalArrayWorld.h"

#include "array/local/LocalArrayOperator.h"

#include <sys/wait.h>
#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <set>

using localarraytest::LocalArrayWorld;
using localarraytest::Names;

namespace {

std::multiset<std::string> Changes(LocalArrayWorld& world, const std::string& base,
                                   const std::string& next) {
    std::multiset<std::string> out;
    for (const SnapDiffFileInfo& c : world.Diff("v", base, next).changes)
        out.insert(c.strChangeType + " " + c.strFileName);
    return out;
}

TEST(LocalArrayChangesTest, NoChangeIsMissed) {
    // A file rewritten at once with as many bytes, and a name added to a
    // directory, both within the second of the snapshot before; items named
    // .snapshot that the array did not make (it makes the volume's and the
    // export e's), which are data; and a file written while it is copied:
    // once (it is copied again) or all the time (it is recorded as it was
    // before its last copy began, so that the next snapshot copies it again).
    for (int writes : {0, 1, 100}) {
        SCOPED_TRACE(std::to_string(writes) + " writes while f is copied");
        LocalArrayWorld world(true, {localarraytest::Export("v", {"e"})});
        world.Volume("v");
        for (const char* dir : {"d", "e", "dir", "dir2", "dir2/.snapshot"}) world.Dir("v", dir);
        world.File("v", "f", "AAAA");
        world.File("v", "dir/.snapshot", "a file");
        world.File("v", "dir2/.snapshot/f", "in a folder");
        world.Snap("v", "s1");
        world.File("v", "f", "BBBB");
        world.File("v", "dir/.snapshot", "changed");
        world.File("v", "dir2/.snapshot/f", "changed too");
        int written = 0;
        world.array->SetStepHook([&](const char* step) {
            if (strcmp(step, "piece") == 0 && written < writes &&
                testsupport::FileExists(world.Live("v", ".snapshot/.creating/f")))
                world.File("v", "f", "written while copied " + std::to_string(++written));
        });
        world.Snap("v", "s2");
        world.array->SetStepHook(nullptr);
        world.File("v", "d/n", "x");
        world.Snap("v", "s3");
        const std::string live = world.Read(world.Live("v", "f"));
        EXPECT_EQ(live, world.Read(world.Live("v", ".snapshot/s3/f")));
        EXPECT_EQ(writes < 100, live == world.Read(world.Live("v", ".snapshot/s2/f")));
        EXPECT_EQ(std::set<std::string>({"s1", "s2", "s3"}), Names(world.Live("v", "e/.snapshot")));
        EXPECT_EQ((std::multiset<std::string>{"inode_modification /f",
                                              "inode_modification /dir/.snapshot",
                                              "inode_modification /dir2/.snapshot/f"}),
                  Changes(world, "s1", "s2"));
        std::multiset<std::string> later = {"file_creation /d/n", "inode_modification /d"};
        if (writes == 100) later.insert("inode_modification /f");
        EXPECT_EQ(later, Changes(world, "s2", "s3"));
    }

    // Each attribute alone, between two catalogs of one file: reported as
    // a modification, or (another inode in that number) as a deletion and a
    // creation.
    const struct {
        const char* field;
        std::function<void(CatalogRow&)> change;
        size_t reported;
    } cases[] = {
        {"nothing", [](CatalogRow&) {}, 0},
        {"access time", [](CatalogRow& r) { r.llAtime++, r.uiAtimeNs++; }, 0},
        {"size", [](CatalogRow& r) { r.ullSize++; }, 1},
        {"mtime nanoseconds", [](CatalogRow& r) { r.uiMtimeNs++; }, 1},
        {"ctime nanoseconds", [](CatalogRow& r) { r.uiCtimeNs++; }, 1},
        {"mode", [](CatalogRow& r) { r.uiMode = 0600; }, 1},
        {"link count", [](CatalogRow& r) { r.ullLinks = 2; }, 1},
        {"owner", [](CatalogRow& r) { r.uiOwner = 7; }, 1},
        {"group", [](CatalogRow& r) { r.uiGroup = 7; }, 1},
        {"contents", [](CatalogRow& r) { r.ullDigest ^= 1; }, 1},
        {"no copy to digest", [](CatalogRow& r) { r.bHasDigest = false, r.ullDigest ^= 1; }, 0},
        {"attributes", [](CatalogRow& r) { r.ullAttributes ^= 1; }, 1},
        {"generation", [](CatalogRow& r) { r.ullGeneration++; }, 2},
        {"device", [](CatalogRow& r) { r.ullDevice++; }, 2},
    };
    testsupport::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.field);
        CatalogRow row;
        row.ullInode = 12, row.uiFileType = 1, row.uiMode = 0644, row.ullSize = 4, row.ullLinks = 1;
        row.llMtime = row.llCtime = 1700000000, row.uiMtimeNs = row.uiCtimeNs = 500;
        row.bHasDigest = true, row.ullDigest = 99, row.strPath = "f";
        row.ullGeneration = 5, row.bHasAttributes = true;
        for (const char* name : {"a", "b"}) {
            CatalogWriter writer(dir / name, 1 << 20);
            ASSERT_TRUE(writer.Add(row).ok() && writer.Finish().ok());
            c.change(row);
        }
        SnapDiffMerge merge(SnapDiffNaming(), 256);
        std::vector<SnapDiffFileInfo> batch;
        bool end = false;
        ASSERT_TRUE(merge.Open(dir / "a", dir / "b").ok() && merge.Next(batch, end).ok());
        EXPECT_EQ(c.reported, batch.size());
    }
}

// A job's array work (take the next snapshot, compare it with the last,
// delete the last) is killed at each of its events in turn (a step of a
// creation or deletion, a file copied or removed, a batch compared), after
// a random change to the volume each time. The rerun, on the array opened
// anew, delivers every change and leaves no debris.
TEST(LocalArrayChangesTest, AJobKilledAnywhereIsRedoneWithEveryChangeAndNoDebris) {
    LocalArrayWorld world(true, {localarraytest::Export("v", {"d"})});
    world.config.sortMemoryBytes = 1;  // sorted runs on disk too when killed
    world.Rebuild();
    world.Volume("v");
    world.Dir("v", "d");
    for (int i = 0; i < 4; ++i) world.File("v", "d/f" + std::to_string(i), "x");
    world.Snap("v", "s0");
    std::vector<std::string> files = {"f0", "f1", "f2", "f3"};
    std::mt19937 random(34);
    bool finished = false;
    int kill = 1;
    for (; !finished; ++kill) {
        SCOPED_TRACE("killed at event " + std::to_string(kill));
        const std::string base = "s" + std::to_string(kill - 1), next = "s" + std::to_string(kill);
        std::shuffle(files.begin(), files.end(), random);
        world.File("v", "d/" + files[0], std::string(kill, 'r'));
        ASSERT_EQ(0, unlink(world.Live("v", "d/" + files[1]).c_str()));
        const std::multiset<std::string> expected = {
            "file_creation /d/" + next, "inode_modification /d/" + files[0],
            "file_deletion /d/" + files[1], "inode_modification /d"};
        files[1] = next;
        world.File("v", "d/" + next, "new");
        const pid_t child = fork();
        if (child == 0) {
            int events = 0;
            const auto event = [&] {
                if (++events == kill) raise(SIGKILL);
            };
            world.array->SetStepHook([&](const char*) { event(); });
            LocalArrayOperator op;
            op.stopRequested = [&] { return event(), false; };
            SetLocalArrayOperator(op);
            const bool created = world.array->CreateSnapshot("v", next).bOk;
            world.Diff("v", base, next);
            _exit(created && world.array->DeleteSnapshot("v", base).bOk ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        finished = WIFEXITED(status);
        ASSERT_TRUE(finished ? WEXITSTATUS(status) == 0 : WTERMSIG(status) == SIGKILL);
        world.Rebuild();
        ASSERT_TRUE(world.array->OpenConnection().bOk);
        const std::set<std::string> names = world.Listed();
        for (const std::string& name : names) world.ExpectCopyMatchesCatalog(name);  // no part
        if (!names.count(next)) world.Snap("v", next);
        if (names.count(base)) {  // else the comparison ended before the deletion began
            EXPECT_EQ(expected, Changes(world, base, next));
            ASSERT_TRUE(world.array->DeleteSnapshot("v", base).bOk);
        }
        EXPECT_EQ(std::set<std::string>{next}, Names(world.Live("v", ".snapshot")));
        EXPECT_EQ(std::set<std::string>{next}, Names(world.Live("v", "d/.snapshot")));
        EXPECT_EQ(std::set<std::string>{next + ".cat"}, Names(world.Root() + "/.snapcatalog/v"));
        world.ExpectCopyMatchesCatalog(next);
        for (const std::string& name : files)
            EXPECT_EQ(world.Read(world.Live("v", "d/" + name)),
                      world.Read(world.Live("v", ".snapshot/" + next + "/d/" + name)));
    }
    EXPECT_GT(kill, 20);  // in the copy, after it, in the comparison and in the deletion
}

}  // namespace
