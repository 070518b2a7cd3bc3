// The local array's own guards, which the random-tree jobs never provoke:
// names that could leave the array's root, a planted link, the session
// limit, a damaged catalog, batches where only the last one ends the run, a
// second array opened on the root mid-creation, the operator's stop, files
// shared between snapshot copies, the owners and modes of copies, and items
// a snapshot cannot keep, and what copies keep on real file systems
// (attributes, flags, special files, holes, mounts, reused inodes, the
// root, the live tree's times). What SnapDiff reports is checked
// against real trees by test_snapagent_property; a full disk while a
// snapshot is taken is in the fault matrix, and a catalog sorted through
// runs on disk in the kill test of test_local_array_changes.
#include "array/local/BtrfsSubvolume.h"
#include "array/local/LocalArrayOperator.h"
#include "tests/support/LocalArrayWorld.h"
#include "tests/support/LoopMount.h"

#include <nlohmann/json.hpp>

#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

using localarraytest::LocalArrayWorld;
using namespace testsupport;

namespace {

// Each failure, found however deep in the array, reaches ManageONTAP with
// the array's code for it and the array's name once before the message.
TEST(LocalArray, AnswersEachFailureWithItsCodeAndMessage) {
    LocalArrayWorld world;
    world.Volume("v");
    world.File("v", "f", "x");
    world.Snap("v", "a");
    world.Snap("v", "b");
    WriteFile(world.Root() + "/.snapcatalog/v/b.cat", "garbage");
    std::vector<SnapShotInfo_t> list;
    std::string path, handle;
    const struct {
        ArrayStatus status;
        uint32_t code;
        std::string message;
    } rows[] = {
        {world.array->ListSnapshots("nosuch", "", list), kArrayErrNotFound,
         "filer1: volume nosuch not found"},
        {world.array->DeleteSnapshot("v", "nosuch"), kArrayErrNotFound,
         "filer1: snapshot nosuch not found on volume v"},
        {world.array->GetStoragePathForExport("/vol/v/nodir", path), kArrayErrNotFound,
         "filer1: export /vol/v/nodir not found"},
        {world.array->GetStoragePathForExport("/home/v", path), kArrayErrInvalidArgument,
         "filer1: path [/home/v] does not begin with /vol/"},
        {world.Start("v", "a", "b", handle), kArrayErrInternal,
         "filer1: catalog " + world.Root() + "/.snapcatalog/v/b.cat is corrupt: not a catalog"},
    };
    for (const auto& row : rows) {
        EXPECT_FALSE(row.status.bOk) << row.message;
        EXPECT_EQ(row.code, row.status.uiCode) << row.message;
        EXPECT_EQ(row.message, row.status.strMessage);
    }
    EXPECT_EQ(0u, world.array->OpenSessions());
}

TEST(LocalArray, RefusesNamesThatCouldLeaveTheRoot) {
    LocalArrayWorld world;
    world.Volume("v");
    world.File("v", "f", "x");
    ASSERT_TRUE(world.array->CreateSnapshot("v", "good").bOk);
    const std::string nul("a\0b", 3);
    std::vector<std::pair<std::string, std::string>> cases;
    for (const std::string& volume : {std::string(), std::string(".."), std::string("a/b"), nul,
                                      std::string("/vol/../x"), std::string(".snapcatalog")})
        cases.emplace_back(volume, "s");
    for (const std::string& snapshot :
         {std::string(), std::string("."), std::string("../../etc"), nul, std::string(300, 'n')})
        cases.emplace_back("v", snapshot);
    for (const auto& c : cases) {
        EXPECT_EQ(kArrayErrInvalidArgument, world.array->CreateSnapshot(c.first, c.second).uiCode);
        EXPECT_EQ(kArrayErrInvalidArgument, world.array->DeleteSnapshot(c.first, c.second).uiCode);
        std::string handle;
        EXPECT_EQ(kArrayErrInvalidArgument, world.Start(c.first, "good", c.second, handle).uiCode);
    }
    EXPECT_EQ(1u, world.Listed().size());

    // A .snapshot folder replaced by a link out of the volume is not followed.
    TempDir outside;
    WriteFile(outside / "precious", "keep");
    world.Volume("w");
    ASSERT_EQ(0, symlink(outside.Path().c_str(), world.Live("w", ".snapshot").c_str()));
    EXPECT_FALSE(world.array->CreateSnapshot("w", "precious").bOk);
    EXPECT_EQ("keep", ReadFile(outside / "precious"));
}

// Sixteen sessions at most; an ended run's handle is refused; a run over a
// damaged catalog fails and gives its session back (the client does not
// end a failed run, so the array must); only the last batch ends a run and
// none before it is empty.
TEST(LocalArray, SnapDiffSessionsBatchesAndDamage) {
    LocalArrayWorld world;
    world.Volume("v");
    world.config.bMaterialize = false;  // catalogs alone: no copy to fsync file by file
    world.Rebuild();
    ASSERT_TRUE(world.array->CreateSnapshot("v", "a").bOk);
    world.File("v", "one", "x");
    ASSERT_TRUE(world.array->CreateSnapshot("v", "one").bOk);
    std::vector<std::string> handles(16);
    for (std::string& handle : handles) ASSERT_TRUE(world.Start("v", "a", "one", handle).bOk);
    std::string refused;
    EXPECT_EQ(kArrayErrTooManySessions, world.Start("v", "a", "one", refused).uiCode);
    for (size_t i = 1; i < handles.size(); ++i)
        ASSERT_TRUE(world.array->SnapDiffEnd(handles[i]).bOk);
    EXPECT_EQ(kArrayErrBadHandle, world.array->SnapDiffEnd(handles[1]).uiCode);

    for (int i = 0; i < 599; ++i) world.File("v", "f" + std::to_string(i), "x");
    ASSERT_TRUE(world.array->CreateSnapshot("v", "b").bOk);
    // At least 256 a batch: 600 files created and the volume root modified.
    const LocalArrayWorld::Run run = world.Diff("v", "a", "b", 10);
    EXPECT_EQ((std::vector<size_t>{256, 256, 89}), run.batchSizes);
    EXPECT_EQ((std::vector<bool>{false, false, true}), run.endFlags);
    ASSERT_TRUE(world.array->SnapDiffEnd(handles[0]).bOk);
    EXPECT_EQ(0u, world.array->OpenSessions());

    ASSERT_EQ(0, truncate((world.Root() + "/.snapcatalog/v/b.cat").c_str(), 1000));
    std::string handle;
    ASSERT_TRUE(world.Start("v", "a", "b", handle).bOk);
    std::vector<SnapDiffFileInfo> batch;
    bool end = false;
    ArrayStatus status;
    while ((status = world.array->SnapDiffNext(handle, batch, end)).bOk && !end) continue;
    EXPECT_EQ(kArrayErrInternal, status.uiCode);
    EXPECT_FALSE(end);
    EXPECT_EQ(0u, world.array->OpenSessions());
}

// A second array opened on the root while a creation copies leaves the
// creation's unfinished copy alone, and its own creation waits for the lock
// and then fails with a clear error; an inspecting opening removes nothing
// (that any other opening clears debris is in the kill test).
TEST(LocalArray, TwoArraysOnOneRootNeverTakeACreationForDebris) {
    LocalArrayWorld world;
    world.Volume("v");
    for (int i = 0; i < 40; ++i) world.File("v", "f" + std::to_string(i), std::string(i, 'x'));
    world.config.uiLockWaitSeconds = 0;
    int entries = 0;
    world.array->SetStepHook([&](const char* step) {
        if (std::string(step) != "entry" || ++entries != 20) return;
        LocalArray second(world.config);
        EXPECT_TRUE(second.OpenConnection().bOk);
        const ArrayStatus refused = second.CreateSnapshot("v", "other");
        EXPECT_NE(std::string::npos,
                  refused.strMessage.find("another process is creating or deleting"))
            << refused.strMessage;
    });
    world.Snap("v", "s1");
    world.ExpectCopyMatchesCatalog("s1");
    EXPECT_EQ(1u, world.Listed().size());

    MakeDirs(world.Live("v", ".snapshot/junk"));
    LocalArrayOperator inspecting;
    inspecting.bInspectOnly = true;
    SetLocalArrayOperator(inspecting);
    EXPECT_TRUE(LocalArray(world.config).OpenConnection().bOk);
    EXPECT_TRUE(FileExists(world.Live("v", ".snapshot/junk")));
    SetLocalArrayOperator(LocalArrayOperator());
}

// The operator sees each long operation's count and stops it between two
// files, and the operation fails as stopped: a stopped creation leaves
// debris (no snapshot) that the next opening clears. The next snapshot
// shares each unchanged file with the first one's copy and copies the
// changed one; SnapDiff
// sees exactly that change. A stopped deletion fails, and its snapshot has
// left its name already.
TEST(LocalArray, OperatorStopsLongOperationsAndSnapshotsShareUnchangedFiles) {
    LocalArrayWorld world;
    world.Volume("v");
    for (int i = 0; i < 300; ++i) world.File("v", "f" + std::to_string(i), "x");
    LocalArrayActivity last;
    int stopAfter = -1;
    LocalArrayOperator op;
    op.onActivity = [&](const LocalArrayActivity& a) { last = a; };
    op.stopRequested = [&] { return stopAfter == 0 || (stopAfter > 0 && --stopAfter == 0); };
    SetLocalArrayOperator(op);
    world.Snap("v", "s1");
    EXPECT_TRUE(last.bFinished && last.ullDone == 301 && last.strSnapshot == "s1");  // and the root

    stopAfter = 100;
    EXPECT_EQ(kArrayErrStopped, world.array->CreateSnapshot("v", "s2").uiCode);
    EXPECT_TRUE(last.bStopped && FileExists(world.Live("v", ".snapshot/.creating")));
    stopAfter = -1;
    world.File("v", "f0", "y");
    world.Snap("v", "s2");
    auto inode = [&](const std::string& path) {
        struct stat st = {};
        lstat(world.Live("v", ".snapshot/" + path).c_str(), &st);
        return st.st_ino;
    };
    // Shared as one inode, or as a clone (a file of its own) where the file system clones.
    const int probe = open((world.Root() + "/probe").c_str(), O_WRONLY | O_CREAT, 0600);
    const int from = open(world.Live("v", "f1").c_str(), O_RDONLY);
    const bool clones = ioctl(probe, FICLONE, from) == 0;
    close(probe), close(from);
    EXPECT_TRUE(inode("s1/f1") != 0 && (inode("s1/f1") == inode("s2/f1")) != clones &&
                inode("s1/f0") != inode("s2/f0"));
    const LocalArrayWorld::Run run = world.Diff("v", "s1", "s2");
    EXPECT_TRUE(run.changes.size() == 1 && run.changes[0].strFileName == "/f0");
    // A stopped deletion fails, and its snapshot has left its name already:
    // what is left of the copy is debris that the next opening clears.
    stopAfter = 10;
    EXPECT_EQ(kArrayErrStopped, world.array->DeleteSnapshot("v", "s1").uiCode);
    EXPECT_TRUE(world.Listed() == std::set<std::string>{"s2"} &&
                !FileExists(world.Live("v", ".snapshot/s1")));
    stopAfter = -1;
    ASSERT_TRUE(LocalArray(world.config).OpenConnection().bOk);
    EXPECT_FALSE(FileExists(world.Live("v", ".snapshot/.deleting")));
    SetLocalArrayOperator(LocalArrayOperator());
}

// Each copy has the live item's owner and group; a copy that cannot have
// them (the process may not give files away) keeps no setuid or setgid bit.
// A chown moves the live file's change time, so the next snapshot copies it
// anew with its new owner.
TEST(LocalArray, CopiesKeepTheirOwnersAndNeverGainSetuid) {
    const uid_t other = geteuid() == 0 ? 65534 : geteuid();
    const gid_t otherGroup = geteuid() == 0 ? 65534 : getegid();
    const struct {
        const char* path;
        uid_t uid;
        gid_t gid;
        mode_t mode;                // 0: a symbolic link
        mode_t kept, notGivenAway;  // of the copy, with the live owners and without
    } items[] = {{"mine", geteuid(), getegid(), 04755, 04755, 04755},
                 {"suid", other, otherGroup, 04755, 04755, 0755},
                 {"sgid", geteuid(), otherGroup, 02755, 02755, 0755},
                 {"private", other, otherGroup, 0600, 0600, 0600},
                 {"dir", other, otherGroup, 02755, 02755, 0755},
                 {"link", other, otherGroup, 0, 0, 0}};
    LocalArrayWorld world;
    for (const char* volume : {"v", "w"}) {
        world.Volume(volume);
        for (const auto& item : items) {
            const std::string path = world.Live(volume, item.path);
            const int made = item.mode == 0                    ? symlink("mine", path.c_str())
                             : std::string(item.path) == "dir" ? mkdir(path.c_str(), 0755)
                                                               : (WriteFile(path, item.path), 0);
            ASSERT_EQ(0, made);
            ASSERT_EQ(0, lchown(path.c_str(), item.uid, item.gid));
            ASSERT_EQ(0, item.mode ? chmod(path.c_str(), item.mode) : 0);
        }
    }
    const auto expect = [&](const std::string& volume, bool givenAway) {
        for (const auto& item : items) {
            struct stat st;
            ASSERT_EQ(0, lstat(world.Live(volume, std::string(".snapshot/s1/") + item.path).c_str(),
                               &st));
            EXPECT_EQ(givenAway ? item.uid : geteuid(), st.st_uid) << item.path;
            EXPECT_EQ(givenAway ? item.gid : getegid(), st.st_gid) << item.path;
            EXPECT_EQ(givenAway ? item.kept : item.notGivenAway,
                      S_ISLNK(st.st_mode) ? 0 : st.st_mode & 07777)
                << item.path;
        }
    };
    world.Snap("v", "s1");
    expect("v", true);
    if (geteuid() != 0)
        GTEST_SKIP() << "giving copies other owners, or being refused that, needs root";
    ASSERT_EQ(0, lchown(world.Live("v", "private").c_str(), 65533, 65533));
    world.Snap("v", "s2");
    const auto owner = [&](const std::string& snapshot) {
        struct stat st = {};
        return lstat(world.Live("v", ".snapshot/" + snapshot + "/private").c_str(), &st), st.st_uid;
    };
    EXPECT_TRUE(owner("s1") == 65534 && owner("s2") == 65533);
    // Without CAP_CHOWN, as a process that may not give files away, for volume w.
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2];
    ASSERT_EQ(0, syscall(SYS_capget, &header, caps));
    caps[0].effective &= ~(1u << CAP_CHOWN);
    ASSERT_EQ(0, syscall(SYS_capset, &header, caps));
    const ArrayStatus copied = world.array->CreateSnapshot("w", "s1");
    caps[0].effective |= 1u << CAP_CHOWN;
    ASSERT_EQ(0, syscall(SYS_capset, &header, caps));
    ASSERT_TRUE(copied.bOk) << copied.strMessage;
    expect("w", false);
}

