// snapagent snapshots --delete on a real local array: on a terminal it
// deletes only what the operator typed "yes" to; the job after it backs the
// share of a deleted base up in full, whatever else the deletion notes hold;
// and a note that cannot be written fails the command, so that the operator
// learns why the next job needs a full scan.
#include "tests/support/TestSupport.h"
#include "tools/DemoWorld.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <cstdio>

using namespace snapagent;
using namespace testsupport;

TEST(SnapagentDelete, AsksOnATerminalAndTheNextJobBacksTheShareUpInFull) {
    DemoWorld world;
    WorldSpec plan;
    plan.shares = {{"data", ""}};
    ASSERT_TRUE(IsOk(world.Build(plan)));
    const std::string base = world.Base(), state = base + "/state";
    const std::string notes = state + "/client1/history/deleted-snapshots.jsonl";
    auto job = [&](const std::string& id) {
        return RunSnapagent({"job", "-q", "--config", world.ConfigPath(), "--client", "1", "--job",
                             id, world.Shares()[0].strSharePath},
                            base);
    };
    auto remove = [&](const std::string& name) {
        return std::vector<std::string>{"snapshots", "--config", world.ConfigPath(),
                                        "--client",  "1",        "--delete",
                                        "--force",   "--name",   name};
    };
    ASSERT_EQ(job("1").status, 0);

    struct Case {
        const char* input;
        int status;
        const char* shown;
        bool gone;
    } cases[] = {
        {"no\n", 1, "Type yes to delete it: snapagent: nothing deleted", false},
        {"\n", 1, "nothing deleted", false},
        {"yes\n", 0, "deleted VKOP_1_0_1 of volume data (application 0, job 1", true},
    };
    for (const Case& c : cases) {
        const Exit shown = OnATerminal(remove("VKOP_1_0_1"), state, c.input);
        EXPECT_EQ(shown.status, c.status) << c.input << shown.out;
        EXPECT_NE(shown.out.find("about to delete from the array:\r\n  VKOP_1_0_1 of volume data"),
                  std::string::npos)
            << shown.out;
        EXPECT_NE(shown.out.find(c.shown), std::string::npos) << shown.out;
        struct stat st;
        EXPECT_EQ(lstat((base + "/array/data/.snapshot/VKOP_1_0_1").c_str(), &st) != 0, c.gone)
            << c.input;
    }

    // Lines another hand or a crash left around the note are passed over.
    WriteFile(notes, "not json\n{\"volume\": 5, \"job\": \"1\"}\n" + ReadFile(notes) +
                         "{\"volume\": \"da");
    Exit next = job("2");
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_NE(next.err.find(": backed up in full: its base, snapshot VKOP_1_0_1 of job 1, was "
                            "deleted from volume data"),
              std::string::npos)
        << next.err;

    // Unnoted, the next job's comparison finds no base: the deletion says so.
    ASSERT_EQ(std::remove(notes.c_str()), 0);
    MakeDirs(notes);
    std::vector<std::string> args = remove("VKOP_1_0_2");
    args.push_back("--yes");
    const Exit unnoted = RunSnapagent(args, base);
    EXPECT_EQ(unnoted.status, 1) << unnoted.err;
    EXPECT_NE(unnoted.out.find("deleted VKOP_1_0_2"), std::string::npos) << unnoted.out;
    EXPECT_NE(unnoted.err.find("the next job of its shares may need a full scan"),
              std::string::npos)
        << unnoted.err;
    next = job("3");
    EXPECT_EQ(next.status, 3) << next.err;
    EXPECT_NE(next.err.find("needs a full scan (no snapshot of job 2 on volume data"),
              std::string::npos)
        << next.err;
}
