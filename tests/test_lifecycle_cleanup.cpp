// The two clean-ups: after the backup (every volume recorded in the map file
// keeps only the current job's snapshot) and after failed auto-mounts (the
// current job's snapshot leaves the failed shares' volumes unless another
// share still reads it).
#include "tests/LifecycleTestEnv.h"

#include "host/VKPlatformInfo.h"

#include <functional>

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
        for (const char* path : {"/vol/projects", "/vol/projects/a", "/vol/projects/b", "/vol/tools"})
            env.Export(path, path);
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

// A path under no mount, or a mount table that cannot be read, ends the
// cleanup with an error raised by (or passed through) the cleanup itself;
// what was deleted before it stands and the connection stays for the
// agent's retry.
TEST(LifecyclePostBackup, MountTableClientStopsAtAnUnmountedPath) {
    for (bool tableReadable : {true, false}) {
        SCOPED_TRACE(tableReadable ? "path under no mount" : "mount table unreadable");
        PostBackupWorld world(false, false);
        WriteFile(world.env.MapFile(), Record(world.a) + Record("/nowhere/x") + Record(world.tools));
        world.env.Install();
        std::string table;
        VKPlatformInfo::getRegString("host", "mount_table", &table);
        if (!tableReadable) {
            ASSERT_EQ(rename(table.c_str(), (table + ".away").c_str()), 0);
        }
        RecordingLogWriter log;
        auto client = world.env.Client(10, 9);
        CRyError err = client->CleanupSnapshotsPostBackup(false);
        EXPECT_EQ(err.Win32Code(), 1627u);
        // The agent's error text names the operation once, and no helper.
        std::vector<std::string> clientFrames;
        for (const auto& frame : err.Frames())
            if (frame.location.strFunction.find("CNetAppSnapClient::") != std::string::npos)
                clientFrames.push_back(frame.location.strFunction);
        ASSERT_EQ(clientFrames.size(), 1u) << err.AsString();
        EXPECT_NE(clientFrames[0].find("CNetAppSnapClient::CleanupSnapshotsPostBackup(bool)"),
                  std::string::npos);
        EXPECT_TRUE(client->m_pManageOntap);
        EXPECT_EQ(world.env.OnArray("tools").count(Snap(9)), 1u);
        if (!tableReadable) {
            EXPECT_TRUE(world.env.Calls("GetSnapShotList").empty());
            continue;
        }
        EXPECT_EQ(err.Message(), "Scan Content [/nowhere/x/] is not mounted");
        EXPECT_TRUE(log.Has(0, "Snap Clean-up: Non auto-mount client: strInterface[] "
                               "strMountFormat[] strExportPath[]"));
        EXPECT_EQ(world.env.OnArray("projects").count(Snap(9)), 0u);
    }
}

struct SkipRow {
    const char* name;
    bool autoMount;
    bool cluster;
    std::function<void(PostBackupWorld&)> arm;  // before the array is installed
    std::vector<std::pair<std::string, uint64_t>> faults;  // operation, failing calls 1..n
    int logLevel;
    std::vector<std::pair<int, std::string>> logged;  // "%c" stands for projects/c
    size_t lists, deletes;
    bool projectsKeepsOld, toolsKeepsOld;
};

