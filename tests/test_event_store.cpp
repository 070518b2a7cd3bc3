// The change event store: one event per inode, exact byte-prefix reads,
// file names that stay inside the job results folder, and failures (of the
// disk, the file, injected into any operation) that surface as errors.
#include "host/FXErrorUtil.h"
#include "hostlib/eventstore/ExtendedStore.h"
#include "hostlib/eventstore/InodeFilter.h"
#include "hostlib/eventstore/Layout.h"
#include "hostlib/eventstore/PathDictionary.h"
#include "tests/support/TestSupport.h"
#include "tools/StoreDumpCommand.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <climits>
#include <csignal>
#include <cstdio>
#include <map>
#include <random>
#include <regex>
#include <set>

namespace {

using eventstore::ExtendedStore;

using testsupport::TempDir;

ChangeEventItem Event(long long inode, const std::string& path,
                      const char* type = "file_creation") {
    ChangeEventItem e;
    e.llInode = inode;
    e.strPath = path;
    e.strChangeType = type;
    e.llCtime = inode % 1000 * 3;
    e.llMtime = inode % 1000 * 5;
    e.llAtime = inode % 1000 * 7;
    e.llAttribute = -(inode % 1000);
    e.uiChangeFlags = 2;
    e.uiFileType = 1;
    return e;
}

bool Same(const ChangeEventItem& a, const ChangeEventItem& b) {
    return a.llInode == b.llInode && a.strPath == b.strPath && a.llCtime == b.llCtime &&
           a.llMtime == b.llMtime && a.llAtime == b.llAtime && a.strChangeType == b.strChangeType &&
           a.llAttribute == b.llAttribute && a.strOldPath == b.strOldPath &&
           a.uiChangeFlags == b.uiChangeFlags && a.uiFileType == b.uiFileType;
}

// Reads a prefix to the end: the paths found, by inode; fails on -1.
std::map<long long, std::string> ReadPrefix(CSnapDiffEventMonitor& store,
                                            const std::string& prefix) {
    std::map<long long, std::string> found;
    EXPECT_FALSE(store.PrepareSelectQueryWithPathPrefix(prefix).IsError());
    ChangeEventItem e;
    int rc;
    while ((rc = store.GetNextEvent(e)) == 0)
        EXPECT_TRUE(found.emplace(e.llInode, e.strPath).second) << "twice: " << e.llInode;
    EXPECT_EQ(1, rc) << "prefix " << prefix;
    return found;
}

// Inserts events of inodes first..last under one path; each must be new.
void InsertNew(CSnapDiffEventMonitor& store, long long first, long long last,
               const std::string& path) {
    for (long long inode = first;; ++inode) {  // never steps past last, even LLONG_MAX
        bool exists = true;
        ASSERT_FALSE(store.InsertEvent(Event(inode, path), exists).IsError()) << inode;
        ASSERT_FALSE(exists) << inode;
        if (inode == last) break;
    }
}

void ExpectStoreError(const CRyError& error, const std::string& text) {
    ASSERT_TRUE(error.IsError());
    EXPECT_EQ(uint32_t(ERROR_FUNCTION_FAILED), error.Win32Code());
    EXPECT_NE(std::string::npos, error.Message().find(text)) << error.AsString();
}

class EventStoreTest : public ::testing::Test {
protected:
    void TearDown() override { ExtendedStore::SetFaultHook(nullptr); }
    std::unique_ptr<CSnapDiffEventMonitor> Created(const std::string& prev = "VKOP_2_15_811",
                                                   const std::string& curr = "VKOP_2_15_812_vol") {
        std::unique_ptr<CSnapDiffEventMonitor> store(
            new CSnapDiffEventMonitor(dir.Path(), prev, curr));
        CRyError error = store->Create();
        EXPECT_FALSE(error.IsError()) << error.AsString();
        return store;
    }
    // Fills a store on a 64 KiB "disk": the failure must come back from
    // InsertEvent (or else from the read's commit), then every later read fails.
    bool FailsOnTinyDisk(long long events, bool failsInInsert) {
        signal(SIGXFSZ, SIG_IGN);
        auto store = Created();
        rlimit limit;
        limit.rlim_cur = 64 * 1024;
        limit.rlim_max = RLIM_INFINITY;
        setrlimit(RLIMIT_FSIZE, &limit);
        bool exists = false;
        bool insertFailed = false;
        for (long long inode = 1; inode <= events && !insertFailed; ++inode) {
            insertFailed =
                store->InsertEvent(Event(inode, "/s/some/longer/path/"), exists).IsError();
        }
        bool prepareFailed = store->PrepareSelectQueryWithPathPrefix("/s/").IsError();
        ChangeEventItem e;
        bool readFailed = store->GetNextEvent(e) == -1;
        // Space again: rows that a failed write may have half left behind
        // must not read as a complete store.
        limit.rlim_cur = RLIM_INFINITY;
        setrlimit(RLIMIT_FSIZE, &limit);
        bool stillRefused = store->InsertEvent(Event(events + 1, "/s/late/"), exists).IsError() &&
                            store->PrepareSelectQueryWithPathPrefix("/s/").IsError();
        // ... and the failed store's file is gone, leaving its space to the next.
        bool removed = !testsupport::FileExists(store->FilePath());
        return insertFailed == failsInInsert && prepareFailed && readFailed && stillRefused &&
               removed;
    }
    TempDir dir;
};

TEST(EventStoreInodeFilterTest, NeverForgetsAnInode) {
    eventstore::InodeFilter filter;
    std::vector<int64_t> added = {0, 1, (1LL << 28) - 1, 1LL << 28, -1, LLONG_MIN, LLONG_MAX};
    std::mt19937_64 random(3);
    for (int i = 0; i < 100000; ++i) added.push_back(static_cast<int64_t>(random()));
    for (int64_t inode = 1000; inode < 101000; ++inode) added.push_back(inode);
    for (int64_t inode : added) filter.Add(inode);
    for (int64_t inode : added) ASSERT_TRUE(filter.MayContain(inode)) << inode;
    // Below 2^28 the answer is exact; above, false positives stay rare.
    EXPECT_FALSE(filter.MayContain(2));
    EXPECT_FALSE(filter.MayContain(101000));
    int falsePositives = 0;
    for (int i = 0; i < 10000; ++i)
        falsePositives += filter.MayContain(static_cast<int64_t>(random()));
    EXPECT_LT(falsePositives, 500);
    filter.Clear();
    EXPECT_FALSE(filter.MayContain(1));
}

// Paths round-trip through the dictionary whatever their bytes, also through
// a reader's copy of it, past the dictionary's bound too; damage is refused.
TEST(EventStorePathsTest, RoundTripsAnyPathAndRefusesDamage) {
    using eventstore::PathDictionary;
    PathDictionary names, reader;
    std::vector<std::string> paths = {
        "",
        "/",
        "//",
        "a",
        "a/",
        "/a/b/c/",
        std::string("/\0/x\0y/\0", 9),
        "/" + std::string(300, 'n') + "/" + std::string(300, 'f') + "/",
        "a//b///"};
    for (size_t i = 0; i < PathDictionary::kMaxNames + 10; ++i)
        paths.push_back("/d" + std::to_string(i) + "/f/");
    std::vector<std::string> encoded(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) names.Encode(paths[i], encoded[i]);
    ASSERT_EQ(PathDictionary::kMaxNames, names.Count());
    for (size_t id = 0; id < names.Count(); ++id) ASSERT_TRUE(reader.Add(names.Name(id)));
    for (size_t i = 0; i < paths.size(); ++i) {
        std::string back;
        EXPECT_TRUE(reader.Decode(reinterpret_cast<const unsigned char*>(encoded[i].data()),
                                  encoded[i].size(), back));
        EXPECT_EQ(paths[i], back) << i;
    }
    EXPECT_LT(encoded[6].size(), paths[6].size() + 3);  // numbered names take two bytes at most
    // A number never given, a cut varint, a literal longer than the bytes left.
    for (const std::string bad : {"\x81\x80\x01", "\x80",
                                  "\x14"
                                  "ab",
                                  "\x04"}) {
        std::string back;
        EXPECT_FALSE(
            reader.Decode(reinterpret_cast<const unsigned char*>(bad.data()), bad.size(), back))
            << bad;
    }
    EXPECT_FALSE(reader.Add("a"));  // known already: a damaged names table
}

TEST_F(EventStoreTest, DuplicateInodeReportsExistsWithoutOverwriting) {
    auto store = Created();
    // Enough events that early ones are written to SQLite and late ones wait
    // in the store, so both ways of answering "exists" are checked.
    const long long inodes[] = {1, 150, 199, -5, LLONG_MAX};
    InsertNew(*store, 1, 199, "/s/f/");
    InsertNew(*store, -5, -5, "/s/edge/");
    InsertNew(*store, LLONG_MAX, LLONG_MAX, "/s/edge/");
    for (long long inode : inodes) {
        bool exists = false;
        ChangeEventItem later = Event(inode, "/s/other/", "file_deletion");
        ASSERT_FALSE(store->InsertEvent(later, exists).IsError());
        EXPECT_TRUE(exists) << inode;
        ChangeEventItem stored;
        long long key = inode;
        ASSERT_FALSE(store->GetEventOfInode(key, stored).IsError());
        EXPECT_EQ("file_creation", stored.strChangeType);
        EXPECT_NE("/s/other/", stored.strPath);
    }
    EXPECT_EQ(201u, ReadPrefix(*store, "/s/").size());
}

TEST_F(EventStoreTest, UpdateReplacesEveryField) {
    auto store = Created();
    ASSERT_FALSE(ExtendedStore::SetSharePrefixes(*store, {"/s/a/", "/s/b/"}).IsError());
    InsertNew(*store, 1, 100, "/s/old/");
    for (long long inode : {3LL, 99LL}) {  // one written, one still waiting
        ChangeEventItem update;
        update.llInode = inode;
        update.strPath = std::string("/s/new\0\xff/", 9);
        update.strOldPath = "/s/old/";
        update.llCtime = -1;
        update.llMtime = 1LL << 40;
        update.llAtime = 9;
        update.strChangeType = "inode_modification";
        update.llAttribute = 77;
        update.uiChangeFlags =
            inode == 3 ? UINT32_MAX : 7;  // the extremes of the packed flags and type
        update.uiFileType = inode == 3 ? 7 : UINT32_MAX;
        ASSERT_FALSE(store->UpdateExistingEventOfInode(update).IsError());
        ChangeEventItem stored;
        long long key = inode;
        ASSERT_FALSE(store->GetEventOfInode(key, stored).IsError());
        EXPECT_TRUE(Same(update, stored)) << inode;
    }
    // One inode reported 10^5 times while its block waits, is written, and
    // moves between shares, other inodes filling blocks around it: the last
    // report wins, once, and the replaced events do not pile up in memory.
    ChangeEventItem again = Event(100, "/s/");
    for (long long report = 0, fresh = 10000; report < 100000; ++report) {
        again.strPath = (report / 7 % 2 ? "/s/a/" : "/s/b/") + std::string(100, 'r') +
                        std::to_string(report) + "/";
        bool exists = false;
        ASSERT_FALSE(store->InsertEvent(again, exists).IsError());
        ASSERT_TRUE(exists);
        ASSERT_FALSE(store->UpdateExistingEventOfInode(again).IsError());
        if (report % 50 != 0) continue;
        InsertNew(*store, fresh, fresh + 40, report % 100 ? "/s/a/" : "/s/b/");
        fresh += 41;
    }
    ChangeEventItem last;
    long long inode = 100;
    ASSERT_FALSE(store->GetEventOfInode(inode, last).IsError());
    EXPECT_TRUE(Same(again, last));
    const auto reread = ReadPrefix(*store, "/s/");
    EXPECT_EQ(again.strPath, reread.at(100));
    EXPECT_EQ(100u + 2000 * 41, reread.size());
    ExpectStoreError(store->UpdateExistingEventOfInode(Event(5000, "/s/x/")),
                     "no event of inode 5000");
    ChangeEventItem missing;
    long long absent = 5000;
    ExpectStoreError(store->GetEventOfInode(absent, missing), "no event of inode 5000");
    std::set<long long> updated;
    for (const auto& entry : ReadPrefix(*store, std::string("/s/new\0", 7)))
        updated.insert(entry.first);
    EXPECT_EQ((std::set<long long>{3, 99}), updated);
}

TEST_F(EventStoreTest, PrefixReadsMatchExactBytes) {
    auto store = Created();
    const std::vector<std::string> paths = {"/a/b/",    "/a/b/c/", "/a/b2/",       "/a/b%/",
                                            "/a/bx/",   "/a/b_/",  "/a/\x80\xff/", "/a/\xff\xff/x/",
                                            "/a/b\\c/", "/a/",     "/z/",          "\xff\xff\xff/"};
    for (size_t i = 0; i < paths.size(); ++i) {
        bool exists = false;
        ASSERT_FALSE(
            store->InsertEvent(Event(static_cast<long long>(i), paths[i]), exists).IsError());
    }
    const std::pair<std::string, std::set<std::string>> cases[] = {
        {"/a/b/", {"/a/b/", "/a/b/c/"}},
        {"/a/b%/", {"/a/b%/"}},
        {"/a/b_/", {"/a/b_/"}},
        {"/a/b\\", {"/a/b\\c/"}},
        {"/a/\x80", {"/a/\x80\xff/"}},
        {"/a/\xff\xff/", {"/a/\xff\xff/x/"}},
        {"\xff\xff", {"\xff\xff\xff/"}},
        {"/q/", {}},
        {"", std::set<std::string>(paths.begin(), paths.end())},
    };
    // Several rounds: the first reads scan the table, later ones go through
    // the path index that the store builds once it has been asked enough.
    for (int round = 0; round < 3; ++round) {
        for (const auto& c : cases) {
            std::set<std::string> found;
            for (const auto& entry : ReadPrefix(*store, c.first)) found.insert(entry.second);
            EXPECT_EQ(c.second, found) << "prefix " << c.first << " round " << round;
        }
    }
}

// Whatever the tables (none, or one per share, nested ones too), a share's
// read returns the events under its prefix, then those that left it (old path
// under it, path not), each once: random inserts and updates that move inodes
// between shares, read back by share, inside and above shares, against a map.
TEST_F(EventStoreTest, ReadsNeverDependOnTheTables) {
    const std::vector<std::string> shares = {"/m/a/", "/m/b/", "/m/a/n/", "/m/c/"};
    const std::vector<std::string> dirs = {"/m/a/", "/m/a/n/", "/m/a/n2/", "/m/b/",
                                           "/m/c/", "/x/",     "\xff/"};
    std::unique_ptr<CSnapDiffEventMonitor> stores[2] = {Created("p", "one"), Created("p", "split")};
    ASSERT_FALSE(ExtendedStore::SetSharePrefixes(*stores[1], shares).IsError());
    std::map<long long, ChangeEventItem> model;
    std::mt19937 random(11);
    for (int step = 0; step < 3000; ++step) {
        const long long inode = random() % 400;
        ChangeEventItem e = Event(inode, dirs[random() % dirs.size()] + std::to_string(step) + "/",
                                  random() % 2 ? "file_creation" : "strange text");
        if (random() % 3 == 0) e.strOldPath = dirs[random() % dirs.size()] + "old/";
        const bool known = model.count(inode) != 0;
        for (auto& store : stores) {
            bool exists = false;
            ASSERT_FALSE(store->InsertEvent(e, exists).IsError());
            ASSERT_EQ(known, exists);
            if (exists) {
                ASSERT_FALSE(store->UpdateExistingEventOfInode(e).IsError());
            }
        }
        model[inode] = e;
        if (step % 1000 == 999) {
            for (const std::string prefix :
                 {"/m/a/", "/m/a/n", "/m/a/n/", "/m/", "/m/b/", "/x/", "\xff", ""}) {
                for (auto& store : stores) {
                    ASSERT_FALSE(
                        ExtendedStore::PrepareSelectQueryForShare(*store, prefix).IsError());
                    std::map<long long, ChangeEventItem> expected;
                    for (const auto& entry : model)
                        if (entry.second.strPath.compare(0, prefix.size(), prefix) == 0 ||
                            entry.second.strOldPath.compare(0, prefix.size(), prefix) == 0)
                            expected.insert(entry);
                    ChangeEventItem read;
                    bool leftOnes = false;
                    while (store->GetNextEvent(read) == 0) {
                        const bool under = read.strPath.compare(0, prefix.size(), prefix) == 0;
                        ASSERT_FALSE(under && leftOnes) << prefix << " " << read.llInode;
                        leftOnes = leftOnes || !under;
                        auto found = expected.find(read.llInode);
                        ASSERT_TRUE(found != expected.end() && Same(found->second, read))
                            << prefix << " " << read.llInode;
                        expected.erase(found);
                    }
                    EXPECT_TRUE(expected.empty()) << prefix;
                }
            }
        }
    }
}

TEST_F(EventStoreTest, NamesStayInsideTheFolderAndNeverShareAFile) {
    TempDir parent;
    std::string folder = parent / "results";
    ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
    const std::pair<std::string, std::string> names[] = {
        {"../../evil", "x"},
        {"a/b", "c"},
        {"a%2Fb", "c"},
        {"..", "."},
        {".", ".."},
        {"\x01\xfe", "/"},
        {"a+b", "c"},
        {"a", "b+c"},
        {"", ""},
        {"p", std::string(300, '/') + "x"},
        {"p", std::string(300, '/') + "y"}};  // too long to escape: hashed, still distinct
    std::set<std::string> files;
    std::vector<std::unique_ptr<CSnapDiffEventMonitor>> stores;
    for (const auto& n : names) {
        stores.emplace_back(new CSnapDiffEventMonitor(folder, n.first, n.second));
        ASSERT_FALSE(stores.back()->Create().IsError()) << n.first;
        const std::string& path = stores.back()->FilePath();
        EXPECT_EQ(folder + "/", path.substr(0, folder.size() + 1));
        EXPECT_EQ(std::string::npos, path.find('/', folder.size() + 1));
        EXPECT_LE(path.size() - folder.size() - 1, size_t(NAME_MAX));
        files.insert(path);
    }
    EXPECT_EQ(sizeof(names) / sizeof(names[0]), files.size());
    size_t inParent = 0;
    DIR* listing = opendir(parent.Path().c_str());
    while (dirent* entry = readdir(listing)) inParent += entry->d_name[0] != '.';
    closedir(listing);
    EXPECT_EQ(1u, inParent);  // only "results"
}

TEST_F(EventStoreTest, CreateStartsFreshOverAnExistingFile) {
    auto first = Created();
    bool exists = false;
    ASSERT_FALSE(first->InsertEvent(Event(1, "/s/first/"), exists).IsError());
    EXPECT_EQ(1u, ReadPrefix(*first, "/s/").size());

    // A second store of the same name, while the first stays open.
    auto second = Created();
    EXPECT_EQ(first->FilePath(), second->FilePath());
    EXPECT_TRUE(ReadPrefix(*second, "/s/").empty());
    ASSERT_FALSE(second->InsertEvent(Event(1, "/s/second/"), exists).IsError());
    EXPECT_FALSE(exists);
    InsertNew(*first, 2, 299, "/s/first/");
    EXPECT_EQ(299u, ReadPrefix(*first, "/s/").size());
    auto secondEvents = ReadPrefix(*second, "/s/");
    ASSERT_EQ(1u, secondEvents.size());
    EXPECT_EQ("/s/second/", secondEvents[1]);

    // Garbage in place of the file, and Create() again on a used object.
    second.reset();
    testsupport::WriteFile(first->FilePath(), "not a database at all");
    auto third = Created();
    EXPECT_TRUE(ReadPrefix(*third, "").empty());
    ASSERT_FALSE(third->InsertEvent(Event(1, "/s/third/"), exists).IsError());
    ASSERT_FALSE(third->Create().IsError());
    ASSERT_FALSE(third->InsertEvent(Event(1, "/s/third/"), exists).IsError());
    EXPECT_FALSE(exists);
}

TEST_F(EventStoreTest, ReadIsAFailureUnlessPrepared) {
    CSnapDiffEventMonitor never(dir.Path(), "a", "b");
    ChangeEventItem e;
    EXPECT_EQ(-1, never.GetNextEvent(e));
    bool exists = false;
    ExpectStoreError(never.InsertEvent(Event(1, "/s/"), exists), "the store is not open");
    ExpectStoreError(never.PrepareSelectQueryWithPathPrefix("/s/"), "the store is not open");

    bool commitFails = false;  // the store keeps the hook it was created with
    ExtendedStore::SetFaultHook([&commitFails](const char* operation) {
        return commitFails && std::string(operation) == "Commit"
                   ? FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, "injected")
                   : CRyError::Success();
    });
    auto store = Created();
    EXPECT_EQ(-1, store->GetNextEvent(e));
    ASSERT_FALSE(store->InsertEvent(Event(1, "/s/"), exists).IsError());
    ASSERT_FALSE(store->PrepareSelectQueryWithPathPrefix("/s/").IsError());
    EXPECT_EQ(0, store->GetNextEvent(e));
    EXPECT_EQ(1, store->GetNextEvent(e));
    EXPECT_EQ(1, store->GetNextEvent(e));  // stays exhausted, never restarts

