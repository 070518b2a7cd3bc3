// The local array on a volume that is a btrfs subvolume: its snapshots are
// read-only btrfs snapshots that keep everything a backup reads and hold
// no earlier snapshot and nothing mounted below the volume; SnapDiff over
// them reports what it reports over copies of the same tree; and a job
// killed anywhere in a creation or deletion leaves no half snapshot, and no
// debris once the array is opened again.
#include "array/local/BtrfsSubvolume.h"
#include "array/local/MountedBelowVolume.h"
#include "tests/support/LocalArrayWorld.h"
#include "tests/support/LoopMount.h"

#include <btrfsutil.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <chrono>
#include <filesystem>
#include <random>

using localarraytest::Export;
using localarraytest::LocalArrayWorld;
using localarraytest::Names;
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
    world.Snap("v", "s0");
    for (const auto& c : cases) ASSERT_EQ(0, c.make(v + "/" + c.item)) << c.item;
    world.Snap("v", "s1");
    // The share's backup would lack what they hold: no comparison claims it
    // compared them, and each is named once.
    std::string handle;
    const ArrayStatus refused = world.Start("v", "s0", "s1", handle);
    EXPECT_EQ(kArrayErrLeftOut, refused.uiCode);
    EXPECT_NE(std::string::npos, refused.strMessage.find("left out 2 items")) << refused.strMessage;
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
    EXPECT_EQ((std::set<std::string>{"s0", "s1", "s2"}), world.Listed());
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

// Subvolumes below the file system's top, by path.
std::set<std::string> Subvolumes(const std::string& top) {
    std::set<std::string> paths;
    btrfs_util_subvolume_iterator* it = nullptr;
    if (btrfs_util_create_subvolume_iterator(top.c_str(), 5, 0, &it) != BTRFS_UTIL_OK) return {"?"};
    for (char* path = nullptr;
         btrfs_util_subvolume_iterator_next(it, &path, nullptr) == BTRFS_UTIL_OK; free(path))
        paths.insert(path);
    btrfs_util_destroy_subvolume_iterator(it);
    return paths;
}

// SNAPAGENT_TEST_SEED replays a failed run of the random tests.
uint32_t Seed(uint32_t fallback) {
    const char* given = getenv("SNAPAGENT_TEST_SEED");
    return given ? uint32_t(strtoul(given, nullptr, 10)) : fallback;
}

std::string Under(const std::string& dir, const std::string& name) {
    return dir.empty() ? name : name.empty() ? dir : dir + "/" + name;
}

// What a change can name in a volume's live tree, the array's folders left
// out: regular files, other items, folders ("" the root).
struct LiveItems {
    std::vector<std::string> files, others, dirs{""};
};

LiveItems ListLive(const std::string& root) {
    namespace fs = std::filesystem;
    LiveItems items;
    for (auto it = fs::recursive_directory_iterator(root); it != end(it); ++it) {
        const fs::file_status st = it->symlink_status();
        if (it->path().filename() == ".snapshot")
            it.disable_recursion_pending();
        else
            (fs::is_directory(st)      ? items.dirs
             : fs::is_regular_file(st) ? items.files
                                       : items.others)
                .push_back(it->path().string().substr(root.size() + 1));
    }
    return items;
}

int Errno(bool ok) { return ok ? 0 : errno; }

// Writes bytes; at == -1 replaces the contents, else writes over them at
// that offset and puts the file's times back.
int Put(const std::string& path, const std::string& bytes, int flags, off_t at = -1) {
    struct stat st;
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | flags, 0644);
    if (fd < 0 || fstat(fd, &st) != 0) return errno;
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    bool ok = (at < 0 ? write(fd, bytes.data(), bytes.size())
                      : pwrite(fd, bytes.data(), bytes.size(), at)) == ssize_t(bytes.size());
    ok = ok && (at < 0 || futimens(fd, times) == 0);
    return Errno(close(fd) == 0 && ok);
}

// One random change, made alike on each volume it is applied to; a and b
// are paths relative to the volume.
struct Change {
    unsigned kind = 0;
    std::string a, b, bytes, key;
    mode_t mode = 0644;

