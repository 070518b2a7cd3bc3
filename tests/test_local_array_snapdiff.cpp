// SnapDiff on the local array: the change list between two snapshots, its
// names, its batches and its sessions, and a catalog damaged on disk.

#include "tests/test_local_array_world.h"

#include "array/LocalArrayNames.h"

#include <algorithm>
#include <fcntl.h>
#include <functional>
#include <map>
#include <set>
#include <sstream>

using localarraytest::LocalArrayWorld;

namespace {

std::string Describe(const SnapDiffFileInfo& change) {
    return change.strChangeType + " " + std::to_string(change.uiFileType) + " " + change.strFileName;
}

std::vector<std::string> Sorted(const std::vector<SnapDiffFileInfo>& changes) {
    std::vector<std::string> out;
    for (const SnapDiffFileInfo& change : changes) out.push_back(Describe(change));
    std::sort(out.begin(), out.end());
    return out;
}

// Applies steps such as "file a; mv a b" to a volume's live tree: file
// (content "1"), write (longer content), dir, link A B, sym, rm, mv A B,
// chmod, touch (mtime only).
void Apply(LocalArrayWorld& w, const std::string& v, const std::string& steps) {
    std::istringstream in(steps);
    for (std::string step; std::getline(in, step, ';');) {
        std::istringstream words(step);
        std::string op, a, b;
        if (!(words >> op >> a)) continue;
        words >> b;
        const std::string p = w.Live(v, a), q = b.empty() ? "" : w.Live(v, b);
        struct timespec t[2] = {{5, 0}, {5, 0}};
        bool ok = true;
        if (op == "file") w.File(v, a, "1");
        else if (op == "write") w.File(v, a, "longer");
        else if (op == "dir") w.Dir(v, a);
        else if (op == "link") ok = link(p.c_str(), q.c_str()) == 0;
        else if (op == "sym") ok = symlink("target", p.c_str()) == 0;
        else if (op == "rm") ok = unlink(p.c_str()) == 0;
        else if (op == "mv") ok = rename(p.c_str(), q.c_str()) == 0;
        else if (op == "chmod") ok = chmod(p.c_str(), 0600) == 0;
        else if (op == "touch") ok = utimensat(AT_FDCWD, p.c_str(), t, 0) == 0;
        else ok = false;
        ASSERT_TRUE(ok) << step;
    }
}

TEST(LocalArraySnapDiffTest, ReportsEachKindOfChange) {
    const struct {
        const char* name;
        const char* setup;
        const char* change;
        std::vector<std::string> expected;  // sorted
        bool oneInode;                      // every change is about one inode
    } cases[] = {
        {"create", "", "file new", {"file_creation 1 /new"}, true},
        {"modify", "file f", "write f", {"inode_modification 1 /f"}, true},
        {"touch mtime only", "file f", "touch f", {"inode_modification 1 /f"}, true},
        {"chmod", "file f", "chmod f", {"inode_modification 1 /f"}, true},
        {"delete", "file f", "rm f", {"file_deletion 1 /f"}, true},
        {"rename", "file a", "mv a b", {"file_creation 1 /b", "file_deletion 1 /a"}, true},
        {"move between folders", "dir d1; dir d2; file d1/f", "mv d1/f d2/f",
         {"file_creation 1 /d2/f", "file_deletion 1 /d1/f", "inode_modification 2 /d1",
          "inode_modification 2 /d2"}, false},
        {"folder rename keeps its contents quiet", "dir d; dir d/sub; file d/x; file d/sub/y",
         "mv d e", {"file_creation 2 /e", "file_deletion 2 /d"}, true},
        {"new hard link", "file a", "link a b", {"file_creation 1 /b", "inode_modification 1 /a"}, true},
        {"one of two hard links removed", "file a; link a b", "rm a",
         {"file_deletion 1 /a", "inode_modification 1 /b"}, true},
        {"new symbolic link", "", "sym l", {"file_creation 5 /l"}, true},
        // The folder is made while the file lives, so it cannot reuse the
        // file's inode number.
        {"file replaced by a folder", "file x", "dir y; rm x; mv y x",
         {"file_creation 2 /x", "file_deletion 1 /x"}, false},
        {"nothing changed", "file f", "", {}, true},
    };
    // All bases first, then one pause, so that every change moves ctime and
    // mtime to a later second than the base recorded.
    LocalArrayWorld world;
    const size_t n = sizeof cases / sizeof cases[0];
    for (size_t i = 0; i < n; ++i) {
        const std::string volume = "v" + std::to_string(i);
        world.Volume(volume);
        Apply(world, volume, cases[i].setup);
        world.Snap(volume, "base");
    }
    sleep(1);
    for (size_t i = 0; i < n; ++i) {
        Apply(world, "v" + std::to_string(i), cases[i].change);
        world.Snap("v" + std::to_string(i), "incr");
    }
    for (size_t i = 0; i < n; ++i) {
        SCOPED_TRACE(cases[i].name);
        LocalArrayWorld::Run run = world.Diff("v" + std::to_string(i), "base", "incr");
        EXPECT_EQ(cases[i].expected, Sorted(run.changes));
        std::set<uint64_t> inodes;
        for (const SnapDiffFileInfo& change : run.changes) inodes.insert(change.ullInode);
        EXPECT_TRUE(!cases[i].oneInode || inodes.size() <= 1);
    }
}

TEST(LocalArraySnapDiffTest, ChangesCarryTheSnapshotsAttributes) {
    LocalArrayWorld world;
    world.Volume("v");
    world.File("v", "gone", "12345");
    world.Snap("v", "base");
    struct stat before;
    ASSERT_EQ(0, lstat(world.Live("v", "gone").c_str(), &before));
    unlink(world.Live("v", "gone").c_str());
    world.File("v", "born", "123");
    struct timespec t[2] = {{1500000000, 0}, {1600000000, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, world.Live("v", "born").c_str(), t, 0));
    struct stat born;
    ASSERT_EQ(0, lstat(world.Live("v", "born").c_str(), &born));
    world.Snap("v", "incr");
    LocalArrayWorld::Run run = world.Diff("v", "base", "incr");
    ASSERT_EQ(2u, run.changes.size());
    for (const SnapDiffFileInfo& change : run.changes) {
        if (change.strChangeType == "file_deletion") {
            EXPECT_EQ(before.st_ino, change.ullInode);
            EXPECT_EQ(5u, change.ullFileSize);
            EXPECT_EQ(before.st_mtim.tv_sec, change.llMtime);
        } else {
            EXPECT_EQ(born.st_ino, change.ullInode);
            EXPECT_EQ(3u, change.ullFileSize);
            EXPECT_EQ(1600000000, change.llMtime);
            EXPECT_EQ(1500000000, change.llAtime);
            EXPECT_EQ(born.st_ctim.tv_sec, change.llCtime);
            EXPECT_EQ(born.st_mode & 07777, change.llAttribute);
        }
    }
}

TEST(LocalArraySnapDiffTest, EscapesNamesForNfs) {
    struct Case {
        std::string raw;
        std::string escaped;
    };
    const std::vector<Case> cases = {
        {"plain.txt", "plain.txt"},
        {"with space", "with space"},
        {"back\\slash", "back\\5Cslash"},
        {std::string("del\x7F"), "del\\7F"},
        {"caf\xC3\xA9", "caf\\C3\\A9"},
        {"\xFF\x80", "\\FF\\80"},
        {"ctl\x01", "ctl\\01"},
        {"tab\there", "tab\there"},
        {"nl\nand\rcr", "nl\nand\rcr"},
        {"~!@#$%^&*()_+{}|:\"<>?`-=[];',./", "~!@#$%^&*()_+{}|:\"<>?`-=[];',./"},
        {std::string("\x1F\x00", 2), "\\1F\\00"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.escaped, EscapeSnapDiffName(c.raw)) << c.escaped;

    // End to end: a created file with awkward bytes in its name.
    LocalArrayWorld world;
    world.Volume("v");
    world.Snap("v", "base");
    world.File("v", "r\xC3\xA9sum\xE9 \\ \x01", "x");
    world.Snap("v", "incr");
    EXPECT_EQ((std::vector<std::string>{"file_creation 1 /r\\C3\\A9sum\\E9 \\5C \\01"}),
              Sorted(world.Diff("v", "base", "incr").changes));
}

TEST(LocalArraySnapDiffTest, BatchesAreClampedAndOnlyTheLastEnds) {
    const std::vector<std::pair<unsigned long, unsigned long>> clamps = {
        {0, 256}, {1, 256}, {255, 256}, {256, 256}, {1000, 1000}, {4096, 4096}, {4097, 4096},
        {~0ul, 4096}};
    for (const auto& c : clamps) EXPECT_EQ(c.second, SnapDiffMerge::ClampBatchSize(c.first)) << c.first;

    LocalArrayWorld world;
    world.Volume("v");
    world.Snap("v", "empty");
    for (int i = 0; i < 600; ++i) world.File("v", "f" + std::to_string(i), "x");
    world.Snap("v", "full");

    struct Case {
        unsigned long requested;
        std::vector<size_t> batches;
    };
    const std::vector<Case> cases = {{10, {256, 256, 88}}, {300, {300, 300}}, {100000, {600}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.requested);
        LocalArrayWorld::Run run = world.Diff("v", "empty", "full", c.requested);
        EXPECT_EQ(c.batches, run.batchSizes);
        std::vector<bool> ends(c.batches.size(), false);
        ends.back() = true;
        EXPECT_EQ(ends, run.endFlags);
        std::set<std::string> names;
        for (const SnapDiffFileInfo& change : run.changes) names.insert(change.strFileName);
        EXPECT_EQ(600u, names.size());
    }
    // No change at all: one empty batch that ends the run.
    LocalArrayWorld::Run none = world.Diff("v", "full", "full");
    EXPECT_EQ(std::vector<size_t>{0}, none.batchSizes);
    EXPECT_EQ(std::vector<bool>{true}, none.endFlags);
}

TEST(LocalArraySnapDiffTest, SessionsAreLimitedAndEndedHandlesRefused) {
    LocalArrayWorld world;
    world.Volume("v");
    world.File("v", "f", "1");
    world.Snap("v", "a");
    world.File("v", "g", "2");
    world.Snap("v", "b");

    std::vector<std::string> handles(16);
    for (std::string& handle : handles) ASSERT_TRUE(world.Start("v", "a", "b", handle).bOk);
    EXPECT_EQ(16u, std::set<std::string>(handles.begin(), handles.end()).size());
    std::string refused, again;
    ArrayStatus seventeenth = world.Start("v", "a", "b", refused);
    EXPECT_EQ(kArrayErrTooManySessions, seventeenth.uiCode) << seventeenth.strMessage;

    // SnapDiffEnd frees a slot; its handle is then refused.
    ASSERT_TRUE(world.array->SnapDiffEnd(handles[0]).bOk);
    std::vector<SnapDiffFileInfo> batch;
    bool end = false;
    EXPECT_EQ(kArrayErrBadHandle, world.array->SnapDiffNext(handles[0], batch, end).uiCode);
    EXPECT_EQ(kArrayErrBadHandle, world.array->SnapDiffEnd(handles[0]).uiCode);
    ASSERT_TRUE(world.Start("v", "a", "b", again).bOk);
    EXPECT_NE(handles[0], again);  // handles are never reused

    // Sending the end flag ends a session as well.
    ASSERT_TRUE(world.array->SnapDiffNext(handles[1], batch, end).bOk);
    EXPECT_TRUE(end);
    EXPECT_EQ(1u, batch.size());
    EXPECT_EQ(kArrayErrBadHandle, world.array->SnapDiffNext(handles[1], batch, end).uiCode);
    EXPECT_TRUE(batch.empty());
    EXPECT_EQ(16u, world.array->OpenSessions() + 1);

    EXPECT_EQ(kArrayErrBadHandle, world.array->SnapDiffNext("snapdiff-999", batch, end).uiCode);
    EXPECT_EQ(kArrayErrBadHandle, world.array->SnapDiffEnd("").uiCode);

    // Starts that cannot begin take no slot.
    EXPECT_EQ(kArrayErrNotFound, world.Start("v", "a", "missing", refused).uiCode);
    EXPECT_EQ(kArrayErrNotFound, world.Start("v", "missing", "b", refused).uiCode);
    EXPECT_EQ(kArrayErrInvalidArgument, world.Start("v", "a", "b", refused, "cifs").uiCode);
    EXPECT_EQ(15u, world.array->OpenSessions());
}

TEST(LocalArraySnapDiffTest, DamagedCatalogFailsTheRunAndFreesItsSession) {
    LocalArrayWorld world;
    world.config.uiMaxSessions = 1;
    world.Rebuild();
    world.Volume("v");
    world.Snap("v", "a");
    for (int i = 0; i < 400; ++i) world.File("v", "f" + std::to_string(i), "x");
    world.Snap("v", "b");
    const std::string catalog = world.Root() + "/.snapcatalog/v/b.cat";
    struct stat st;
    ASSERT_EQ(0, stat(catalog.c_str(), &st));
    ASSERT_EQ(0, truncate(catalog.c_str(), st.st_size / 2));

    std::string handle;
    ASSERT_TRUE(world.Start("v", "a", "b", handle).bOk);
    std::vector<SnapDiffFileInfo> batch;
    bool end = false;
    ArrayStatus status = world.array->SnapDiffNext(handle, batch, end);
    while (status.bOk && !end) status = world.array->SnapDiffNext(handle, batch, end);
    EXPECT_EQ(kArrayErrInternal, status.uiCode);
    EXPECT_NE(std::string::npos, status.strMessage.find("corrupt")) << status.strMessage;
    EXPECT_FALSE(end);
    EXPECT_TRUE(batch.empty());
    EXPECT_EQ(0u, world.array->OpenSessions());
    EXPECT_EQ(kArrayErrBadHandle, world.array->SnapDiffNext(handle, batch, end).uiCode);
    // The slot is free for a run between sound catalogs.
    EXPECT_TRUE(world.Diff("v", "a", "a").changes.empty());
}

}  // namespace
