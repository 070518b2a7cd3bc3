// The local array's volumes, exports and snapshot lifecycle: what a client
// sees through ManageONTAP and through the .snapshot folders of its shares.

#include "tests/test_local_array_world.h"

#include "array/ArrayBackendFactory.h"
#include "array/LocalArrayNames.h"

#include <csignal>
#include <dirent.h>
#include <set>
#include <sys/resource.h>

using localarraytest::Export;
using localarraytest::LocalArrayWorld;
using testsupport::FileExists;

namespace {

std::vector<std::string> ListNames(LocalArray& array, const std::string& volume,
                                   const std::string& prefix) {
    std::vector<SnapShotInfo_t> snapshots;
    ArrayStatus status = array.ListSnapshots(volume, prefix, snapshots);
    EXPECT_TRUE(status.bOk) << status.strMessage;
    std::vector<std::string> names;
    for (const SnapShotInfo_t& s : snapshots) names.push_back(s.strName);
    return names;
}

std::set<std::string> DirEntries(const std::string& path) {
    std::set<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

TEST(LocalArrayTest, CreateListDeleteByPrefixAndExistingName) {
    LocalArrayWorld world;
    world.Volume("vol1");
    world.File("vol1", "a.txt", "alpha");
    world.Snap("vol1", "VKOP_2_15_811");
    world.Snap("/vol/vol1/projects/q1", "VKOP_2_15_812");  // a volume path names its volume
    world.Snap("vol1", "VKOP_3_15_1");

    ArrayStatus again = world.array->CreateSnapshot("/vol/vol1", "VKOP_2_15_812");
    EXPECT_FALSE(again.bOk);
    EXPECT_EQ(kArrayErrSnapshotExists, again.uiCode);

    EXPECT_EQ((std::vector<std::string>{"VKOP_2_15_811", "VKOP_2_15_812"}),
              ListNames(*world.array, "vol1", "VKOP_2_15_"));
    EXPECT_EQ(3u, ListNames(*world.array, "/vol/vol1", "").size());
    EXPECT_TRUE(ListNames(*world.array, "vol1", "VKOP_9_").empty());

    ASSERT_TRUE(world.array->DeleteSnapshot("/vol/vol1/x", "VKOP_2_15_811").bOk);
    EXPECT_EQ((std::vector<std::string>{"VKOP_2_15_812"}), ListNames(*world.array, "vol1", "VKOP_2_"));
    ArrayStatus gone = world.array->DeleteSnapshot("vol1", "VKOP_2_15_811");
    EXPECT_EQ(kArrayErrNotFound, gone.uiCode);
    // A deleted name is free again.
    world.Snap("vol1", "VKOP_2_15_811");

    std::vector<SnapShotInfo_t> none;
    EXPECT_EQ(kArrayErrNotFound, world.array->ListSnapshots("nosuchvol", "", none).uiCode);
    EXPECT_EQ(kArrayErrNotFound, world.array->CreateSnapshot("nosuchvol", "s").uiCode);
}

TEST(LocalArrayTest, RefusesNamesThatCouldLeaveTheRoot) {
    LocalArrayWorld world;
    world.Volume("vol1");
    world.File("vol1", "f", "x");
    world.Snap("vol1", "good");
    const std::string nul("a\0b", 3);
    struct Case {
        std::string volume;
        std::string snapshot;
    };
    const std::vector<Case> cases = {
        {"", "s"},          {".", "s"},          {"..", "s"},      {"a/b", "s"},
        {nul, "s"},         {"../x", "s"},       {"/vol/../x", "s"}, {"/vol/", "s"},
        {"/vol/./x", "s"},  {".snapcatalog", "s"},
        {"vol1", ""},       {"vol1", "."},       {"vol1", ".."},   {"vol1", "a/b"},
        {"vol1", nul},      {"vol1", "../x"},    {"vol1", "../../etc"},
        {"vol1", std::string(300, 'n')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("volume [" + EscapeSnapDiffName(c.volume) + "] snapshot [" +
                     EscapeSnapDiffName(c.snapshot) + "]");
        ArrayStatus created = world.array->CreateSnapshot(c.volume, c.snapshot);
        EXPECT_EQ(kArrayErrInvalidArgument, created.uiCode) << created.strMessage;
        EXPECT_NE(std::string::npos, created.strMessage.find("invalid")) << created.strMessage;
        EXPECT_EQ(kArrayErrInvalidArgument, world.array->DeleteSnapshot(c.volume, c.snapshot).uiCode);
        std::string handle;
        EXPECT_EQ(kArrayErrInvalidArgument, world.Start(c.volume, "good", c.snapshot, handle).uiCode);
        if (c.snapshot == "s") {
            std::vector<SnapShotInfo_t> list;
            EXPECT_EQ(kArrayErrInvalidArgument, world.array->ListSnapshots(c.volume, "", list).uiCode);
        }
    }
    // Nothing was created beside the volume or above the root.
    EXPECT_EQ((std::set<std::string>{".snapcatalog", "vol1"}), DirEntries(world.Root()));
    EXPECT_EQ((std::vector<std::string>{"good"}), ListNames(*world.array, "vol1", ""));
}

TEST(LocalArrayTest, ExportsMapToVolumePaths) {
    LocalArrayWorld world(true, {Export("vol1", {"projects"})});
    world.Volume("vol1");
    world.Dir("vol1", "projects");
    world.Dir("vol1", "projects/q1");
    world.File("vol1", "plain", "x");
    symlink("/etc", world.Live("vol1", "escape").c_str());
    struct Case {
        std::string exportPath;
        uint32_t code;  // 0: found
        std::string volumePath;
    };
    const std::vector<Case> cases = {
        {"/vol/vol1", 0, "/vol/vol1"},
        {"/vol/vol1/", 0, "/vol/vol1"},
        {"/vol/vol1/projects", 0, "/vol/vol1/projects"},
        {"/vol/vol1//projects/q1/", 0, "/vol/vol1/projects/q1"},
        {"/vol/vol2", kArrayErrNotFound, ""},
        {"/vol/vol1/missing", kArrayErrNotFound, ""},
        {"/vol/vol1/plain", kArrayErrNotFound, ""},
        {"/vol/vol1/escape", kArrayErrNotFound, ""},  // a link is not followed out of the volume
        {"/vol/vol1/../vol1", kArrayErrInvalidArgument, ""},
        {"/vol/..", kArrayErrInvalidArgument, ""},
        {"/export/vol1", kArrayErrInvalidArgument, ""},
        {"", kArrayErrInvalidArgument, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.exportPath);
        std::string volumePath = "unchanged";
        ArrayStatus status = world.array->GetStoragePathForExport(c.exportPath, volumePath);
        EXPECT_EQ(c.code, status.uiCode) << status.strMessage;
        if (c.code == 0) {
            EXPECT_EQ(c.volumePath, volumePath);
        }
    }
}

// A snapshot's copy keeps the old contents read-only, holds no .snapshot
// folder (not even a user's own), is reached from every export folder, and
// goes with its catalog when the snapshot is deleted.
TEST(LocalArrayTest, SnapshotCopiesAreFrozenAndGoWithTheirSnapshot) {
    LocalArrayWorld world(true, {Export("vol1", {"projects"}), Export("vol1", {"absent"})});
    world.Volume("vol1");
    world.Dir("vol1", "projects");
    world.File("vol1", "projects/report.txt", "version 1");
    world.File("vol1", "top.txt", "top");
    ASSERT_EQ(0, link(world.Live("vol1", "projects/report.txt").c_str(),
                      world.Live("vol1", "projects/report-link.txt").c_str()));
    ASSERT_EQ(0, symlink("report.txt", world.Live("vol1", "projects/latest").c_str()));
    struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, world.Live("vol1", "top.txt").c_str(), old, 0));
    world.Snap("vol1", "s1");

    // The live files change after the snapshot; a user makes a .snapshot folder.
    world.File("vol1", "projects/report.txt", "version 2, longer");
    world.File("vol1", "top.txt", "changed");
    world.File("vol1", "projects/new.txt", "new");
    world.Dir("vol1", "projects/sub");
    world.Dir("vol1", "projects/sub/.snapshot");
    world.File("vol1", "projects/sub/.snapshot/hidden", "x");

    const std::string copy = world.Live("vol1", ".snapshot/s1");
    EXPECT_EQ("version 1", world.Read(copy + "/projects/report.txt"));
    EXPECT_EQ("version 1", world.Read(copy + "/projects/report-link.txt"));
    EXPECT_EQ("top", world.Read(copy + "/top.txt"));
    EXPECT_FALSE(FileExists(copy + "/projects/new.txt"));
    // Reached from the export folder as a client mounting it would.
    EXPECT_EQ("version 1", world.Read(world.Live("vol1", "projects/.snapshot/s1/report.txt")));
    EXPECT_EQ("version 1", world.Read(world.Live("vol1", "projects/.snapshot/s1/latest")));
    EXPECT_FALSE(FileExists(world.Live("vol1", "absent")));

    struct stat st;
    ASSERT_EQ(0, lstat((copy + "/top.txt").c_str(), &st));
    EXPECT_EQ(1000000000, st.st_mtim.tv_sec);
    EXPECT_EQ(0, st.st_mode & 0222);
    ASSERT_EQ(0, lstat((copy + "/projects").c_str(), &st));
    EXPECT_EQ(0, st.st_mode & 0222);
    ASSERT_EQ(0, lstat((copy + "/projects/latest").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    // Copied, not linked to the live file.
    struct stat live;
    ASSERT_EQ(0, lstat(world.Live("vol1", "projects/report.txt").c_str(), &live));
    ASSERT_EQ(0, lstat((copy + "/projects/report.txt").c_str(), &st));
    EXPECT_NE(live.st_ino, st.st_ino);

    world.Snap("vol1", "s2");
    world.Snap("vol1", "s3");
    EXPECT_EQ((std::set<std::string>{"new.txt", "report.txt", "report-link.txt", "latest", "sub"}),
              DirEntries(world.Live("vol1", ".snapshot/s2/projects")));
    EXPECT_TRUE(DirEntries(world.Live("vol1", ".snapshot/s2/projects/sub")).empty());
    EXPECT_FALSE(FileExists(world.Live("vol1", ".snapshot/s2/.snapshot")));
    EXPECT_EQ((std::set<std::string>{"s1", "s2", "s3"}), DirEntries(world.Live("vol1", "projects/.snapshot")));
    for (const SnapDiffFileInfo& change : world.Diff("vol1", "s1", "s2").changes)
        EXPECT_EQ(std::string::npos, change.strFileName.find(".snapshot")) << change.strFileName;
    EXPECT_TRUE(world.Diff("vol1", "s2", "s3").changes.empty());

    const std::string catalog = world.Root() + "/.snapcatalog/vol1/s1.cat";
    ASSERT_TRUE(FileExists(catalog));
    ASSERT_TRUE(world.array->DeleteSnapshot("vol1", "s1").bOk);
    EXPECT_FALSE(FileExists(catalog));
    EXPECT_FALSE(FileExists(copy));
    EXPECT_FALSE(FileExists(world.Live("vol1", "projects/.snapshot/s1")));
    // The other snapshots and the live tree are untouched.
    EXPECT_EQ("version 2, longer", world.Read(world.Live("vol1", "projects/.snapshot/s2/report.txt")));
    EXPECT_EQ("new", world.Read(world.Live("vol1", "projects/new.txt")));
}

TEST(LocalArrayTest, PlantedSnapshotLinkIsNeverFollowed) {
    LocalArrayWorld world;
    testsupport::TempDir outside;
    testsupport::WriteFile(outside / "precious", "keep");
    world.Volume("vol1");
    world.File("vol1", "f", "x");
    // A client replaces the volume's .snapshot folder by a link out of it.
    ASSERT_EQ(0, symlink(outside.Path().c_str(), world.Live("vol1", ".snapshot").c_str()));
    ArrayStatus status = world.array->CreateSnapshot("vol1", "precious");
    EXPECT_FALSE(status.bOk);
    EXPECT_EQ("keep", world.Read(outside / "precious"));
    EXPECT_TRUE(ListNames(*world.array, "vol1", "").empty());

    // Without copies the snapshot is only a catalog; deleting it still
    // leaves the outside alone.
    world.config.bMaterialize = false;
    world.Rebuild();
    world.Snap("vol1", "precious");
    ASSERT_TRUE(world.array->DeleteSnapshot("vol1", "precious").bOk);
    EXPECT_EQ("keep", world.Read(outside / "precious"));
}

TEST(LocalArrayTest, FailedCreationLeavesNoSnapshotBehind) {
    LocalArrayWorld world(true, {Export("vol1", {"d"})});
    world.Volume("vol1");
    world.Dir("vol1", "d");
    world.File("vol1", "d/big", std::string(256 * 1024, 'b'));
    world.File("vol1", "small", "s");

    // The array's disk fills up: writes beyond 64 KiB fail.
    struct rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = 64 * 1024;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));
    ArrayStatus status = world.array->CreateSnapshot("vol1", "s1");
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);

