// The local array on a volume that is a btrfs subvolume: its snapshots are
// read-only btrfs snapshots that keep everything a backup reads, hold no
// earlier snapshot and nothing mounted below the volume, are a point in
// time, and leave no listed half snapshot or debris when a job is killed.
#include "array/local/BtrfsSubvolume.h"
#include "array/local/LocalArrayOperator.h"
#include "tests/support/LocalArrayWorld.h"
#include "tests/support/LoopMount.h"

#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <thread>

using localarraytest::Export;
using localarraytest::LocalArrayWorld;
using namespace testsupport;

namespace {

// What a backup reads of an item: kind, mode, owner, device, size,
// allocated blocks, every extended attribute (ACLs too) and small contents.
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
        EXPECT_TRUE(MakeBtrfsSubvolume(world.Live("v")).bOk);
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
        {"acl",
         [](const std::string& p) {
             return mkdir(p.c_str(), 0750) +
                    system(("setfacl -m u:nobody:rwx -d -m u:nobody:r '" + p + "'").c_str());
         },
         true},
        {"fifo", [](const std::string& p) { return mkfifo(p.c_str(), 0640); }, true},
        {"device",
         [](const std::string& p) { return mknod(p.c_str(), S_IFCHR | 0600, makedev(1, 3)); },
         true},
        {"sparse", sparse, true},
        {"nested",
         [](const std::string& p) {
             return MakeBtrfsSubvolume(p).bOk ? WriteFile(p + "/x", "x"), 0 : -1;
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

    // A later snapshot shows the array's folders empty; each export reaches each snapshot.
    world.File("v", "e/new", "new");
    world.Snap("v", "s2");
    EXPECT_EQ(0u,
              Entries(v + "/.snapshot/s2/.snapshot") + Entries(v + "/.snapshot/s2/e/.snapshot"));
    EXPECT_EQ("new", world.Read(v + "/e/.snapshot/s2/new"));
    EXPECT_EQ("bytes\n", world.Read(v + "/e/.snapshot/s1/bytes"));
    std::multiset<std::string> changes;
    for (const SnapDiffFileInfo& c : world.Diff("v", "s1", "s2").changes)
        changes.insert(c.strChangeType + " " + c.strFileName);
    EXPECT_EQ((std::multiset<std::string>{"file_creation /e/new", "inode_modification /e"}),
              changes);

    // Without CAP_SYS_ADMIN a deletion is refused and the snapshot kept whole.
    const pid_t child = fork();
    if (child == 0) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2] = {};
        syscall(SYS_capget, &header, data);
        data[0].effective &= ~(1u << CAP_SYS_ADMIN);
        syscall(SYS_capset, &header, data);
        const ArrayStatus refused = world.array->DeleteSnapshot("v", "s1");
        _exit(refused.strMessage.find("needs root") != std::string::npos ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_EQ(0, status);
    EXPECT_EQ((std::set<std::string>{"s1", "s2"}), world.Listed());
    EXPECT_EQ("bytes\n", world.Read(v + "/e/.snapshot/s1/bytes"));
}

// Files moved to and fro while snapshots are made are each in every
// snapshot exactly once. A job killed at each event of its array work in
// turn (a creation, the first comparison walking the new snapshot, the
// deletion of the old one) leaves no listed half snapshot, and the next
// opening leaves nothing but whole snapshots.
TEST(LocalArrayBtrfs, MovesAndKillsLeaveWholeSnapshotsOnly) {
    BtrfsWorld btrfs;
    SKIP_UNLESS_MOUNTED(btrfs.mount);
    LocalArrayWorld& world = btrfs.world;
    world.Snap("v", "empty");
    for (int i = 0; i < 50; ++i) world.File("v", "e/f" + std::to_string(i), "x");
    world.Snap("v", "s0");
    std::atomic<bool> moving{true};
    std::thread mover([&] {
        for (int i = 0; moving; i = (i + 1) % 50)
            for (const char* way : {"e/f", "m"}) {
                const std::string name = std::to_string(i), from = world.Live("v", way + name);
                rename(
                    from.c_str(),
                    world.Live("v", std::string(way) == "m" ? "e/f" + name : "m" + name).c_str());
            }
    });
    for (int kill = 1, finished = 0; !finished; ++kill) {
        const std::string base = "s" + std::to_string(kill - 1), next = "s" + std::to_string(kill);
        const pid_t child = fork();
        if (child == 0) {
            int events = 0;
            const auto event = [&] {
                if (++events == kill) raise(SIGKILL);
            };
            world.array->SetStepHook([&](const char*) { event(); });
            LocalArrayOperator op;
            op.stopRequested = [&] { return event(), false; };
            SetLocalArrayOperator(op);
            const bool created = world.array->CreateSnapshot("v", next).bOk;
            world.Diff("v", base, next);
            _exit(created && world.array->DeleteSnapshot("v", base).bOk ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        finished = WIFEXITED(status);
        ASSERT_TRUE(finished ? WEXITSTATUS(status) == 0 : WTERMSIG(status) == SIGKILL) << kill;
        world.Rebuild();
        ASSERT_TRUE(world.array->OpenConnection().bOk);
        std::set<std::string> listed = world.Listed(), files;
        for (const auto& entry : std::filesystem::directory_iterator(world.Live("v", ".snapshot")))
            EXPECT_TRUE(listed.count(entry.path().filename()) && IsBtrfsSubvolume(entry.path()))
                << entry.path() << " after kill " << kill;
        for (const auto& entry :
             std::filesystem::directory_iterator(world.Root() + "/.snapcatalog/v"))
            EXPECT_TRUE(listed.count(entry.path().stem()))
                << entry.path() << " after kill " << kill;
        if (!listed.count(next)) world.Snap("v", next);
        if (listed.count(base)) {
            ASSERT_TRUE(world.array->DeleteSnapshot("v", base).bOk);
        }
        size_t created = 0;
        for (const SnapDiffFileInfo& c : world.Diff("v", "empty", next).changes)
            created += c.strChangeType == "file_creation";
        EXPECT_EQ(50u, created) << next;  // each file once, under either name
        // .snapshot, e, e/.snapshot and the files
        EXPECT_EQ(53u, Entries(world.Live("v", ".snapshot/" + next))) << next;
    }
    moving = false;
    mover.join();
}

}  // namespace
