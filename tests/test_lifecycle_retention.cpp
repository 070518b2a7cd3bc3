// Snapshot retention: which snapshots of the client's prefix survive on the
// job's volumes, and which shares are marked for the SnapDiff scan.
#include "tests/LifecycleTestEnv.h"

using namespace lifecycle;
using testsupport::RecordingLogWriter;

namespace {

FileServerExportInfo ShareOn(const std::string& path, const std::string& volume,
                             const std::string& volumePath, const std::string& currSnap) {
    FileServerExportInfo share;
    share.strBackupPath = path;
    share.strVolume = volume;
    share.strVolumePath = volumePath;
    share.strCurrSnapName = currSnap;
    share.strSnapshotPath = currSnap.empty() ? "" : path + "/.snapshot/" + currSnap;
    // Left over from an earlier run: retention must reset these.
    share.strPrevSnapName = "stale";
    share.llPrevSnapInfo = 42;
    share.bSnapDiffEnabled = true;
    return share;
}

struct RetentionRow {
    const char* name;
    LONGLONG prev;
    bool disableSnapDiff;
    bool prevExists;
    bool shareHasSnapshot;
    std::set<std::string> remaining;
    bool prevRecorded;
    bool snapDiff;
};

TEST(LifecycleRetention, KeepsCurrentAndPreviousSnapshot) {
    const std::set<std::string> foreign = {"VKOP_3_15_5", "VKOP_2_16_5", "hourly.0"};
    const std::vector<RetentionRow> rows = {
        {"previous kept, share scanned", 9, false, true, true, {Snap(10), Snap(9)}, true, true},
        {"previous kept, share read live", 9, false, true, false, {Snap(10), Snap(9)}, true, false},
        {"no previous snapshot", 9, false, false, true, {Snap(10)}, false, false},
        {"setting on deletes previous", 9, true, true, true, {Snap(10)}, false, false},
        {"setting on, no previous", 9, true, false, true, {Snap(10)}, false, false},
        {"previous job id equals current", 10, false, true, true, {Snap(10)}, false, false},
    };
    for (bool cluster : {false, true}) {
        for (const RetentionRow& row : rows) {
            SCOPED_TRACE(std::string(row.name) + (cluster ? " (cluster)" : ""));
            Env env;
            env.Script().bCluster = cluster;
            std::set<std::string> onArray = foreign;
            onArray.insert({Snap(10), Snap(7), Snap(8), Snap(100), kPrefix});
            if (row.prevExists) onArray.insert(Snap(9));
            env.Snapshots("projects", onArray);
            if (row.disableSnapDiff) env.Setting("nDisableSnapdiffForStreamingBackups", 1);
            env.Install();
            RecordingLogWriter log;
            auto client = env.Client(10, row.prev);
            client->m_lstExportInfo = {
                ShareOn("/mnt/a", "projects", "/vol/projects/a", row.shareHasSnapshot ? Snap(10) : "")};
            ASSERT_FALSE(client->ManageSnapshots().IsError());

            std::set<std::string> expected = foreign;
            expected.insert(row.remaining.begin(), row.remaining.end());
            EXPECT_EQ(env.OnArray("projects"), expected);
            const FileServerExportInfo& share = client->m_lstExportInfo.front();
            EXPECT_EQ(share.strPrevSnapName, row.prevRecorded ? Snap(9) : "");
            EXPECT_EQ(share.llPrevSnapInfo, 0);
            EXPECT_EQ(share.bSnapDiffEnabled, row.snapDiff);
            EXPECT_EQ(log.Count(1, "Additional setting[nDisableSnapdiffForStreamingBackups] "
                                   "present, deleting previous job's snapshots [" +
                                       Snap(9) + "] if exist."),
                      row.disableSnapDiff ? 1u : 0u);
            const auto lists = env.Calls("GetSnapShotList");
            ASSERT_EQ(lists.size(), 1u);
            EXPECT_EQ(lists[0].vecArguments,
                      (std::vector<std::string>{cluster ? "/vol/projects/a" : "projects", kPrefix}));
            EXPECT_TRUE(log.Has(3, "Deleting snapshot [" + Snap(7) + "] of volume/volume path [" +
                                       (cluster ? "/vol/projects/a" : "projects") + "]"));
        }
    }
}

// Two shares of one volume, the second read live: each share lists the
// volume, and the first list decides what goes. A failed list for the first
// share leaves the volume untouched, logged whatever the level.
TEST(LifecycleRetention, SharesOfOneVolume) {
    for (bool failFirstList : {false, true}) {
        SCOPED_TRACE(failFirstList ? "first list fails" : "both lists answer");
        Env env;
        env.Snapshots("projects", {Snap(8), Snap(9), Snap(10)});
        env.Install();
        if (failFirstList) env.Fail("GetSnapShotList", 1);
        RecordingLogWriter log(-5);
        auto client = env.Client(10, 9);
        client->m_lstExportInfo = {ShareOn("/mnt/a", "projects", "/vol/projects/a", Snap(10)),
                                   ShareOn("/mnt/b", "projects", "/vol/projects/b",
                                           failFirstList ? Snap(10) : "")};
        ASSERT_FALSE(client->ManageSnapshots().IsError());
        EXPECT_EQ(env.Calls("GetSnapShotList").size(), 2u);
        const FileServerExportInfo& first = client->m_lstExportInfo.front();
        const FileServerExportInfo& second = client->m_lstExportInfo.back();
        EXPECT_EQ(first.strPrevSnapName, failFirstList ? "" : Snap(9));
        EXPECT_EQ(first.bSnapDiffEnabled, !failFirstList);
        EXPECT_EQ(second.strPrevSnapName, Snap(9));
        EXPECT_EQ(second.bSnapDiffEnabled, failFirstList);
        if (!failFirstList) {
            EXPECT_EQ(env.Calls("DeleteOntapSnap").size(), 1u);
            EXPECT_EQ(env.OnArray("projects"), (std::set<std::string>{Snap(9), Snap(10)}));
            continue;
        }
        EXPECT_TRUE(log.Has(-1, "Could not get snapshot list from file server for "
                                "volume[projects], continue"));
        EXPECT_EQ(log.Lines().size(), 1u) << log.Dump();
        EXPECT_TRUE(env.Calls("DeleteOntapSnap").empty());
    }
}

TEST(LifecycleRetention, DeletionOrderAndFailures) {
    Env env;
    env.Snapshots("alpha", {Snap(2), Snap(1), Snap(3)});
    env.Snapshots("beta", {Snap(5), Snap(4)});
    env.Install();
    env.Fail("DeleteOntapSnap", 1);
    auto client = env.Client(10, 9);
    client->m_lstExportInfo = {ShareOn("/mnt/b", "beta", "/vol/beta", Snap(10)),
                               ShareOn("/mnt/a", "alpha", "/vol/alpha", Snap(10))};
    ASSERT_FALSE(client->ManageSnapshots().IsError());
    std::vector<std::string> order;
    for (const auto& call : env.Calls("DeleteOntapSnap"))
        order.push_back(call.vecArguments[0] + " " + call.vecArguments[1]);
    EXPECT_EQ(order, (std::vector<std::string>{"alpha " + Snap(1), "alpha " + Snap(2),
                                               "alpha " + Snap(3), "beta " + Snap(4),
                                               "beta " + Snap(5)}));
    // The first deletion failed; the rest still went.
    EXPECT_EQ(env.OnArray("alpha"), std::set<std::string>{Snap(1)});
    EXPECT_TRUE(env.OnArray("beta").empty());
}

// Without a connection nothing is touched; a flat list of names (no volume)
// is never acted on.
TEST(LifecycleRetention, RefusedWithoutConnectionOrVolume) {
    Env env;
    env.Snapshots("projects", {Snap(3)});
    env.Install();
    auto client = env.Client(10, 9);
    env.Array().Backend().ClearCalls();
    EXPECT_FALSE(client->CleanupSnapshot({Snap(3)}).IsError());
    EXPECT_TRUE(env.Array().Backend().Calls().empty());
    client->m_lstExportInfo = {ShareOn("/mnt/a", "projects", "/vol/projects", Snap(10))};
    client->m_pManageOntap.reset();
    CRyError err = client->ManageSnapshots();
    EXPECT_EQ(err.Win32Code(), 1359u);
    EXPECT_EQ(err.Message(), "ManageOntap is not initialized!");
    EXPECT_EQ(client->m_lstExportInfo.front().strPrevSnapName, "stale");
    EXPECT_TRUE(client->m_lstExportInfo.front().bSnapDiffEnabled);
}

}  // namespace
