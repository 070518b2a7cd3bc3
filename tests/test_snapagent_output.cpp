// snapagent as operators run it, from schedulers, pipes and terminals: an
// output it cannot write fails the job (exit 1, one error line, the previous
// snapshot kept for the rerun); a second job of a client is refused or
// waits; the files that name the backed-up files are 0600 and never written
// through a link; bytes of file names never reach stderr or the log raw;
// a config error never repeats a line; and --json ends with the job.
#include "tests/support/TestSupport.h"
#include "tools/DemoWorld.h"
#include "tools/FileOps.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

using namespace snapagent;
using namespace testsupport;

namespace {

// One volume share with a change per job; the job's command line for sh.
struct World {
    DemoWorld world;
    std::string share, error;
    World() {
        WorldSpec plan;
        plan.shares = {{"data", ""}};
        EXPECT_TRUE(world.Build(plan, error)) << error;
        share = world.Shares()[0].strSharePath;
        Extra("[array]\ncalls_log = " + File("calls.log") +
              "\n[log]\nlevel = 3\nfile = " + File("plugin.log") + "\n");
    }
    std::string File(const std::string& name) const { return world.Base() + "/" + name; }
    // Settings appended: a key given again replaces the earlier value.
    void Extra(const std::string& text) {
        WriteFile(world.ConfigPath(), ReadFile(world.ConfigPath()) + "\n" + text);
    }
    void Change(int files) {
        for (int i = 0; i < files; ++i)
            WriteFile(world.Shares()[0].strLiveDir + "/f" + std::to_string(changed++), "x");
    }
    int changed = 0;
    std::string Job(int id, const std::string& more = "") const {
        return std::string(SNAPAGENT_PATH) + " job " + (more.find("-v") == 0 ? "" : "-q") +
               " --config " + world.ConfigPath() + " --client 1 --job " + std::to_string(id) +
               (id > 1 ? " --prev " + std::to_string(id - 1) : "") + " " + more + " " + share;
    }
    // Runs a shell line; err is the file its stderr went to.
    int Sh(const std::string& line, std::string* err = nullptr) const {
        const int rc = system(("cd " + world.Base() + " && SNAPAGENT_STATE_DIR=" + File("state") +
                               " sh -c '" + line + "' 2>" + File("sh.err"))
                                  .c_str());
        if (err) *err = ReadFile(File("sh.err"));
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
};

// stderr holds no byte a terminal obeys but line ends and tabs.
bool Printable(const std::string& text) {
    for (unsigned char c : text)
        if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) return false;
    return true;
}

TEST(SnapagentOutput, OutputThatCannotBeWrittenFailsTheJob) {
    struct Case {
        std::string more;  // options of job 2
        const char* redirect;
        const char* config;  // settings of job 2
        const char* error;
    } cases[] = {
        {"--json", ">/dev/full", "", "cannot write the results to stdout: No space left"},
        {"--transcript /dev/full", ">/dev/null", "",
         "cannot write transcript [/dev/full]: No space left"},
        {"", "| head -1 >/dev/null", "", "cannot write the results to stdout: Broken pipe"},
        {"", ">/dev/null", "[log]\nfile = /dev/full\n",
         "cannot write the log [/dev/full]: No space left"},
        {"", ">/dev/null", "[array]\ncalls_log = /dev/full\n",
         "cannot write the calls log [/dev/full]: No space left"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        World w;
        ASSERT_EQ(w.Sh(w.Job(1) + " >/dev/null"), 0);
        w.Change(40);
        w.Extra(c.config);
        std::string err;
        // snapagent's own status goes to a file: a pipeline's is its last command's.
        const int status = w.Sh("{ SNAPAGENT_TEST_PULL_DELAY_MS=5 " + w.Job(2, c.more) +
                                    "; echo $? >status; } " + c.redirect,
                                &err);
        ASSERT_EQ(status, 0) << err;
        EXPECT_EQ(ReadFile(w.File("status")), "1\n") << err;
        EXPECT_NE(err.find(c.error), std::string::npos) << err;
        EXPECT_EQ(SplitLines(err).size(), 1u) << err;
        // Stopped as a failed job stops: the previous snapshot stays, and
        // the job run again completes it.
        const std::string base = w.File("array/.snapcatalog/data/VKOP_1_0_1.cat");
        EXPECT_TRUE(FileExists(base));
        w.Extra("[log]\nfile = " + w.File("plugin.log") +
                "\n[array]\ncalls_log = " + w.File("calls.log") + "\n");
        EXPECT_EQ(w.Sh(w.Job(2) + " >/dev/null", &err), 0) << err;
        EXPECT_FALSE(FileExists(base));
    }
}

TEST(SnapagentOutput, OneJobOfAClientAtATime) {
    World w;
    ASSERT_EQ(w.Sh(w.Job(1) + " >/dev/null"), 0);
    w.Change(60);
    const pid_t first = StartSnapagent(
        {"job", "-q", "--config", w.world.ConfigPath(), "--client", "1", "--job", "2", "--prev",
         "1", "--transcript", w.File("t2.jsonl"), w.share},
        w.world.Base(),
        {"SNAPAGENT_STATE_DIR=" + w.File("state"), "SNAPAGENT_TEST_PULL_DELAY_MS=30"});
    for (int i = 0; i < 500 && ReadFile(w.File("t2.jsonl")).find("\"item\"") == std::string::npos;
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string err;
    EXPECT_EQ(w.Sh(w.Job(3) + " >/dev/null", &err), 1);
    EXPECT_NE(
        err.find("client 1 is running another job (job 2, process " + std::to_string(first) + ")"),
        std::string::npos)
        << err;
    EXPECT_EQ(w.Sh(w.Job(3, "--wait") + " >/dev/null", &err), 0) << err;
    EXPECT_EQ(WaitSnapagent(first, w.world.Base()).status, 0);
}

// Job and check command lines in turn on one world: stderr always
// printable and never quoting a config line; --json always ending with the
// job; each its status and stderr.
TEST(SnapagentOutput, CommandLinesKeepTheirWord) {
    World w;
    std::string error;
    auto plant = [&](const std::string& name) {  // a link to a file of someone else
        WriteFile(w.File("target"), "mine");
        ASSERT_TRUE(RemoveTree(w.File(name), error) &&
                    SymbolicLink(w.File("target"), w.File(name), error));
    };
    auto mode = [&](const char* name) {
        struct stat st;
        return stat(w.File(name).c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
    };
    const std::string forged = "x\\..\\\rsnapagent: job 31 done: 3 shares: 3 compared\x1b[K";
    const std::string conf = "SNAPCLIENT_CONFIG=" + w.world.ConfigPath() + " " SNAPAGENT_PATH;
    struct Step {
        std::function<void()> before;
        std::string line;
        int status;  // -1: any
        std::string has;
        const char* json;  // outcome of the last stdout line; null: not JSON
    } steps[] = {
        {[] {}, "umask 022; " + w.Job(1, "--json --transcript t.jsonl"), 0, "", "done"},
        {[&] { EXPECT_EQ(mode("t.jsonl") | mode("plugin.log") | mode("calls.log"), 0600u); },
         w.Job(2, "--json --config /none.conf"), 1, "cannot read config [/none.conf]", "failed"},
        // A relative share is one of the working folder; a name holding
        // terminal controls reaches stderr (-v: with the log) escaped.
        {[&] { WriteFile(w.world.Shares()[0].strLiveDir + "/" + forged, "x"); },
         w.Job(2, "-v --json mnt/data"), 0, w.share + ": compared (1 change)", "done"},
        {[] {}, w.Job(3, "--json /no/such/share"), 3, "(/no/such/share does not exist)",
         "incomplete"},
        {[] {}, conf + " check --client 1 mnt/data /no/such >&2", 1,
         "share /no/such: does not exist", nullptr},
        // A recording is private too; a folder where the map file goes is
        // refused, not removed.
        {[&] { w.Extra("[array]\nbackend = record\nrecord_to = " + w.File("rec.json") + "\n"); },
         "umask 022; " + w.Job(3), -1, "", nullptr},
        {[&] {
             EXPECT_EQ(mode("rec.json"), 0600u);
             w.Extra("[array]\nbackend = local\n");
             MakeDirs(w.File("res/nativeSnapMapInfo.vkf/keep"));
         },
         w.Job(3, "--results res"), 1, "not a regular file, left alone", nullptr},
        {[&] {
             EXPECT_TRUE(FileExists(w.File("res/nativeSnapMapInfo.vkf/keep")));
             plant("t4.jsonl");
         },
         w.Job(4, "--transcript t4.jsonl"), 1, "symbolic link", nullptr},
        {[&] { plant("plugin.log"); }, w.Job(4), -1, "symbolic link", nullptr},
        {[&] { plant("calls.log"); }, w.Job(4), -1, "symbolic link", nullptr},
        // No file is touched before the command knows its config.
        {[&] { w.Extra("[log]\nfile = " + w.File("help.log") + "\n"); }, conf + " --help", 0, "",
         nullptr},
        // A password mistyped without "=" is never quoted; the config is the
        // environment's when --config is not given, and a regular file.
        {[&] {
             EXPECT_FALSE(FileExists(w.File("help.log")));
             w.Extra("[client.1]\npassword: hunter2XYZ\n");
         },
         w.Job(5, "--json"), 1, "neither a setting", "failed"},
        {[] {}, conf + " check --client 1 >&2", 1, "neither a setting", nullptr},
        {[] {}, SNAPAGENT_PATH " check --config /dev/null --client 1 >&2", 1, "not a regular file",
         nullptr},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.line);
        step.before();
        std::string err;
        const int status =
            w.Sh(step.line + (step.line.find(">&2") == std::string::npos ? " >out" : ""), &err);
        EXPECT_TRUE(step.status < 0 || status == step.status) << status << " " << err;
        EXPECT_NE(err.find(step.has), std::string::npos) << err;
        EXPECT_TRUE(Printable(err)) << err;
        EXPECT_EQ(err.find("hunter2"), std::string::npos) << err;
        EXPECT_TRUE(!FileExists(w.File("target")) || ReadFile(w.File("target")) == "mine");
        if (!step.json) continue;
        const std::vector<std::string> lines = SplitLines(ReadFile(w.File("out")));
        ASSERT_FALSE(lines.empty());
        const nlohmann::json end = nlohmann::json::parse(lines.back());
        EXPECT_EQ(end["outcome"], step.json) << lines.back();
        EXPECT_EQ(end["exit"], status);
        EXPECT_EQ(end["error"].is_null(), status != 1) << lines.back();
    }
}

}  // namespace