// Removes a folder chain too deep for path calls, one level at a time.
// (The chain holds one folder per level and one file at its end.)
void RemoveDeep(int parent, const char* name) {
    const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (unlinkat(fd, "deep-file", 0) != 0) RemoveDeep(fd, name);
    close(fd);
    ASSERT_EQ(0, unlinkat(parent, name, AT_REMOVEDIR));
}

// Items a snapshot cannot keep (a folder chain longer than PATH_MAX, an
// item of the volume in an export's .snapshot) are left out and recorded:
// a comparison to that snapshot is refused, naming them, so that the share
// is read in full; one from it reports them as new once they are kept.
TEST(LocalArray, ItemsASnapshotCannotKeepRefuseAComparisonToIt) {
    LocalArrayWorld world(true, {localarraytest::Export("v", {"e"})});
    world.Volume("v");
    world.Dir("v", "e");
    world.File("v", "kept", "k");
    world.Snap("v", "s1");
    const std::string component(200, 'd');
    int fd = open(world.Live("v").c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < 30; ++level) {
        ASSERT_EQ(0, mkdirat(fd, component.c_str(), 0755));
        const int next = openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
    }
    close(openat(fd, "deep-file", O_WRONLY | O_CREAT, 0644));
    close(fd);
    world.File("v", "e/.snapshot/mine", "m");
    world.Snap("v", "s2");
    EXPECT_EQ("k", world.Read(world.Live("v", ".snapshot/s2/kept")));
    std::string handle;
    const ArrayStatus refused = world.Start("v", "s1", "s2", handle);
    EXPECT_EQ(kArrayErrLeftOut, refused.uiCode);
    for (const std::string& named :
         {std::string("left out 2 items, with all they hold"),
          std::string("[e/.snapshot/mine]: the folder holds"), "[" + component.substr(0, 199)})
        EXPECT_NE(std::string::npos, refused.strMessage.find(named)) << refused.strMessage;
    const int volume = open(world.Live("v").c_str(), O_RDONLY | O_DIRECTORY);
    RemoveDeep(volume, component.c_str());
    close(volume);
    ASSERT_EQ(0,
              rename(world.Live("v", "e/.snapshot/mine").c_str(), world.Live("v", "mine").c_str()));
    world.Snap("v", "s3");
    bool mineIsNew = false;
    for (const SnapDiffFileInfo& change : world.Diff("v", "s2", "s3").changes)
        mineIsNew |= change.strChangeType + change.strFileName == "file_creation/mine";
    EXPECT_TRUE(mineIsNew);
}

