// Share resolution as snapshot creation runs it: mount table and auto-mount
// lookups, the export below the mount, the volume behind the export, and
// paths that already lie in a snapshot directory.
#include "tests/LifecycleTestEnv.h"

#include "host/FXPath.h"

using namespace lifecycle;
using testsupport::RecordingLogWriter;

namespace {

struct MountRow {
    const char* name;
    std::vector<std::pair<std::string, std::string>> mounts;  // source, dir below mnt ("/" = root)
    std::string share;                                         // below mnt
    std::string exportPath;                                    // expected; empty: not mounted
    std::string interface;
};

TEST(LifecycleShares, MountTableResolution) {
    const std::vector<MountRow> rows = {
        {"share below the mount", {{"filer1:/vol/projects", "projects"}}, "projects/sub/dir",
         "/vol/projects/sub/dir", "filer1"},
        {"share is the mount directory", {{"filer1:/vol/projects", "projects"}}, "projects",
         "/vol/projects", "filer1"},
        {"trailing delimiter from the agent", {{"filer1:/vol/projects", "projects"}},
         "projects/sub/", "/vol/projects/sub/", "filer1"},
        {"first covering entry wins, even the shorter",
         {{"filer2:/vol/outer", "a"}, {"filer1:/vol/inner", "a/b"}}, "a/b/c", "/vol/outer/b/c",
         "filer2"},
        {"entry on the root never covers", {{"filer1:/vol/root", "/"}}, "projects", "", ""},
        {"no entry covers", {{"filer1:/vol/projects", "projects"}}, "other", "", ""},
        {"prefix of a name is not a parent", {{"filer1:/vol/projects", "proj"}}, "projects", "",
         ""},
        {"source without a colon", {{"nfsdisk", "disk"}}, "disk/x", "nfsdisk/x", "nfsdisk"},
    };
    for (const MountRow& row : rows) {
        SCOPED_TRACE(row.name);
        Env env;
        const std::string share = env.Dir(row.share);
        for (const auto& mount : row.mounts)
            env.Mount(mount.first, mount.second == "/" ? "/" : env.Dir(mount.second));
        if (!row.exportPath.empty()) env.Export(row.exportPath, "/vol/projects/q");
        env.Install();
        RecordingLogWriter log;
        auto client = env.Client(2, 1);
        std::list<std::string> shares = {share};
        CRyError err = client->ConfigureSnapshot(shares, {}, {});

        if (row.exportPath.empty()) {
            EXPECT_TRUE(log.Has(-1, "Scan Content [" + share +
                                        "] is not mounted on this proxy machine, skipping from "
                                        "snapshot creation."))
                << log.Dump();
            EXPECT_EQ(err.EventId(), 0x11000086u);
            EXPECT_TRUE(client->m_lstExportInfo.empty());
            continue;
        }
        ASSERT_FALSE(err.IsError()) << err.AsString();
        std::string source;
        for (const auto& mount : row.mounts)
            if (source.empty()) source = mount.first;
        EXPECT_EQ(log.Count(0, "Non auto-mount client: strInterface[" + row.interface +
                                   "] strMountFormat[" + source + "] strExportPath[" +
                                   row.exportPath + "]"),
                  1u)
            << log.Dump();
        std::string sharePath = share;
        FXPath::RemoveTrailingDelimiter(sharePath);
        EXPECT_TRUE(log.Has(0, "Backup Path[" + share + "], Export Path[" + row.exportPath +
                                   "], Volume[projects], VolumePath[/vol/projects/q]."))
            << log.Dump();
        ASSERT_NE(client->Share(sharePath), nullptr);
        EXPECT_EQ(shares, std::list<std::string>{share});
    }
}

struct VolumeRow {
    std::string volumePath;
    std::string volume;
    bool created;
};

// The volume is the second component of the volume path. Paths too short to
// hold "/vol/<name>" give an empty name, and the share is still backed up
// (read live, since no snapshot can be made without a volume). A volume path
// inside a snapshot directory is read live without a snapshot being made.
TEST(LifecycleShares, VolumeFromVolumePath) {
    const std::vector<VolumeRow> rows = {
        {"/vol/projects", "projects", true}, {"/vol/projects/a/b", "projects", true},
        {"/vol/p", "p", true},               {"/vol5", "", true},
        {"/vol", "", true},                  {"/v", "", true},
        {"/", "", true},                     {"", "", true},
        {"/a/b", "", true},                  {"/ab/c/d", "", true},
        {"/vol/projects/.snapshot/hourly.0", "projects", false},
    };
    for (const VolumeRow& row : rows) {
        SCOPED_TRACE("volume path [" + row.volumePath + "]");
        Env env;
        const std::string share = env.Dir("projects");
        env.Mount("filer1:/vol/projects", share);
        env.Export("/vol/projects", row.volumePath);
        env.Install();
        RecordingLogWriter log;
        auto client = env.Client(2, 1);
        std::list<std::string> shares = {share};
        CRyError err = client->ConfigureSnapshot(shares, {}, {});
        ASSERT_FALSE(err.IsError()) << err.AsString() << log.Dump();
        const FileServerExportInfo* info = client->Share(share);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->strVolume, row.volume);
        EXPECT_EQ(info->strVolumePath, row.volumePath);
        EXPECT_TRUE(log.Has(0, "Backup Path[" + share + "], Export Path[/vol/projects], Volume[" +
                                   row.volume + "], VolumePath[" + row.volumePath + "]."));
        EXPECT_EQ(log.Count(0, "Path[" + share + "] contains a .snapshot directory, skip it "
                               "from snapshot creation."),
                  row.created ? 0u : 1u);
        EXPECT_EQ(env.Calls("CreateOntapSnap").size(), row.created ? 1u : 0u);
        // The array knows no volume without a name, and nothing shows the
        // share through .snapshot: the share is read live.
        EXPECT_TRUE(info->strCurrSnapName.empty());
        EXPECT_TRUE(info->strSnapshotPath.empty());
        EXPECT_EQ(client->m_mapContentMapperPaths[share + "/"], share + "/");
    }
}

