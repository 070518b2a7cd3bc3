// Snapshot creation: one snapshot per volume, the .snapshot read path, and
// what happens to a share whose snapshot cannot be made or read, with the
// snapshot-only setting off and on.
#include "tests/LifecycleTestEnv.h"

using namespace lifecycle;
using testsupport::RecordingLogWriter;

namespace {

const uint32_t kEventCreateFailed = 0x11000093;
const uint32_t kEventSnapshotPathFailed = 0x110000A5;
const uint32_t kEventNoShare = 0x11000086;

std::vector<CRecordingEventSink::Sent> EventsWithId(uint32_t id) {
    std::vector<CRecordingEventSink::Sent> out;
    for (const auto& event : SentEvents())
        if (event.uiEventId == id) out.push_back(event);
    return out;
}

struct ReaderRow {
    bool cluster;
    bool aReadable;
    bool bReadable;
};

// Two shares of one volume share one snapshot. A snapshot that one share
// cannot read is deleted only when no kept share of its volume reads through
// it; deleting it would pull the data from under the other share's backup.
TEST(LifecycleCreation, SharesOfOneVolumeShareOneSnapshot) {
    std::vector<ReaderRow> rows;
    for (bool cluster : {false, true})
        for (const auto& readable : {std::make_pair(true, true), std::make_pair(false, true),
                                     std::make_pair(true, false), std::make_pair(false, false)})
            rows.push_back({cluster, readable.first, readable.second});
    for (const ReaderRow& row : rows) {
        SCOPED_TRACE(std::string(row.cluster ? "cluster" : "not a cluster") +
                     (row.aReadable ? ", a readable" : "") + (row.bReadable ? ", b readable" : ""));
        Env env;
        env.Script().bCluster = row.cluster;
        const std::string a = env.Dir("projects/a");
        const std::string b = env.Dir("projects/b");
        env.Mount("filer1:/vol/projects", env.Dir("projects"));
        env.Export("/vol/projects/a", "/vol/projects/a");
        env.Export("/vol/projects/b", "/vol/projects/b");
        if (row.aReadable) env.SnapshotDir(a, Snap(2));
        if (row.bReadable) env.SnapshotDir(b, Snap(2));
        env.Install();
        RecordingLogWriter log;
        auto client = env.Client(2, 1);
        std::list<std::string> shares = {a, b};
        ASSERT_FALSE(client->ConfigureSnapshot(shares, {}, {}).IsError());

        const auto creates = env.Calls("CreateOntapSnap");
        ASSERT_EQ(creates.size(), 2u);
        EXPECT_EQ(creates[0].vecArguments[0], row.cluster ? "/vol/projects/a" : "projects");
        EXPECT_EQ(creates[1].vecArguments[0], row.cluster ? "/vol/projects/b" : "projects");
        EXPECT_TRUE(creates[0].bOk);
        EXPECT_EQ(creates[1].uiCode, 104u);
        EXPECT_TRUE(log.Has(0, "Snapshot[" + Snap(2) + "] already exists on volume[projects]"));
        const bool anyReads = row.aReadable || row.bReadable;
        EXPECT_EQ(env.OnArray("projects").count(Snap(2)), anyReads ? 1u : 0u);
        const bool oneReads = row.aReadable != row.bReadable;
        const std::string reader = row.aReadable ? a : b;
        EXPECT_EQ(log.Count(0, "Snapshot [" + Snap(2) + "] of volume [projects] is kept, backup "
                               "path [" + reader + "] is read through it."),
                  oneReads ? 1u : 0u)
            << log.Dump();
        for (const auto& share : {std::make_pair(a, row.aReadable), std::make_pair(b, row.bReadable)}) {
            const FileServerExportInfo* info = client->Share(share.first);
            ASSERT_NE(info, nullptr);
            EXPECT_EQ(info->strCurrSnapName, share.second ? Snap(2) : "");
            EXPECT_EQ(info->strSnapshotPath,
                      share.second ? share.first + "/.snapshot/" + Snap(2) : "");
            EXPECT_EQ(client->m_mapContentMapperPaths[share.first + "/"],
                      share.second ? info->strSnapshotPath : share.first + "/");
        }
        EXPECT_EQ(shares, (std::list<std::string>{a, b}));
        EXPECT_TRUE(log.Has(0, "[2] out of [2] shares are processed in snap client."));
        EXPECT_EQ(SentEvents().size(), (row.aReadable ? 0u : 1u) + (row.bReadable ? 0u : 1u));
        // The reader's snapshot is the current one for retention too.
        if (anyReads) {
            EXPECT_TRUE(env.Calls("DeleteOntapSnap").empty());
        }
    }
}

struct FailureRow {
    const char* name;
    bool createFails;    // else the .snapshot path is missing
    bool snapshotOnly;
};

// One share; its snapshot cannot be made, or cannot be read. With the
// setting off the share is read live; with it on the job has nothing left.
TEST(LifecycleCreation, ShareWithoutUsableSnapshot) {
    const std::vector<FailureRow> rows = {
        {"creation fails, read live", true, false},
        {"creation fails, snapshot only", true, true},
        {".snapshot missing, read live", false, false},
        {".snapshot missing, snapshot only", false, true},
    };
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(row.name);
        Env env;
        const std::string share = env.Dir("projects/a/");
        std::string sharePath = share.substr(0, share.size() - 1);
        env.Mount("filer1:/vol/projects", env.Dir("projects"));
        env.Export("/vol/projects/a", "/vol/projects/a");
        env.Snapshots("projects", {"hourly.0"});
        env.Setting("bBackupFromSnapshotOnly", row.snapshotOnly ? 1 : 0);
        env.Install();
        if (row.createFails) env.Fail("CreateOntapSnap", 1, 13999, "volume is offline");
        RecordingLogWriter log;
        auto client = env.Client(2, 1);
        std::list<std::string> shares = {share};
        CRyError err = client->ConfigureSnapshot(shares, {}, {});

        const std::string snapshotPath = share + ".snapshot/" + Snap(2);
        std::string failureText;
        if (row.createFails) {
            EXPECT_TRUE(log.Has(-1, "Could not create snapshot:[" + Snap(2) +
                                        "] on path:[/vol/projects/a] Backup path:[" + share +
                                        "]. Error code:[13999] Error Message:[volume is "
                                        "offline]."))
                << log.Dump();
            const auto events = EventsWithId(kEventCreateFailed);
            ASSERT_EQ(events.size(), 1u);
            EXPECT_EQ(events[0].vecArguments,
                      (std::vector<std::string>{Snap(2), "/vol/projects/a", "volume is offline"}));
            EXPECT_EQ(events[0].iSeverity, 6);
            EXPECT_EQ(events[0].iFlags, 0);
            failureText = "Snapshot creation failed: [volume is offline]";
            EXPECT_TRUE(env.Calls("DeleteOntapSnap").empty());
        } else {
            EXPECT_EQ(log.CountContaining(".snapshot path is not accessible, can not use SnapDiff "
                                          "scan. Please enable .snapshot access or make sure path "
                                          "is valid. Error["),
                      1u);
            const auto events = EventsWithId(kEventSnapshotPathFailed);
            ASSERT_EQ(events.size(), 1u);
            ASSERT_EQ(events[0].vecArguments.size(), 3u);
            EXPECT_EQ(events[0].vecArguments[0], Snap(2));
            EXPECT_EQ(events[0].vecArguments[1], snapshotPath);
            EXPECT_NE(events[0].vecArguments[2].find(snapshotPath), std::string::npos);
            failureText = ".snapshot path access failed: [" + events[0].vecArguments[2] + "]";
            // The unreadable snapshot serves nobody and goes at once.
            EXPECT_EQ(env.OnArray("projects"), std::set<std::string>{"hourly.0"});
        }
        EXPECT_EQ(shares, std::list<std::string>{share});

        if (!row.snapshotOnly) {
            ASSERT_FALSE(err.IsError()) << err.AsString();
            EXPECT_TRUE(log.Has(0, row.createFails
                                       ? "Snapshot creation failed on path [" + sharePath +
                                             "], backing up data from live file system."
                                       : ".snapshot folder access failed on path [" + sharePath +
                                             "], backing up data from live filesystem."))
                << log.Dump();
            const FileServerExportInfo* info = client->Share(sharePath);
            ASSERT_NE(info, nullptr);
            EXPECT_TRUE(info->strCurrSnapName.empty());
            EXPECT_TRUE(info->strSnapshotPath.empty());
            EXPECT_FALSE(info->bSnapDiffEnabled);
            EXPECT_EQ(client->m_mapContentMapperPaths[share], share);
            continue;
        }
        EXPECT_TRUE(log.Has(0, std::string(row.createFails ? "Snapshot creation" : ".snapshot access") +
                                   " failed on path [" + sharePath +
                                   "], additional setting to backup data only from snapshot is "
                                   "set, fail the path."))
            << log.Dump();
        ASSERT_TRUE(err.IsError());
        EXPECT_EQ(err.EventId(), kEventNoShare);
        const std::string summary = "/vol/projects/a: " + failureText + "\n";
        EXPECT_EQ(err.EventArguments(), std::vector<std::string>{summary});
        EXPECT_TRUE(log.Has(-1, "Processing of shares failed:\n[" + summary + "]"));
        EXPECT_TRUE(client->m_lstExportInfo.empty());
        // Retention does not run after a failed creation.
        EXPECT_TRUE(env.Calls("GetSnapShotList").empty());
    }
}