    // A failed prepare ends the earlier read instead of leaving it running.
    ASSERT_FALSE(store->InsertEvent(Event(2, "/s/"), exists).IsError());
    ASSERT_FALSE(store->PrepareSelectQueryWithPathPrefix("/s/").IsError());
    EXPECT_EQ(0, store->GetNextEvent(e));
    commitFails = true;
    EXPECT_TRUE(store->PrepareSelectQueryWithPathPrefix("/s/").IsError());
    EXPECT_EQ(-1, store->GetNextEvent(e));
}

// Links: a results folder reached through one works; a link where the store
// file goes is replaced, never written through; one planted after that is
// refused by name. The file is its owner's alone.
TEST_F(EventStoreTest, LinksNeverRedirectTheStore) {
    ASSERT_EQ(0, mkdir((dir / "real").c_str(), 0700));
    ASSERT_EQ(0, symlink((dir / "real").c_str(), (dir / "linked").c_str()));
    testsupport::WriteFile(dir / "victim", "keep");
    CSnapDiffEventMonitor store(dir / "linked", "p", "c");
    ASSERT_EQ(0, symlink((dir / "victim").c_str(), store.FilePath().c_str()));
    ASSERT_FALSE(store.Create().IsError());
    bool exists = false;
    ASSERT_FALSE(store.InsertEvent(Event(1, "/s/"), exists).IsError());
    EXPECT_EQ(1u, ReadPrefix(store, "/s/").size());
    EXPECT_EQ("keep", testsupport::ReadFile(dir / "victim"));
    struct stat status;
    ASSERT_EQ(0, lstat(store.FilePath().c_str(), &status));
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(0600u, status.st_mode & 0777);

    const std::string victim = dir / "victim", path = store.FilePath();
    ExtendedStore::SetFaultHook([&](const char* operation) {
        bool planted =
            std::string(operation) != "CreateFile" || symlink(victim.c_str(), path.c_str()) == 0;
        return planted ? CRyError::Success()
                       : FXErrorUtil::ErrorWin32(FX_LOCATION, 1627, "no link");
    });
    ExpectStoreError(store.Create(), "[" + path + "] is a symbolic link");
    EXPECT_EQ("keep", testsupport::ReadFile(dir / "victim"));
}

