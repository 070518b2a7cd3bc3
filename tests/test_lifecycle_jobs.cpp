// Whole jobs as the agent runs them, two in a row, each with a new client:
// which snapshots the array holds after retention and after the post-backup
// cleanup, and which shares the second job may scan with SnapDiff.
#include "tests/LifecycleTestEnv.h"

using namespace lifecycle;
using testsupport::RecordingLogWriter;

namespace {

const std::set<std::string> kForeign = {"VKOP_3_15_1", "hourly.0"};

std::set<std::string> With(std::set<std::string> names) {
    names.insert(kForeign.begin(), kForeign.end());
    return names;
}

struct JobWorld {
    Env env;
    bool autoMount;
    std::string a, b, tools;

    JobWorld(bool cluster, bool autoMountClient) : autoMount(autoMountClient) {
        env.Script().bCluster = cluster;
        const std::string projects = env.Dir("projects");
        a = env.Dir("projects/a");
        b = env.Dir("projects/b");
        tools = env.Dir("tools");
        if (autoMount) {
            env.AutoMount(projects, "filer1:/vol/projects");
            env.AutoMount(tools, "filer1:/vol/tools");
        } else {
            env.Mount("filer1:/vol/projects", projects);
            env.Mount("filer1:/vol/tools", tools);
        }
        env.Export("/vol/projects/a", "/vol/projects/a");
        env.Export("/vol/projects/b", "/vol/projects/b");
        env.Export("/vol/tools", "/vol/tools");
        env.Snapshots("projects", With({Snap(805), Snap(810)}));
        env.Snapshots("tools", {Snap(810)});
    }

    std::list<std::string> Shares() const { return {a, b, tools}; }

