// The two clean-ups: after the backup (every volume recorded in the map file
// keeps only the current job's snapshot) and after failed auto-mounts (the
// current job's snapshot leaves the failed shares' volumes unless another
// share still reads it).
#include "tests/LifecycleTestEnv.h"

using namespace lifecycle;
using testsupport::RecordingLogWriter;
using testsupport::WriteFile;

namespace {

std::string Record(const std::string& path) { return "m:" + path + "/:" + path + "/:\n"; }

// Three shares on "projects", one on "tools", recorded in the map file.
struct PostBackupWorld {
    Env env;
    std::string a, b, root, tools;
    PostBackupWorld(bool autoMount, bool cluster) {
        env.Script().bCluster = cluster;
        root = env.Dir("projects");
        a = env.Dir("projects/a");
        b = env.Dir("projects/b");
        tools = env.Dir("tools");
        if (autoMount) {
            env.AutoMount(root, "filer1:/vol/projects");
            env.AutoMount(tools, "filer1:/vol/tools");
        } else {
            env.Mount("filer1:/vol/projects", root);
            env.Mount("filer1:/vol/tools", tools);
        }
        env.Export("/vol/projects", "/vol/projects");
        env.Export("/vol/projects/a", "/vol/projects/a");
        env.Export("/vol/projects/b", "/vol/projects/b");
        env.Export("/vol/tools", "/vol/tools");
        env.Snapshots("projects", {Snap(9), Snap(10), Snap(3), "VKOP_3_15_1", "hourly.0"});
        env.Snapshots("tools", {Snap(9), Snap(10)});
        WriteFile(env.MapFile(), Record(a) + Record(b) + Record(root) + Record(tools) + Record(a));
    }
};

TEST(LifecyclePostBackup, KeepsOnlyCurrentSnapshotPerVolume) {
    for (bool autoMount : {false, true}) {
        for (bool cluster : {false, true}) {
            for (bool disable : {false, true}) {
                SCOPED_TRACE(std::string(autoMount ? "auto-mount" : "mount table") +
                             (cluster ? ", cluster" : "") + (disable ? ", setting on" : ""));
                PostBackupWorld world(autoMount, cluster);
                if (disable) world.env.Setting("nDisableSnapdiffForStreamingBackups", 1);
                world.env.Install();
                RecordingLogWriter log;
                auto client = world.env.Client(10, 9);
                CRyError err = client->CleanupSnapshotsPostBackup(autoMount);
                ASSERT_FALSE(err.IsError()) << err.AsString() << log.Dump();

                std::set<std::string> projects = {"VKOP_3_15_1", "hourly.0"};
                std::set<std::string> tools;
                if (!disable) {
                    projects.insert(Snap(10));
                    tools.insert(Snap(10));
                }
                EXPECT_EQ(world.env.OnArray("projects"), projects);
                EXPECT_EQ(world.env.OnArray("tools"), tools);
                const auto lists = world.env.Calls("GetSnapShotList");
                ASSERT_EQ(lists.size(), 2u);
                EXPECT_EQ(lists[0].vecArguments[0], cluster ? "/vol/projects/a" : "projects");
                EXPECT_EQ(lists[1].vecArguments[0], cluster ? "/vol/tools" : "tools");
                EXPECT_EQ(log.Count(0, "Registry key[nDisableSnapdiffForStreamingBackups] set to "
                                       "value[1], deleting current job's snapshot. Next "
                                       "incremental job will not use fast scan"),
                          disable ? 1u : 0u);
                EXPECT_TRUE(log.Has(1, "Succesfully deleted snapshot [" + Snap(9) +
                                           "] of volume [projects]."));
                // Every recorded path is resolved, also on a handled volume.
                EXPECT_EQ(log.CountContaining(autoMount ? "Snap Clean-up: Auto-mount client: "
                                                        : "Snap Clean-up: Non auto-mount client: "),
                          5u);
                EXPECT_EQ(log.CountContaining("Backup Path["), 0u);
                EXPECT_FALSE(client->m_pManageOntap);
                // Nothing left to talk to: a second run is refused.
                CRyError again = client->CleanupSnapshotsPostBackup(autoMount);
                EXPECT_EQ(again.Win32Code(), 1359u);
                EXPECT_EQ(again.Message(), "ManageOntap is not initialized!");
            }
        }
    }
}

TEST(LifecyclePostBackup, MountTableClientStopsAtAnUnmountedPath) {
    {
        SCOPED_TRACE("first path under no mount");
        PostBackupWorld world(false, false);
        WriteFile(world.env.MapFile(), Record("/nowhere/x") + Record(world.a));
        world.env.Install();
        RecordingLogWriter log;
        auto client = world.env.Client(10, 9);
        CRyError err = client->CleanupSnapshotsPostBackup(false);
        EXPECT_EQ(err.Win32Code(), 1627u);
        EXPECT_EQ(err.Message(), "Scan Content [/nowhere/x/] is not mounted");
        EXPECT_TRUE(log.Has(0, "Snap Clean-up: Non auto-mount client: strInterface[] "
                               "strMountFormat[] strExportPath[]"));
        EXPECT_TRUE(world.env.Calls("DeleteOntapSnap").empty());
        EXPECT_TRUE(client->m_pManageOntap);
    }
    {
        SCOPED_TRACE("later path under no mount: earlier deletions stand");
        PostBackupWorld world(false, false);
        WriteFile(world.env.MapFile(), Record(world.a) + Record("/nowhere/x") + Record(world.tools));
        world.env.Install();
        auto client = world.env.Client(10, 9);
        EXPECT_EQ(client->CleanupSnapshotsPostBackup(false).Win32Code(), 1627u);
        EXPECT_EQ(world.env.OnArray("projects").count(Snap(9)), 0u);
        EXPECT_EQ(world.env.OnArray("tools").count(Snap(9)), 1u);
        EXPECT_TRUE(client->m_pManageOntap);
    }
    {
        SCOPED_TRACE("mount table unreadable");
        PostBackupWorld world(false, false);
        world.env.Install();
        auto client = world.env.Client(10, 9);
        testsupport::ScopedConfig broken(
            testsupport::ClientConfig("[host]\nmount_table = /nonexistent/mounttab\n"));
        CRyError err = client->CleanupSnapshotsPostBackup(false);
        EXPECT_EQ(err.Win32Code(), 1627u);
        EXPECT_GE(err.Frames().size(), 3u);
        EXPECT_TRUE(world.env.Calls("GetSnapShotList").empty());
        EXPECT_TRUE(client->m_pManageOntap);
    }
}

TEST(LifecyclePostBackup, SkippedPathsAndFailures) {
    {
        SCOPED_TRACE("auto-mount conversion fails for the first path only");
        PostBackupWorld world(true, false);
        WriteFile(world.env.MapFile(), Record("/nowhere/x") + Record(world.a));
        world.env.Install();
        RecordingLogWriter log(-5);
        auto client = world.env.Client(10, 9);
        ASSERT_FALSE(client->CleanupSnapshotsPostBackup(true).IsError());
        EXPECT_TRUE(log.Has(-1, "Couldn't get export path [/nowhere/x/], for snapshot cleanup"));
        EXPECT_EQ(world.env.OnArray("projects").count(Snap(9)), 0u);
        EXPECT_FALSE(client->m_pManageOntap);
    }
    {
        SCOPED_TRACE("array does not know the export");
        PostBackupWorld world(false, false);
        const std::string c = world.env.Dir("projects/c");
        WriteFile(world.env.MapFile(), Record(c));
        world.env.Install();
        RecordingLogWriter log;
        auto client = world.env.Client(10, 9);
        ASSERT_FALSE(client->CleanupSnapshotsPostBackup(false).IsError());
        EXPECT_TRUE(log.Has(-1, "Couldn't find path information for [/vol/projects/c/] on the "
                                "server. Skipping snapshot cleanup for backup path [" +
                                    c + "/]."));
        EXPECT_TRUE(world.env.Calls("GetSnapShotList").empty());
    }
    {
        SCOPED_TRACE("volume path inside a snapshot directory");
        PostBackupWorld world(false, false);
        world.env.Export("/vol/projects/a", "/vol/projects/.snapshot/hourly.0/a");
        WriteFile(world.env.MapFile(), Record(world.a));
        world.env.Install();
        auto client = world.env.Client(10, 9);
        ASSERT_FALSE(client->CleanupSnapshotsPostBackup(false).IsError());
        EXPECT_TRUE(world.env.Calls("GetSnapShotList").empty());
    }
    {
        SCOPED_TRACE("every deletion fails");
        PostBackupWorld world(false, false);
        world.env.Install();
        for (uint64_t n = 1; n <= 4; ++n) world.env.Fail("DeleteOntapSnap", n);
        RecordingLogWriter log;
        auto client = world.env.Client(10, 9);
        ASSERT_FALSE(client->CleanupSnapshotsPostBackup(false).IsError());
        EXPECT_EQ(world.env.Calls("DeleteOntapSnap").size(), 3u);
        EXPECT_TRUE(log.Has(1, "Failed to to delete snapshot [" + Snap(3) +
                                   "] of volume [projects]."));
        EXPECT_TRUE(log.Has(1, "Failed to to delete snapshot [" + Snap(9) +
                                   "] of volume [tools]."));
        EXPECT_FALSE(client->m_pManageOntap);
    }
    {
        SCOPED_TRACE("list fails: the volume counts as handled");
        PostBackupWorld world(false, false);
        world.env.Install();
        world.env.Fail("GetSnapShotList", 1);
        RecordingLogWriter log(-5);
        auto client = world.env.Client(10, 9);
        ASSERT_FALSE(client->CleanupSnapshotsPostBackup(false).IsError());
        EXPECT_TRUE(log.Has(-1, "Could not get snapshot list from file server for "
                                "volume[projects], snap not deleted for the volume."));
        EXPECT_EQ(world.env.Calls("GetSnapShotList").size(), 2u);  // projects once, tools once
        EXPECT_EQ(world.env.OnArray("projects").count(Snap(9)), 1u);
        EXPECT_EQ(world.env.OnArray("tools").count(Snap(9)), 0u);
    }
    {
        SCOPED_TRACE("volume paths too short to name a volume");
        for (bool cluster : {false, true}) {
            PostBackupWorld world(false, cluster);
            world.env.Export("/vol/projects/a", "/vol");
            world.env.Export("/vol/projects/b", "/v");
            WriteFile(world.env.MapFile(), Record(world.a) + Record(world.b));
            world.env.Install();
            auto client = world.env.Client(10, 9);
            ASSERT_FALSE(client->CleanupSnapshotsPostBackup(false).IsError());
            // Both have the empty volume name: handled once.
            EXPECT_EQ(world.env.Calls("GetSnapShotList").size(), 1u);
            EXPECT_EQ(world.env.OnArray("projects").count(Snap(9)), 1u);
        }
    }
    {
        SCOPED_TRACE("empty map file");
        PostBackupWorld world(false, false);
        WriteFile(world.env.MapFile(), "");
        world.env.Install();
        auto client = world.env.Client(10, 9);
        ASSERT_FALSE(client->CleanupSnapshotsPostBackup(false).IsError());
        EXPECT_TRUE(world.env.Calls("GetSnapShotList").empty());
        EXPECT_FALSE(client->m_pManageOntap);
    }
}

FileServerExportInfo KeptShare(const std::string& path, const std::string& volume,
                               const std::string& volumePath, const std::string& snap,
                               bool readable) {
    FileServerExportInfo share;
    share.strBackupPath = path;
    share.strVolume = volume;
    share.strVolumePath = volumePath;
    share.strCurrSnapName = snap;
    if (readable) share.strSnapshotPath = path + "/.snapshot/" + snap;
    return share;
}

// Auto-mount world: exports /vol/p/q and /vol/p/r on volume p, /vol/s on s.
struct AutoMountWorld {
    Env env;
    AutoMountWorld(bool cluster) {
        env.Script().bCluster = cluster;
        env.Export("/vol/p/q", "/vol/p/q");
        env.Export("/vol/p/r", "/vol/p/r");
        env.Export("/vol/s", "/vol/s");
        env.Export("/vol/short", "/vol");
        env.Snapshots("p", {Snap(10), Snap(9)});
        env.Snapshots("s", {Snap(9)});
    }
};

TEST(LifecycleAutoMountCleanup, DeletesCurrentSnapshotOfFailedShares) {
    {
        SCOPED_TRACE("entries with and without interface");
        AutoMountWorld world(false);
        world.env.Install();
        RecordingLogWriter log;
        auto client = world.env.Client(10, 9, NewMapper());
        ASSERT_FALSE(client->DeleteAutoMountFailedSnapshots({"filer1:/vol/p/q", "/vol/s"}).IsError());
        EXPECT_EQ(world.env.OnArray("p"), std::set<std::string>{Snap(9)});
        EXPECT_EQ(world.env.OnArray("s"), std::set<std::string>{Snap(9)});
        EXPECT_TRUE(log.Has(0, "Auto-mount client: Deleting snapshot [" + Snap(10) +
                                   "] of failed share [filer1:/vol/p/q]"));
        const auto lookups = world.env.Calls("GetActualStoragePathForNfsExport");
        ASSERT_EQ(lookups.size(), 2u);
        EXPECT_EQ(lookups[0].vecArguments[0], "/vol/p/q");
        EXPECT_EQ(lookups[1].vecArguments[0], "/vol/s");
        // s holds no current snapshot: nothing asked to go there.
        EXPECT_EQ(world.env.Calls("DeleteOntapSnap").size(), 1u);
    }
    for (bool cluster : {false, true}) {
        SCOPED_TRACE(cluster ? "two entries on one volume, cluster"
                             : "two entries on one volume, not a cluster");
        AutoMountWorld world(cluster);
        world.env.Install();
        auto client = world.env.Client(10, 9, NewMapper());
        ASSERT_FALSE(
            client->DeleteAutoMountFailedSnapshots({"filer1:/vol/p/q", "filer1:/vol/p/r"}).IsError());
        EXPECT_EQ(world.env.Calls("GetSnapShotList").size(), 2u);
        EXPECT_EQ(world.env.Calls("DeleteOntapSnap").size(), cluster ? 2u : 1u);
        EXPECT_EQ(world.env.OnArray("p"), std::set<std::string>{Snap(9)});
    }
    {
        SCOPED_TRACE("a volume whose list came back empty is not listed again");
        AutoMountWorld world(false);
        world.env.Snapshots("p", {});
        world.env.Install();
        auto client = world.env.Client(10, 9, NewMapper());
        ASSERT_FALSE(
            client->DeleteAutoMountFailedSnapshots({"f:/vol/p/q", "f:/vol/p/r", "f:/vol/p/q"}).IsError());
        EXPECT_EQ(world.env.Calls("GetSnapShotList").size(), 1u);
        EXPECT_EQ(world.env.Calls("GetActualStoragePathForNfsExport").size(), 3u);
    }
}

TEST(LifecycleAutoMountCleanup, RefusalsAndFailures) {
    {
        SCOPED_TRACE("not an auto-mount client: nothing at all");
        AutoMountWorld world(false);
        world.env.Install();
        auto client = world.env.Client(10, 9);
        world.env.Array().Backend().ClearCalls();
        RecordingLogWriter log;
        ASSERT_FALSE(client->DeleteAutoMountFailedSnapshots({"f:/vol/p/q"}).IsError());
        EXPECT_TRUE(world.env.Array().Backend().Calls().empty());
        EXPECT_TRUE(log.Lines().empty()) << log.Dump();
    }
    {
        SCOPED_TRACE("no connection is reported first");
        AutoMountWorld world(false);
        world.env.Install();
        auto client = world.env.Client(10, 9);
        client->m_pManageOntap.reset();
        CRyError err = client->DeleteAutoMountFailedSnapshots({"f:/vol/p/q"});
        EXPECT_EQ(err.Win32Code(), 1359u);
        EXPECT_EQ(err.Message(), "ManageOntap not initialized");
    }
    {
        SCOPED_TRACE("empty list");
        AutoMountWorld world(false);
        world.env.Install();
        auto client = world.env.Client(10, 9, NewMapper());
        world.env.Array().Backend().ClearCalls();
        ASSERT_FALSE(client->DeleteAutoMountFailedSnapshots({}).IsError());
        EXPECT_TRUE(world.env.Array().Backend().Calls().empty());
    }
    {
        SCOPED_TRACE("unknown export, failed list, short volume path");
        AutoMountWorld world(false);
        world.env.Install();
        world.env.Fail("GetSnapShotList", 1);
        RecordingLogWriter log(-1);
        auto client = world.env.Client(10, 9, NewMapper());
        ASSERT_FALSE(client->DeleteAutoMountFailedSnapshots(
                               {"f:/vol/p/q", "f:/vol/unknown", "f:/vol/short", "f:/vol/p/r"})
                         .IsError());
        EXPECT_TRUE(log.Has(-1, "Could not get snapshot list from file server for volume[p], "
                                "snap not deleted for the volume."));
        EXPECT_TRUE(log.Has(-1, "Couldn't find path information for [/vol/unknown] on the "
                                "server. Skipping snapshot cleanup for backup path "
                                "[f:/vol/unknown]."));
        // The failed list left p out of this call; /vol has no volume name.
        EXPECT_EQ(world.env.OnArray("p").count(Snap(10)), 1u);
        EXPECT_EQ(world.env.Calls("GetSnapShotList").size(), 2u);
    }
}

struct ReaderRow {
    const char* name;
    FileServerExportInfo other;
    bool kept;
};

// A share of the job whose mount worked may read through the snapshot that
// the failed share's volume holds; it stays then.
TEST(LifecycleAutoMountCleanup, SnapshotReadByAnotherShareStays) {
    const std::vector<ReaderRow> rows = {
        {"mounted share of the same volume reads it",
         KeptShare("/mnt/r", "p", "/vol/p/r", Snap(10), true), true},
        {"share on the failed volume path itself",
         KeptShare("/mnt/q2", "p", "/vol/p/q", Snap(10), true), false},
        {"share of another volume", KeptShare("/mnt/s", "s", "/vol/s", Snap(10), true), false},
        {"share read live", KeptShare("/mnt/r", "p", "/vol/p/r", Snap(10), false), false},
        {"share of another snapshot", KeptShare("/mnt/r", "p", "/vol/p/r", Snap(9), true), false},
    };
    for (bool cluster : {false, true}) {
        for (const ReaderRow& row : rows) {
            SCOPED_TRACE(std::string(row.name) + (cluster ? " (cluster)" : ""));
            AutoMountWorld world(cluster);
            world.env.Install();
            RecordingLogWriter log;
            auto client = world.env.Client(10, 9, NewMapper());
            client->m_lstExportInfo = {KeptShare("/mnt/q", "p", "/vol/p/q", Snap(10), true),
                                       row.other};
            ASSERT_FALSE(client->DeleteAutoMountFailedSnapshots({"filer1:/vol/p/q"}).IsError());
            EXPECT_EQ(world.env.OnArray("p").count(Snap(10)), row.kept ? 1u : 0u);
            EXPECT_EQ(log.Count(0, "Snapshot [" + Snap(10) + "] of volume [p] is kept, backup "
                                   "path [/mnt/r] is read through it."),
                      row.kept ? 1u : 0u);
        }
    }
}

}  // namespace
