// The plug-in inside an agent that brings its own host: this program
// defines its own log writer (g_ptrLogWriter) and takes the other host
// services from libsnaphost. Loading the libraries must leave the agent's
// writer in place, and the plug-in must write to it.
#include "host/ContentMapper.h"
#include "host/LogWriter.h"
#include "tools/PluginLoader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {
class AgentLog : public CLogWriterInterface {
public:
    int GetLevel() const override { return 3; }
    void LogV(int, const char* function, int, const char* format, va_list args) override {
        char text[512];
        vsnprintf(text, sizeof text, format, args);
        lines.push_back(std::string(function) + ": " + text);
    }
    std::vector<std::string> lines;
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

TEST(ForeignAgentTest, PluginWritesToTheAgentsLogWriter) {
    ASSERT_EQ(&agentLog, g_ptrLogWriter) << "loading libsnaphost replaced the agent's writer";
    snapagent::PluginLoader plugin;
    std::string error;
    ASSERT_TRUE(plugin.Load(SNAPCLIENT_PLUGIN_PATH, error)) << error;
    ASSERT_EQ(&agentLog, g_ptrLogWriter) << "loading the plug-in replaced the agent's writer";
    EXPECT_NE("unknown", plugin.Version()) << "the plug-in carries no version note";
    snapagent::ClientPtr client = plugin.NewClient(error);
    ASSERT_TRUE(client) << error;

    ContentMapperAPIPtr none;
    EXPECT_TRUE(client->RepopulateContentMapperPaths(none).IsSuccess());
    ASSERT_EQ(1u, agentLog.lines.size());
    const std::string& line = agentLog.lines[0];
    EXPECT_NE(std::string::npos, line.find("CNetAppSnapClient::RepopulateContentMapperPaths(")) << line;
    EXPECT_NE(std::string::npos, line.find(": Given content mapper is not initialized!")) << line;

    // A content mapper the agent made is one the plug-in recognises across
    // the library boundary: the call gets past the type check to the
    // missing snapshot map file.
    ContentMapperAPIPtr mapper(new CContentMapper());
    const CRyError err = client->RepopulateContentMapperPaths(mapper);
    EXPECT_TRUE(err.IsError());
    EXPECT_EQ(std::string::npos, err.AsString().find("Dynamic cast failed")) << err.AsString();
    EXPECT_EQ(&agentLog, g_ptrLogWriter);
}