    // One job from Initialize to the post-backup cleanup; `afterRetention`
    // looks at the array and the client between configuration and backup.
    template <typename Check>
    void RunJob(LONGLONG job, LONGLONG prev, std::list<std::string>& shares, CRyError& configured,
                Check afterRetention) {
        env.NewResultsFolder("job" + std::to_string(job));
        for (const std::string& share : Shares()) env.SnapshotDir(share, Snap(job));
        ContentMapperAPIPtr mapper = autoMount ? NewMapper() : ContentMapperAPIPtr();
        auto client = env.Client(job, prev, mapper);
        configured = client->ConfigureSnapshot(shares, {}, {});
        if (configured.IsError()) return;
        afterRetention(*client);
        ASSERT_FALSE(client->UpdateContentMapperPaths(mapper).IsError());
        if (autoMount) {
            ASSERT_FALSE(client->RepopulateContentMapperPaths(mapper).IsError());
            ASSERT_FALSE(client->DeleteAutoMountFailedSnapshots({}).IsError());
        }
        CRyError cleaned = client->CleanupSnapshotsPostBackup(autoMount);
        ASSERT_FALSE(cleaned.IsError()) << cleaned.AsString();
        EXPECT_FALSE(client->m_pManageOntap);
    }
};

struct CycleRow {
    bool cluster;
    bool autoMount;
    bool disableSnapDiff;
};

TEST(LifecycleJobs, TwoJobsInARow) {
    std::vector<CycleRow> rows;
    for (bool cluster : {false, true})
        for (bool autoMount : {false, true})
            for (bool disable : {false, true}) rows.push_back({cluster, autoMount, disable});
    for (const CycleRow& row : rows) {
        SCOPED_TRACE(std::string(row.cluster ? "cluster" : "not a cluster") +
                     (row.autoMount ? ", auto-mount" : ", mount table") +
                     (row.disableSnapDiff ? ", SnapDiff disabled" : ""));
        JobWorld world(row.cluster, row.autoMount);
        if (row.disableSnapDiff) world.env.Setting("nDisableSnapdiffForStreamingBackups", 1);
        world.env.Install();
        RecordingLogWriter log;

        for (LONGLONG job : {811, 812}) {
            SCOPED_TRACE("job " + std::to_string(job));
            const LONGLONG prev = job - 1;
            std::list<std::string> shares = world.Shares();
            CRyError configured;
            world.RunJob(job, prev, shares, configured, [&](TestClient& client) {
                // Retention: the current and (unless disabled) the previous
                // job's snapshot stay; older ones of the prefix go.
                std::set<std::string> kept = {Snap(job)};
                if (!row.disableSnapDiff) kept.insert(Snap(prev));
                EXPECT_EQ(world.env.OnArray("projects"), With(kept));
                EXPECT_EQ(world.env.OnArray("tools"), kept);
                ASSERT_EQ(client.m_lstExportInfo.size(), 3u);
                for (const FileServerExportInfo& share : client.m_lstExportInfo) {
                    SCOPED_TRACE(share.strBackupPath);
                    EXPECT_EQ(share.strCurrSnapName, Snap(job));
                    EXPECT_EQ(share.strSnapshotPath,
                              share.strBackupPath + "/.snapshot/" + Snap(job));
                    EXPECT_EQ(share.strPrevSnapName, row.disableSnapDiff ? "" : Snap(prev));
                    EXPECT_EQ(share.bSnapDiffEnabled, !row.disableSnapDiff);
                }
            });
            ASSERT_FALSE(configured.IsError()) << configured.AsString();
            EXPECT_EQ(shares, world.Shares());
            // After the backup only the current job's snapshot remains, for
            // the next job to compare against, unless SnapDiff is disabled.
            const std::set<std::string> after =
                row.disableSnapDiff ? std::set<std::string>() : std::set<std::string>{Snap(job)};
            EXPECT_EQ(world.env.OnArray("projects"), With(after));
            EXPECT_EQ(world.env.OnArray("tools"), after);
        }
        EXPECT_EQ(log.CountContaining("Processing of shares failed"), 0u);
    }
}

struct DroppedRow {
    bool snapshotOnly;
    bool cluster;
};

// The second job cannot snapshot "tools". Read live, the share stays in the
// job and the cleanup reaches its volume; dropped, its volume is not visited
// after the backup and keeps the first job's snapshot.
TEST(LifecycleJobs, VolumeFailingInSecondJob) {
    const std::vector<DroppedRow> rows = {{false, false}, {true, false}, {false, true}, {true, true}};
    for (const DroppedRow& row : rows) {
        SCOPED_TRACE(std::string(row.snapshotOnly ? "snapshot only" : "read live") +
                     (row.cluster ? ", cluster" : ""));
        JobWorld world(row.cluster, false);
        if (row.snapshotOnly) world.env.Setting("bBackupFromSnapshotOnly", 1);
        world.env.Install();
        RecordingLogWriter log;
        std::list<std::string> shares = world.Shares();
        CRyError configured;
        world.RunJob(811, 810, shares, configured, [](TestClient&) {});
        ASSERT_FALSE(configured.IsError());

        ScriptedFault fault;
        fault.strOperation = "CreateOntapSnap";
        fault.strVolume = "tools";
        fault.ullNth = 2;  // the first job made the first one
        fault.uiCode = 13999;
        fault.strMessage = "aggregate full";
        world.env.Array().Backend().AddFault(fault);
        shares = world.Shares();
        world.RunJob(812, 811, shares, configured, [&](TestClient& client) {
            const FileServerExportInfo* tools = client.Share(world.tools);
            if (row.snapshotOnly) {
                EXPECT_EQ(tools, nullptr);
                return;
            }
            ASSERT_NE(tools, nullptr);
            EXPECT_TRUE(tools->strCurrSnapName.empty());
            EXPECT_EQ(tools->strPrevSnapName, Snap(811));
            EXPECT_FALSE(tools->bSnapDiffEnabled);
            EXPECT_TRUE(client.Share(world.a)->bSnapDiffEnabled);
        });
        ASSERT_FALSE(configured.IsError()) << configured.AsString();
        EXPECT_EQ(shares, row.snapshotOnly ? (std::list<std::string>{world.a, world.b})
                                           : world.Shares());
        EXPECT_EQ(world.env.OnArray("projects"), With({Snap(812)}));
        EXPECT_EQ(world.env.OnArray("tools"),
                  row.snapshotOnly ? std::set<std::string>{Snap(811)} : std::set<std::string>());
    }
}

// One share of a volume cannot be read through .snapshot in the second job;
// its neighbour on the same volume can. The snapshot stays for the neighbour,
// and the next job still compares against it.
TEST(LifecycleJobs, UnreadableShareDoesNotTakeNeighboursSnapshot) {
    JobWorld world(false, false);
    world.env.Install();
    RecordingLogWriter log;
    std::list<std::string> shares = world.Shares();
    CRyError configured;
    world.RunJob(811, 810, shares, configured, [](TestClient&) {});
    ASSERT_FALSE(configured.IsError());

    // Job 812: .snapshot of share a is not reachable.
    world.env.NewResultsFolder("job812");
    for (const std::string& share : {world.b, world.tools}) world.env.SnapshotDir(share, Snap(812));
    auto client = world.env.Client(812, 811);
    shares = world.Shares();
    ASSERT_FALSE(client->ConfigureSnapshot(shares, {}, {}).IsError());
    EXPECT_TRUE(log.Has(0, "Snapshot [" + Snap(812) + "] of volume [projects] is kept, backup "
                           "path [" + world.b + "] is read through it."));
    EXPECT_EQ(world.env.OnArray("projects"), With({Snap(811), Snap(812)}));
    EXPECT_TRUE(client->Share(world.a)->strSnapshotPath.empty());
    EXPECT_EQ(client->Share(world.b)->strSnapshotPath, world.b + "/.snapshot/" + Snap(812));
    EXPECT_TRUE(client->Share(world.b)->bSnapDiffEnabled);
    ContentMapperAPIPtr mapper;
    ASSERT_FALSE(client->UpdateContentMapperPaths(mapper).IsError());
    ASSERT_FALSE(client->CleanupSnapshotsPostBackup(false).IsError());
    EXPECT_EQ(world.env.OnArray("projects"), With({Snap(812)}));
}

}  // namespace
