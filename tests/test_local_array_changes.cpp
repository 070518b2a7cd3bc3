// The local array misses no change, and a snapshot creation killed at any
// step leaves nothing that the next open does not clear.

#include "tests/support/LocalArrayWorld.h"

#include <dirent.h>
#include <sys/wait.h>
#include <cstring>
#include <functional>
#include <set>

using localarraytest::LocalArrayWorld;

namespace {

std::set<std::string> Names(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* stream = opendir(dir.c_str())) {
        while (struct dirent* ent = readdir(stream))
            if (strcmp(ent->d_name, ".") != 0 && strcmp(ent->d_name, "..") != 0)
                names.insert(ent->d_name);
        closedir(stream);
    }
    return names;
}

std::multiset<std::string> Changes(LocalArrayWorld& world, const std::string& base,
                                   const std::string& next) {
    std::multiset<std::string> out;
    for (const SnapDiffFileInfo& c : world.Diff("v", base, next).changes)
        out.insert(c.strChangeType + " " + c.strFileName);
    return out;
}

TEST(LocalArrayChangesTest, NoChangeIsMissed) {
    // Rewritten at once with as many bytes, and a name added to a directory:
    // both well within the second of the snapshot before.
    LocalArrayWorld world;
    world.Volume("v");
    world.Dir("v", "d");
    world.File("v", "f", "AAAA");
    world.Snap("v", "s1");
    world.File("v", "f", "BBBB");
    world.Snap("v", "s2");
    world.File("v", "d/n", "x");
    world.Snap("v", "s3");
    EXPECT_EQ((std::multiset<std::string>{"inode_modification /f"}), Changes(world, "s1", "s2"));
    EXPECT_EQ((std::multiset<std::string>{"file_creation /d/n", "inode_modification /d"}),
              Changes(world, "s2", "s3"));

    // Each attribute alone, between two catalogs of one file.
    const struct {
        const char* field;
        std::function<void(CatalogRow&)> change;
        bool reported;
    } cases[] = {
        {"nothing", [](CatalogRow&) {}, false},
        {"access time", [](CatalogRow& r) { r.llAtime++, r.uiAtimeNs++; }, false},
        {"size", [](CatalogRow& r) { r.ullSize++; }, true},
        {"mtime nanoseconds", [](CatalogRow& r) { r.uiMtimeNs++; }, true},
        {"ctime nanoseconds", [](CatalogRow& r) { r.uiCtimeNs++; }, true},
        {"mode", [](CatalogRow& r) { r.uiMode = 0600; }, true},
        {"link count", [](CatalogRow& r) { r.ullLinks = 2; }, true},
        {"owner", [](CatalogRow& r) { r.uiOwner = 7; }, true},
        {"group", [](CatalogRow& r) { r.uiGroup = 7; }, true},
        {"contents", [](CatalogRow& r) { r.ullDigest ^= 1; }, true},
        {"no copy to digest", [](CatalogRow& r) { r.bHasDigest = false, r.ullDigest ^= 1; }, false},
    };
    testsupport::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.field);
        CatalogRow row;
        row.ullInode = 12, row.uiFileType = 1, row.uiMode = 0644, row.ullSize = 4, row.ullLinks = 1;
        row.llMtime = row.llCtime = 1700000000, row.uiMtimeNs = row.uiCtimeNs = 500;
        row.bHasDigest = true, row.ullDigest = 99, row.strPath = "f";
        for (const char* name : {"a", "b"}) {
            CatalogWriter writer(dir / name, 1 << 20);
            ASSERT_TRUE(writer.Add(row).bOk && writer.Finish().bOk);
            c.change(row);
        }
        SnapDiffMerge merge(SnapDiffNaming(), 256);
        std::vector<SnapDiffFileInfo> batch;
        bool end = false;
        ASSERT_TRUE(merge.Open(dir / "a", dir / "b").bOk && merge.Next(batch, end).bOk);
        EXPECT_EQ(c.reported ? 1u : 0u, batch.size());
    }
}

TEST(LocalArrayChangesTest, KilledCreationIsClearedAndRedone) {
    LocalArrayWorld world(true, {localarraytest::Export("v", {"d"})});
    world.config.sortMemoryBytes = 1;  // sorted runs on disk too when killed
    world.Rebuild();
    world.Volume("v");
    world.Dir("v", "d");
    world.File("v", "d/b", "b");
    world.Snap("v", "s1");
    int kill = 1;
    for (;; ++kill) {
        pid_t child = fork();
        if (child == 0) {
            int steps = 0;
            world.array->SetCreationStepHook([&](const char*) {
                if (++steps == kill) _exit(9);
            });
            _exit(world.array->CreateSnapshot("v", "s2").bOk ? 0 : 1);
        }
        int status = 0;
        ASSERT_TRUE(waitpid(child, &status, 0) == child && WIFEXITED(status));
        if (WEXITSTATUS(status) == 0) break;  // no step left to kill at
        ASSERT_EQ(9, WEXITSTATUS(status));
        SCOPED_TRACE("killed at step " + std::to_string(kill));
        world.Rebuild();
        ASSERT_TRUE(world.array->OpenConnection().bOk);
        EXPECT_EQ(std::set<std::string>{"s1"}, Names(world.Live("v", ".snapshot")));
        EXPECT_EQ(std::set<std::string>{"s1"}, Names(world.Live("v", "d/.snapshot")));
        EXPECT_EQ(std::set<std::string>{"s1.cat"}, Names(world.Root() + "/.snapcatalog/v"));
        world.Snap("v", "s2");
        EXPECT_EQ("b", world.Read(world.Live("v", "d/.snapshot/s2/b")));
        ASSERT_TRUE(world.array->DeleteSnapshot("v", "s2").bOk);
    }
    EXPECT_GE(kill, 5);  // inside the copy, after it, and between link and commit
}

}  // namespace
