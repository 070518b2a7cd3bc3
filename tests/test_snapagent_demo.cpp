// The snapagent binary as a user runs it: the demo must verify every share
// and name each known limit, on a cluster and on an array that is not one;
// the job command must run job cycles on a configured array, print JSON
// lines, and turn every failure into one line on stderr and a non-zero exit.
#include "tools/DemoWorld.h"
#include "tools/FileOps.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <sys/wait.h>

using namespace snapagent;

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs snapagent with the arguments (single-quoted for the shell) and
// collects its exit status, stdout and stderr.
Outcome Snapagent(const std::vector<std::string>& args, const std::string& scratch) {
    std::string command = "'" SNAPAGENT_PATH "'";
    for (const std::string& a : args) command += " '" + a + "'";
    command += " >'" + scratch + "/out' 2>'" + scratch + "/err'";
    Outcome run;
    const int rc = system(command.c_str());
    run.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    run.out = Slurp(scratch + "/out");
    run.err = Slurp(scratch + "/err");
    return run;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

size_t Lines(const std::string& text) { return Count(text, "\n"); }

class SnapagentBinary : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(MakeTempFolder("snapagent-cli-", m_scratch, m_error)) << m_error; }
    void TearDown() override { RemoveTree(m_scratch, m_error); }
    std::string m_scratch, m_error;
};

}  // namespace

TEST_F(SnapagentBinary, DemoVerifiesEveryShareAndNamesEachLimit) {
    for (const char* mode : {"", "--non-cluster"}) {
        SCOPED_TRACE(mode);
        std::vector<std::string> args = {"demo", "--quiet"};
        if (*mode) args.push_back(mode);
        Outcome run = Snapagent(args, m_scratch);
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_EQ(run.err, "");  // --quiet
        EXPECT_EQ(Count(run.out, " 0 missing, 0 unexpected"), 3u) << run.out;
        EXPECT_EQ(Count(run.out, "changes delivered"), 3u);
        EXPECT_NE(run.out.find("(a) backslash in a name"), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("(b) "), std::string::npos);  // a move between shares is exact
        EXPECT_NE(run.out.find("(c) file with several names"), std::string::npos);
        EXPECT_NE(run.out.find("  projects: VKOP_1_0_2\n"), std::string::npos);
        EXPECT_NE(run.out.find("  home: VKOP_1_0_2\n"), std::string::npos);
        EXPECT_NE(run.out.find("result: every share verified"), std::string::npos);
        EXPECT_NE(run.out.find("/alice/caf\xC3\xA9 m\xC3\xBCnchen.txt"), std::string::npos);
        EXPECT_NE(run.out.find("/bob/raw\\xFFbytes.dat"), std::string::npos);
    }
}

TEST_F(SnapagentBinary, HelpAndUsageErrors) {
    for (const char* command : {"demo", "job", "check"}) {
        Outcome help = Snapagent({"help", command}, m_scratch);
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.find(std::string("usage: snapagent ") + command), 0u) << help.out;
        EXPECT_EQ(help.out, Snapagent({command, "--help"}, m_scratch).out);
    }
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{}, "name a command"},
        {{"frobnicate"}, "unknown command [frobnicate]"},
        {{"demo", "extra"}, "demo takes no arguments"},
        {{"job", "--client", "1", "--job", "1", "/x"}, "--config is required (see snapagent job --help)"},
        {{"help", "jbo"}, "no command [jbo]"},
        {{"job", "--config", "/nonexistent.conf", "--client", "1", "--job", "1", "/x"},
         "cannot read config [/nonexistent.conf]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        Outcome run = Snapagent(c.args, m_scratch);
        EXPECT_NE(run.status, 0);
        EXPECT_EQ(Lines(run.err), 1u) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
}

