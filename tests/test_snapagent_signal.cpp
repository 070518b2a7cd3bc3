// snapagent stopped by SIGINT or SIGTERM in the middle of an incremental
// job: it finishes the call in progress, stops pulling, releases the client
// and exits with 130 and one line on stderr; the array is left whole (the
// job's snapshot registered completely, no catalog half-written, every
// SnapDiff run ended, the scripted array's state saved as a whole
// document), and running the job again completes it.
#include "tests/support/TestSupport.h"
#include "tools/DemoWorld.h"
#include "tools/FileOps.h"
#include "tools/TreeListing.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <set>
#include <thread>

using namespace snapagent;
using namespace testsupport;

namespace {

size_t ItemLines(const std::string& transcript) {
    size_t n = 0;
    for (const std::string& line : SplitLines(transcript))
        if (line.find("\"type\":\"item\"") != std::string::npos &&
            line.find("\"status\":5") == std::string::npos)
            ++n;
    return n;
}

// Files left below dir whose names end with suffix.
size_t FilesEndingWith(const std::string& dir, const std::string& suffix) {
    TreeListing listing;
    EXPECT_TRUE(IsOk(ListTree(dir, listing)));
    size_t n = 0;
    for (const auto& entry : listing)
        n += entry.first.size() >= suffix.size() &&
             entry.first.compare(entry.first.size() - suffix.size(), suffix.size(), suffix) == 0;
    return n;
}

// Every SnapDiff run in the calls log ended: by SnapDiffEnd, or by the
// array's end flag on its last batch.
void ExpectEverySnapDiffEnded(const std::string& callsLog) {
    std::set<std::string> open;
    std::string lastHandle;
    for (const std::string& line : SplitLines(callsLog)) {
        const nlohmann::json call = nlohmann::json::parse(line);
        const std::string op = call["op"];
        if (op == "SnapDiffStart" && call["ok"] == true) {
            lastHandle = call["out"]["handle"].dump();
            open.insert(lastHandle);
        } else if (op == "SnapDiffEnd") {
            open.erase(call["args"]["handle"].dump());
        } else if (op == "SnapDiffNext" && call["ok"] == true && call["out"]["end"] == true) {
            open.erase(call["args"]["handle"].dump());
        }
    }
    EXPECT_TRUE(open.empty()) << callsLog;
}

// A job of client 1 on the world with --json, based on the job before it.
std::vector<std::string> JobArgs(const DemoWorld& world, LONGLONG id,
                                 const std::vector<std::string>& more) {
    std::vector<std::string> args{
        "job", "--json", "--config",         world.ConfigPath(), "--client",
        "1",   "--job",  std::to_string(id), "--prev",           std::to_string(id - 1)};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

TEST(SnapagentSignal, InterruptedJobLeavesTheArrayWholeAndRunsAgain) {
    struct Case {
        const char* name;
        int signal;
    } cases[] = {
        {"SIGINT", SIGINT},
        {"SIGTERM", SIGTERM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DemoWorld world;
        ASSERT_TRUE(IsOk(world.Build(DemoWorld::DemoSpec(true))));
        std::vector<std::string> shares;
        for (const BuiltShare& share : world.Shares()) shares.push_back(share.strSharePath);
        const std::string alpha = world.Shares()[0].strLiveDir;
        std::string config = ReadFile(world.ConfigPath());
        config.insert(config.find("[array]\n") + 8, "calls_log = " + world.Base() + "/calls.log\n");
        ASSERT_TRUE(IsOk(WriteBytes(world.ConfigPath(), config, false)));

        auto job = [&](LONGLONG id, const std::string& tag) {
            return JobArgs(world, id,
                           {"--quiet", "--results", world.Base() + "/results-" + tag,
                            "--transcript", world.Base() + "/" + tag + ".jsonl"});
        };
        auto withShares = [&](std::vector<std::string> args) {
            args.insert(args.end(), shares.begin(), shares.end());
            return args;
        };
        const Exit full = RunSnapagent(withShares(job(1, "full")), world.Base());
        ASSERT_TRUE(full.bExited && full.status == 0) << full.err;

        const int kNewFiles = 60;
        for (int i = 0; i < kNewFiles; ++i)
            ASSERT_TRUE(IsOk(WriteBytes(alpha + "/new-" + std::to_string(i), "x", false)));

        const std::string transcript = world.Base() + "/interrupted.jsonl";
        const pid_t child = StartSnapagent(withShares(job(2, "interrupted")), world.Base(),
                                           {"SNAPAGENT_TEST_PULL_DELAY_MS=40"});
        ASSERT_GT(child, 0);
        // Interrupt once items flow: the snapshots exist and a SnapDiff run
        // has been made, and many pulls are still to come.
        for (int wait = 0; wait < 600 && ItemLines(ReadFile(transcript)) < 3; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_GE(ItemLines(ReadFile(transcript)), 3u);
        kill(child, c.signal);
        const Exit stopped = WaitSnapagent(child, world.Base());
        ASSERT_TRUE(stopped.bExited) << "killed by signal " << stopped.status;
        EXPECT_EQ(stopped.status, c.signal == SIGINT ? 130 : 143);  // as shells report them
        // Every share gets its outcome line, the stop notice comes last, and
        // the --json summary counts the shares the stop left unsettled.
        const std::vector<std::string> err = SplitLines(stopped.err);
        ASSERT_EQ(err.size(), 4u) << stopped.err;
        for (size_t i = 0; i < 3; ++i)
            EXPECT_NE(err[i].find(": not backed up (the job was stopped"), std::string::npos);
        EXPECT_NE(err[3].find(c.signal == SIGINT ? "interrupted by SIGINT: job 2 stopped while "
                                                   "delivering the changes of "
                                                 : "interrupted by SIGTERM"),
                  std::string::npos)
            << stopped.err;
        const nlohmann::json summary = nlohmann::json::parse(SplitLines(stopped.out).back());
        EXPECT_EQ(summary["outcome"], "interrupted");
        EXPECT_EQ(summary["shares"]["not_backed_up"], 3);
        const std::vector<std::string> lines = SplitLines(ReadFile(transcript));
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(nlohmann::json::parse(lines.back())["outcome"], "interrupted");
        EXPECT_LT(ItemLines(ReadFile(transcript)), static_cast<size_t>(kNewFiles));
        EXPECT_EQ(ReadFile(transcript).find("CleanupSnapshotsPostBackup"), std::string::npos);

        // The array: both jobs' snapshots registered whole, nothing half-written.
        const std::string catalogs = world.Base() + "/array/.snapcatalog";
        EXPECT_EQ(FilesEndingWith(catalogs, ".tmp"), 0u);
        for (const std::string& volume : world.Volumes()) {
            EXPECT_TRUE(testsupport::FileExists(catalogs + "/" + volume + "/VKOP_1_0_2.cat"))
                << volume;
            EXPECT_TRUE(testsupport::FileExists(catalogs + "/" + volume + "/VKOP_1_0_1.cat"))
                << volume;
        }
        ExpectEverySnapDiffEnded(ReadFile(world.Base() + "/calls.log"));

        // The same job again completes: every new file is delivered, and
        // the clean-up leaves the job's snapshot alone.
        const Exit again = RunSnapagent(withShares(job(2, "again")), world.Base());
        ASSERT_TRUE(again.bExited) << again.status;
        EXPECT_EQ(again.status, 0) << again.err;
        const std::string done = ReadFile(world.Base() + "/again.jsonl");
        EXPECT_GE(ItemLines(done), static_cast<size_t>(kNewFiles));
        EXPECT_EQ(nlohmann::json::parse(SplitLines(done).back())["outcome"], "done");
        for (const std::string& volume : world.Volumes()) {
            EXPECT_TRUE(testsupport::FileExists(catalogs + "/" + volume + "/VKOP_1_0_2.cat"));
            EXPECT_FALSE(testsupport::FileExists(catalogs + "/" + volume + "/VKOP_1_0_1.cat"));
        }
        ExpectEverySnapDiffEnded(ReadFile(world.Base() + "/calls.log"));
    }
}

// Waits until the file holds text (the event a test waits for); false
// after a minute without it.
bool WaitFor(const std::string& file, const std::string& text) {
    for (int wait = 0; wait < 6000; ++wait) {
        if (ReadFile(file).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A first Ctrl-C during a long snapshot copy, or during the deletion of the
// previous job's snapshot in the clean-up, says at once what the job
// finishes before it stops; a second one stops the array's work between two
// files. The job exits 130 saying where it stopped, never "done"; the rerun
// of a stopped creation clears what it left, saying so.
TEST(SnapagentSignal, SecondInterruptStopsTheArraysLongWork) {
    const struct {
        LONGLONG job;
        const char* at;         // the progress line the first Ctrl-C waits for
        const char* finishing;  // what the first Ctrl-C says the job finishes
        const char* stopped;    // where the job says it stopped
    } cases[] = {
        {1, "copying snapshot VKOP_1_0_1 of volume projects: 1024 of about 80",
         "the snapshots being taken",
         "job 1 stopped inside the snapshot copy of volume projects, without the post-backup "
         "clean-up"},
        {2, "deleting snapshot VKOP_1_0_1 of volume projects\n",
         "the post-backup clean-up of old snapshots", "job 2 stopped "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.at);
        DemoWorld world;
        ASSERT_TRUE(IsOk(world.Build(DemoWorld::DemoSpec(true))));
        const std::string alpha = world.Shares()[0].strLiveDir;
        for (int dir = 0; dir < 8; ++dir) {
            const std::string folder = alpha + "/bulk" + std::to_string(dir);
            MakeDirs(folder);
            for (int i = 0; i < 1000; ++i) WriteFile(folder + "/f" + std::to_string(i), "x");
        }
        auto job = [&](LONGLONG id) {
            return JobArgs(
                world, id,
                {"--results", world.Base() + "/results", world.Shares()[0].strSharePath});
        };
        if (c.job == 2) {
            ASSERT_EQ(RunSnapagent(job(1), world.Base()).status, 0);
        }
        const std::string err = world.Base() + "/snapagent.err";
        const pid_t child = StartSnapagent(job(c.job), world.Base());
        ASSERT_TRUE(WaitFor(err, c.at)) << ReadFile(err);
        kill(child, SIGINT);
        ASSERT_TRUE(WaitFor(err, std::string("stopping after ") + c.finishing)) << ReadFile(err);
        const auto second = std::chrono::steady_clock::now();
        kill(child, SIGINT);
        const Exit stopped = WaitSnapagent(child, world.Base());
        std::cout
            << "[ stopped ] "
            << std::chrono::duration<double>(std::chrono::steady_clock::now() - second).count()
            << " s after the second Ctrl-C" << std::endl;
        EXPECT_EQ(stopped.status, 130) << stopped.err;
        EXPECT_NE(stopped.err.find("interrupted by SIGINT: " + std::string(c.stopped)),
                  std::string::npos)
            << stopped.err;
        EXPECT_EQ(stopped.err.find(" done"), std::string::npos) << stopped.err;
        EXPECT_EQ(nlohmann::json::parse(SplitLines(stopped.out).back())["outcome"], "interrupted");
        if (c.job == 2) {
            EXPECT_NE(stopped.err.find("post-backup clean-up"), std::string::npos) << stopped.err;
            continue;
        }
        EXPECT_FALSE(FileExists(world.Base() + "/array/.snapcatalog/projects/VKOP_1_0_1.cat"));
        const Exit again = RunSnapagent(job(1), world.Base());
        EXPECT_EQ(again.status, 0) << again.err;
        EXPECT_NE(again.err.find("clearing the leftovers of a stopped snapshot creation on volume "
                                 "projects"),
                  std::string::npos)
            << again.err;
        EXPECT_TRUE(
            FileExists(world.Base() + "/array/projects/.snapshot/VKOP_1_0_1/alpha/bulk7/f999"));
        EXPECT_FALSE(FileExists(world.Base() + "/array/projects/.snapshot/.creating"));
    }
}

}  // namespace
