// The local array on a volume that is a btrfs subvolume: its snapshots are
// read-only btrfs snapshots that keep everything a backup reads and hold
// no earlier snapshot and nothing mounted below the volume.
#include "array/local/BtrfsSubvolume.h"
#include "array/local/MountedBelowVolume.h"
#include "tests/support/LocalArrayWorld.h"
#include "tests/support/LoopMount.h"

#include <sys/mount.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <filesystem>

using localarraytest::Export;
using localarraytest::LocalArrayWorld;
using namespace testsupport;

namespace {

// What a backup reads of an item: kind, mode, owner, device, size,
// allocated blocks, every extended attribute and small contents.
std::string Describe(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return "missing";
    std::string text = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " " +
                       std::to_string(st.st_rdev) + " " + std::to_string(st.st_size) + " " +
                       std::to_string(st.st_blocks);
    char names[4096], value[4096];
    const ssize_t length = llistxattr(path.c_str(), names, sizeof names);
    for (ssize_t i = 0; i < length; i += strlen(names + i) + 1) {
        const ssize_t size = lgetxattr(path.c_str(), names + i, value, sizeof value);
        text += std::string(" ") + (names + i) + "=" +
                std::string(value, size_t(std::max<ssize_t>(size, 0)));
    }
    return S_ISREG(st.st_mode) && st.st_size < 4096 ? text + " " + ReadFile(path) : text;
}

size_t Entries(const std::string& dir) {
    std::error_code missing;
    const std::filesystem::recursive_directory_iterator items(dir, missing);
    return size_t(std::distance(begin(items), end(items)));
}

// A world whose root is a loop-mounted btrfs image and whose volume v is a
// subvolume exported whole and at e.
struct BtrfsWorld {
    BtrfsWorld() : world(true, {Export("v", {"e"})}) {
        if (!mount.Available()) return;
        world.config.strRoot = mount.Path();
        world.Rebuild();
        EXPECT_TRUE(MakeBtrfsSubvolume(world.Live("v")).ok());
        world.Dir("v", "e");
    }
    LoopMount mount{"btrfs"};
    LocalArrayWorld world;
};

TEST(LocalArrayBtrfs, SnapshotsKeepWhatABackupReadsAndNoEarlierSnapshot) {
    BtrfsWorld btrfs;
    SKIP_UNLESS_MOUNTED(btrfs.mount);
    LocalArrayWorld& world = btrfs.world;
    TempDir bindSource;
    WriteFile(bindSource / "other", "another file system's file");
    const std::string v = world.Live("v");
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{v + "/bound"};
    const auto sparse = [](const std::string& p) {
        WriteFile(p, "");
        const int fd = open(p.c_str(), O_WRONLY | O_CLOEXEC);
        const bool written =
            ftruncate(fd, off_t(10) << 30) == 0 && pwrite(fd, "data", 4, off_t(5) << 30) == 4;
        return close(fd) == 0 && written ? 0 : -1;
    };
    const struct {
        const char* item;
        std::function<int(const std::string&)> make;
        bool kept;  // else an empty folder in the snapshot
    } cases[] = {
        {"e/bytes", [](const std::string& p) { return WriteFile(p, "bytes\n"), 0; }, true},
        {"xattr",
         [](const std::string& p) {
             return WriteFile(p, ""), lsetxattr(p.c_str(), "user.color", "blue", 4, 0);
         },
         true},
        {"fifo", [](const std::string& p) { return mkfifo(p.c_str(), 0640); }, true},
        {"device",
         [](const std::string& p) { return mknod(p.c_str(), S_IFCHR | 0600, makedev(1, 3)); },
         true},
        {"sparse", sparse, true},
        {"nested",
         [](const std::string& p) {
             return MakeBtrfsSubvolume(p).ok() ? WriteFile(p + "/x", "x"), 0 : -1;
         },
         false},
        {"bound",
         [&](const std::string& p) {
             return mkdir(p.c_str(), 0755) +
                    mount(bindSource.Path().c_str(), p.c_str(), nullptr, MS_BIND, nullptr);
         },
         false},
    };
    for (const auto& c : cases) ASSERT_EQ(0, c.make(v + "/" + c.item)) << c.item;
    world.Snap("v", "s1");
    const std::string s1 = v + "/.snapshot/s1/";
    for (const auto& c : cases) {
        const std::string live = v + "/" + c.item, kept = s1 + c.item;
        EXPECT_EQ(c.kept ? Describe(live) : "0",
                  c.kept ? Describe(kept) : std::to_string(Entries(kept)))
            << c.item;
    }
    EXPECT_EQ(-1, open((s1 + "e/bytes").c_str(), O_WRONLY | O_CLOEXEC));  // even for root
    EXPECT_EQ(EROFS, errno);
    // check names what the snapshots left out, and not the snapshots themselves.
    std::vector<std::string> below;
    ASSERT_TRUE(FindMountedBelowVolume(v, {"", "e"}, below).ok());
    EXPECT_EQ((std::vector<std::string>{"bound", "nested"}), below);

    // A later snapshot shows the array's folders empty; each export reaches each snapshot.
    ASSERT_EQ(0, umount(unmount.path.c_str()) + rmdir(unmount.path.c_str()));
    ASSERT_TRUE(DeleteBtrfsSubvolume(v + "/nested").ok());
    world.File("v", "e/new", "new");
    world.Snap("v", "s2");
    EXPECT_EQ(0u,
              Entries(v + "/.snapshot/s2/.snapshot") + Entries(v + "/.snapshot/s2/e/.snapshot"));
    EXPECT_EQ("new", world.Read(v + "/e/.snapshot/s2/new"));
    EXPECT_EQ("bytes\n", world.Read(v + "/e/.snapshot/s1/bytes"));
    EXPECT_EQ((std::set<std::string>{"s1", "s2"}), world.Listed());
    // Each snapshot has a device number of its own; an unchanged name is
    // still the same name, so the comparison holds only what changed: the
    // new file, the mount point gone and the folders that hold them.
    std::set<std::string> changes;
    for (const SnapDiffFileInfo& change : world.Diff("v", "s1", "s2").changes)
        changes.insert(change.strChangeType + " " + change.strFileName);
    EXPECT_EQ((std::set<std::string>{"file_creation /e/new", "file_deletion /bound",
                                     "inode_modification /", "inode_modification /e"}),
              changes);

    // Two snapshots with nothing left out are compared by btrfs itself (as
    // root): a rename is a deletion and a creation, and its folder changed.
    world.Snap("v", "s3");
    ASSERT_EQ(0, rename((v + "/e/new").c_str(), (v + "/e/renamed").c_str()));
    world.Snap("v", "s4");
    changes.clear();
    for (const SnapDiffFileInfo& change : world.Diff("v", "s3", "s4").changes)
        changes.insert(change.strChangeType + " " + change.strFileName);
    EXPECT_EQ((std::set<std::string>{"file_deletion /e/new", "file_creation /e/renamed",
                                     "inode_modification /e"}),
              changes);
}

}  // namespace
