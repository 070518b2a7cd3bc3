// snapagent as operators run it, from schedulers, pipes and terminals: an
// output it cannot write fails the job (exit 1, one error line, the previous
// snapshot kept for the rerun); a second job of a client is refused or
// waits; the files that name the backed-up files are 0600 and never written
// through a link; bytes of file names never reach stderr or the log raw;
// a config error never repeats a line; and --json ends with the job.
#include "tests/support/TestSupport.h"
#include "tools/ClientLock.h"
#include "tools/ConfigCheck.h"
#include "tools/DemoWorld.h"
#include "tools/FileOps.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <regex>
#include <thread>

using namespace snapagent;
using namespace testsupport;

namespace {

// One volume share with a change per job; the job's command line for sh.
struct World {
    DemoWorld world;
    std::string share;
    World() {
        WorldSpec plan;
        plan.shares = {{"data", ""}};
        EXPECT_TRUE(IsOk(world.Build(plan)));
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
        // The share the job did not finish still gets its outcome line.
        EXPECT_NE(err.find(w.share +
                           ": not backed up (the results could not be written)\n"
                           "snapagent: error: " +
                           c.error),
                  std::string::npos)
            << err;
        EXPECT_EQ(SplitLines(err).size(), 2u) << err;
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

// Numbers read back from a job lock (its holder) and from the config (the
// array version) are plain digits or refused: a sign, a space, an
// overflow or a trailing byte would name a process that does not hold the
// lock, or pass a version the array never reports.
TEST(SnapagentOutput, NumbersReadBackRefuseWhatIsNotPlainDigits) {
    struct Case {
        const char* holder;
        const char* version;
        bool read;
    };
    const Case cases[] = {
        {"42 7\n", "9.8.1", true},
        {"42 0\n", "9.8.0", true},  // the lock of snapagent snapshots --delete
        {"+42 7\n", "+9.8.1", false},
        {"42 -7\n", "9.-8.1", false},
        {"42  7\n", "9. 8.1", false},
        {"42 18446744073709551616\n", "9.8.4294967296", false},
        {"42 7x\n", "9.8.1x", false},
        {"42\n", "9.8", false},
    };
    TempDir state;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.holder) + " " + c.version);
        WriteFile(state / "client1.lock", c.holder);
        const int holder = open((state / "client1.lock").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
        const hostlib::Status refused = ClientLock().Acquire(state.Path(), 1, 8, false);
        close(holder);
        EXPECT_EQ(refused.message().find("running another job; ") == std::string::npos, c.read)
            << refused.message();
        EXPECT_EQ(refused.message().find("job 0"), std::string::npos) << refused.message();
        ScopedConfig config("[array]\nbackend = scripted\nversion = " + std::string(c.version));
        const std::vector<std::string> problems = CheckConfig(config.Path(), 1).problems;
        EXPECT_EQ(c.read, std::none_of(problems.begin(), problems.end(), [](const std::string& p) {
                      return p.find("[array] version: expected major.minor.micro") !=
                             std::string::npos;
                  }));
    }
}

// Job and check command lines in turn on one world: stderr always
// printable and never quoting a config line; --json always ending with the
// job; each its status and stderr.
TEST(SnapagentOutput, CommandLinesKeepTheirWord) {
    World w;
    auto plant = [&](const std::string& name) {  // a link to a file of someone else
        WriteFile(w.File("target"), "mine");
        ASSERT_TRUE(IsOk(RemoveTree(w.File(name))));
        ASSERT_TRUE(IsOk(SymbolicLink(w.File("target"), w.File(name))));
    };
    auto mode = [&](const char* name) {
        struct stat st;
        return stat(w.File(name).c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
    };
    const std::string forged = "x\\..\\\rsnapagent: job 31 done: 3 shares: 3 compared\x1b[K";
    const std::string conf = "SNAPCLIENT_CONFIG=" + w.world.ConfigPath() + " " SNAPAGENT_PATH;
    // Another user: nobody when the test runs as root, else the test's user
    // with the folders it must not write closed.
    const bool root = geteuid() == 0;
    const std::string other =
        (root ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "") + std::string("env ");
    // nobody cannot run a build that sits below a private folder (a 0700
    // home or temporary folder): its rows are then skipped, with a note.
    const bool otherRuns = !root || system((other + "test -x " SNAPAGENT_PATH).c_str()) == 0;
    auto closeTo = [&](const std::string& folder, bool closed) {
        MakeDirs(folder);
        chmod(folder.c_str(), closed && !root ? 0555 : 0755);
        if (root && closed) {
            ASSERT_EQ(chown(folder.c_str(), 0, 0), 0);
        }
    };
    struct Step {
        std::function<void()> before;
        std::string line;
        int status;  // -1: any
        std::string has;
        const char* json;  // outcome of the last stdout line; null: not JSON
    } steps[] = {
        // --quiet keeps the job's last line, for a scheduled job's journal.
        {[] {}, "umask 022; " + w.Job(1, "--json --transcript t.jsonl"), 0,
         "job 1 done: 1 share: 1 backed up in full; 0 items delivered in ", "done"},
        {[&] { EXPECT_EQ(mode("t.jsonl") | mode("plugin.log") | mode("calls.log"), 0600u); },
         w.Job(2, "--json --config /none.conf"), 1, "cannot read config [/none.conf]", "failed"},
        {[] {}, w.Job(2, "--json --bogus"), 2, "unknown option --bogus", "usage_error"},
        // A relative share is one of the working folder; a name holding
        // terminal controls reaches stderr (-v: with the log) escaped. The
        // new name changes the share's root folder too.
        {[&] { WriteFile(w.world.Shares()[0].strLiveDir + "/" + forged, "x"); },
         w.Job(2, "-v --json mnt/data"), 0, w.share + ": compared (2 changes)", "done"},
        // -v copies the log to stderr; the file keeps its lines.
        {[&] {
             EXPECT_NE(ReadFile(w.File("plugin.log")).find("Job [2] starts"), std::string::npos);
         },
         w.Job(3, "--json /no/such/share"), 3, "(/no/such/share does not exist)", "incomplete"},
        // A job that ran to its end, even with exit 3, is the next one's
        // base: the results of the jobs before it go.
        {[&] {
             EXPECT_FALSE(FileExists(w.File("state/client1/job2")));
             EXPECT_TRUE(FileExists(w.File("state/client1/job3")));
             MakeDirs(w.world.Shares()[0].strLiveDir + "/e\x1b[K\r");
         },
         conf + " check --client 1 mnt/data mnt/data/e* /no/such >&2", 1,
         "share /no/such: does not exist", nullptr},
        // A state folder (or one in it) that others may write, or that is
        // not the user's, is refused; without HOME only root has one.
        {[&] { chmod(w.File("state").c_str(), 0777); }, w.Job(3), 1,
         "unsafe state folder [" + w.File("state") + "]: others may write to it (mode 0777)",
         nullptr},
        {[&] {
             chmod(w.File("state").c_str(), 0700);
             chmod(w.File("state/client1").c_str(), 0777);
         },
         w.Job(3), 1, "the folder above it [" + w.File("state/client1") + "]: others may write",
         nullptr},
        {[&] { chmod(w.File("state/client1").c_str(), 0700); },
         "SNAPAGENT_STATE_DIR=/tmp " + w.Job(3), 1, "unsafe state folder [/tmp]: ", nullptr},
        {[] {}, other + "-u HOME -u XDG_STATE_HOME -u SNAPAGENT_STATE_DIR " + w.Job(3), 1,
         "no state folder: HOME is not set; set SNAPAGENT_STATE_DIR", nullptr},
        // check as a user who may not write the log or the array's folders.
        {[&] {
             if (root) {
                 ASSERT_EQ(system(("chown -R 65534:65534 " + w.world.Base()).c_str()), 0);
             }
             closeTo(w.File("array/.snapcatalog/data"), true);
             closeTo(w.File("logs"), true);
             w.Extra("[log]\nfile = " + w.File("logs/plugin.log") + "\n");
         },
         other + conf + " check --client 1 mnt/data >&2", 1,
         "logs/plugin.log: cannot be opened for appending (Permission denied for ", nullptr},
        {[&] { w.Extra("[log]\nfile = " + w.File("plugin.log") + "\n"); },
         other + conf + " check --client 1 mnt/data >&2", 1,
         "array folders of volume data: " + w.File("array/.snapcatalog/data") +
             " cannot be written (Permission denied for ",
         nullptr},
        // A recording is private too; a folder where the map file goes is
        // refused, not removed.
        {[&] {
             if (root) {
                 ASSERT_EQ(system(("chown -R 0:0 " + w.world.Base()).c_str()), 0);
             }
             closeTo(w.File("array/.snapcatalog/data"), false);
             w.Extra("[array]\nbackend = record\nrecord_to = " + w.File("rec.json") + "\n");
         },
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
        // A password mistyped as a section or without "=" is never quoted;
        // the config is the environment's when --config is not given, and a
        // regular file.
        {[&] {
             EXPECT_FALSE(FileExists(w.File("help.log")));
             w.Extra("[hunter2XYZ\n");
         },
         w.Job(5, "--json"), 1, "not a known section", "failed"},
        {[&] {
             std::string config = ReadFile(w.world.ConfigPath());
             config.replace(config.find("[hunter2XYZ"), 11, "[client.1]\npassword: hunter2XYZ");
             WriteFile(w.world.ConfigPath(), config);
         },
         w.Job(5, "--json"), 1, "neither a setting", "failed"},
        {[] {}, conf + " check --client 1 >&2", 1, "neither a setting", nullptr},
        {[] {}, SNAPAGENT_PATH " check --config /dev/null --client 1 >&2", 1, "not a regular file",
         nullptr},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.line);
        step.before();
        if (!otherRuns && step.line.compare(0, other.size(), other) == 0) {
            std::printf("skipped, nobody cannot reach %s: %s\n", SNAPAGENT_PATH, step.line.c_str());
            continue;
        }
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
        EXPECT_EQ(end["error"].is_null(), status != 1 && status != 2) << lines.back();
        // Every share given is counted once, also when the job never began.
        size_t shares = 0;
        for (const auto& count : end["shares"]) shares += count.get<size_t>();
        EXPECT_EQ(shares, 1u + (step.line.find("/no/such/share") != std::string::npos) +
                              (step.line.find(" mnt/data ") != std::string::npos));
    }
}

// A job whose results a reader cut short (| head -2) failed, and a job
// killed mid-way did not end: neither is a base. `snapshots` keeps the
// last good job's snapshot as the base, and the next job named after a
// failed one backs the share up in full instead of comparing from it and
// never delivering what the failed job lost.
TEST(SnapagentOutput, AJobThatFailedOrDidNotEndIsNoBase) {
    World w;
    ASSERT_EQ(w.Sh(w.Job(1) + " >/dev/null"), 0);
    w.Change(40);
    std::string err;
    ASSERT_EQ(w.Sh("{ SNAPAGENT_TEST_PULL_DELAY_MS=5 " + w.Job(2) +
                       "; echo $? >status; } | head -2 >/dev/null",
                   &err),
              0);
    ASSERT_EQ(ReadFile(w.File("status")), "1\n") << err;
    const std::string tool = std::string(SNAPAGENT_PATH);
    ASSERT_EQ(w.Sh(tool + " snapshots --config " + w.world.ConfigPath() + " --client 1 >snap"), 0);
    const std::string listed = ReadFile(w.File("snap"));
    EXPECT_NE(listed.find("base of the next incremental job (--prev 1) for " + w.share + "\n"),
              std::string::npos)
        << listed;
    EXPECT_NE(listed.find("VKOP_1_0_2  application 0  job 2  "), std::string::npos) << listed;
    EXPECT_NE(listed.find("no base: job 2 failed\n"), std::string::npos) << listed;

    EXPECT_EQ(w.Sh(w.Job(3) + " >/dev/null", &err), 0) << err;
    EXPECT_NE(err.find(w.share + ": backed up in full: job 2 failed\n"), std::string::npos) << err;
    // A record left as the job began is what a killed job leaves.
    const std::string record = w.File("state/client1/history/job4.json");
    ASSERT_EQ(w.Sh(w.Job(4) + " >/dev/null", &err), 0) << err;
    WriteFile(record, std::regex_replace(ReadFile(record), std::regex("\"done\""), "\"running\""));
    EXPECT_EQ(w.Sh(w.Job(5) + " >/dev/null", &err), 0) << err;
    EXPECT_NE(err.find(w.share + ": backed up in full: job 4 did not end\n"), std::string::npos)
        << err;
    // Without --prev the job follows the latest that ran to its end.
    EXPECT_EQ(w.Sh(tool + " job -q --config " + w.world.ConfigPath() + " --client 1 --job 6 " +
                       w.share + " >/dev/null",
                   &err),
              0)
        << err;
    EXPECT_NE(err.find(w.share + ": compared (0 changes)\n"), std::string::npos) << err;
    ASSERT_EQ(w.Sh(tool + " history --client 1 >hist"), 0);
    const std::string history = ReadFile(w.File("hist"));
    for (const char* line :
         {"job 2  failed  compared from job 1", "job 4  did not end (still running, or killed)",
          "job 6  done  compared from job 5", ": compared (0 items delivered); base\n"})
        EXPECT_NE(history.find(line), std::string::npos) << line << "\n" << history;
    // A record that is not one is named, and never taken for a job that
    // ran: the next job goes back to job 5, whose snapshot job 6 deleted, and
    // says the share needs a full scan.
    WriteFile(w.File("state/client1/history/job6.json"), "{\"client\": 1");
    EXPECT_EQ(w.Sh(tool + " history --client 1 --json >hist", &err), 1);
    EXPECT_NE(err.find("job6.json] is not a job record"), std::string::npos) << err;
    EXPECT_EQ(w.Sh(tool + " job -q --config " + w.world.ConfigPath() + " --client 1 --job 7 " +
                       w.share + " >/dev/null",
                   &err),
              3)
        << err;
    EXPECT_NE(err.find(w.share + ": needs a full scan (no snapshot of job 5"), std::string::npos)
        << err;
    EXPECT_NE(ReadFile(w.File("state/client1/history/job7.json")).find("\"prev\": 5"),
              std::string::npos);
}

}  // namespace
