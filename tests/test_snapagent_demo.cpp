// The snapagent binary on the local array as a user runs it: the demo
// verifies every share and names the known limit, on a cluster and on an
// array that is not one; a recorded job cycle replays from the scripted
// array with the same transcript; --json keeps a path's raw bytes; help
// shows each command's usage.
#include "tests/support/TestSupport.h"
#include "tools/DemoWorld.h"
#include "tools/FileOps.h"
#include "tools/ItemText.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>
#include <filesystem>
#include <regex>

using namespace snapagent;
using namespace testsupport;

namespace {

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

TEST(Snapagent, DemoVerifiesEveryShareAndNamesTheLimit) {
    for (const char* mode : {"", "--non-cluster"}) {
        SCOPED_TRACE(mode);
        TempDir dir;
        std::vector<std::string> args = {"demo", "--quiet"};
        if (*mode) args.push_back(mode);
        const Exit run = RunSnapagent(args, dir.Path());
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(Count(run.out, " 0 missing, 0 unexpected"), 3u) << run.out;
        // A move between shares, a backslash name and new hard links are
        // exact: the one limit left is the changed file with two names.
        EXPECT_EQ(Count(run.out, "\n  ("), 1u) << run.out;
        for (const char* text :
             {"\n  (a) changed file with several names, in ", "/alpha/back\\\\slash.txt\n",
              "/bob/notes-second-link.txt\n", "  projects: VKOP_1_0_2\n", "  home: VKOP_1_0_2\n",
              "result: every share verified", "/bob/raw\\xFFbytes.dat",
              "demo folder: a temporary one, removed at the end",
              "alpha (16 items on 13 lines: a rename is two items):\n"})
            EXPECT_NE(run.out.find(text), std::string::npos) << text;
    }
}

// demo --btrfs runs on a btrfs image of its own (volumes are subvolumes)
// and leaves neither the mount nor the image behind, also when Ctrl-C
// stops it half-way (or, on a fast machine, once it is done).
TEST(Snapagent, DemoOnBtrfsImageLeavesNothingBehind) {
    TempDir dir, tmp;
    const std::vector<std::string> env{"TMPDIR=" + tmp.Path()};
    const auto mounted = [&] {
        return ReadFile("/proc/self/mountinfo").find(tmp.Path()) != std::string::npos;
    };
    const Exit run = RunSnapagent({"demo", "--btrfs", "--quiet"}, dir.Path(), env);
    if (run.err.find("demo --btrfs needs ") != std::string::npos) GTEST_SKIP() << run.err;
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(Count(run.out, "SnapDiff reads btrfs's send stream"), 2u) << run.out;
    EXPECT_NE(run.out.find("result: every share verified"), std::string::npos) << run.out;
    EXPECT_TRUE(std::filesystem::is_empty(tmp.Path()) && !mounted());

    const pid_t demo = StartSnapagent({"demo", "--btrfs", "--quiet"}, dir.Path(), env);
    for (int i = 0; i < 2000 && !mounted(); ++i) usleep(5000);
    kill(demo, SIGINT);
    const Exit stopped = WaitSnapagent(demo, dir.Path());
    EXPECT_TRUE(stopped.bExited && (stopped.status == 130 || stopped.status == 0)) << stopped.err;
    EXPECT_TRUE(std::filesystem::is_empty(tmp.Path()) && !mounted());
}

// A job cycle recorded on the local array replays from the recording with
// a byte-identical transcript; the incremental job's rename and a name that
// is not UTF-8 reach the agent (--json keeps the raw bytes as hex).
TEST(Snapagent, RecordedCycleReplaysIdentically) {
    for (bool cluster : {true, false}) {
        SCOPED_TRACE(cluster ? "cluster" : "not a cluster");
        DemoWorld world;
        ASSERT_TRUE(IsOk(world.Build(DemoWorld::DemoSpec(cluster))));
        const std::string alpha = world.Shares()[0].strLiveDir;
        ASSERT_TRUE(IsOk(WriteBytes(alpha + "/old.txt", "two\n", false)));
        std::vector<std::string> shares;
        for (const BuiltShare& share : world.Shares()) shares.push_back(share.strSharePath);
        auto runJob = [&](const std::string& backend, LONGLONG job, const std::string& tag) {
            std::string config = ReadFile(world.ConfigPath());
            config.replace(config.find("backend = local\n"), 16, backend);
            const std::string base = world.Base() + "/";
            WriteFile(base + tag + ".conf", config);
            std::vector<std::string> args{"job",
                                          "--quiet",
                                          "--json",
                                          "--config=" + base + tag + ".conf",
                                          "--client=1",
                                          "--job=" + std::to_string(job),
                                          "--prev=" + std::to_string(job - 1),
                                          "--results=" + base + "results-" + tag,
                                          "--transcript=" + base + tag + ".jsonl"};
            args.insert(args.end(), shares.begin(), shares.end());
            const Exit exit = RunSnapagent(args, world.Base());
            EXPECT_TRUE(exit.bExited && exit.status == 0) << exit.status << " " << exit.err;
            return std::make_pair(ReadFile(base + tag + ".jsonl"), exit.out);
        };
        for (LONGLONG job : {1, 2}) {
            if (job == 2) {
                ASSERT_TRUE(IsOk(WriteBytes(alpha + "/new\xFF.bin", "three\n", false)));
                ASSERT_TRUE(IsOk(RenamePath(alpha + "/old.txt", alpha + "/renamed.txt")));
            }
            const std::string tag = std::to_string(job),
                              recording = world.Base() + "/rec" + tag + ".json";
            const auto recorded =
                runJob("backend = record\ninner = local\nrecord_to = " + recording + "\n", job,
                       "rec" + tag);
            const auto replayed =
                runJob("backend = scripted\nscript = " + recording + "\n", job, "replay" + tag);
            EXPECT_EQ(replayed.first, recorded.first);
            if (job == 2) {
                EXPECT_NE(recorded.first.find("/renamed.txt\""), std::string::npos)
                    << recorded.first;
                EXPECT_NE(recorded.second.find("\"path\":null"), std::string::npos)
                    << recorded.second;
                EXPECT_NE(recorded.second.find("2f6e6577ff2e62696e\""), std::string::npos)
                    << recorded.second;
            }
        }
    }
}

// Usage errors are scenarios (usage-errors.json).
TEST(Snapagent, HelpNamesEachCommandsUsage) {
    TempDir dir;
    for (const char* command : {"demo", "job", "check", "snapshots", "inspect", "help"}) {
        const Exit help = RunSnapagent({"help", command}, dir.Path());
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.find(std::string("usage: snapagent ") + command), 0u) << help.out;
        EXPECT_EQ(help.out, RunSnapagent({command, "--help"}, dir.Path()).out);
    }
}

