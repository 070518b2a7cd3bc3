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

#include <chrono>
#include <cstdlib>
#include <sys/stat.h>
#include <thread>

using namespace snapagent;
using namespace testsupport;

namespace {

// One volume share with a change per job; the job's command line for sh.
struct World {
    DemoWorld world;
    std::string share, error;
    World() {
        WorldSpec spec;
        spec.shares = {{"data", ""}};
        EXPECT_TRUE(world.Build(spec, error)) << error;
        share = world.Shares()[0].strSharePath;
        Extra("[array]\ncalls_log = " + File("calls.log") + "\n[log]\nlevel = 3\nfile = " +
              File("plugin.log") + "\n");
    }
    std::string File(const std::string& name) const { return world.Base() + "/" + name; }
    // Settings appended: a key given again replaces the earlier value.
    void Extra(const std::string& text) {
        WriteFile(world.ConfigPath(), ReadFile(world.ConfigPath()) + "\n" + text);
    }
    void Change(int files) {
        for (int i = 0; i < files; ++i)
            ASSERT_TRUE(WriteBytes(world.Shares()[0].strLiveDir + "/f" + std::to_string(i) + "-" +
                                       std::to_string(rand()), "x", false, error)) << error;
    }
    std::string Job(int id, const std::string& more = "") const {
        return std::string(SNAPAGENT_PATH) + " job " + (more.find("-v") == 0 ? "" : "-q") +
               " --config " + world.ConfigPath() +
               " --client 1 --job " + std::to_string(id) +
               (id > 1 ? " --prev " + std::to_string(id - 1) : "") + " " + more + " " + share;
    }
    // Runs a shell line; err is the file its stderr went to.
    int Sh(const std::string& line, std::string* err = nullptr) const {
        const std::string errFile = File("sh.err");
        const std::string command = "cd " + world.Base() + " && SNAPAGENT_STATE_DIR=" +
                                    File("state") + " sh -c '" + line + "' 2>" + errFile;
        const int rc = system(command.c_str());
        if (err) *err = ReadFile(errFile);
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    bool HasSnapshot(int job) const {
        return FileExists(File("array/.snapcatalog/data/VKOP_1_0_" + std::to_string(job) + ".cat"));
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
        const char* name;
        std::string more;  // options of job 2
        const char* redirect;
        const char* error;
    } cases[] = {
        {"stdout full", "--json", ">/dev/full", "cannot write the results to stdout: No space left"},
        {"transcript full", "--transcript /dev/full", ">/dev/null",
         "cannot write transcript [/dev/full]: No space left"},
        {"reader gone", "", "| head -1 >/dev/null", "cannot write the results to stdout: Broken pipe"},
        {"log full", "", ">/dev/null", "cannot write the log [/dev/full]: No space left"},
        {"calls log full", "", ">/dev/null", "cannot write the calls log [/dev/full]: No space left"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        World w;
        ASSERT_EQ(w.Sh(w.Job(1) + " >/dev/null"), 0);
        w.Change(40);
        if (std::string(c.name) == "log full") w.Extra("[log]\nfile = /dev/full\n");
        if (std::string(c.name) == "calls log full") w.Extra("[array]\ncalls_log = /dev/full\n");
        std::string err;
        // The status of snapagent, not of the pipe's last command.
        const int status = w.Sh("{ SNAPAGENT_TEST_PULL_DELAY_MS=5 " + w.Job(2, c.more) +
                                    "; echo $? >status; } " + c.redirect, &err);
        ASSERT_EQ(status, 0) << err;
        EXPECT_EQ(ReadFile(w.File("status")), "1\n") << err;
        EXPECT_NE(err.find(c.error), std::string::npos) << err;
        EXPECT_EQ(SplitLines(err).size(), 1u) << err;
        // Stopped as a failed job stops: the previous snapshot stays, and
        // the job run again completes it.
        EXPECT_TRUE(w.HasSnapshot(1));
        w.Extra("[log]\nfile = " + w.File("plugin.log") + "\n[array]\ncalls_log = " +
                w.File("calls.log") + "\n");
        EXPECT_EQ(w.Sh(w.Job(2) + " >/dev/null", &err), 0) << err;
        EXPECT_FALSE(w.HasSnapshot(1));
    }
}

TEST(SnapagentOutput, OneJobOfAClientAtATime) {
    World w;
    ASSERT_EQ(w.Sh(w.Job(1) + " >/dev/null"), 0);
    w.Change(60);
    const pid_t first = StartSnapagent(
        {"job", "-q", "--config", w.world.ConfigPath(), "--client", "1", "--job", "2", "--prev",
         "1", "--transcript", w.File("t2.jsonl"), w.share},
        w.world.Base(), {"SNAPAGENT_STATE_DIR=" + w.File("state"), "SNAPAGENT_TEST_PULL_DELAY_MS=30"});
    for (int i = 0; i < 500 && ReadFile(w.File("t2.jsonl")).find("\"item\"") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string err;
    EXPECT_EQ(w.Sh(w.Job(3) + " >/dev/null", &err), 1);
    EXPECT_NE(err.find("client 1 is running another job (job 2, process " +
                       std::to_string(first) + ")"), std::string::npos) << err;
    EXPECT_EQ(w.Sh(w.Job(3, "--wait") + " >/dev/null", &err), 0) << err;
    EXPECT_EQ(WaitSnapagent(first, w.world.Base()).status, 0);
}

TEST(SnapagentOutput, FilesOfTheJobArePrivateAndNeverFollowLinks) {
    World w;
    ASSERT_EQ(w.Sh("umask 022; " + w.Job(1, "--transcript t.jsonl") + " >/dev/null"), 0);
    for (const char* name : {"t.jsonl", "plugin.log", "calls.log"}) {
        struct stat st;
        ASSERT_EQ(stat(w.File(name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
    }
    // A link planted in the place of each is refused, its target untouched.
    WriteFile(w.File("target"), "mine");
    const std::pair<std::string, std::string> planted[] = {
        {"t2.jsonl", "--transcript t2.jsonl"}, {"plugin.log", ""}, {"calls.log", ""}};
    for (const auto& p : planted) {
        SCOPED_TRACE(p.first);
        std::string error;
        ASSERT_TRUE(RemoveTree(w.File(p.first), error) && SymbolicLink(w.File("target"), w.File(p.first), error));
        std::string err;
        w.Sh(w.Job(2, p.second) + " >/dev/null", &err);
        EXPECT_NE(err.find("symbolic link"), std::string::npos) << err;
        EXPECT_EQ(ReadFile(w.File("target")), "mine");
        RemoveTree(w.File(p.first), error);
    }
    // No file is touched before the command knows its config.
    const std::string log = w.File("help.log");
    w.Extra("[log]\nfile = " + log + "\n");
    EXPECT_EQ(w.Sh("SNAPCLIENT_CONFIG=" + w.world.ConfigPath() + " " SNAPAGENT_PATH " --help >/dev/null"), 0);
    EXPECT_FALSE(FileExists(log));
}

TEST(SnapagentOutput, NamesAndConfigTextNeverReachTheTerminalRaw) {
    World w;
    ASSERT_EQ(w.Sh(w.Job(1) + " >/dev/null"), 0);
    std::string error;
    const std::string forged = "x\\..\\\rsnapagent: job 31 done: 3 shares: 3 compared\x1b[K";
    ASSERT_TRUE(WriteBytes(w.world.Shares()[0].strLiveDir + "/" + forged, "x", false, error)) << error;
    std::string err;
    // -v: the plug-in's log, which names the file, goes to stderr too.
    EXPECT_EQ(w.Sh(w.Job(2, "-v") + " >/dev/null", &err), 3);  // a ".." name is not delivered
    EXPECT_TRUE(Printable(err)) << err;

    // A password mistyped without "=" is never quoted; the config is the
    // environment's when --config is not given, and must be a regular file.
    w.Extra("[client.1]\npassword: hunter2XYZ\n");
    const std::pair<std::string, std::string> configs[] = {
        {w.Job(3), "neither a setting"},
        {"SNAPCLIENT_CONFIG=" + w.world.ConfigPath() + " " SNAPAGENT_PATH " check --client 1",
         "neither a setting"},
        {SNAPAGENT_PATH " check --config /dev/null --client 1", "[/dev/null]: not a regular file"},
    };
    for (const auto& c : configs) {
        EXPECT_EQ(w.Sh(c.first + " >&2", &err), 1) << c.first;
        EXPECT_NE(err.find(c.second), std::string::npos) << err;
        EXPECT_EQ(err.find("hunter2"), std::string::npos) << err;
    }
}

TEST(SnapagentOutput, JsonEndsWithTheJobAndSharesResolveAsTyped) {
    World w;
    std::string err;
    struct Case {
        std::string line;
        int status;
        const char* outcome;
        std::string stderrHas;
    } cases[] = {
        {w.Job(1, "--json"), 0, "done", ""},
        {w.Job(2, "--json --config /none.conf"), 1, "failed", "cannot read config [/none.conf]"},
        // A relative share is one of the working folder; a path that is not
        // there is said not to exist.
        {w.Job(2, "--json mnt/data"), 0, "done", w.share + ": compared"},
        {w.Job(3, "--json /no/such/share"), 3, "incomplete",
         "/no/such/share: not backed up (/no/such/share does not exist)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(w.Sh(c.line + " >out.json", &err), c.status) << err;
        EXPECT_NE(err.find(c.stderrHas), std::string::npos) << err;
        const std::vector<std::string> lines = SplitLines(ReadFile(w.File("out.json")));
        ASSERT_FALSE(lines.empty());
        const nlohmann::json end = nlohmann::json::parse(lines.back());
        EXPECT_EQ(end["outcome"], c.outcome) << lines.back();
        EXPECT_EQ(end["exit"], c.status);
        EXPECT_EQ(end["error"].is_null(), c.status != 1) << lines.back();
    }
}

}  // namespace