struct AutoRow {
    const char* name;
    std::string prefix;       // below mnt
    std::string mountFormat;  // of the prefix
    std::string share;        // below mnt
    std::string interface;    // expected; empty: not resolved
    std::string exportPath;
};

TEST(LifecycleShares, AutoMountResolution) {
    const std::vector<AutoRow> rows = {
        {"share is the prefix", "projects", "filer1:/vol/projects", "projects", "filer1",
         "/vol/projects"},
        {"share below the prefix", "projects", "filer1:/vol/projects", "projects/a/b", "filer1",
         "/vol/projects/a/b"},
        {"no prefix covers", "projects", "filer1:/vol/projects", "other", "", ""},
        {"facility fails on a source without a colon", "projects", "nocolon", "projects", "", ""},
    };
    for (const AutoRow& row : rows) {
        SCOPED_TRACE(row.name);
        Env env;
        const std::string share = env.Dir(row.share);
        env.AutoMount(env.Dir(row.prefix), row.mountFormat);
        env.Export(row.exportPath.empty() ? "/unused" : row.exportPath, "/vol/projects");
        env.Install();
        RecordingLogWriter log;
        auto client = env.Client(2, 1, NewMapper());
        std::list<std::string> shares = {share};
        CRyError err = client->ConfigureSnapshot(shares, {}, {});
        if (row.interface.empty()) {
            EXPECT_TRUE(log.Has(-1, "Couldn't get export path [" + share + "]")) << log.Dump();
            EXPECT_EQ(err.EventId(), 0x11000086u);
            continue;
        }
        ASSERT_FALSE(err.IsError()) << err.AsString();
        EXPECT_TRUE(log.Has(0, "Auto-mount client: strInterface[" + row.interface +
                                   "] strMountFormat[" + row.interface + ":" + row.exportPath +
                                   "] strExportPath[" + row.exportPath + "]"))
            << log.Dump();
        // Nothing was mounted by the agent yet: the .snapshot path is taken
        // as built, without a look at the disk.
        const FileServerExportInfo* info = client->Share(share);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->strSnapshotPath, share + "/.snapshot/" + Snap(2));
        EXPECT_EQ(info->strCurrSnapName, Snap(2));
    }
}

TEST(LifecycleShares, UnknownExportSkipsOnlyThatShare) {
    Env env;
    const std::string known = env.Dir("projects/a");
    const std::string unknown = env.Dir("projects/b");
    env.Mount("filer1:/vol/projects", env.Dir("projects"));
    env.Export("/vol/projects/a", "/vol/projects/a");
    env.SnapshotDir(known, Snap(2));
    env.Install();
    RecordingLogWriter log;
    auto client = env.Client(2, 1);
    std::list<std::string> shares = {unknown, known};
    ASSERT_FALSE(client->ConfigureSnapshot(shares, {}, {}).IsError());
    EXPECT_TRUE(log.Has(-1, "Could not find volume information for backup path[" + unknown +
                                "], export path [/vol/projects/b], continue"));
    EXPECT_EQ(shares, std::list<std::string>{known});
    EXPECT_TRUE(log.Has(0, "[1] out of [2] shares are processed in snap client."));
}

TEST(LifecycleShares, SnapshotDirectoryTest) {
    const std::vector<std::pair<std::string, bool>> rows = {
        {"/vol/v/.snapshot/x", true}, {"/a/~SNAPSHT/b", true}, {"/a/~snapshot/b", true},
        {"/a/.SNAPSHOT/b", false},    {"/a/.snapshot", false}, {".snapshot/a", false},
        {"", false},                  {"/a/~SNAPSHOT/b", false},
    };
    Env env;
    env.Install();
    auto client = env.Client(2, 1);
    for (const auto& row : rows) EXPECT_EQ(client->CheckIfSnapPath(row.first), row.second) << row.first;
}

}  // namespace
