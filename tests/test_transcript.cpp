// Job transcripts: a recorded local-array cycle replays with identical
// transcripts; the transcript's error texts hold no source locations or
// temporary folders. The worked job examples are scenarios
// (tests/scenarios).
#include "test_transcript_process.h"
#include "tests/support/TestSupport.h"
#include "tools/DemoWorld.h"
#include "tools/ErrorJson.h"
#include "tools/FileOps.h"

#include "host/FXErrorUtil.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <set>

using namespace snapagent;
using namespace transcripttest;
using testsupport::TempDir;

namespace {

TEST(Transcript, RecordedLocalArrayCycleReplaysIdentically) {
    for (bool cluster : {true, false}) {
        SCOPED_TRACE(cluster ? "cluster" : "not a cluster");
        DemoWorld world;
        std::string error;
        ASSERT_TRUE(world.Build(DemoWorld::DemoSpec(cluster), error)) << error;
        const std::string alpha = world.Shares()[0].strLiveDir;
        ASSERT_TRUE(WriteBytes(alpha + "/kept.txt", "one\n", false, error) &&
                    WriteBytes(alpha + "/old.txt", "two\n", false, error))
            << error;
        const std::string baseConfig = Slurp(world.ConfigPath());
        std::vector<std::string> shares;
        for (const BuiltShare& share : world.Shares()) shares.push_back(share.strSharePath);

        auto configWith = [&](const std::string& name, const std::string& backend) {
            std::string text = baseConfig;
            const std::string from = "backend = local\n";
            text.replace(text.find(from), from.size(), backend);
            const std::string path = world.Base() + "/" + name;
            EXPECT_TRUE(WriteBytes(path, text, false, error)) << error;
            return path;
        };
        auto runJob = [&](const std::string& config, LONGLONG job, const std::string& tag) {
            const std::string results = world.Base() + "/results-" + tag;
            const std::string transcript = world.Base() + "/" + tag + ".jsonl";
            std::vector<std::string> args{"job", "--quiet", "--config", config, "--client", "1",
                                          "--job", std::to_string(job), "--prev",
                                          std::to_string(job - 1), "--results", results,
                                          "--transcript", transcript};
            args.insert(args.end(), shares.begin(), shares.end());
            const Exit exit = RunSnapagent(args, world.Base());
            EXPECT_TRUE(exit.bExited && exit.status == 0) << exit.status << " " << exit.err;
            return Slurp(transcript);
        };
        for (LONGLONG job : {1, 2}) {
            SCOPED_TRACE(job);
            if (job == 2) {
                ASSERT_TRUE(WriteBytes(alpha + "/new.txt", "three\n", false, error) &&
                            RenamePath(alpha + "/old.txt", alpha + "/renamed.txt", error))
                    << error;
            }
            const std::string recording = world.Base() + "/rec" + std::to_string(job) + ".json";
            const std::string recorded = runJob(
                configWith("record.conf",
                           "backend = record\ninner = local\nrecord_to = " + recording + "\n"),
                job, "recorded" + std::to_string(job));
            const std::string replayed = runJob(
                configWith("replay.conf", "backend = scripted\nscript = " + recording + "\n"), job,
                "replayed" + std::to_string(job));
            EXPECT_EQ(replayed, recorded);
            if (job == 2) {
                EXPECT_NE(recorded.find("/renamed.txt\""), std::string::npos) << recorded;
            }
        }
    }
}

TEST(Transcript, ErrorTextsKeepFunctionsAndDropLocationsAndFolders) {
    struct Case {
        std::string text, stable;
    } cases[] = {
        {"Success", "Success"},
        {"Error 5 (0x80070005): denied\n  at virtual CRyError A::B(int, std::string) (/src/a.cpp:12)",
         "Error 5 (0x80070005): denied\n  at A::B"},
        {"Error 5 (0x80070005)\n  at int f() (/x.cpp:1)\n  at void g(char (&)[4]) (/y.cpp:20): "
         "pushed (with parens)",
         "Error 5 (0x80070005)\n  at f\n  at g: pushed (with parens)"},
        {"Event 0x110000A5 [s] [/p/.snapshot/s]\n  at bool (anonymous namespace)::h() (a.cpp:3)",
         "Event 0x110000A5 [s] [/p/.snapshot/s]\n  at {anonymous}::h"},
        // Not a location: no line number, or text after the parenthesis.
        {"x\n  at f (a.cpp:)", "x\n  at f (a.cpp:)"},
        {"x\n  at f (a.cpp:3) trailing", "x\n  at f (a.cpp:3) trailing"},
        {"message (file.cpp:3) outside a frame", "message (file.cpp:3) outside a frame"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(WithoutSourceLocations(c.text), c.stable);
    }

    TextPlaceholders placeholders;
    placeholders.SetFolder("/tmp/job7/", "${RESULTS}");
    CRyError err = FXErrorUtil::ErrorWin32(FX_LOCATION, ERROR_FUNCTION_FAILED,
                                           " Failed to open [%s] file", "/tmp/job7/map.vkf");
    err.Push(FX_LOCATION, "again in /tmp/job7");
    const nlohmann::ordered_json json = ErrorJson(err, placeholders);
    EXPECT_EQ(json["kind"], "win32");
    EXPECT_EQ(json["code"], 1627);
    const std::string text = json["text"];
    EXPECT_EQ(text.find("/tmp/job7"), std::string::npos) << text;
    EXPECT_EQ(text.find(__FILE__), std::string::npos) << text;
    EXPECT_NE(text.find("Failed to open [${RESULTS}/map.vkf] file"), std::string::npos) << text;
    EXPECT_NE(text.find(": again in ${RESULTS}"), std::string::npos) << text;

    // An event argument that is not UTF-8 keeps its bytes, as hex.
    CRyError event = FXErrorUtil::ErrorEventMessage(FX_LOCATION, 0x11000093);
    event.AddArgument("VKOP_\xFF");
    EXPECT_EQ(ErrorJson(event, placeholders)["args"][0]["hex"], "564b4f505fff");
    EXPECT_EQ(ErrorJson(event, placeholders)["event_id"], 0x11000093u);
}

}  // namespace
