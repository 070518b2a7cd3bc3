// The items the agent pulls for each kind of stored event, the rename split
// into two items, the end of the list and the failures.
#include "tests/ScanTestEnv.h"

namespace {

using namespace scantest;

struct Expected {
    uint32_t status;
    const char* path;
    const char* oldPath;
    uint32_t mode;
    bool renamed;
};

struct DeliveryEnv {
    testsupport::TempDir dir;
    testsupport::RecordingLogWriter log{3};
    ScanClient client{dir.Path()};
    std::function<FileServerSnapshotCompareItem()> source{
        std::bind(&CNetAppSnapClient::GetSnapshotCompareItem, &client)};

    // Stores one event and starts the read of /s/.
    void Serve(uint32_t flags, const char* changeType, uint32_t fileType, const char* path,
               const char* oldPath) {
        ASSERT_FALSE(client.CreateEventDB(kPrevSnap, kCurrSnap, "vola").IsError());
        ChangeEventItem event;
        event.llInode = 9;
        event.llAtime = 91;
        event.llCtime = 92;
        event.llMtime = 93;
        event.llAttribute = 0755;
        event.uiChangeFlags = flags;
        event.strChangeType = changeType;
        event.uiFileType = fileType;
        event.strPath = path;
        event.strOldPath = oldPath;
        bool exists = false;
        ASSERT_FALSE(client.EventDB()->InsertEvent(event, exists).IsError());
        ASSERT_FALSE(client.EventDB()->PrepareSelectQueryWithPathPrefix("/s/").IsError());
    }
};

TEST(ScanDelivery, EachStoredEventBecomesTheItemsTheAgentExpects) {
    const uint32_t kDir = 0x4000, kFile = 0x8000;
    const struct {
        uint32_t flags;
        const char* changeType;
        uint32_t fileType;
        const char* path;
        const char* oldPath;
        std::vector<Expected> items;
    } cases[] = {
        {1, "inode_modification", 1, "/s/f/", "", {{2, "/s/f", "", kFile, false}}},
        {2, "file_creation", 2, "/s/d/", "", {{1, "/s/d/", "", kDir, false}}},
        {4, "file_deletion", 2, "/s/d/", "", {{4, "/s/d/", "", kDir, false}}},
        {4, "file_deletion", 1, "/s/f/", "", {{4, "/s/f", "", kFile, false}}},
        {2, "inode_modification", 1, "/s/f/", "", {{2, "/s/f", "", kFile, false}}},
        {0, "acl_change", 1, "/s/f/", "", {{2, "/s/f", "", kFile, false}}},
        {3, "file_creation", 1, "/s/f/", "", {{1, "/s/f", "", kFile, false}}},
        {5, "inode_modification", 1, "/s/m/", "/s/x/",
         {{4, "/s/x/", "/s/x/", kDir, false}, {2, "/s/m", "", kFile, false}}},
        {5, "inode_modification", 1, "/s/m/", "/s/m/", {{4, "/s/m/", "/s/m/", kDir, false}}},
        {6, "file_creation", 1, "/s/new/", "/s/old/",
         {{4, "/s/old/", "/s/old/", kDir, false}, {1, "/s/new", "/s/old", kFile, true}}},
        {7, "file_creation", 1, "/s/new/", "/s/old/", {{3, "/s/new", "/s/old", kFile, true}}},
        {9, "file_creation", 1, "/s/f/", "", {{2, "/s/f", "", kFile, false}}},
    };
    for (const auto& c : cases) {
        DeliveryEnv env;
        env.Serve(c.flags, c.changeType, c.fileType, c.path, c.oldPath);
        std::vector<FileServerSnapshotCompareItem> items = PullAll(env.source);
        ASSERT_EQ(c.items.size() + 1, items.size()) << "flags " << c.flags;
        for (size_t i = 0; i < c.items.size(); ++i) {
            SCOPED_TRACE("flags " + std::to_string(c.flags) + " item " + std::to_string(i));
            const Expected& want = c.items[i];
            const FileServerSnapshotCompareItem& got = items[i];
            const FileServerItemInformation& info = got.stItemInfo;
            EXPECT_EQ(std::make_tuple(want.status, std::string(want.path), std::string(want.oldPath),
                                      want.mode, want.renamed),
                      std::make_tuple(got.uiStatus, got.strPath, got.strOldPath, info.uiMode, info.bRenamed));
            // Inode, times and attribute (0755) come from the stored event.
            EXPECT_EQ("9 91 92 93 493", std::to_string(info.ullInode) + " " + std::to_string(info.llAtime) +
                                            " " + std::to_string(info.llCtime) + " " +
                                            std::to_string(info.llMtime) + " " + std::to_string(info.llAttribute));
        }
        const FileServerSnapshotCompareItem& last = items.back();
        EXPECT_EQ(kItemNoMore, last.uiStatus);
        EXPECT_TRUE(last.strPath.empty() && last.strOldPath.empty());
        if (c.flags == 6) {
            EXPECT_TRUE(env.log.Has(1,
                                    "Cached event for the inode[9]; CurrPath[/s/new/]; "
                                    "OldPath[/s/old/] is returned from File Events database."))
                << env.log.Dump();
        }
    }
}

TEST(ScanDelivery, MissingOrFailingStoreGivesStatusSix) {
    DeliveryEnv env;
    EXPECT_EQ(kItemFailure, env.source().uiStatus);
    EXPECT_TRUE(env.log.Has(0, "The event database is not initialized."));

    env.Serve(2, "file_creation", 1, "/s/f/", "");
    StoreFault fault("GetNextEvent", "read error");
    FileServerSnapshotCompareItem item = env.source();
    EXPECT_EQ(kItemFailure, item.uiStatus);
    EXPECT_TRUE(item.strPath.empty());
    EXPECT_TRUE(env.log.Has(0, "Could not get all the records from ChangeList event cache."));
}

}  // namespace