// A relative results folder named like a URI is still the folder it names.
TEST_F(EventStoreTest, RelativeFolderIsNeverAUri) {
    char* cwd = getcwd(nullptr, 0);
    ASSERT_EQ(0, chdir(dir.Path().c_str()));
    ASSERT_EQ(0, mkdir("file:res%41", 0700));
    {
        CSnapDiffEventMonitor store("file:res%41", "p", "c");
        CRyError error = store.Create();
        EXPECT_FALSE(error.IsError()) << error.AsString();
        EXPECT_TRUE(testsupport::FileExists(store.FilePath()));
    }
    EXPECT_EQ(0, chdir(cwd));
    free(cwd);
}

TEST_F(EventStoreTest, FullDiskSurfacesAsAnError) {
    // Each case runs in a child process whose file size limit plays a disk
    // too small for the store.
    const struct {
        long long events;
        bool failsInInsert;  // a batch commit during the inserts, else the read's commit
    } cases[] = {{5000, false}, {100000, true}};
    for (const auto& c : cases) {
        EXPECT_EXIT(_exit(FailsOnTinyDisk(c.events, c.failsInInsert) ? 0 : 1),
                    ::testing::ExitedWithCode(0), "");
    }
}

TEST_F(EventStoreTest, CorruptFileIsAReadFailure) {
    auto store = Created();
    InsertNew(*store, 1, 1000, "/s/f/");
    EXPECT_EQ(1000u, ReadPrefix(*store, "/s/").size());
    int fd = open(store->FilePath().c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    std::string garbage(1 << 20, '\xab');
    ASSERT_EQ(ssize_t(garbage.size()), pwrite(fd, garbage.data(), garbage.size(), 0));
    close(fd);
    ChangeEventItem e;
    bool failed =
        store->PrepareSelectQueryWithPathPrefix("/s/").IsError() || store->GetNextEvent(e) == -1;
    EXPECT_TRUE(failed);
}

TEST_F(EventStoreTest, DestroyedStoreLeavesEveryEventInItsFile) {
    std::string path;
    {
        auto store = Created();
        InsertNew(*store, 1, 100, "/mnt/projects/a/notes.txt/");
        ChangeEventItem folder = Event(200, "/mnt/projects/a/docs/"), moved = Event(201, "/x/");
        folder.uiFileType = 2;
        moved.strPath = "/mnt/projects/a/docs/new.txt/";
        moved.strOldPath = "/mnt/projects/a/old.txt/";
        moved.uiChangeFlags = 6;
        bool exists = false;
        ASSERT_FALSE(store->InsertEvent(folder, exists).IsError() ||
                     store->InsertEvent(moved, exists).IsError());
        path = store->FilePath();
    }
    // ... which a person queries with text in the sqlite3 shell, through
    // inspect --sql, with the queries the documentation gives as written.
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    EXPECT_EQ(0, snapagent::RunInspectCommand({"--sql", path}, out));
    fclose(out);
    const std::string sql(text, size);
    free(text);
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(":memory:", &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr))
        << sql.substr(0, 300);
    std::vector<std::pair<std::string, int>> queries = {
        {"SELECT 1 FROM events WHERE path = '/mnt/projects/a/docs/' AND kind = 'directory'", 1},
        {"SELECT 1 FROM events WHERE old_path = '/mnt/projects/a/old.txt' AND kind = 'file'", 1}};
    const std::string doc = testsupport::ReadFile(SNAPCLIENT_SOURCE_DIR "/docs/change-database.md");
    const std::regex documented("sqlite3 -header -column /tmp/events.db \"([^\"]*)\"");
    const int rows[] = {101, 1, 2};  // text files, renames, kinds
    size_t n = 0;
    for (std::sregex_iterator it(doc.begin(), doc.end(), documented), end; it != end; ++it, ++n)
        queries.emplace_back((*it)[1], n < 3 ? rows[n] : -1);
    EXPECT_EQ(queries.size(), 5u) << doc;
    for (const auto& query : queries) {
        sqlite3_stmt* select = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, query.first.c_str(), -1, &select, nullptr))
            << query.first;
        int found = 0;
        while (sqlite3_step(select) == SQLITE_ROW) ++found;
        EXPECT_EQ(query.second, found) << query.first;
        sqlite3_finalize(select);
    }
    sqlite3_close(db);
}

