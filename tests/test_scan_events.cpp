// Placing reported paths under backup paths, merging the reports of one
// inode in a real event store, and choosing the shares one run serves.
#include "tests/ScanTestEnv.h"

#include <algorithm>

namespace {

using namespace scantest;

TEST(ScanEvents, ReportedPathsArePlacedByWholeComponents) {
    const struct {
        const char* volumePath;
        const char* volume;
        const char* path;
        bool matches;
        const char* converted;
    } cases[] = {
        {"/vol/vola", "vola", "/d/f", true, "/mnt/s/d/f"},  // whole volume
        {"/vol/vola/q/dir", "vola", "/q/dir/sub/f", true, "/mnt/s/sub/f"},
        {"/vol/vola/q/dir", "vola", "/q/dir", true, "/mnt/s"},
        {"/vol/vola/q/dir", "vola", "/q/dir2/f", false, ""},
        {"/vol/vola/q/dir", "vola", "/q", false, ""},
        {"/vol/vola/q/dir", "vola", "/q/dir/a\\b\\c", true, "/mnt/s/a/b/c"},
        {"/vol/vola/q/dir/", "vola", "/q/dir/f", true, "/mnt/s/f"},  // not /mnt/sf
        {"/vol/vola/", "vola", "/d/f", true, "/mnt/s/d/f"},
        // Volume paths of other shapes hold no change.
        {"vola", "vola", "/d/f", false, ""},
        {"/", "vola", "/d/f", false, ""},
        {"", "vola", "/d/f", false, ""},
        {"/vol/v", "longvolumename", "/d/f", false, ""},
    };
    testsupport::TempDir dir;
    testsupport::RecordingLogWriter log(3);
    ScanClient client(dir.Path());
    for (const auto& c : cases) {
        std::list<FileServerExportInfo> shares = {Share("/mnt/s", c.volumePath, c.volume)};
        std::string path = c.path;
        EXPECT_EQ(c.matches, client.IsEventPartOfBackupPaths(shares, path))
            << c.volumePath << " " << c.path;
        EXPECT_EQ(c.matches ? c.converted : c.path, path) << c.volumePath << " " << c.path;
        if (c.matches) {
            EXPECT_TRUE(log.Has(3, std::string("Converted to file[") + c.converted + "]"));
        }
    }
    // The first share that holds the path converts it.
    const std::list<FileServerExportInfo> shares = {Share("/mnt/q", "/vol/vola/q", "vola"),
                                                    Share("/mnt/all", "/vol/vola", "vola")};
    std::string inQ = "/q/x", elsewhere = "/r/x";
    ASSERT_TRUE(client.IsEventPartOfBackupPaths(shares, inQ) && client.IsEventPartOfBackupPaths(shares, elsewhere));
    EXPECT_EQ("/mnt/q/x", inQ);
    EXPECT_EQ("/mnt/all/r/x", elsewhere);
}

// One report of an inode as the comparison builds it.
ChangeEventItem Report(char kind) {
    ChangeEventItem event;
    event.llInode = 42;
    event.uiFileType = 1;
    const int64_t base = kind == 'M' ? 100 : kind == 'C' ? 200 : 300;
    event.llAtime = base + 1;
    event.llCtime = base + 2;
    event.llMtime = base + 3;
    event.strPath = std::string("/mnt/s/") + kind + "/";
    event.strChangeType = kind == 'M'   ? "inode_modification"
                          : kind == 'C' ? "file_creation"
                          : kind == 'D' ? "file_deletion"
                                        : "acl_change";
    event.uiChangeFlags = kind == 'M' ? 1 : kind == 'C' ? 2 : kind == 'D' ? 4 : 0;
    return event;
}

struct MergeEnv {
    testsupport::TempDir dir;
    ScanClient client{dir.Path()};
    MergeEnv() { EXPECT_FALSE(client.CreateEventDB(kPrevSnap, kCurrSnap, "vola").IsError()); }
    ChangeEventItem Stored() {
        ChangeEventItem stored;
        long long inode = 42;
        EXPECT_FALSE(client.EventDB()->GetEventOfInode(inode, stored).IsError());
        return stored;
    }
};

TEST(ScanEvents, ReportsOfOneInodeMergeWhateverTheirOrder) {
    // Expected: kept text (by its report), flags, path's report, old path's
    // report ('-' none), report whose times are kept.
    const struct {
        const char* reports;
        char text;
        uint32_t flags;
        char path;
        char oldPath;
        char times;
    } cases[] = {
        {"MM", 'M', 1, 'M', '-', 'M'}, {"CC", 'C', 2, 'C', '-', 'C'},
        {"DD", 'D', 4, 'D', '-', 'D'}, {"MC", 'C', 3, 'C', '-', 'C'},
        {"CM", 'C', 3, 'C', '-', 'C'}, {"MD", 'M', 5, 'M', 'D', 'D'},
        {"DM", 'M', 5, 'M', 'D', 'D'}, {"CD", 'C', 6, 'C', 'D', 'D'},
        {"DC", 'C', 6, 'C', 'D', 'D'}, {"CDM", 'C', 7, 'C', 'D', 'D'},
        {"CMD", 'C', 7, 'C', 'D', 'D'}, {"DCM", 'C', 7, 'C', 'D', 'D'},
        {"DMC", 'C', 7, 'C', 'D', 'D'}, {"MDC", 'C', 7, 'C', 'D', 'D'},
        {"MCD", 'C', 7, 'C', 'D', 'D'}, {"XC", 'X', 0, 'X', '-', 'X'},
        {"MX", 'M', 1, 'M', '-', 'M'},
    };
    for (const auto& c : cases) {
        MergeEnv env;
        for (const char* kind = c.reports; *kind; ++kind) {
            ChangeEventItem report = Report(*kind);
            ASSERT_FALSE(env.client.EventDBInsert(report).IsError()) << c.reports;
        }
        const ChangeEventItem stored = env.Stored();
        const ChangeEventItem times = Report(c.times);
        EXPECT_EQ(Report(c.text).strChangeType, stored.strChangeType) << c.reports;
        EXPECT_EQ(c.flags, stored.uiChangeFlags) << c.reports;
        EXPECT_EQ(Report(c.path).strPath, stored.strPath) << c.reports;
        EXPECT_EQ(c.oldPath == '-' ? "" : Report(c.oldPath).strPath, stored.strOldPath)
            << c.reports;
        EXPECT_EQ(times.llAtime, stored.llAtime) << c.reports;
        EXPECT_EQ(times.llCtime, stored.llCtime) << c.reports;
        EXPECT_EQ(times.llMtime, stored.llMtime) << c.reports;
    }
    // A creation without a change time takes its access time.
    MergeEnv env;
    ChangeEventItem modification = Report('M'), creation = Report('C');
    creation.llCtime = -1;
    ASSERT_FALSE(env.client.EventDBInsert(modification).IsError());
    ASSERT_FALSE(env.client.EventDBInsert(creation).IsError());
    EXPECT_EQ(creation.llAtime, env.Stored().llCtime);
}

TEST(ScanEvents, StoreFailuresComeBackFromInsertAndCreate) {
    // Second report of an inode: insert, read and update each may fail.
    for (const char* operation : {"InsertEvent", "GetEventOfInode", "UpdateExistingEventOfInode"}) {
        MergeEnv env;
        ChangeEventItem deletion = Report('D'), creation = Report('C');
        ASSERT_FALSE(env.client.EventDBInsert(deletion).IsError());
        StoreFault fault(operation, "disk full");
        CRyError err = env.client.EventDBInsert(creation);
        ASSERT_TRUE(err.IsError()) << operation;
        EXPECT_EQ("disk full", err.Message());
        EXPECT_TRUE(std::any_of(err.Frames().begin(), err.Frames().end(), [](const auto& f) {
            return f.location.strFunction.find("EventDBInsert") != std::string::npos;
        })) << err.AsString();
    }
    testsupport::TempDir dir;
    ScanClient client(dir.Path());
    StoreFault fault("Create", "no space");
    EXPECT_TRUE(client.CreateEventDB(kPrevSnap, kCurrSnap, "vola").IsError());
    EXPECT_TRUE(client.EventDB()) << "the store whose creation failed stays current";
}

TEST(ScanEvents, EligibilityRefusesMissingSnapshotsDisabledAndNestedShares) {
    testsupport::TempDir dir;
    testsupport::RecordingLogWriter log(-1);
    ScanClient client(dir.Path());
    FileServerExportInfo noPrev = Share("/mnt/n", "/vol/vola/n", "vola");
    noPrev.strPrevSnapName.clear();
    client.Shares() = {Share("/mnt/a", "/vol/vola/a", "vola"),
                       Share("/mnt/b", "/vol/vola/a/b", "vola"),
                       Share("/mnt/off", "/vol/vola/off", "vola", false), noPrev,
                       Share("/mnt/same1", "/vol/volc/s", "volc"),
                       Share("/mnt/same2", "/vol/volc/s", "volc")};

    EXPECT_TRUE(client.IsPathEligibleForSnapDiffScan(client.ShareOf("/mnt/a")));
    EXPECT_FALSE(client.IsPathEligibleForSnapDiffScan(client.ShareOf("/mnt/b")));
    EXPECT_TRUE(log.Has(-1,
                        "Path[/mnt/b] VolumePath[/vol/vola/a/b] overlaps with path[/mnt/a] "
                        "VolumePath[/vol/vola/a], can not process path[/mnt/b] using SnapDiff scan"))
        << log.Dump();
    EXPECT_FALSE(client.IsPathEligibleForSnapDiffScan(client.ShareOf("/mnt/off")));
    EXPECT_TRUE(log.Has(-1, "Path[/mnt/off] is not enabled for SnapDiff scan"));
    noPrev.bSnapDiffEnabled = false;
    EXPECT_FALSE(client.IsPathEligibleForSnapDiffScan(noPrev));
    EXPECT_TRUE(log.Has(-1,
                        "Current snapshot[VKOP_1_15_812] or prev snapshot[] is not valid for "
                        "path[/mnt/n], can not process path using SnapDiff scan"));
    EXPECT_FALSE(log.Has(-1, "Path[/mnt/n] is not enabled for SnapDiff scan"));

    // Two shares on one volume path: the first asked is refused; once it is
    // disabled the other may go.
    EXPECT_FALSE(client.IsPathEligibleForSnapDiffScan(client.ShareOf("/mnt/same1")));
    client.ShareOf("/mnt/same1").bSnapDiffEnabled = false;
    EXPECT_TRUE(client.IsPathEligibleForSnapDiffScan(client.ShareOf("/mnt/same2")));
}

TEST(ScanEvents, CommonSharesAreTheOutermostOfTheVolume) {
    testsupport::TempDir dir;
    testsupport::RecordingLogWriter log(0);
    ScanClient client(dir.Path());
    client.Shares() = {Share("/mnt/a", "/vol/vola/a", "vola"),
                       Share("/mnt/a/in", "/vol/vola/a/in", "vola"),
                       Share("/mnt/c", "/vol/vola/c", "vola"),
                       Share("/mnt/c/in", "/vol/vola/c/in", "vola"),
                       Share("/mnt/off", "/vol/vola/off", "vola", false),
                       Share("/mnt/d", "/vol/volb/d", "volb")};
    std::list<FileServerExportInfo> common;
    client.GetCommonVolumeShares(client.ShareOf("/mnt/a"), common);
    std::vector<std::string> paths;
    for (const FileServerExportInfo& share : common) paths.push_back(share.strBackupPath);
    EXPECT_EQ((std::vector<std::string>{"/mnt/a", "/mnt/c"}), paths);
    EXPECT_EQ(1u, log.Count(0, "Found common volume backup path[/mnt/a] for SnapDiff scan processing"));
    EXPECT_EQ(1u, log.Count(0, "Found common volume backup path[/mnt/c] for SnapDiff scan processing"));

    common.push_back(Share("/mnt/unknown", "/vol/vola/u", "vola"));
    client.MarkSnapDiffCompletedShares(common);
    for (const FileServerExportInfo& share : client.Shares())
        EXPECT_EQ(share.strBackupPath == "/mnt/a" || share.strBackupPath == "/mnt/c",
                  share.bSnapDiffDone)
            << share.strBackupPath;
}

TEST(ScanEvents, BatchSizeFollowsTheArrayVersion) {
    const struct {
        bool cluster;
        unsigned major, minor;
        bool versionFails;
        const char* config;
        int expected;
    } cases[] = {
        {false, 9, 8, false, "", 256},   {true, 9, 1, false, "", 256},
        {true, 9, 2, false, "", 1024},   {true, 10, 0, false, "", 1024},
        {true, 9, 8, true, "", 256},     {true, 9, 8, false, "[snapdiff]\nmax_items = 77\n", 77},
        {true, 9, 8, false, "[snapdiff]\nmax_items = lots\n", 256},
    };
    for (const auto& c : cases) {
        ArrayScript script;
        script.bCluster = c.cluster;
        script.uiVersion[0] = c.major;
        script.uiVersion[1] = c.minor;
        if (c.versionFails) script.vecFaults.push_back(Fault("GetFileServerVersion"));
        ScanEnv env(script);
        env.config.Rewrite(c.config);
        int maxItems = 256;
        env.client.GetSnapDiffItemsPerIteration(maxItems);
        EXPECT_EQ(c.expected, maxItems) << c.major << "." << c.minor << " " << c.config;
        EXPECT_EQ(c.cluster ? 1u : 0u, env.array.CallsOf("GetFileServerVersion").size());
        if (std::string(c.config).find("lots") != std::string::npos)
            EXPECT_EQ(1u, env.log.CountContaining(
                              "Could not determine SnapDiffMax value, use default value [256], error="));
        else
            EXPECT_TRUE(env.log.Has(3, "Determined maximum number of diffs in each SnapDiff "
                                       "response is [" + std::to_string(c.expected) + "]"));
    }
}

}  // namespace