    int Apply(const std::string& root) const {
        const std::string x = Under(root, a), y = Under(root, b);
        const char *p = x.c_str(), *q = y.c_str();
        switch (kind) {
            case 0:  // a new file, a rewrite, a same-size rewrite with its times put back
            case 1:
            case 2:
                return Put(x, bytes, (int[]){O_CREAT | O_EXCL, O_TRUNC, 0}[kind],
                           kind == 2 ? 0 : -1);
            case 3:
                return Errno(truncate(p, off_t(bytes.size())) == 0);
            case 4:
                return Errno(chmod(p, mode) == 0);
            case 5:
                return Errno(lsetxattr(p, key.c_str(), bytes.data(), bytes.size(), 0) == 0);
            case 6:
                return Errno(lremovexattr(p, key.c_str()) == 0);
            case 7:
                return Errno(rename(p, q) == 0);
            case 8:
                return Errno(link(p, q) == 0);
            case 9:
                return Errno(unlink(p) == 0);
            case 10:
                return Errno(symlink(bytes.c_str(), p) == 0);
            case 11:
                return Errno(mkdir(p, mode) == 0);
            case 12:
                return Errno(rmdir(p) == 0);
            case 13:
                return Errno(mkfifo(p, 0640) == 0);
            default:
                return Errno(unlink(p) == 0 && mkdir(p, mode) == 0);  // a file becomes a folder
        }
    }
};

Change RandomChange(std::mt19937& random, const LiveItems& items, int serial) {
    const auto pick = [&](const std::vector<std::string>& from) {
        return from[random() % from.size()];
    };
    std::vector<std::string> movable = items.files;
    movable.insert(movable.end(), items.others.begin(), items.others.end());
    movable.insert(movable.end(), items.dirs.begin() + 1, items.dirs.end());
    // A change that needs a file where there is none fails alike on each volume.
    const std::string leaf = "n" + std::to_string(serial), fresh = Under(pick(items.dirs), leaf);
    const std::string file = items.files.empty() ? fresh : pick(items.files);
    const std::string item = movable.empty() ? fresh : pick(movable);
    const std::string either = random() % 2 ? file : pick(items.dirs);
    const std::string name = random() % 2 || items.others.empty() ? file : pick(items.others);
    const std::string dir = pick(items.dirs);
    const size_t slash = item.rfind('/');
    const std::string sibling =
        Under(slash == std::string::npos ? "" : item.substr(0, slash), leaf);
    const std::string* operand[] = {&fresh, &file, &file,  &file,  &either, &either, &either, &item,
                                    &file,  &name, &fresh, &fresh, &dir,    &fresh,  &file};
    Change c;
    c.kind = random() % 15;
    c.a = *operand[c.kind];
    c.b = c.kind == 7 && random() % 2 ? sibling : fresh;  // a move within its folder or anywhere
    c.bytes = std::string(random() % 64, char('a' + random() % 26));
    c.key = "user.k" + std::to_string(random() % 3);
    c.mode = (mode_t[]){0600, 0644, 0700, 0755}[random() % 4];
    return c;
}

std::vector<std::string> Items(const LocalArrayWorld::Run& run) {
    std::vector<std::string> items;
    for (const SnapDiffFileInfo& c : run.changes)
        items.push_back(c.strChangeType + " " + std::to_string(c.uiFileType) + " " + c.strFileName);
    std::sort(items.begin(), items.end());
    return items;
}

// The same random changes on a btrfs volume (v) and on a copy volume (c, a
// plain folder on the same btrfs): SnapDiff between each two snapshots in a
// row gives the same items on both. Every change is one a copy can tell: a
// rewrite with its times put back still moves the ctime.
TEST(LocalArrayBtrfs, SnapDiffGivesWhatItGivesOverCopiesOfTheSameChanges) {
    BtrfsWorld btrfs;
    SKIP_UNLESS_MOUNTED(btrfs.mount);
    LocalArrayWorld& world = btrfs.world;
    world.Volume("c");
    world.Dir("c", "e");
    const uint32_t seed = Seed(4);
    std::mt19937 random(seed);
    size_t compared = 0;
    for (int round = 0, serial = 0; round < 20; ++round) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " (SNAPAGENT_TEST_SEED), round " +
                     std::to_string(round));
        for (int i = 0; i < (round == 0 ? 30 : 12); ++i, ++serial) {
            const Change change = RandomChange(random, ListLive(world.Live("v")), serial);
            ASSERT_EQ(change.Apply(world.Live("v")), change.Apply(world.Live("c")))
                << "change " << serial;
        }
        const std::string name = "r" + std::to_string(round),
                          last = "r" + std::to_string(round - 1);
        world.Snap("v", name);
        world.Snap("c", name);
        if (round == 0) continue;
        const std::vector<std::string> items = Items(world.Diff("v", last, name));
        EXPECT_EQ(Items(world.Diff("c", last, name)), items);
        compared += items.size();
    }
    EXPECT_GT(compared, 100u);  // the rounds changed enough to compare
}