// snapagent inspect decodes every packed field, in every table, and refuses garbage.
TEST_F(EventStoreTest, InspectPrintsEveryEventDecoded) {
    std::string path;
    {
        auto store = Created();
        ASSERT_FALSE(ExtendedStore::SetSharePrefixes(*store, {"/s/"}).IsError());
        ChangeEventItem odd = Event(7, "/elsewhere/x/", "odd\ttext");
        odd.llCtime = -1;
        odd.uiChangeFlags = 6;
        odd.strOldPath = "/s/was/";
        bool exists = false;
        ASSERT_FALSE(store->InsertEvent(odd, exists).IsError());
        ASSERT_FALSE(store->InsertEvent(Event(1700000000, "/s/\xff/"), exists).IsError());
        path = store->FilePath();
    }
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    EXPECT_EQ(0, snapagent::RunInspectCommand({path}, out));
    fclose(out);
    const std::string printed(text, size);
    free(text);
    for (const char* expected :
         {"inode 7 table share_0 flags 6(created,deleted) type file change odd\\x09text ctime -1 "
          "mtime 35(1970-01-01T00:00:35Z)"
          " atime 49(1970-01-01T00:00:49Z) attribute -7 path /elsewhere/x old_path /s/was\n",
          "inode 1700000000 table share_1 flags 2(created) type file change file_creation ctime "
          "0(1970-01-01T00:00:00Z)"}) {
        EXPECT_NE(std::string::npos, printed.find(expected)) << printed;
    }
    // --json: the same fields, and the exact bytes of a name that is not text.
    out = open_memstream(&text, &size);
    EXPECT_EQ(0, snapagent::RunInspectCommand({"--json", path}, out));
    fclose(out);
    const std::string json(text, size);
    free(text);
    EXPECT_NE(std::string::npos, json.find("{\"inode\":7,\"table\":0,\"flags\":6,\"kind\":"
                                           "\"file\",\"change\":\"odd\\ttext\",\"ctime\":-1,"))
        << json;
    EXPECT_NE(std::string::npos, json.find("\"path\":null,\"path_hex\":\"2f732fff\"")) << json;
    // Files it must refuse, each with its reason, and never loop on.
    const std::string version =
        "PRAGMA user_version=" + std::to_string(eventstore::kLayoutVersion) + ";";
    const std::string endless =
        " AS WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) SELECT n AS inode, "
        "X'' AS path,"
        " X'' AS old_path, 0 AS change, X'000000000000' AS details, n AS id, X'' AS prefix FROM r;";
    const std::pair<std::string, std::string> refused[] = {
        {"", "file is not a database"},
        {"PRAGMA user_version=1; CREATE TABLE events(inode INTEGER PRIMARY KEY);",
         "an older layout: layout 1 (one events table"},
        {"PRAGMA user_version=2; CREATE TABLE shares(id);",
         "an older layout: layout 2 (a table per share"},
        {"PRAGMA user_version=4; CREATE TABLE shares(id);",
         "an older layout: layout 4 (a table per share, one event a row"},
        {"PRAGMA user_version=77; CREATE TABLE t(x);",
         "a newer layout (77) than the layout this agent reads"},
        {version + "CREATE VIEW shares" + endless, "shares is not a table"},
        {version +
             "CREATE TABLE shares(id INTEGER PRIMARY KEY, prefix BLOB); INSERT INTO shares VALUES "
             "(0, X'');"
             "CREATE TABLE names(id INTEGER PRIMARY KEY, name BLOB); CREATE VIEW blocks" +
             endless,
         "blocks is not a table"}};
    for (const auto& file : refused) {
        const std::string crafted = dir / "crafted.db";
        unlink(crafted.c_str());
        if (file.first.empty()) {
            testsupport::WriteFile(crafted, std::string(4096, 'x'));
        } else {
            sqlite3* db = nullptr;
            ASSERT_EQ(SQLITE_OK, sqlite3_open(crafted.c_str(), &db));
            EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, file.first.c_str(), nullptr, nullptr, nullptr))
                << file.first;
            sqlite3_close(db);
        }
        testing::internal::CaptureStderr();
        EXPECT_EQ(1, snapagent::RunInspectCommand({crafted}, stdout));
        const std::string reason = testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, reason.find(file.second)) << reason;
    }
}

}  // namespace