// Paths that cannot be resolved and array calls that fail skip a path or a
// volume with a logged message; the cleanup goes on and succeeds.
TEST(LifecyclePostBackup, SkippedPathsAndFailures) {
    const auto mapOf = [](std::function<std::string(PostBackupWorld&)> records) {
        return [records](PostBackupWorld& w) { WriteFile(w.env.MapFile(), records(w)); };
    };
    const std::vector<SkipRow> rows = {
        {"auto-mount conversion fails for the first path only", true, false,
         mapOf([](PostBackupWorld& w) { return Record("/nowhere/x") + Record(w.a); }), {}, -5,
         {{-1, "Couldn't get export path [/nowhere/x/], for snapshot cleanup"}}, 1, 2, false, true},
        {"array does not know the export", false, false,
         mapOf([](PostBackupWorld& w) { return Record(w.env.Dir("projects/c")); }), {}, 3,
         {{-1, "Couldn't find path information for [/vol/projects/c/] on the server. Skipping "
               "snapshot cleanup for backup path [%c/]."}},
         0, 0, true, true},
        {"volume path inside a snapshot directory", false, false,
         [&](PostBackupWorld& w) {
             w.env.Export("/vol/projects/a", "/vol/projects/.snapshot/hourly.0/a");
             mapOf([](PostBackupWorld& w) { return Record(w.a); })(w);
         },
         {}, 3, {}, 0, 0, true, true},
        {"every deletion fails", false, false, [](PostBackupWorld&) {}, {{"DeleteOntapSnap", 4}}, 3,
         {{1, "Failed to to delete snapshot [" + Snap(3) + "] of volume [projects]."},
          {1, "Failed to to delete snapshot [" + Snap(9) + "] of volume [tools]."}},
         2, 3, true, true},
        {"list fails: the volume counts as handled", false, false, [](PostBackupWorld&) {},
         {{"GetSnapShotList", 1}}, -5,
         {{-1, "Could not get snapshot list from file server for volume[projects], snap not "
               "deleted for the volume."}},
         2, 1, true, false},
    };
    std::vector<SkipRow> all = rows;
    // Volume paths too short to name a volume all give the empty name: that
    // volume is handled once and no real volume loses a snapshot.
    for (bool cluster : {false, true})
        all.push_back({"volume paths too short to name a volume", false, cluster,
                       [&](PostBackupWorld& w) {
                           w.env.Export("/vol/projects/a", "/vol");
                           w.env.Export("/vol/projects/b", "/v");
                           WriteFile(w.env.MapFile(), Record(w.a) + Record(w.b));
                       },
                       {}, 3, {}, 1, 0, true, true});
    for (const SkipRow& row : all) {
        SCOPED_TRACE(std::string(row.name) + (row.cluster ? " (cluster)" : ""));
        PostBackupWorld world(row.autoMount, row.cluster);
        row.arm(world);
        world.env.Install();
        for (const auto& fault : row.faults)
            for (uint64_t n = 1; n <= fault.second; ++n) world.env.Fail(fault.first, n);
        RecordingLogWriter log(row.logLevel);
        auto client = world.env.Client(10, 9);
        ASSERT_FALSE(client->CleanupSnapshotsPostBackup(row.autoMount).IsError());
        for (auto logged : row.logged) {
            const size_t at = logged.second.find("%c");
            if (at != std::string::npos) logged.second.replace(at, 2, world.root + "/c");
            EXPECT_TRUE(log.Has(logged.first, logged.second)) << logged.second << log.Dump();
        }
        EXPECT_EQ(world.env.Calls("GetSnapShotList").size(), row.lists);
        EXPECT_EQ(world.env.Calls("DeleteOntapSnap").size(), row.deletes);
        EXPECT_EQ(world.env.OnArray("projects").count(Snap(9)), row.projectsKeepsOld ? 1u : 0u);
        EXPECT_EQ(world.env.OnArray("tools").count(Snap(9)), row.toolsKeepsOld ? 1u : 0u);
        EXPECT_FALSE(client->m_pManageOntap);
    }
}

// Auto-mount world: exports /vol/p/q and /vol/p/r on volume p, /vol/s on s.
struct AutoMountWorld {
    Env env;
    explicit AutoMountWorld(bool cluster, bool pEmpty = false) {
        env.Script().bCluster = cluster;
        for (const char* path : {"/vol/p/q", "/vol/p/r", "/vol/s"}) env.Export(path, path);
        env.Export("/vol/short", "/vol");
        env.Snapshots("p", pEmpty ? std::set<std::string>() : std::set<std::string>{Snap(10), Snap(9)});
        env.Snapshots("s", {Snap(9)});
        env.Install();
    }
};

struct FailedShareRow {
    const char* name;
    bool cluster;
    bool autoMountClient;
    bool connected;
    bool pEmpty;
    bool failFirstList;
    std::list<std::string> failed;
    std::vector<std::string> lookups;  // export paths asked for
    size_t lists, deletes;
    bool pKeepsCurrent;
    std::vector<std::string> logged;
};

