// The plug-in's small collaborators without a job around them: which volume
// paths name a volume, the clean-up rule, the first cause of an
// undeliverable share, and the snapshot map file's rewrite failing halfway.
#include "host/FXErrorUtil.h"
#include "snapclient/scan/ShareVerdicts.h"
#include "snapclient/shares/ShareMatcher.h"
#include "snapclient/shares/VolumePath.h"
#include "snapclient/snapshots/CleanupRule.h"
#include "snapclient/snapshots/SnapMapFile.h"
#include "tests/support/ClientEnv.h"

#include <sys/stat.h>

namespace {

TEST(ClientParts, VolumePathsNameAVolumeOnlyAfterVol) {
    const struct {
        const char* path;
        bool ok;
        const char* volume;
        const char* inVolume;
    } rows[] = {{"/vol/a", true, "a", ""},       {"/vol/a/", true, "a", ""},
                {"/vol/a/b", true, "a", "/b"},   {"/vol/a/b//", true, "a", "/b"},
                {"/vol/a//b", true, "a", "//b"}, {"/vol/", false, "", ""},
                {"/vol//a", false, "", ""},      {"/volx/a", false, "", ""},
                {"vol/a", false, "", ""},        {"", false, "", ""},
                {"/vol", false, "", ""},         {"/volume1/data", false, "", ""}};
    for (const auto& row : rows) {
        VolumePathParts parts;
        EXPECT_EQ(row.ok, ParseVolumePath(row.path, parts)) << row.path;
        if (!row.ok) continue;
        EXPECT_EQ(row.volume, parts.volume) << row.path;
        EXPECT_EQ(row.inVolume, parts.inVolume) << row.path;
    }
    // A volume path of another volume than the share's holds none of its changes.
    EXPECT_TRUE(HasMatchableVolumePath(scantest::Share("/s", "/vol/a/x", "a")));
    EXPECT_FALSE(HasMatchableVolumePath(scantest::Share("/s", "/vol/a/x", "ab")));
}

TEST(ClientParts, CleanupRuleKeepsLaterPreviousCurrentAndLastGood) {
    const std::string prefix = "VKOP_1_0_", current = "VKOP_1_0_7";
    const struct {
        std::vector<std::string> listed;
        bool keepCurrent;
        std::string previous;
        std::set<std::string> deleted;
    } rows[] = {
        // A name of the prefix without a job id is no later job's.
        {{"VKOP_1_0_5", "VKOP_1_0_6", current, "VKOP_1_0_8", "VKOP_1_0_+9"},
         true,
         "VKOP_1_0_6",
         {"VKOP_1_0_5", "VKOP_1_0_+9"}},
        // The job's own snapshot was not made: the newest other one stays.
        {{"VKOP_1_0_5", "VKOP_1_0_6", "VKOP_1_0_ 9"}, true, "", {"VKOP_1_0_5", "VKOP_1_0_ 9"}},
        {{"VKOP_1_0_6", current}, false, "", {"VKOP_1_0_6", current}},
    };
    for (const auto& row : rows) {
        std::vector<SnapShotInfo_t> listed(row.listed.size());
        for (size_t i = 0; i < listed.size(); ++i) listed[i].strName = row.listed[i];
        const CleanupRule rule{prefix, 7, current, row.keepCurrent, row.previous, true, "%s %s"};
        bool previousListed = false;
        EXPECT_EQ(row.deleted, rule.Deletable(listed, "v", previousListed)) << row.listed[0];
        EXPECT_EQ(!row.previous.empty(), previousListed);
    }
}

TEST(ClientParts, FirstCauseOfAnUndeliverableShareIsKeptUntilItsNextRun) {
    ShareVerdicts verdicts;
    verdicts.MarkChangeUndeliverable("/a", "/a/x", "first");
    verdicts.MarkUndeliverable("/a", []() -> CRyError { throw std::logic_error("built again"); });
    ASSERT_TRUE(verdicts.Undeliverable("/a"));
    EXPECT_NE(std::string::npos, verdicts.Undeliverable("/a")->AsString().find("first"));
    verdicts.StartRun({scantest::Share("/b", "/vol/v/b", "v")});
    EXPECT_TRUE(verdicts.Undeliverable("/a"));
    verdicts.StartRun({scantest::Share("/a", "/vol/v/a", "v")});
    EXPECT_FALSE(verdicts.Undeliverable("/a"));
}

// Throws once it has written the temporary file of a map file rewrite.
class RewriteFailingClient : public scantest::ScanClient {
public:
    using ScanClient::ScanClient;
    bool bThrow = false;
    CRyError AddSnapDevInfo() override {
        const std::string& file = m_strSnapMapInfoFile;
        CRyError err = CNetAppSnapClient::AddSnapDevInfo();
        if (bThrow && file.size() > 4 && file.compare(file.size() - 4, 4, ".tmp") == 0)
            throw std::runtime_error("disk gone");
        return err;
    }
};

TEST(ClientParts, FailedMapFileRewriteLeavesLaterRecordsInTheMapFile) {
    for (bool thrown : {false, true}) {
        testsupport::TempDir dir;
        RewriteFailingClient client(dir.Path());
        const std::string mapFile = dir / "nativeSnapMapInfo.vkf", temp = mapFile + ".tmp";
        client.bThrow = thrown;
        if (!thrown) {
            ASSERT_EQ(0, mkdir(temp.c_str(), 0700));
        }
        ContentMapperAPIPtr mapper(new CContentMapper());
        mapper->SetPathMap({{"/mnt/a", "/mnt/a/.snapshot/VKOP_1_15_812"}});
        EXPECT_TRUE(client.RepopulateContentMapperPaths(mapper).IsError()) << thrown;
        EXPECT_EQ(!thrown, testsupport::FileExists(temp)) << "only the planted folder stays";
        ASSERT_FALSE(client.UpdateContentMapperPaths(mapper).IsError());
        std::vector<std::string> seen;
        bool opened = false;
        ASSERT_FALSE(SnapMapFile::ForEachBackupPath(
                         dir.Path(),
                         [&](const std::vector<std::string>& paths) {
                             seen.push_back(paths.front());
                             return CRyError::Success();
                         },
                         opened)
                         .IsError());
        EXPECT_EQ(std::vector<std::string>{"/mnt/a"}, seen) << thrown;
    }
}

}  // namespace