TEST(LifecycleCreation, SummaryKeepsFirstFailurePerVolumePath) {
    Env env;
    const std::string x = env.Dir("x");
    const std::string y = env.Dir("y");
    env.Mount("filer1:/vol/projects", x);
    env.Mount("filer1:/vol/projects", y);
    env.Export("/vol/projects", "/vol/projects");
    env.Setting("bBackupFromSnapshotOnly", 1);
    env.Install();
    env.Fail("CreateOntapSnap", 1, 13999, "first");
    env.Fail("CreateOntapSnap", 2, 13999, "second");
    auto client = env.Client(2, 1);
    std::list<std::string> shares = {x, y};
    CRyError err = client->ConfigureSnapshot(shares, {}, {});
    EXPECT_EQ(EventsWithId(kEventCreateFailed).size(), 2u);
    EXPECT_EQ(err.EventId(), kEventNoShare);
    EXPECT_EQ(err.EventArguments(),
              std::vector<std::string>{"/vol/projects: Snapshot creation failed: [first]\n"});
}

// No shares, shares that resolve to nothing, and no connection at all.
TEST(LifecycleCreation, NothingToBackUp) {
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(kind == 0 ? "empty share list" : kind == 1 ? "no share resolves" : "no connection");
        Env env;
        env.Install();
        RecordingLogWriter log;
        auto client = env.Client(2, 1);
        std::list<std::string> shares;
        if (kind > 0) shares = {env.Dir("a"), env.Dir("b")};
        if (kind == 2) client->m_pManageOntap.reset();
        const std::list<std::string> given = shares;
        CRyError err = client->ConfigureSnapshot(shares, {}, {});
        EXPECT_EQ(shares, given);
        EXPECT_TRUE(env.Calls("GetSnapShotList").empty());
        if (kind == 2) {
            EXPECT_EQ(err.Win32Code(), 1359u);
            EXPECT_EQ(err.Message(), "ManageOntap not initialized");
            EXPECT_EQ(err.Frames().size(), 2u);
            continue;
        }
        EXPECT_EQ(err.EventId(), kEventNoShare);
        EXPECT_EQ(err.EventArguments(), std::vector<std::string>{""});
        EXPECT_TRUE(log.Has(-1, "Processing of shares failed:\n[]"));
    }
}

// The read root of a share is its content mapper path when it has one.
TEST(LifecycleCreation, SnapshotPathBuiltFromMappedReadRoot) {
    Env env;
    const std::string share = env.Dir("projects");
    const std::string readRoot = env.Dir("reader/projects");
    env.Mount("filer1:/vol/projects", share);
    env.Export("/vol/projects", "/vol/projects");
    env.SnapshotDir(readRoot, Snap(2));
    env.Install();
    auto client = env.Client(2, 1);
    client->m_mapContentMapperPaths[share + "/"] = readRoot + "/";
    std::list<std::string> shares = {share};
    ASSERT_FALSE(client->ConfigureSnapshot(shares, {}, {}).IsError());
    ASSERT_NE(client->Share(share), nullptr);
    EXPECT_EQ(client->Share(share)->strSnapshotPath, readRoot + "/.snapshot/" + Snap(2));
    EXPECT_EQ(client->m_mapContentMapperPaths[share + "/"], readRoot + "/.snapshot/" + Snap(2));
}

}  // namespace