// What a copy must keep of an item: type, mode, device number, every
// extended attribute, and the immutable and append-only flags.
std::string Kept(const std::string& path) {
    const std::string q = "'" + path + "'";
    FILE* out =
        popen(("(stat -c '%f %t %T' " + q + "; getfattr -dh -m - -e hex " + q +
               " | tail -n +2; lsattr -d " + q + " | cut -d' ' -f1 | tr -cd ia) 2>/dev/null")
                  .c_str(),
              "r");
    std::string kept;
    for (char line[512]; fgets(line, sizeof(line), out);) kept += line;
    pclose(out);
    return kept;
}

struct stat Stat(const std::string& path) {
    struct stat st = {};
    lstat(path.c_str(), &st);
    return st;
}

// One table of cases (tests/data/copy-cases.json), run on each kind of file
// system a copy volume may be on and on a btrfs subvolume volume: each case shapes its volume,
// takes s1, changes it, takes s2, and checks what s1 to s2 delivers, that the copy of s2 keeps what
// the live items named have, and that both snapshots delete cleanly.
TEST(LocalArray, CopiesKeepWhatTheFileSystemHolds) {
    const nlohmann::json cases = nlohmann::json::parse(
        ReadFile(SNAPCLIENT_SOURCE_DIR "/tests/data/copy-cases.json"))["cases"];
    std::string missing;
    for (const std::string kind : {"ext4", "xfs", "btrfs", "btrfs subvolume"}) {
        const bool subvolume = kind == "btrfs subvolume";
        LoopMount mount(subvolume ? "btrfs" : kind);
        if (!mount.Available()) {
            missing += kind + " needs " + mount.Missing() + "; ";
            continue;
        }
        for (const nlohmann::json& c : cases) {
            const std::string name = c["name"];
            SCOPED_TRACE(kind + ": " + name);
            LocalArrayWorld world;
            world.config.strRoot = mount.Path() + "/" + name;
            world.Rebuild();
            const std::string volume = world.Live("v");
            MakeDirs(volume.substr(0, volume.rfind('/')));
            if (subvolume)
                ASSERT_TRUE(MakeBtrfsSubvolume(volume).ok());
            else
                MakeDirs(volume);
            const std::string in = "cd '" + world.Live("v") + "' && ";
            ASSERT_EQ(0, system((in + c["make"].get<std::string>()).c_str()));
            world.Snap("v", "s1");
            ASSERT_EQ(0, system((in + c["change"].get<std::string>() + " && sync").c_str()));
            struct statvfs before, after;  // the space the copy of s2 costs
            statvfs(mount.Path().c_str(), &before);
            world.Snap("v", "s2");
            sync();
            statvfs(mount.Path().c_str(), &after);
            if (kind != "ext4") {  // shares blocks, even beside a NOCOW file
                EXPECT_LT(int64_t(before.f_bavail) - int64_t(after.f_bavail),
                          int64_t(16 << 20) / int64_t(after.f_frsize));
            }
            std::multiset<std::string> changes;
            std::string handle;
            if (world.Start("v", "s1", "s2", handle).uiCode == kArrayErrLeftOut)
                changes.insert("left out");
            else
                for (const SnapDiffFileInfo& d : world.Diff("v", "s1", "s2").changes)
                    changes.insert(std::to_string(d.uiFileType) + " " + d.strFileName +
                                   (d.strChangeType == "file_deletion" ? " deleted" : ""));
            EXPECT_EQ(c["changes"].get<std::multiset<std::string>>(), changes);
            const std::string copy = world.Live("v", ".snapshot/s2");
            for (const std::string item : c["kept"])
                EXPECT_EQ(Kept(world.Live("v", item)), Kept(copy + "/" + item)) << item;
            EXPECT_TRUE(Stat(copy + "/sparse").st_blocks < 2048 && !FileExists(copy + "/m/x") &&
                        !FileExists(copy + "/sub/y"));
            const std::string live = world.Live("v", "t");
            EXPECT_TRUE(!FileExists(live) || Stat(live).st_atime == 1000);  // not read into
            // A copy's owner could write into it; a read-only snapshot's cannot.
            EXPECT_EQ(subvolume ? 0755u : 0700u,
                      Stat(world.Live("v", ".snapshot")).st_mode & 07777);
            umount(world.Live("v", "m").c_str());
            EXPECT_TRUE(world.array->DeleteSnapshot("v", "s2").bOk);
            EXPECT_TRUE(world.array->DeleteSnapshot("v", "s1").bOk);
        }
    }
    if (!missing.empty()) GTEST_SKIP() << missing;
}

}  // namespace
