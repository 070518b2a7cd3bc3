// Bad input from every side the client reads: snapshot map files that are
// garbage, cut short or huge, mount tables with odd entries, config values
// that are missing or not numbers, snapshot and volume names from the array
// holding "/", "..", NUL or bytes that are not UTF-8, and change event
// databases that are corrupt or cannot be written. Each gives a clear
// error or a logged skip; nothing outside the job results folder (or the
// share) is touched, and the snapshot the job reads through stays.
#include "tests/LifecycleTestEnv.h"
#include "tests/ScanTestEnv.h"

#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

namespace {

using lifecycle::Env;
using lifecycle::Snap;
using testsupport::RecordingLogWriter;

std::set<std::string>* g_listing = nullptr;
int AddToListing(const char* path, const struct stat*, int, struct FTW*) {
    g_listing->insert(path);
    return 0;
}

// Every path below root (root included).
std::set<std::string> Listing(const std::string& root) {
    std::set<std::string> listing;
    g_listing = &listing;
    nftw(root.c_str(), AddToListing, 16, FTW_PHYS);
    g_listing = nullptr;
    return listing;
}

// Paths that appeared below root and do not lie in the allowed folder.
std::vector<std::string> TouchedOutside(const std::set<std::string>& before,
                                        const std::string& root, const std::string& allowed) {
    std::vector<std::string> outside;
    for (const std::string& path : Listing(root))
        if (!before.count(path) && path.compare(0, allowed.size() + 1, allowed + "/") != 0)
            outside.push_back(path);
    return outside;
}

// Two volumes behind two mounts, each holding an old snapshot of ours, the
// current job's and one of another client.
struct MountedWorld {
    Env env;
    std::string projects, tools;
    explicit MountedWorld(bool mounted = true) {
        projects = env.Dir("projects");
        tools = env.Dir("tools");
        env.Dir("projects/a");
        if (mounted) {
            env.Mount("filer1:/vol/projects", projects);
            env.Mount("filer1:/vol/tools", tools);
        }
        env.Export("/vol/projects/a", "/vol/projects/a");
        env.Export("/vol/projects", "/vol/projects");
        env.Export("/vol/tools", "/vol/tools");
        env.Snapshots("projects", {Snap(1), Snap(2), "VKOP_3_15_1"});
        env.Snapshots("tools", {Snap(1), Snap(2), "VKOP_3_15_1"});
    }
};

TEST(ReliabilityInput, MapFilesGarbageCutShortOrHuge) {
    std::string garbage;
    for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 37 + 11) % 256 == ':' ? 'x' : (i * 37 + 11) % 256);
    for (char& c : garbage)
        if (c == '\n' || c == '\r') c = 'y';
    const std::string nul(1, '\0');
    const struct {
        const char* name;
        std::function<std::string(const MountedWorld&)> contents;
        bool fails;                      // error 1627 "not mounted", cleanup stops
        std::set<std::string> cleaned;   // volumes that lose the old snapshot
    } rows[] = {
        {"binary garbage without a separator", [&](const MountedWorld&) { return garbage; }, false, {}},
        {"record cut inside the path", [](const MountedWorld& w) { return "m:" + w.projects.substr(0, 8); },
         true, {}},
        {"record cut after the path", [](const MountedWorld& w) { return "m:" + w.projects + "/a/"; },
         false, {"projects"}},
        {"NUL inside a path",
         [&](const MountedWorld& w) { return "m:" + w.projects + "/a" + nul + "/../../tools/:x:\n"; },
         false, {}},
        {"dot-dot towards another volume",
         [](const MountedWorld& w) { return "m:" + w.projects + "/../tools/:x:\n"; }, false, {}},
        {"bytes that are not UTF-8",
         [](const MountedWorld& w) { return "m:" + w.projects + "/a/\xff\xfe\xc3:x:\n"; }, false, {}},
        {"a line of a megabyte, then a good record",
         [](const MountedWorld& w) {
             return "m:" + w.projects + "/a/" + std::string(1 << 20, 'M') + ":x:\nm:" + w.tools +
                    "/:x:\n";
         },
         false, {"tools"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        MountedWorld world;
        world.env.Install();
        testsupport::WriteFile(world.env.MapFile(), row.contents(world));
        RecordingLogWriter log;
        auto client = world.env.Client(2, 1);
        const std::string root = world.env.Results() + "/..";
        const std::set<std::string> before = Listing(root);
        CRyError err = client->CleanupSnapshotsPostBackup(false);
        EXPECT_EQ(row.fails, err.IsError()) << err.AsString();
        if (row.fails) {
            EXPECT_EQ(1627u, err.Win32Code());
            EXPECT_NE(std::string::npos, err.Message().find("is not mounted"));
        }
        for (const char* volume : {"projects", "tools"}) {
            std::set<std::string> expected = {Snap(2), "VKOP_3_15_1"};
            if (!row.cleaned.count(volume)) expected.insert(Snap(1));
            EXPECT_EQ(expected, world.env.OnArray(volume)) << volume << "\n" << log.Dump();
        }
        EXPECT_TRUE(TouchedOutside(before, root, world.env.Results()).empty());
    }
}

TEST(ReliabilityInput, OddMountTableEntries) {
    const struct {
        const char* name;
        std::function<void(MountedWorld&)> mounts;  // replaces the two good ones
        const char* exportAsked;                     // null: the share is not resolved
    } rows[] = {
        {"source without a colon",
         [](MountedWorld& w) { w.env.Mount("projects-export", w.projects); }, "projects-export/a"},
        {"empty interface", [](MountedWorld& w) { w.env.Mount(":/vol/projects", w.projects); },
         "/vol/projects/a"},
        {"empty export", [](MountedWorld& w) { w.env.Mount("filer1:", w.projects); }, "/a"},
        {"mount directory with a trailing delimiter",
         [](MountedWorld& w) { w.env.Mount("filer1:/vol/projects", w.projects + "/"); },
         "/vol/projects/a"},
        {"relative mount directory",
         [](MountedWorld& w) { w.env.Mount("filer1:/vol/projects", w.projects.substr(1)); }, nullptr},
        {"mount directory with dot-dot",
         [](MountedWorld& w) { w.env.Mount("filer1:/vol/projects", w.projects + "/../projects"); },
         nullptr},
        {"the same directory twice: the first line wins",
         [](MountedWorld& w) {
             w.env.Mount("filer1:/vol/first", w.projects);
             w.env.Mount("filer1:/vol/projects", w.projects);
         },
         "/vol/first/a"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        MountedWorld world(false);
        row.mounts(world);
        world.env.SnapshotDir(world.projects + "/a", Snap(2));
        world.env.Install();
        RecordingLogWriter log;
        auto client = world.env.Client(2, 1);
        std::list<std::string> shares = {world.projects + "/a"};
        CRyError err = client->ConfigureSnapshot(shares, {}, {});
        const auto asked = world.env.Calls("GetActualStoragePathForNfsExport");
        if (!row.exportAsked) {
            EXPECT_TRUE(asked.empty());
            EXPECT_EQ(1u, log.CountContaining("is not mounted on this proxy machine"));
        } else {
            ASSERT_EQ(1u, asked.size());
            EXPECT_EQ(row.exportAsked, asked[0].vecArguments[0]);
        }
        // Only the real export resolves; every other outcome is a logged skip
        // and, with nothing left to back up, the job's event error.
        const bool resolved = row.exportAsked && std::string(row.exportAsked) == "/vol/projects/a";
        EXPECT_EQ(!resolved, err.IsError()) << err.AsString();
        if (!resolved) {
            EXPECT_EQ(0x11000086u, err.EventId());
        }
        EXPECT_TRUE(world.env.OnArray("projects").count(Snap(2)) || !resolved);
    }
}

TEST(ReliabilityInput, ConfigValuesMissingOrNotNumbers) {
    // The snapshot-only setting decides whether a share whose snapshot
    // cannot be made is read live or dropped; only a real integer counts.
    const struct {
        const char* text;  // the value line, or a whole odd line
        bool dropped;
    } settings[] = {
        {"", false},
        {"bBackupFromSnapshotOnly =", false},
        {"bBackupFromSnapshotOnly = yes", false},
        {"bBackupFromSnapshotOnly = 1x", false},
        {"bBackupFromSnapshotOnly = 99999999999", false},
        {"bBackupFromSnapshotOnly", false},
        {"bBackupFromSnapshotOnly = 0", false},
        {"bBackupFromSnapshotOnly = \t1 ", true},
        {"bBackupFromSnapshotOnly = 0x1", true},
        {"bBackupFromSnapshotOnly = -1", true},
    };
    for (const auto& setting : settings) {
        SCOPED_TRACE(setting.text);
        MountedWorld world;
        world.env.Install();
        testsupport::ScopedConfig config(testsupport::ClientConfig(
            "[host]\nmount_table = " + world.projects + "/../../mounttab\n[~FileSystemAgent]\n" +
            setting.text + "\n"));
        world.env.Fail("CreateOntapSnap", 1);
        RecordingLogWriter log;
        auto client = world.env.Client(2, 1);
        std::list<std::string> shares = {world.projects + "/a", world.tools};
        world.env.SnapshotDir(world.tools, Snap(2));
        ASSERT_FALSE(client->ConfigureSnapshot(shares, {}, {}).IsError());
        EXPECT_EQ(setting.dropped ? 1u : 2u, shares.size());
    }

    // Credentials that are missing or empty fail the connection clearly.
    const char* const credentials[] = {
        "", "[client.2]\n", "[client.2]\narray =\n", "[client.2]\nuser = admin\n",
        "[client.20]\narray = filer1\n"};
    for (const char* text : credentials) {
        SCOPED_TRACE(text);
        testsupport::ScopedConfig config(text);
        RecordingLogWriter log;
        lifecycle::TestClient client;
        CRyError err = client.Initialize(2, 2, 7, 15, "/nonexistent", "", "", 1, 0, 0, 0,
                                         ContentMapperAPIPtr());
        EXPECT_EQ(1627u, err.Win32Code()) << err.AsString();
        EXPECT_EQ("Unable to get array credentials.", err.Message());
        EXPECT_FALSE(client.m_pManageOntap);
    }
}

// What the array names is the array's business, but the names reach our
// snapshot lists and the change event database's file name.
TEST(ReliabilityInput, OddSnapshotAndVolumeNamesFromTheArray) {
    const std::string nul(1, '\0');
    const std::vector<std::string> odd = {"/", "..", "../../etc", "a/b", "x" + nul + "y",
                                          "\xff\xfe\xc3", "."};
    {
        SCOPED_TRACE("snapshot names listed for our prefix");
        MountedWorld world;
        std::set<std::string> listed = {Snap(1), Snap(2), "VKOP_3_15_1"};
        for (const std::string& name : odd) listed.insert(lifecycle::kPrefix + name);
        world.env.Snapshots("projects", listed);
        world.env.SnapshotDir(world.projects + "/a", Snap(2));
        world.env.Install();
        RecordingLogWriter log;
        auto client = world.env.Client(2, 1);
        const std::string root = world.env.Results() + "/..";
        const std::set<std::string> before = Listing(root);
        std::list<std::string> shares = {world.projects + "/a"};
        ASSERT_FALSE(client->ConfigureSnapshot(shares, {}, {}).IsError());
        // They carry our prefix, so retention deletes them on the array, and
        // only there; the current and the previous job's snapshot stay.
        EXPECT_EQ((std::set<std::string>{Snap(1), Snap(2), "VKOP_3_15_1"}),
                  world.env.OnArray("projects"));
        EXPECT_TRUE(client->Share(world.projects + "/a")->bSnapDiffEnabled);
        EXPECT_TRUE(TouchedOutside(before, root, world.env.Results()).empty());
    }
    for (const std::string& volume : odd) {
        SCOPED_TRACE("volume [" + volume + "]");
        const std::string volumePath = "/vol/" + volume + "/s";
        ArrayScript script;
        script.mapSnapDiffs[std::make_tuple(VolumeNameOfArgument(volumePath),
                                            std::string(scantest::kPrevSnap),
                                            std::string(scantest::kCurrSnap))]
            .vecBatches = {scantest::Batch({scantest::Change(1, "file_creation", "/s/f")}, true)};
        testsupport::TempDir outer;
        const std::string results = outer / "results";
        mkdir(results.c_str(), 0755);
        const std::set<std::string> before = Listing(outer.Path());
        testsupport::ScopedConfig config("");
        RecordingLogWriter log;
        testsupport::ScriptedArrayInstall array(script);
        scantest::ScanClient client(results);
        client.UseArray(array.Backend());
        client.Shares() = {scantest::Share("/mnt/s", volumePath, volume)};
        std::function<FileServerSnapshotCompareItem()> source;
        CRyError err = client.CompareSnapshots("/mnt/s", "", source);
        ASSERT_FALSE(err.IsError()) << err.AsString();
        EXPECT_EQ(std::vector<std::string>{"/mnt/s/f"}, scantest::PulledPaths(source));
        // The store is one file straight inside the results folder.
        const std::set<std::string> after = Listing(outer.Path());
        std::vector<std::string> added;
        for (const std::string& path : after)
            if (!before.count(path)) added.push_back(path);
        ASSERT_EQ(1u, added.size());
        EXPECT_EQ(results, added[0].substr(0, added[0].rfind('/')));
    }
}

// Found by fuzzing whole comparisons: SnapDiff may report the share's own
// directory. It is delivered as the share path itself, never as a path
// outside it, whatever file type the array gives it.
TEST(ReliabilityInput, ChangeOfTheSharesOwnDirectory) {
    using namespace scantest;
    const struct {
        uint32_t fileType;
        const char* delivered;
    } rows[] = {{2, "/mnt/a/"}, {1, "/mnt/a"}, {0, "/mnt/a"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fileType);
        ArrayScript script;
        script.mapSnapDiffs[DiffKey("vola")].vecBatches = {
            Batch({Change(9, "inode_modification", "/a", row.fileType)}, true)};
        ScanEnv env(script);
        env.client.Shares() = {Share("/mnt/a", "/vol/vola/a", "vola")};
        std::function<FileServerSnapshotCompareItem()> source;
        ASSERT_FALSE(env.client.CompareSnapshots("/mnt/a", "", source).IsError());
        EXPECT_EQ(std::vector<std::string>{row.delivered}, PulledPaths(source));
    }
}

TEST(ReliabilityInput, ChangeEventDatabaseCorruptOrUnwritable) {
    using namespace scantest;
    auto script = [] {
        ArrayScript s;
        s.mapSnapDiffs[DiffKey("vola")].vecBatches = {
            Batch({Change(1, "file_creation", "/a/f1"), Change(2, "file_creation", "/c/f2")},
                  true)};
        return s;
    };
    auto overwrite = [](const std::string& path, const std::string& bytes, bool truncate) {
        int fd = open(path.c_str(), O_WRONLY | (truncate ? O_TRUNC : 0));
        ASSERT_GE(fd, 0) << path;
        ASSERT_EQ(ssize_t(bytes.size()), pwrite(fd, bytes.data(), bytes.size(), 0));
        close(fd);
    };
    const struct {
        const char* name;
        std::function<void(ScanEnv&)> breakIt;  // after share a was compared and read
    } rows[] = {
        {"garbage over the first megabyte",
         [&](ScanEnv& env) { overwrite(env.client.EventDB()->FilePath(), std::string(1 << 20, '\xab'), false); }},
        {"cut to nothing", [&](ScanEnv& env) { overwrite(env.client.EventDB()->FilePath(), "", true); }},
        {"replaced by a folder",
         [](ScanEnv& env) {
             const std::string path = env.client.EventDB()->FilePath();
             unlink(path.c_str());
             mkdir(path.c_str(), 0755);
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScanEnv env(script());
        env.client.Shares() = {Share("/mnt/a", "/vol/vola/a", "vola"),
                               Share("/mnt/c", "/vol/vola/c", "vola")};
        std::function<FileServerSnapshotCompareItem()> source;
        ASSERT_FALSE(env.client.CompareSnapshots("/mnt/a", "", source).IsError());
        EXPECT_EQ(std::vector<std::string>{"/mnt/a/f1"}, PulledPaths(source));
        row.breakIt(env);
        // Share c is served from the damaged file: it must say so, never end
        // its list early as if complete.
        CRyError err = env.client.CompareSnapshots("/mnt/c", "", source);
        if (err.IsError()) continue;
        const auto items = PullAll(source);
        if (items.back().uiStatus == kItemNoMore) {
            EXPECT_EQ(2u, items.size()) << "share c lost its change";
        }
    }
    {
        SCOPED_TRACE("a damaged file left by an earlier run is replaced");
        ScanEnv env(script());
        env.client.Shares() = {Share("/mnt/a", "/vol/vola/a", "vola")};
        CSnapDiffEventMonitor probe(env.dir.Path(), kPrevSnap, std::string(kCurrSnap) + "_vola");
        testsupport::WriteFile(probe.FilePath(), std::string(8192, '\x5a'));
        std::function<FileServerSnapshotCompareItem()> source;
        ASSERT_FALSE(env.client.CompareSnapshots("/mnt/a", "", source).IsError());
        EXPECT_EQ(std::vector<std::string>{"/mnt/a/f1"}, PulledPaths(source));
    }
    {
        SCOPED_TRACE("a results folder that cannot be written");
        ArrayScript s = script();
        testsupport::ScopedConfig config("");
        RecordingLogWriter log;
        testsupport::ScriptedArrayInstall array(s);
        ScanClient client("/proc");
        client.UseArray(array.Backend());
        client.Shares() = {Share("/mnt/a", "/vol/vola/a", "vola")};
        std::function<FileServerSnapshotCompareItem()> source;
        CRyError err = client.CompareSnapshots("/mnt/a", "", source);
        EXPECT_EQ(1627u, err.Win32Code()) << err.AsString();
        EXPECT_FALSE(source);
        EXPECT_EQ(0u, dynamic_cast<ScriptedArray&>(*array.Backend().Inner()).OpenSessions());
    }
}

}  // namespace
