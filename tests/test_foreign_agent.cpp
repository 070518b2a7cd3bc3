// The plug-in inside an agent that brings its own host: this program
// defines its own log writer (g_ptrLogWriter) and its own change event
// store (tests/foreign/MapEventStore.cpp, the common store operations
// only), and takes the other host services from ours. The plug-in must load
// with every symbol bound, write to the agent's writer, and deliver every
// change of a two-job cycle as it does with our store.
#include "host/LogWriter.h"
#include "tools/FileOps.h"
#include "tools/VerifiedJobs.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {
class AgentLog : public CLogWriterInterface {
public:
    int GetLevel() const override { return 3; }
    void LogV(int, const char* function, int, const char* format, va_list args) override {
        char text[512];
        vsnprintf(text, sizeof text, format, args);
        this->text += std::string(function) + ": " + text + "\n";
    }
    std::string text;
};
AgentLog agentLog;
}  // namespace

// The agent's own definition, in place before any library code runs.
CLogWriterInterface* g_ptrLogWriter = &agentLog;

#ifdef SNAPCLIENT_SANITIZED
// The definition above takes the place of libsnaphost's, as an agent's own
// host services do; ASan would report the pair as an ODR violation.
extern "C" const char* __asan_default_options() { return "detect_odr_violation=0"; }
#endif

// Moves between the two shares of one volume both ways (a file, a directory
// with contents), a rename inside a share, deletions, and a removed hard
// link within a share and across shares: the share a name left hears of it.
TEST(ForeignAgentTest, HostStoreWithCommonOperationsOnlyLosesNoChange) {
    using namespace snapagent;
    PluginLoader plugin;
    const hostlib::Status loaded = plugin.Load(SNAPCLIENT_PLUGIN_PATH);
    ASSERT_TRUE(loaded.ok()) << loaded.message();
    ASSERT_EQ(&agentLog, g_ptrLogWriter) << "loading the libraries replaced the agent's writer";
    EXPECT_NE("unknown", plugin.Version()) << "the plug-in carries no version note";
    DemoWorld world;
    const hostlib::Status built = world.Build(DemoWorld::DemoSpec(true));
    ASSERT_TRUE(built.ok()) << built.message();
    setenv("SNAPCLIENT_CONFIG", world.ConfigPath().c_str(), 1);
    const std::string a = world.Shares()[0].strLiveDir, b = world.Shares()[1].strLiveDir,
                      h = world.Shares()[2].strLiveDir;
    typedef std::vector<std::array<std::string, 3>> Steps;  // op, path, second path
    auto apply = [&](const Steps& steps) {
        for (const auto& s : steps) {
            const hostlib::Status done = s[0] == "dir"    ? MakeDirectories(s[1])
                                         : s[0] == "file" ? WriteBytes(s[1], s[1], false)
                                         : s[0] == "link" ? HardLink(s[1], s[2])
                                         : s[0] == "move" ? RenamePath(s[1], s[2])
                                                          : RemoveTree(s[1]);
            ASSERT_TRUE(done.ok()) << done.message();
        }
    };
    apply({{"dir", a + "/docs"},
           {"dir", a + "/old"},
           {"dir", a + "/sub"},
           {"dir", b + "/inbox"},
           {"file", a + "/docs/report.txt"},
           {"file", a + "/handover.txt"},
           {"file", a + "/old/gone.txt"},
           {"file", a + "/sub/inner.txt"},
           {"file", a + "/linked.dat"},
           {"link", a + "/linked.dat", b + "/linked-too.dat"},
           {"file", b + "/back.txt"},
           {"file", h + "/shared.dat"},
           {"link", h + "/shared.dat", h + "/shared-link.dat"}});
    VerifiedJobs jobs(plugin, world, nullptr);
    ASSERT_TRUE(jobs.Run(1, 0).strError.empty());
    apply({{"move", a + "/handover.txt", b + "/inbox/handover.txt"},
           {"move", b + "/back.txt", a + "/back.txt"},
           {"move", a + "/sub", b + "/sub"},
           {"move", a + "/docs/report.txt", a + "/docs/final.txt"},
           {"remove", a + "/old"},
           {"remove", a + "/linked.dat"},
           {"remove", h + "/shared-link.dat"},
           {"file", a + "/new.txt"}});
    const VerifiedJob incremental = jobs.Run(2, 1);
    EXPECT_TRUE(incremental.strError.empty()) << incremental.strError;
    EXPECT_EQ(3u, incremental.verdicts.size());
    for (const ShareVerdict& v : incremental.verdicts) {  // "-" missing, "+" unexpected
        for (const Finding& f : v.missing) ADD_FAILURE() << v.strSharePath << " - " << f.strPath;
        for (const Finding& f : v.unexpected) ADD_FAILURE() << v.strSharePath << " + " << f.strPath;
        // The judge leaves files of several names out; alpha's name of the
        // file linked from beta went.
        for (const LimitCase& c : v.limits)
            EXPECT_EQ(std::vector<std::string>{"deleted  " + v.strSharePath + "/linked.dat/"},
                      c.vecDelivered)
                << c.strWhat;
    }
    // Its lines went to the agent's writer (a content mapper of the agent's
    // class was accepted, or the job would have failed).
    EXPECT_NE(std::string::npos, agentLog.text.find("CNetAppSnapClient::CompareSnapshots("));
    EXPECT_EQ(&agentLog, g_ptrLogWriter);
}
