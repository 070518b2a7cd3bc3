// The verification that judges delivered changes against two listings of
// the real trees: it must catch a missing change and an unexpected one,
// accept every correct delivery whatever the item order, and name the
// design's known limits without hiding anything else.
#include "tools/Verification.h"

#include <gtest/gtest.h>

#include <set>

using namespace snapagent;

namespace {

TreeEntry File(uint64_t inode, uint64_t size = 10, int64_t mtime = 1, uint64_t links = 1) {
    TreeEntry e;
    e.ullInode = inode;
    e.type = EntryType::kFile;
    e.ullSize = size;
    e.llMtimeNs = mtime;
    e.ullLinks = links;
    return e;
}

TreeEntry Dir(uint64_t inode) {
    TreeEntry e;
    e.ullInode = inode;
    e.type = EntryType::kDirectory;
    e.ullLinks = 2;
    return e;
}

FileServerSnapshotCompareItem Item(uint32_t status, const std::string& path, uint64_t inode,
                                   bool directory = false, const std::string& oldPath = "") {
    FileServerSnapshotCompareItem item;
    item.uiStatus = status;
    item.strPath = path;
    item.strOldPath = oldPath;
    item.stItemInfo.ullInode = inode;
    item.stItemInfo.uiMode = directory ? 0x4000 : 0x8000;
    item.stItemInfo.bRenamed = !oldPath.empty() && status != kItemDeleted;
    return item;
}

// A rename as the plug-in delivers it: the old path deleted (as a
// directory), then the new path created.
std::vector<FileServerSnapshotCompareItem> Rename(const std::string& from, const std::string& to,
                                                  uint64_t inode, bool directory) {
    return {Item(kItemDeleted, from + "/", inode, true, from + "/"),
            Item(kItemCreated, directory ? to + "/" : to, inode, directory, from)};
}

std::set<std::string> PathsOf(const std::vector<Finding>& findings) {
    std::set<std::string> out;
    for (const Finding& f : findings) out.insert(f.strPath);
    return out;
}

const TreeListing kBase = {
    {"docs", Dir(10)},           {"docs/a.txt", File(11)}, {"docs/b.txt", File(12)},
    {"photos", Dir(20)},         {"photos/2024", Dir(21)}, {"photos/2024/x.jpg", File(22)},
    {"photos/2024/y.jpg", File(23)}, {"top.txt", File(30)},
};

TreeListing With(TreeListing listing, std::initializer_list<std::pair<const std::string, TreeEntry>> add,
                 std::initializer_list<std::string> remove = {}) {
    for (const std::string& r : remove) listing.erase(r);
    for (const auto& a : add) listing[a.first] = a.second;
    return listing;
}

struct Case {
    const char* name;
    TreeListing current;
    std::vector<FileServerSnapshotCompareItem> items;
    std::set<std::string> missing;
    std::set<std::string> unexpected;
    std::vector<KnownLimit> limits = {};
    TreeListing previous = kBase;
};

std::vector<KnownLimit> LimitsOf(const ShareVerdict& verdict) {
    std::vector<KnownLimit> out;
    for (const auto& l : verdict.limits) out.push_back(l.limit);
    return out;
}

}  // namespace

