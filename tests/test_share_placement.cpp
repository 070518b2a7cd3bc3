// The scan places reported paths with the client's own share matching,
// whatever the log level; a client class that overrides
// IsEventPartOfBackupPaths sees every change instead, at every level.
#include "snapclient/ShareMatcher.h"
#include "tests/support/ClientEnv.h"

namespace {

using namespace scantest;

class PrefixingClient : public ScanClient {
public:
    using ScanClient::ScanClient;
    bool IsEventPartOfBackupPaths(const std::list<FileServerExportInfo>&,
                                  std::string& path) override {
        return !path.insert(0, "/mnt/a/x").empty();
    }
};

TEST(SharePlacement, OverrideSeesEveryChangeAtEveryLogLevel) {
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
            EXPECT_EQ(i == 0, ShareMatcher::StandsInFor(*clients[i]));
            clients[i]->Shares() = {Share("/mnt/a", "/vol/vola/a", "vola")};
            std::function<FileServerSnapshotCompareItem()> source;
            ASSERT_FALSE(clients[i]->CompareSnapshots("/mnt/a", "", source).IsError())
                << level << i;
            EXPECT_EQ(expected[i], PulledPaths(source)) << "level " << level << ", client " << i;
        }
    }
}

}  // namespace
