// Whole comparisons against the scripted array: one run per volume serving
// several shares, refused shares, the batch loop's ends, the failing ways
// out of a run and a retry after one, and the names of both array kinds.
#include "tests/ScanTestEnv.h"

#include <algorithm>

namespace {

using namespace scantest;

typedef std::function<FileServerSnapshotCompareItem()> Source;

ArrayScript ScriptWithBatches(std::vector<ScriptedBatch> batches, bool emptyAllowed = false) {
    ArrayScript script;
    ScriptedSnapDiff& diff = script.mapSnapDiffs[DiffKey("vola")];
    diff.vecBatches = std::move(batches);
    diff.bEmptyBatchesAllowed = emptyAllowed;
    return script;
}

// Shares /mnt/a and /mnt/c on vola and /mnt/d on volb.
void AddTwoVolumeShares(ScanClient& client) {
    client.Shares() = {Share("/mnt/a", "/vol/vola/a", "vola"),
                       Share("/mnt/c", "/vol/vola/c", "vola"),
                       Share("/mnt/d", "/vol/volb/d", "volb")};
}

TEST(ScanCompare, OneRunServesEverySharedVolumeShare) {
    ScanEnv env(ScriptWithBatches({Batch({Change(1, "file_creation", "/a/f1"),
                                          Change(2, "inode_modification", "/c/f2"),
                                          Change(3, "file_deletion", "/b/out"),
                                          Change(4, "acl_change", "/a/acl")}),
                                   Batch({Change(5, "file_creation", "/c/sub", 2)}, true)}));
    AddTwoVolumeShares(env.client);
    Source source;
    CRyError err = env.client.CompareSnapshots("/mnt/a/", "", source);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    std::map<std::string, uint32_t> statusOfPath;
    for (const FileServerSnapshotCompareItem& item : PullAll(source))
        if (item.uiStatus != kItemNoMore) statusOfPath[item.strPath] = item.uiStatus;
    // An unknown change text is stored with flags 0 and delivered as modified.
    EXPECT_EQ((std::map<std::string, uint32_t>{{"/mnt/a/acl", kItemModified},
                                               {"/mnt/a/f1", kItemCreated}}),
              statusOfPath);

    const auto starts = env.array.CallsOf("SnapDiffStart");
    ASSERT_EQ(1u, starts.size());
    EXPECT_EQ("/vol/vola/a", starts[0].vecArguments[0]);  // the volume path on a cluster
    EXPECT_EQ(0u, env.array.CallsOf("SnapDiffEnd").size());  // the end flag closed it
    EXPECT_TRUE(env.log.Has(0,
                            "Compare snapshots Current:[VKOP_1_15_812] Prev:[VKOP_1_15_811] on "
                            "volume[vola] for path[/mnt/a]"));
    EXPECT_TRUE(env.log.Has(1, "SnapDiff first iteration has returned [4] items."));
    EXPECT_TRUE(env.log.Has(0,
                            "Total number of files received by SnapDiff[5], total files part of "
                            "the backup paths[4]"));
    EXPECT_TRUE(env.client.ShareOf("/mnt/c").bSnapDiffDone);
    EXPECT_FALSE(env.client.ShareOf("/mnt/d").bSnapDiffDone);

    err = env.client.CompareSnapshots("/mnt/c/", "", source);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    std::vector<std::string> paths = PulledPaths(source);
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ((std::vector<std::string>{"/mnt/c/f2", "/mnt/c/sub/"}), paths);
    EXPECT_EQ(1u, env.array.CallsOf("SnapDiffStart").size());
    EXPECT_TRUE(env.log.Has(3,
                            "[/mnt/c/] share events has been processed already, as part of the "
                            "volume [vola]. Returning existing file events db."));
}

// Every way a comparison is refused before any change is read: the exact
// error, no source for the agent and no SnapDiff session left open.
TEST(ScanCompare, RefusalsBeforeTheRunSayWhyAndLeaveNoSession) {
    typedef std::function<void(ScanEnv&)> Setup;
    Source unused;
    const struct {
        const char* name;
        Setup setup;
        const char* path;
        size_t starts;  // SnapDiff runs begun, the set-up's included
        uint32_t code;
        std::string message;
    } cases[] = {
        // The outer share's run must not serve the nested, refused one.
        {"nested share", [&](ScanEnv& env) { env.client.CompareSnapshots("/mnt/a", "", unused); },
         "/mnt/b/", 1, ERROR_FUNCTION_FAILED, "Could not compare snapshots for path [/mnt/b]"},
        {"unknown share", nullptr, "/mnt/none/", 0, ERROR_FUNCTION_FAILED,
         "Could not compare snapshots for path [/mnt/none]"},
        {"done share without its database",
         [](ScanEnv& env) { env.client.ShareOf("/mnt/a").bSnapDiffDone = true; },
         "/mnt/a/", 0, ERROR_FUNCTION_FAILED, "Could not find EventDB for path [/mnt/a/]"},
        {"start fails", [](ScanEnv& env) { env.array.Backend().AddFault(Fault("SnapDiffStart")); },
         "/mnt/a", 1, ERROR_FUNCTION_FAILED,
         "Unable to start SnapDiff between snapshots [BASE][VKOP_1_15_811] and "
         "[INCR][VKOP_1_15_812] on volume[/vol/vola/a] Error[13999:injected fault]"},
        {"connection fails", [](ScanEnv& env) { env.array.Backend().AddFault(Fault("OpenConnection")); },
         "/mnt/a", 0, ERROR_FUNCTION_FAILED,
         "Unable to connect to array:[filer1]. Please check connectivity to the array and check "
         "the array management settings."},
        {"no connection", [](ScanEnv& env) { env.client.DropArray(); }, "/mnt/a", 0,
         ERROR_INTERNAL_ERROR, "ManageOntap not initialized. Snapshot comparison failed."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScanEnv env(ScriptWithBatches({}));
        env.client.Shares() = {Share("/mnt/a", "/vol/vola/a", "vola"),
                               Share("/mnt/b", "/vol/vola/a/b", "vola")};
        if (c.setup) c.setup(env);
        const size_t endsBefore = env.array.CallsOf("SnapDiffEnd").size();
        Source source;
        CRyError err = env.client.CompareSnapshots(c.path, "", source);
        ASSERT_TRUE(err.IsError());
        EXPECT_EQ(c.code, err.Win32Code());
        EXPECT_EQ(c.message, err.Message());
        EXPECT_FALSE(source);
        EXPECT_EQ(c.starts, env.array.CallsOf("SnapDiffStart").size());
        if (c.path == std::string("/mnt/b/")) {
            EXPECT_FALSE(env.client.ShareOf("/mnt/b").bSnapDiffEnabled);
        }
        EXPECT_EQ(endsBefore, env.array.CallsOf("SnapDiffEnd").size());
        EXPECT_EQ(0u, env.array.Array().OpenSessions());
    }
}

ScriptedBatch EmptyBatch() { return ScriptedBatch(); }

// How a run ends: empty batches end it only where the array says so, and
// every failing way out after SnapDiff started ends the session, leaves the
// share undone and the agent without a source.
TEST(ScanCompare, RunsEndWhereTheArraySaysAndFailuresEndTheSession) {
    const SnapDiffFileInfo change = Change(1, "file_creation", "/a/f");
    const std::vector<ScriptedBatch> hundredEmpty(100, EmptyBatch());
    auto join = [](std::vector<ScriptedBatch> a, const std::vector<ScriptedBatch>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    ScriptedBatch failing;
    failing.bFail = true;
    failing.uiCode = 14508;
    failing.strMessage = "lost the diff";
    const std::vector<ScriptedBatch> failingRun = {Batch({change}), failing, Batch({}, true)};
    const struct {
        const char* name;
        bool emptyAllowed;
        std::vector<ScriptedBatch> batches;
        const char* storeFault;  // the event store operation that fails, or ""
        size_t nexts;
        size_t ends;
        size_t stored;
        uint32_t code;  // 0: the run succeeds
        std::string message;
    } cases[] = {
        {"empty first batch ends the run", false, {EmptyBatch(), Batch({change}, true)}, "", 1, 1, 0, 0, ""},
        {"100 empty batches are waited out", true, join(hundredEmpty, {Batch({change}, true)}), "",
         101, 0, 1, 0, ""},
        {"a change resets the count", true,
         join(join(hundredEmpty, {Batch({change})}), join(hundredEmpty, {Batch({}, true)})), "",
         202, 1, 1, 0, ""},
        {"end flag with changes", false, {Batch({change, Change(2, "file_creation", "/a/g")}, true)},
         "", 1, 0, 2, 0, ""},
        {"101 empty batches fail", true, join(hundredEmpty, {EmptyBatch(), Batch({change}, true)}),
         "", 101, 1, 0, ERROR_OPERATION_ABORTED,
         "SnapDiff sent [101] empty batches in a row without reaching the end of the changes on "
         "volume[vola]"},
        {"next fails", false, failingRun, "", 2, 1, 0, ERROR_OPERATION_ABORTED,
         "Error in getting changed file:[lost the diff]"},
        {"store creation fails", false, failingRun, "Create", 0, 1, 0, ERROR_FUNCTION_FAILED,
         "store broke"},
        {"insert fails", false, failingRun, "InsertEvent", 1, 1, 0, ERROR_FUNCTION_FAILED,
         "store broke"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScanEnv env(ScriptWithBatches(c.batches, c.emptyAllowed));
        env.client.Shares() = {Share("/mnt/a", "/vol/vola/a", "vola")};
        Source source;
        CRyError err;
        {
            StoreFault fault(c.storeFault, "store broke");
            err = env.client.CompareSnapshots("/mnt/a", "", source);
        }
        EXPECT_EQ(c.code, err.IsError() ? err.Win32Code() : 0u) << err.AsString();
        EXPECT_EQ(c.nexts, env.array.CallsOf("SnapDiffNext").size());
        EXPECT_EQ(c.ends, env.array.CallsOf("SnapDiffEnd").size());
        EXPECT_EQ(0u, env.array.Array().OpenSessions());
        EXPECT_EQ(c.code == 0, env.client.ShareOf("/mnt/a").bSnapDiffDone);
        if (c.code == 0) {
            EXPECT_EQ(c.stored, PulledPaths(source).size());
            EXPECT_EQ(c.stored ? 1u : 0u, env.log.CountContaining("SnapDiff first iteration"));
        } else {
            EXPECT_EQ(c.message, err.Message());
            EXPECT_FALSE(source);
            EXPECT_FALSE(env.log.Has(0, "Done obtaining all SnapDiff changes."));
        }
    }
}

// A run fails midway; the agent asks again for another share of the volume.
// The shares the second, complete run serves must come from its database.
TEST(ScanCompare, RetryAfterAFailedRunServesTheCompleteDatabase) {
    ArrayScript script =
        ScriptWithBatches({Batch({Change(1, "file_creation", "/a/first")}),
                           Batch({Change(2, "file_creation", "/a/second")}, true)});
    script.vecFaults.push_back(Fault("SnapDiffNext", 2));
    ScanEnv env(script);
    AddTwoVolumeShares(env.client);
    Source source;
    ASSERT_TRUE(env.client.CompareSnapshots("/mnt/a", "", source).IsError());
    const boost::shared_ptr<CSnapDiffEventMonitor> partial = env.client.EventDBs()["vola"];

    CRyError err = env.client.CompareSnapshots("/mnt/c", "", source);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_NE(partial, env.client.EventDBs()["vola"]);
    EXPECT_EQ(env.client.EventDB(), env.client.EventDBs()["vola"]);

    err = env.client.CompareSnapshots("/mnt/a", "", source);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    std::vector<std::string> paths = PulledPaths(source);
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ((std::vector<std::string>{"/mnt/a/first", "/mnt/a/second"}), paths);
    EXPECT_EQ(2u, env.array.CallsOf("SnapDiffStart").size());
}

// The agent lists a share twice: the walk runs SnapDiff again for the second
// entry and that run fails. The shares the first, complete run served are
// still read from its database, not from the failed run's.
TEST(ScanCompare, AFailedLaterRunKeepsTheCompleteDatabase) {
    ArrayScript script = ScriptWithBatches(
        {Batch({Change(1, "file_creation", "/a/f"), Change(2, "file_creation", "/c/f")}, true)});
    script.vecFaults.push_back(Fault("SnapDiffNext", 2));
    ScanEnv env(script);
    env.client.Shares() = {Share("/mnt/a", "/vol/vola/a", "vola"),
                           Share("/mnt/a", "/vol/vola/a", "vola"),
                           Share("/mnt/c", "/vol/vola/c", "vola")};
    Source source;
    ASSERT_TRUE(env.client.CompareSnapshots("/mnt/a", "", source).IsError());
    EXPECT_EQ(2u, env.array.CallsOf("SnapDiffStart").size());

    CRyError err = env.client.CompareSnapshots("/mnt/c", "", source);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(std::vector<std::string>{"/mnt/c/f"}, PulledPaths(source));
}

// On an array that is not a cluster names carry the snapshot directory; a
// name under neither snapshot, like an empty name on a cluster, is skipped
// rather than taken for the root of a whole-volume share, the snapshot
// directory itself is the volume root (changed, never deleted), and a name
// under the base snapshot is cut there even when it holds the current one.
// Names with "." or ".." components are refused on both, and the share they
// lie in fails its comparison. (Names under either job snapshot and escaped
// ".." are in the job scenarios.)
TEST(ScanCompare, NamesAreCutAndRefusedSafely) {
    const std::string curr = std::string("/vol/vola/.snapshot/") + kCurrSnap;
    const struct {
        bool cluster;
        std::string name;
        const char* stored;  // null: skipped, or refused when failsShare
        bool failsShare;
    } cases[] = {
        {false, "/vol/vola/elsewhere/f", nullptr, false},
        {false, curr, "/mnt/v/", false},
        // A deleted file of the base snapshot named like the current one is
        // cut at its snapshot directory, not at its own name.
        {false, std::string("/vol/vola/.snapshot/") + kPrevSnap + "/x/" + kCurrSnap + "/f",
         "/mnt/v/x/VKOP_1_15_812/f", false},
        {true, "/dir/f.txt", "/mnt/v/dir/f.txt", false},
        {true, "", nullptr, false},
        {true, "\\00", nullptr, false},  // decodes to nothing
        {true, "/dir/../../etc", nullptr, true},
        {true, "/./f", nullptr, true},
        {true, "/dir/..", nullptr, true},
        {true, "/dir/.../.hidden", "/mnt/v/dir/.../.hidden", false},
    };
    for (const auto& c : cases) {
        ArrayScript script = ScriptWithBatches({Batch({Change(7, "file_deletion", c.name)}, true)});
        script.bCluster = c.cluster;
        ScanEnv env(script);
        env.client.Shares() = {Share("/mnt/v", "/vol/vola", "vola")};
        Source source;
        CRyError err = env.client.CompareSnapshots("/mnt/v", "", source);
        EXPECT_EQ(c.cluster ? "/vol/vola" : "vola",
                  env.array.CallsOf("SnapDiffStart")[0].vecArguments[0]);
        if (c.failsShare) {
            EXPECT_NE(err.AsString().find("Error 995 (0x800703E3): SnapDiff change [" + c.name +
                                          "] of share [/mnt/v] cannot be delivered"),
                      std::string::npos)
                << err.AsString();
            continue;
        }
        ASSERT_FALSE(err.IsError()) << c.name << ": " << err.AsString();
        const std::vector<std::string> paths = PulledPaths(source);
        if (c.stored) {
            EXPECT_EQ(std::vector<std::string>{c.stored}, paths) << c.name;
        } else {
            EXPECT_TRUE(paths.empty()) << c.name << " gave " << paths[0];
            EXPECT_EQ(1u, env.log.CountContaining("Skipping SnapDiff change for file:[" + c.name +
                                                  "]"))
                << env.log.Dump();
            EXPECT_TRUE(env.log.Has(0,
                                    "Total number of files received by SnapDiff[1], total files "
                                    "part of the backup paths[0]"));
        }
    }
}

}  // namespace