// A job that creates and deletes btrfs snapshots is killed at random
// moments while files move between two folders. Opened again, the array
// lists only whole snapshots (read-only, reached from the export, their
// marker a catalog, each moving file in them exactly once with its bytes)
// and leaves nothing else: no other subvolume, link, catalog file or lock.
TEST(LocalArrayBtrfs, KilledCreationsAndDeletionsLeaveWholeSnapshotsAndNoDebris) {
    BtrfsWorld btrfs;
    SKIP_UNLESS_MOUNTED(btrfs.mount);
    LocalArrayWorld& world = btrfs.world;
    const int kFiles = 16;
    std::vector<std::string> places(kFiles);
    world.Dir("v", "a");
    world.Dir("v", "b");
    for (int f = 0; f < kFiles; ++f)
        world.File("v", places[f] = "a/f" + std::to_string(f), std::to_string(f));
    world.Snap("v", "first");  // the array's .snapshot folders are subvolumes from here on
    ASSERT_TRUE(world.array->DeleteSnapshot("v", "first").bOk);
    world.config.uiLockWaitSeconds = 0;  // a lock left held fails at once
    const uint32_t seed = Seed(41);
    std::mt19937 random(seed);
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " (SNAPAGENT_TEST_SEED), round " +
                     std::to_string(round));
        const auto name = [round](int i) {
            return std::to_string(round) + "-" + std::to_string(i);
        };
        const pid_t child = fork();
        for (int i = 0; child == 0; ++i)
            if (!world.array->CreateSnapshot("v", name(i)).bOk ||
                (i >= 2 && !world.array->DeleteSnapshot("v", name(i - 2)).bOk))
                _exit(1);
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::microseconds(random() % 200000);
        while (std::chrono::steady_clock::now() < until) {
            std::string& place = places[random() % kFiles];
            const std::string moved = (place[0] == 'a' ? "b" : "a") + place.substr(1);
            ASSERT_EQ(0, rename(world.Live("v", place).c_str(), world.Live("v", moved).c_str()));
            place = moved;
        }
        int status = 0;
        ASSERT_EQ(0, kill(child, SIGKILL));
        ASSERT_EQ(child, waitpid(child, &status, 0));
        ASSERT_TRUE(WIFSIGNALED(status)) << "the job failed before it was killed";
        world.Rebuild();
        const std::set<std::string> listed = world.Listed();
        std::set<std::string> markers, subvolumes = {"v", "v/.snapshot", "v/e/.snapshot"};
        for (const std::string& s : listed) markers.insert(s + ".btrfs");
        ASSERT_TRUE(world.array->OpenConnection().bOk);
        EXPECT_EQ(listed, world.Listed());
        for (const std::string& s : listed) {
            const std::string path = world.Live("v", ".snapshot/" + s);
            bool readOnly = false;
            CatalogReader marker;
            CatalogRow row;
            bool done = false;
            struct stat st;
            EXPECT_TRUE(btrfs_util_get_subvolume_read_only(path.c_str(), &readOnly) ==
                            BTRFS_UTIL_OK &&
                        readOnly)
                << s;
            EXPECT_TRUE(marker.Open(world.Root() + "/.snapcatalog/v/" + s + ".btrfs").ok() &&
                        marker.Next(row, done).ok() && done)
                << s;
            EXPECT_TRUE(stat(world.Live("v", "e/.snapshot/" + s).c_str(), &st) == 0 &&
                        S_ISDIR(st.st_mode))
                << s;
            std::set<std::string> moving = Names(path + "/a"), inB = Names(path + "/b");
            EXPECT_EQ(size_t(kFiles), moving.size() + inB.size()) << s;
            moving.insert(inB.begin(), inB.end());
            EXPECT_EQ(size_t(kFiles), moving.size()) << s;  // so each once
            subvolumes.insert("v/.snapshot/" + s);
        }
        EXPECT_EQ(listed, Names(world.Live("v", ".snapshot")));
        EXPECT_EQ(listed, Names(world.Live("v", "e/.snapshot")));
        EXPECT_EQ(markers, Names(world.Root() + "/.snapcatalog/v"));
        EXPECT_EQ(subvolumes, Subvolumes(world.Root()));
        for (const std::string& s : listed) ASSERT_TRUE(world.array->DeleteSnapshot("v", s).bOk);
    }
}

}  // namespace