TEST(LifecycleAutoMountCleanup, DeletesCurrentSnapshotOfFailedShares) {
    const std::string deleting =
        "Auto-mount client: Deleting snapshot [" + Snap(10) + "] of failed share [filer1:/vol/p/q]";
    const std::vector<FailedShareRow> rows = {
        // s holds no current snapshot: nothing asked to go there.
        {"entries with and without interface", false, true, true, false, false,
         {"filer1:/vol/p/q", "/vol/s"}, {"/vol/p/q", "/vol/s"}, 2, 1, false, {deleting}},
        {"two entries on one volume", false, true, true, false, false,
         {"filer1:/vol/p/q", "filer1:/vol/p/r"}, {"/vol/p/q", "/vol/p/r"}, 2, 1, false, {deleting}},
        {"two entries on one volume", true, true, true, false, false,
         {"filer1:/vol/p/q", "filer1:/vol/p/r"}, {"/vol/p/q", "/vol/p/r"}, 2, 2, false, {deleting}},
        {"a volume whose list came back empty is not listed again", false, true, true, true, false,
         {"f:/vol/p/q", "f:/vol/p/r", "f:/vol/p/q"}, {"/vol/p/q", "/vol/p/r", "/vol/p/q"}, 1, 0,
         false, {}},
        // The failed list left p out of this call; /vol has no volume name.
        {"unknown export, failed list, short volume path", false, true, true, false, true,
         {"f:/vol/p/q", "f:/vol/unknown", "f:/vol/short", "f:/vol/p/r"},
         {"/vol/p/q", "/vol/unknown", "/vol/short", "/vol/p/r"}, 2, 0, true,
         {"Could not get snapshot list from file server for volume[p], snap not deleted for the "
          "volume.",
          "Couldn't find path information for [/vol/unknown] on the server. Skipping snapshot "
          "cleanup for backup path [f:/vol/unknown]."}},
        {"not an auto-mount client: nothing at all", false, false, true, false, false,
         {"f:/vol/p/q"}, {}, 0, 0, true, {}},
        {"empty list", false, true, true, false, false, {}, {}, 0, 0, true, {}},
    };
    for (const FailedShareRow& row : rows) {
        SCOPED_TRACE(std::string(row.name) + (row.cluster ? " (cluster)" : ""));
        AutoMountWorld world(row.cluster, row.pEmpty);
        if (row.failFirstList) world.env.Fail("GetSnapShotList", 1);
        auto client = world.env.Client(10, 9, row.autoMountClient ? NewMapper() : ContentMapperAPIPtr());
        world.env.Array().Backend().ClearCalls();
        RecordingLogWriter log;
        ASSERT_FALSE(client->DeleteAutoMountFailedSnapshots(row.failed).IsError());
        std::vector<std::string> lookups;
        for (const auto& call : world.env.Calls("GetActualStoragePathForNfsExport"))
            lookups.push_back(call.vecArguments[0]);
        EXPECT_EQ(lookups, row.lookups);
        EXPECT_EQ(world.env.Calls("GetSnapShotList").size(), row.lists);
        EXPECT_EQ(world.env.Calls("DeleteOntapSnap").size(), row.deletes);
        if (!row.pEmpty) {
            EXPECT_EQ(world.env.OnArray("p"), row.pKeepsCurrent
                                                  ? (std::set<std::string>{Snap(9), Snap(10)})
                                                  : std::set<std::string>{Snap(9)});
        }
        EXPECT_EQ(world.env.OnArray("s"), std::set<std::string>{Snap(9)});
        for (const std::string& line : row.logged)
            EXPECT_EQ(log.CountContaining(line), 1u) << line << log.Dump();
        if (row.lookups.empty()) {
            EXPECT_TRUE(world.env.Array().Backend().Calls().empty());
        }
        if (!row.autoMountClient) {
            EXPECT_TRUE(log.Lines().empty()) << log.Dump();
        }
    }
    {
        SCOPED_TRACE("no connection is reported first");
        AutoMountWorld world(false);
        auto client = world.env.Client(10, 9);
        client->m_pManageOntap.reset();
        CRyError err = client->DeleteAutoMountFailedSnapshots({"f:/vol/p/q"});
        EXPECT_EQ(err.Win32Code(), 1359u);
        EXPECT_EQ(err.Message(), "ManageOntap not initialized");
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