TEST(Verification, JudgesOneShareAgainstItsTrees) {
    const TreeListing renamedDir =
        With(kBase, {{"photos/summer", Dir(21)}, {"photos/summer/x.jpg", File(22)},
                     {"photos/summer/y.jpg", File(23, 99, 5)}},
             {"photos/2024", "photos/2024/x.jpg", "photos/2024/y.jpg"});
    const std::vector<Case> cases = {
        {"nothing changed, nothing delivered", kBase, {}, {}, {}},
        {"new file delivered", With(kBase, {{"docs/new.txt", File(40)}}),
         {Item(kItemCreated, "/s/docs/new.txt", 40)}, {}, {}},
        {"new file not delivered", With(kBase, {{"docs/new.txt", File(40)}}), {},
         {"docs/new.txt"}, {}},
        {"modified file delivered", With(kBase, {{"top.txt", File(30, 11, 2)}}),
         {Item(kItemModified, "/s/top.txt", 30)}, {}, {}},
        {"modified file not delivered", With(kBase, {{"top.txt", File(30, 10, 2)}}), {},
         {"top.txt"}, {}},
        {"file replaced by a new inode, not delivered", With(kBase, {{"top.txt", File(31)}}), {},
         {"top.txt"}, {}},
        {"file replaced, creation listed before the deletion",
         With(kBase, {{"top.txt", File(31)}}),
         {Item(kItemCreated, "/s/top.txt", 31), Item(kItemDeleted, "/s/top.txt", 30)}, {}, {}},
        {"deleted file delivered", With(kBase, {}, {"top.txt"}),
         {Item(kItemDeleted, "/s/top.txt", 30)}, {}, {}},
        {"deleted file not delivered", With(kBase, {}, {"top.txt"}), {}, {}, {"top.txt"}},
        {"deleted directory with contents, one item",
         With(kBase, {}, {"photos/2024", "photos/2024/x.jpg", "photos/2024/y.jpg"}),
         {Item(kItemDeleted, "/s/photos/2024/", 21, true)}, {}, {}},
        {"renamed file", With(kBase, {{"docs/c.txt", File(12)}}, {"docs/b.txt"}),
         Rename("/s/docs/b.txt", "/s/docs/c.txt", 12, false), {}, {}},
        {"renamed directory brings its changed contents", renamedDir,
         Rename("/s/photos/2024", "/s/photos/summer", 21, true), {}, {}},
        {"modified directory does not bring its new contents",
         With(kBase, {{"docs/new.txt", File(40)}}), {Item(kItemModified, "/s/docs/", 10, true)},
         {"docs/new.txt"}, {}},
        {"deletion of a file that is still there", kBase, {Item(kItemDeleted, "/s/top.txt", 30)},
         {"top.txt"}, {}},
        {"deletion of a path that never was", kBase, {Item(kItemDeleted, "/s/ghost", 77)}, {},
         {"ghost"}},
        {"creation of a path that is not there", kBase, {Item(kItemCreated, "/s/ghost", 77)}, {},
         {"ghost"}},
        {"item outside the share", kBase, {Item(kItemModified, "/other/top.txt", 30)}, {},
         {"/other/top.txt"}},
        {"path that only shares a prefix with the share", kBase,
         {Item(kItemModified, "/s2/top.txt", 30)}, {}, {"/s2/top.txt"}},
        {"directory delivered as a file", With(kBase, {{"newdir", Dir(41)}}),
         {Item(kItemCreated, "/s/newdir", 41, false)}, {}, {"newdir"}},
        {"failure status among the items", kBase, {Item(kItemFailure, "/s/top.txt", 30)}, {},
         {"top.txt"}},
        // Known limits of the design, which hide nothing else.
        {"backslash in a name", With(kBase, {{"docs/back\\slash.txt", File(50)}, {"docs/forgotten", File(51)}}),
         {Item(kItemCreated, "/s/docs/back/slash.txt", 50)}, {"docs/forgotten"}, {},
         {KnownLimit::kBackslashName}},
        // One name removed from an unchanged file is exact, so it is checked.
        {"one of two names removed", {{"f", File(9)}},
         {Item(kItemDeleted, "/s/g/", 9, true, "/s/g/"), Item(kItemModified, "/s/f", 9)}, {}, {}, {},
         {{"f", File(9, 10, 1, 2)}, {"g", File(9, 10, 1, 2)}}},
        {"one of two names removed, delivered as the deletion of the other", {{"f", File(9)}},
         {Item(kItemDeleted, "/s/f/", 9, true)}, {"f"}, {"g"}, {},
         {{"f", File(9, 10, 1, 2)}, {"g", File(9, 10, 1, 2)}}},
        {"two names created in one job", {{"p", File(3, 1, 1, 2)}, {"q", File(3, 1, 1, 2)}},
         {Item(kItemCreated, "/s/p", 3)}, {}, {}, {KnownLimit::kSeveralNames}, {}},
        // One new name for an unchanged file is exact, so it is checked.
        {"new link to an unchanged file", {{"f", File(9, 10, 1, 2)}, {"g", File(9, 10, 1, 2)}},
         {Item(kItemCreated, "/s/g", 9)}, {}, {}, {}, {{"f", File(9)}}},
        {"new link to an unchanged file not delivered", {{"f", File(9, 10, 1, 2)}, {"g", File(9, 10, 1, 2)}},
         {}, {"g"}, {}, {}, {{"f", File(9)}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ShareChanges share;
        share.strSharePath = "/s";
        share.strVolume = "v";
        share.previous = c.previous;
        share.current = c.current;
        share.items = c.items;
        std::vector<ShareVerdict> verdicts = VerifyJob({share});
        ASSERT_EQ(verdicts.size(), 1u);
        EXPECT_EQ(PathsOf(verdicts[0].missing), c.missing);
        EXPECT_EQ(PathsOf(verdicts[0].unexpected), c.unexpected);
        EXPECT_EQ(LimitsOf(verdicts[0]), c.limits);
        EXPECT_EQ(verdicts[0].nDelivered, c.items.size());
    }
}

TEST(Verification, InodeLeavingForAnotherShareMustBeToldToBoth) {
    ShareChanges from, to;
    from.strSharePath = "/mnt/v/a";
    to.strSharePath = "/mnt/v/b";
    from.strVolume = to.strVolume = "v";
    from.previous = {{"x.txt", File(7)}, {"stay.txt", File(8)}};
    from.current = {{"stay.txt", File(8)}};
    to.previous = {{"in", Dir(9)}};
    to.current = {{"in", Dir(9)}, {"in/x.txt", File(7)}};
    from.items = {Item(kItemDeleted, "/mnt/v/a/x.txt/", 7, true, "/mnt/v/a/x.txt/")};
    to.items = {Item(kItemCreated, "/mnt/v/b/in/x.txt", 7, false, "/mnt/v/a/x.txt")};
    std::vector<ShareVerdict> v = VerifyJob({from, to});
    EXPECT_TRUE(v[0].Verified() && v[1].Verified() && v[0].limits.empty() && v[1].limits.empty());

    // Both halves told to the destination alone: the source keeps the file,
    // the destination is told of a path outside itself.
    from.items.clear();
    to.items = Rename("/mnt/v/a/x.txt", "/mnt/v/b/in/x.txt", 7, false);
    v = VerifyJob({from, to});
    EXPECT_EQ(PathsOf(v[0].unexpected), std::set<std::string>{"x.txt"});
    EXPECT_EQ(PathsOf(v[1].unexpected), std::set<std::string>{"/mnt/v/a/x.txt/"});
    EXPECT_TRUE(v[0].limits.empty());
}