TEST_F(SnapagentBinary, JobCommandRunsACycleAndReportsFailuresOnOneLine) {
    WorldSpec plan;
    plan.shares = {{"vol", "left"}, {"vol", "right"}};
    DemoWorld world;
    ASSERT_TRUE(world.Build(plan, m_error)) << m_error;
    const std::string left = world.Shares()[0].strSharePath;
    const std::string right = world.Shares()[1].strSharePath;
    ASSERT_TRUE(WriteBytes(world.Shares()[0].strLiveDir + "/keep.txt", "k", false, m_error));
    const std::vector<std::string> common = {"job", "--config", world.ConfigPath(), "--client", "1",
                                             "--results", m_scratch + "/results"};
    auto job = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = common;
        args.insert(args.end(), extra.begin(), extra.end());
        return Snapagent(args, m_scratch);
    };

    Outcome full = job({"--job", "1", "--quiet", left, right});
    ASSERT_EQ(full.status, 0) << full.err;
    EXPECT_EQ(full.out, "");  // a full job delivers no items

    ASSERT_TRUE(WriteBytes(world.Shares()[1].strLiveDir + "/new\xFF.bin", "n", false, m_error));
    ASSERT_TRUE(WriteBytes(world.Shares()[0].strLiveDir + "/keep.txt", "kk", true, m_error));
    Outcome incremental = job({"--job", "2", "--prev", "1", "--json", "--quiet", left, right});
    ASSERT_EQ(incremental.status, 0) << incremental.err;
    std::set<std::string> seen;
    std::istringstream lines(incremental.out);
    for (std::string line; std::getline(lines, line);) {
        nlohmann::json item = nlohmann::json::parse(line);
        if (item.contains("outcome")) {  // a share's summary, after its items
            EXPECT_EQ(item["outcome"], "compared") << line;
            seen.insert("summary " + item["share"].get<std::string>());
            continue;
        }
        if (item["path_hex"] == nlohmann::json("")) continue;
        const std::string status = std::to_string(item["status"].get<int>());
        if (item["path"].is_null())
            seen.insert(status + " hex:" + item["path_hex"].get<std::string>());
        else
            seen.insert(status + " " + item["path"].get<std::string>());
    }
    std::string rawHex;
    for (unsigned char c : right + "/new\xFF.bin") {
        char two[3];
        snprintf(two, sizeof two, "%02x", c);
        rawHex += two;
    }
    EXPECT_TRUE(seen.count("2 " + left + "/keep.txt")) << incremental.out;
    EXPECT_TRUE(seen.count("1 hex:" + rawHex)) << incremental.out;
    EXPECT_TRUE(seen.count("summary " + left) && seen.count("summary " + right));

    // A results folder used before by a job of the same id on another array
    // holds that run's map records; this run's clean-up must not resolve them.
    ASSERT_TRUE(WriteBytes(m_scratch + "/results/nativeSnapMapInfo.vkf",
                           "m:/mnt/other-array/:/mnt/other-array/:\n", true, m_error));
    Outcome again = job({"--job", "3", "--prev", "2", "--quiet", left, right});
    EXPECT_EQ(again.status, 0) << again.err;

    // A client without credentials: named with its section and file, before any call.
    Outcome noCredentials = job({"--job", "3", "--prev", "2", "--client", "7", left});
    EXPECT_EQ(noCredentials.status, 1);
    EXPECT_EQ(Lines(noCredentials.err), 1u) << noCredentials.err;
    EXPECT_NE(noCredentials.err.find("snapagent: error: no credentials for client 7: section "
                                     "[client.7] is missing in " + world.ConfigPath()),
              std::string::npos) << noCredentials.err;

    // A plug-in that cannot be loaded.
    Outcome badPlugin = job({"--job", "3", "--plugin", m_scratch + "/none.so", left});
    EXPECT_EQ(badPlugin.status, 1);
    EXPECT_EQ(Lines(badPlugin.err), 1u);
    EXPECT_NE(badPlugin.err.find("cannot load plug-in"), std::string::npos);

    // check reaches the array and resolves the shares, and names the one
    // that is not mounted, without touching the array.
    Outcome check = Snapagent({"check", "--config", world.ConfigPath(), "--client", "1", left, m_scratch}, m_scratch);
    EXPECT_EQ(check.status, 1) << check.out;
    EXPECT_NE(check.out.find("ok      share " + left + ": filer1:/vol/vol/left"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("FAILED  share " + m_scratch + ": not mounted"), std::string::npos);

    // A share that is not mounted is dropped; with no share left the job
    // fails, and the error line gives the plug-in's reason first.
    Outcome unmounted = job({"--job", "3", "--quiet", m_scratch});
    EXPECT_EQ(unmounted.status, 1);
    EXPECT_NE(unmounted.err.find("error: cannot back up " + m_scratch + ": Scan Content [" +
                                 m_scratch + "] is not mounted on this proxy machine"),
              std::string::npos) << unmounted.err;
    EXPECT_NE(unmounted.err.find("(event 0x11000086 from ConfigureSnapshot)"), std::string::npos);
}
