// A share path holding ":" on a mount-table client: the snapshot map file
// keeps its "m:<path>:<read path>:" records as they are, so the post-backup
// clean-up must tell where such a path ends by finding it mounted. (The
// auto-mount side is a job scenario; a mount table cannot be given there.)
#include "tests/support/ClientEnv.h"

using namespace lifecycle;
using testsupport::WriteFile;

namespace {

TEST(LifecyclePostBackup, MountTableClientFindsASharePathHoldingAColon) {
    Env env;
    const std::string share = env.Dir("projects/a:b");
    env.Mount("filer1:/vol/projects/a:b", share);
    env.Export("/vol/projects/a:b", "/vol/projects/a:b");
    env.Snapshots("projects", {Snap(9), Snap(10)});
    WriteFile(env.MapFile(), "m:" + share + "/:" + share + "/.snapshot/" + Snap(10) + ":\n");
    env.Install();
    auto client = env.Client(10, 9);
    CRyError err = client->CleanupSnapshotsPostBackup(false);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(env.OnArray("projects"), std::set<std::string>{Snap(10)});
}

}  // namespace