// check fails what a job would meet (broken-config.json has the job's
// side): missing credentials, a log file in a folder that does not exist, a
// share below an export of the local array (no .snapshot: read live); a
// volume and an export pass. snapshots, like
// check, leaves the array and the state folder as they are.
TEST(Snapagent, CheckFailsWhatAJobWouldMeet) {
    DemoWorld world;
    ASSERT_TRUE(IsOk(world.Build(DemoWorld::DemoSpec(true))));
    const std::string config = ReadFile(world.ConfigPath());
    const std::string home = world.Shares()[2].strSharePath, beta = world.Shares()[1].strSharePath;
    MakeDirs(world.Shares()[2].strLiveDir + "/alice");
    WriteFile(world.Shares()[2].strLiveDir + "/notes.txt", "a file");
    const struct {
        std::string edited;
        std::string share;
        std::string said, also = "", third = "";
    } cases[] = {
        {std::regex_replace(config, std::regex("\nuser = [^\n]*"), ""), home,
         "[client.1] user is not set"},
        {config + "\n[log]\nfile = " + world.Base() + "/nowhere/plugin.log\n", home,
         "nowhere does not exist"},
        {config, home + "/alice", "on the local array a share must be a volume or an export"},
        // Every problem gets its line, not only the first.
        {std::regex_replace(config, std::regex("password = local"), "password = change-me") +
             "\n[client.1]\narray = other\n",
         home + "/notes.txt", "password is still the sample's placeholder",
         "[client.1] is given again (first at line", "share " + home + "/notes.txt: not a folder"},
        {std::regex_replace(config, std::regex("exports = "), "exports = /vol/home/gone,"), home,
         "home/gone is not a folder of the array: make it, or drop /vol/home/gone"},
        {config, home, ""},
        {config, beta, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.said);
        WriteFile(world.ConfigPath(), c.edited);
        chmod(world.ConfigPath().c_str(), 0600);
        const Exit check = RunSnapagent(
            {"check", "--config", world.ConfigPath(), "--client", "1", c.share}, world.Base());
        EXPECT_EQ(check.status, c.said.empty() ? 0 : 1) << check.out << check.err;
        for (const std::string& said : {c.said, c.also, c.third})
            EXPECT_NE((check.out + check.err).find(said), std::string::npos)
                << check.out << check.err;
    }
    const std::string leftover = world.Shares()[2].strLiveDir + "/.snapshot/.creating";
    MakeDirs(leftover);
    TempDir scratch;
    const Exit listed = RunSnapagent({"snapshots", "--config", world.ConfigPath(), "--client", "1"},
                                     scratch.Path());
    EXPECT_EQ(listed.out,
              "volume home\n  no snapshot of client 1\nvolume projects\n  no "
              "snapshot of client 1\n")
        << listed.err;
    EXPECT_TRUE(FileExists(leftover) && !FileExists(scratch / "state"));
}

// The change list as text: one line per change, valid UTF-8 as it is and
// other bytes escaped; a rename's deleted half ("old/", same inode, right
// before) joins the renamed item, a deletion that is not one stays.
TEST(Snapagent, TextFormsStayOnOneLine) {
    EXPECT_EQ(PrintablePath("a b\\c\xFF\n"), "a b\\\\c\\xFF\\x0A");
    EXPECT_EQ(PrintablePath("caf\xC3\xA9 \xE2\x82\xAC\xC2\x85\xC0\xAF\xE2\x82"),
              "caf\xC3\xA9 \xE2\x82\xAC\\xC2\\x85\\xC0\\xAF\\xE2\\x82");
    FileServerSnapshotCompareItem item, gone;
    item.uiStatus = kItemCreated;
    item.strPath = "/s/new";
    item.strOldPath = "/s/old";
    item.stItemInfo.bRenamed = true;
    gone.uiStatus = kItemDeleted;
    gone.strPath = gone.strOldPath = "/s/old/";
    ChangeLines lines;
    EXPECT_TRUE(lines.Add(gone).empty());
    EXPECT_EQ(lines.Add(item), std::vector<std::string>{"renamed  /s/old -> /s/new"});
    EXPECT_TRUE(lines.Add(gone).empty());
    item.stItemInfo.ullInode = 7;
    EXPECT_EQ(lines.Add(item).size(), 2u);
    EXPECT_TRUE(lines.Add(gone).empty());
    // Alone, the name a file left reads as a file's, with what the agent does.
    EXPECT_EQ(lines.Finish(),
              std::vector<std::string>{"deleted  /s/old (as a folder: with anything below it)"});
    gone.strOldPath.clear();
    EXPECT_EQ(DescribeItem(gone), "deleted  /s/old/");
}

}  // namespace
