// Which shares a SnapDiff run serves and where their changes go: the
// grouping of a volume's shares (plain volume paths and paths the host must
// judge alike), placement through the client's own IsEventPartOfBackupPaths
// at every log level, and a client class that overrides it, which sees
// every change instead.
#include "tests/support/ClientEnv.h"

namespace {

using namespace scantest;

TEST(ScanShares, CommonVolumeSharesAreTheOutermostOfTheVolume) {
    // The shares (the first is the one compared) and the backup paths of the
    // common volume shares, by the same rule whether or not a volume path is
    // plain (no ".", ".." or doubled "/"): one outer share, one that only
    // begins like another, and paths the host alone can judge.
    struct Row {
        std::vector<FileServerExportInfo> shares;
        std::vector<std::string> common;
    };
    const Row rows[] = {
        {{Share("/b", "/vol/vola/a/b", "vola"), Share("/a", "/vol/vola/a/", "vola")}, {"/a"}},
        {{Share("/x", "/vol/vola/x", "vola"), Share("/y", "/vol/vola/y", "vola"),
          Share("/z", "/vol/vola/y/z", "vola"), Share("/d", "/vol/vola/d", "vola", false),
          Share("/yy", "/vol/vola/yy", "vola")},
         {"/x", "/y", "/yy"}},
        {{Share("/x", "/vol/vola/x", "vola"), Share("/p", "/vol/vola/./p", "vola"),
          Share("/q", "/vol/vola//q", "vola"), Share("/r", "/vol/vola/r//", "vola"),
          Share("/s", "/vol/vola/r/s", "vola"), Share("/t", "/vol/vola/r//t", "vola")},
         {"/x", "/p", "/q", "/r"}},
        {{Share("/k", "/vol//vola/k", "vola"), Share("/n", "/vol//vola", "vola"),
          Share("/m", "/vol/vola/m", "vola")},
         {"/n", "/m"}},
    };
    testsupport::TempDir dir;
    for (const Row& row : rows) {
        ScanClient client(dir.Path());
        client.Shares().assign(row.shares.begin(), row.shares.end());
        std::list<FileServerExportInfo> common;
        client.GetCommonVolumeShares(row.shares.front(), common);
        std::vector<std::string> paths;
        for (const FileServerExportInfo& share : common) paths.push_back(share.strBackupPath);
        EXPECT_EQ(row.common, paths) << "compared share " << row.shares.front().strBackupPath;
    }
}

class PrefixingClient : public ScanClient {
public:
    using ScanClient::ScanClient;
    bool IsEventPartOfBackupPaths(const std::list<FileServerExportInfo>&,
                                  std::string& path) override {
        return !path.insert(0, "/mnt/a/x").empty();
    }
};

TEST(ScanShares, PlacementIsTheClientsOwnOrItsOverrideAtEveryLogLevel) {
    ArrayScript script;
    script.mapSnapDiffs[DiffKey("vola")].vecBatches = {
        Batch({Change(5, "file_creation", "/a/f"), Change(6, "file_creation", "/ab/g")})};
    for (int level : {0, 3}) {
        ScanEnv env(script);
        env.log.SetLevel(level);
        PrefixingClient prefixing(env.dir.Path());
        prefixing.UseArray(env.array.Backend());
        const std::vector<std::string> expected[] = {{"/mnt/a/f"},
                                                     {"/mnt/a/x/a/f", "/mnt/a/x/ab/g"}};
        ScanClient* clients[] = {&env.client, &prefixing};
        for (int i = 0; i < 2; ++i) {
            clients[i]->Shares() = {Share("/mnt/a", "/vol/vola/a", "vola")};
            std::function<FileServerSnapshotCompareItem()> source;
            ASSERT_FALSE(clients[i]->CompareSnapshots("/mnt/a", "", source).IsError())
                << level << i;
            EXPECT_EQ(expected[i], PulledPaths(source)) << "level " << level << ", client " << i;
        }
    }
}

}  // namespace