    EXPECT_FALSE(status.bOk);
    EXPECT_EQ(kArrayErrInternal, status.uiCode) << status.strMessage;
    EXPECT_TRUE(ListNames(*world.array, "vol1", "").empty());
    EXPECT_FALSE(FileExists(world.Live("vol1", ".snapshot/s1")));
    EXPECT_FALSE(FileExists(world.Live("vol1", "d/.snapshot/s1")));
    EXPECT_TRUE(DirEntries(world.Root() + "/.snapcatalog/vol1").empty());
    // Once there is room, the same name can be taken.
    world.Snap("vol1", "s1");
    EXPECT_EQ(std::string(256 * 1024, 'b'), world.Read(world.Live("vol1", "d/.snapshot/s1/big")));
}

TEST(LocalArrayTest, ConfigBuildsTheArrayOrSaysWhatIsWrong) {
    testsupport::TempDir root;
    testsupport::TempDir other;
    NASArrayInfo info;
    info.strArrayName = "filer1";
    struct Case {
        std::string text;
        std::string error;  // empty: builds
    };
    const std::vector<Case> cases = {
        {"root = " + root.Path() + "\n", ""},
        {"root = " + root.Path() + "\ncluster = 0\nversion = 9.12.1\nmax_sessions = 2\n"
         "materialize = 0\nexports = /vol/v/a, /vol/w/b/c\n", ""},
        {"", "[array] root is not set"},
        {"root = " + root.Path() + "/missing\n", "folder not found"},
        {"root = " + root.Path() + "\ncluster = yes\n", "[array] cluster"},
        {"root = " + root.Path() + "\nmax_sessions = 0\n", "[array] max_sessions"},
        {"root = " + root.Path() + "\nversion = 9.8\n", "[array] version"},
        {"root = " + root.Path() + "\nexports = /vol/v/../x\n", "[array] exports"},
        {"root = " + root.Path() + "\nexports = /home/x\n", "[array] exports"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        testsupport::ScopedConfig config("[array]\nbackend = local\n" + c.text);
        LocalArrayConfig loaded;
        std::string error;
        const bool ok = LoadLocalArrayConfig(info, loaded, error);
        EXPECT_EQ(c.error.empty(), ok) << error;
        if (!c.error.empty()) {
            EXPECT_NE(std::string::npos, error.find(c.error)) << error;
        }
        boost::shared_ptr<ArrayBackend> backend = CreateArrayBackend(info, error);
        EXPECT_EQ(c.error.empty(), backend != nullptr) << error;
        error.clear();
    }

    testsupport::ScopedConfig config("[array]\nroot = " + root.Path() +
                                     "\ncluster = 0\ncluster_interface = 1\nversion = 9.12.1\n"
                                     "max_sessions = 2\nmaterialize = 0\n"
                                     "exports = /vol/v/a , /vol/w/b/c\n");
    LocalArrayConfig loaded;
    std::string error;
    ASSERT_TRUE(LoadLocalArrayConfig(info, loaded, error)) << error;
    EXPECT_EQ(std::make_tuple(false, true, false, 2u, 9u, 12u, 1u, std::string("filer1")),
              std::make_tuple(loaded.bCluster, loaded.bClusterInterface, loaded.bMaterialize,
                              loaded.uiMaxSessions, loaded.uiVersion[0], loaded.uiVersion[1],
                              loaded.uiVersion[2], loaded.strArrayName));
    ASSERT_EQ(2u, loaded.vecExports.size());
    EXPECT_EQ("w", loaded.vecExports[1].strVolume);
    EXPECT_EQ((std::vector<std::string>{"b", "c"}), loaded.vecExports[1].vecBelow);

    // A root that vanished after the settings were read fails the connection.
    loaded.strRoot = root.Path() + "/vanished";
    EXPECT_EQ(kArrayErrNotConnected, LocalArray(loaded).OpenConnection().uiCode);
}

}  // namespace
