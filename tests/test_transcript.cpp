// Job transcripts: the worked examples of the change scan and of the
// snapshot lifecycle run end to end through `snapagent job --transcript`
// on scripted arrays and must give the expected transcripts byte for byte;
// a recorded local-array cycle replays with identical transcripts; broken
// array settings give one error line and a failing exit, never a crash;
// the transcript's error texts hold no source locations or temporary
// folders; the plug-in's log file keeps one message per line.
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

const std::string kDataDir = SNAPCLIENT_SOURCE_DIR "/tests/data";

// A scripted array holding the script at dir/array.json (saved back after
// each job), and shares resolved through the auto-mount map.
std::string ScriptedConfig(const std::string& dir, const std::string& extra = std::string()) {
    return testsupport::ClientConfig(
        "[array]\nbackend = scripted\nscript = " + dir + "/array.json\nsave_state = true\n\n"
        "[automount]\n/mnt/projects = filer1:/vol/projects\n/mnt/home = filer1:/vol/home\n\n"
        "[log]\nlevel = 3\nfile = " + dir + "/plugin.log\n\n" + extra);
}

std::map<std::string, std::set<std::string>> SavedSnapshots(const std::string& path) {
    std::map<std::string, std::set<std::string>> out;
    const nlohmann::json doc = nlohmann::json::parse(Slurp(path));
    for (const auto& volume : doc.at("snapshots"))
        for (const auto& name : volume.at("names"))
            out[volume.at("volume").get<std::string>()].insert(name.get<std::string>());
    return out;
}

struct ExampleJob {
    LONGLONG job, prev;
    std::vector<std::string> extraArgs;
    std::string expected;  // transcript file under tests/data/transcripts
    int exitStatus;
    std::map<std::string, std::set<std::string>> snapshotsAfter;  // empty: not checked
};

struct Example {
    std::string script;  // under tests/data/scripts
    std::vector<std::string> shares;
    std::vector<ExampleJob> jobs;
};

const std::vector<std::string> kOneShare{"/mnt/projects/a"};
const std::vector<std::string> kThreeShares{"/mnt/projects/a", "/mnt/projects/b", "/mnt/home"};

TEST(Transcript, WorkedExamplesGiveTheExpectedTranscripts) {
    const std::set<std::string> others{"VKOP_3_0_1", "hourly.0"};
    auto with = [](std::set<std::string> names, const std::string& name) {
        names.insert(name);
        return names;
    };
    const Example examples[] = {
        {"name-decoding", kOneShare, {{812, 811, {}, "name-decoding.job1.jsonl", 0,
                                      {{"projects", {"VKOP_2_0_812"}}}}}},
        {"rename-split", kOneShare, {{812, 811, {}, "rename-split.job1.jsonl", 0, {}}}},
        // The first volume's run never ends: the share is refused with 995
        // and the job goes on; the second recovers from 100 empty batches.
        {"empty-batches", {"/mnt/projects/a", "/mnt/home"},
         {{812, 811, {}, "empty-batches.job1.jsonl", 0, {}}}},
        {"non-cluster-names", kOneShare, {{812, 811, {}, "non-cluster-names.job1.jsonl", 0, {}}}},
        {"two-jobs-cluster", kThreeShares,
         {{1, 0, {}, "two-jobs-cluster.job1.jsonl", 0,
           {{"projects", with(others, "VKOP_2_0_1")}, {"home", {"VKOP_2_0_1"}}}},
          {2, 1, {}, "two-jobs-cluster.job2.jsonl", 0,
           {{"projects", with(others, "VKOP_2_0_2")}, {"home", {"VKOP_2_0_2"}}}}}},
        // The auto-mount of home failed in the second job: its snapshot goes
        // at once, and the clean-up removes the first job's as elsewhere.
        {"two-jobs-non-cluster", kThreeShares,
         {{1, 0, {}, "two-jobs-non-cluster.job1.jsonl", 0,
           {{"projects", with(others, "VKOP_2_0_1")}, {"home", {"VKOP_2_0_1"}}}},
          {2, 1, {"--failed-mount", "filer1:/vol/home"}, "two-jobs-non-cluster.job2.jsonl", 0,
           {{"projects", with(others, "VKOP_2_0_2")}, {"home", {}}}}}},
    };
    for (const Example& example : examples) {
        SCOPED_TRACE(example.script);
        TempDir dir;
        testsupport::WriteFile(dir / "array.json",
                               Slurp(kDataDir + "/scripts/" + example.script + ".json"));
        testsupport::WriteFile(dir / "snapclient.conf", ScriptedConfig(dir.Path()));
        for (const ExampleJob& job : example.jobs) {
            SCOPED_TRACE(job.expected);
            const std::string results = dir / ("results" + std::to_string(job.job));
            std::vector<std::string> args{"job", "--quiet", "--config", dir / "snapclient.conf",
                                          "--client", "2", "--job", std::to_string(job.job),
                                          "--prev", std::to_string(job.prev), "--results", results,
                                          "--auto-mount", "--transcript", dir / "transcript.jsonl"};
            args.insert(args.end(), job.extraArgs.begin(), job.extraArgs.end());
            args.insert(args.end(), example.shares.begin(), example.shares.end());
            const Exit exit = RunSnapagent(args, dir.Path());
            ASSERT_TRUE(exit.bExited) << "killed by signal " << exit.status;
            EXPECT_EQ(exit.status, job.exitStatus) << exit.err;
            EXPECT_EQ(Slurp(dir / "transcript.jsonl"),
                      Slurp(kDataDir + "/transcripts/" + job.expected));
            if (!job.snapshotsAfter.empty()) {
                auto saved = SavedSnapshots(dir / "array.json");
                for (const auto& volume : job.snapshotsAfter)
                    EXPECT_EQ(saved[volume.first], volume.second) << volume.first;
            }
        }
    }
}

// The decoding table, read back from the expected transcript: what each
// name as the array sent it becomes in the agent's hands.
TEST(Transcript, DecodedNamesReachTheAgentAsTheRulesSay) {
    const std::map<uint64_t, std::string> expected = {
        {100, "report final.txt"}, {101, "caf\xC3\xA9"}, {102, "AB"},
        {103, "dir/name"},  // 5C gives a backslash, which share matching turns into "/"
        {104, "a/b"},       {105, "aAb"},
        {106, "/41"},       // \5C5C41: two passes give \41, then "/" for the backslash
        {107, "x/5c"},      {108, "x/zz"},  {109, "x/4"}, {110, "plain.txt"},
        {122, "cut"},       // \00 ends the name
    };
    std::map<uint64_t, std::string> delivered;
    for (const std::string& line :
         SplitLines(Slurp(kDataDir + "/transcripts/name-decoding.job1.jsonl"))) {
        const nlohmann::json json = nlohmann::json::parse(line);
        if (json["type"] != "item" || json["status"] == 5) continue;
        const std::string path = json["path"];
        ASSERT_EQ(path.compare(0, 16, "/mnt/projects/a/"), 0) << path;
        delivered[json["inode"]] = path.substr(16);
    }
    // 120 and 121 decode to a ".." component and never reach the agent.
    EXPECT_EQ(delivered, expected);
}

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

TEST(Transcript, BrokenArraySettingsGiveOneErrorLine) {
    struct Case {
        std::string script;  // empty: no script file at all
        std::string faults;
        std::string error;
    } cases[] = {
        {"{\"cluster\": tru", "", "not a JSON document"},
        {"", "", "cannot read"},
        {"{\"clustr\": true}", "", "unknown key \"clustr\""},
        {"{\"snapshots\": [{\"volume\": \"v\", \"names\": [{\"hex\": \"zz\"}]}]}", "",
         "snapshots[0].names[0]"},
        {"{\"snapdiffs\": [{\"volume\": \"v\", \"base\": \"a\", \"incremental\": \"b\", "
         "\"batches\": [{\"changes\": [], \"end\": 1}]}]}",
         "", "snapdiffs[0].batches[0].end"},
        {"[1, 2, 3]", "", "array script"},
        {"\xFF\xFE", "", "not a JSON document"},
        {"{}", "[faults]\nfault.1 = SnapDiffNxt 1 *\n", "unknown operation [SnapDiffNxt]"},
        {"{}", "[faults]\nfault.1 = SnapDiffNext zero *\n", "call number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        TempDir dir;
        if (!c.script.empty()) testsupport::WriteFile(dir / "array.json", c.script);
        testsupport::WriteFile(dir / "snapclient.conf", ScriptedConfig(dir.Path(), c.faults));
        const Exit exit = RunSnapagent({"job", "--config", dir / "snapclient.conf", "--client", "2",
                               "--job", "2", "--prev", "1", "--results", dir / "results",
                               "--auto-mount", "--transcript", dir / "t.jsonl", "/mnt/projects/a"},
                              dir.Path());
        ASSERT_TRUE(exit.bExited) << "killed by signal " << exit.status;
        EXPECT_EQ(exit.status, 1);
        ASSERT_EQ(SplitLines(exit.err).size(), 1u) << exit.err;
        EXPECT_EQ(exit.err.compare(0, 18, "snapagent: error: "), 0) << exit.err;
        EXPECT_NE(exit.err.find(c.error), std::string::npos) << exit.err;
        // Nothing reached the array: the job never started.
        EXPECT_FALSE(testsupport::FileExists(dir / "t.jsonl"));
    }
}

TEST(Transcript, FailedJobIsTranscribedAndLoggedOneMessageALine) {
    TempDir dir;
    testsupport::WriteFile(dir / "array.json", Slurp(kDataDir + "/scripts/name-decoding.json"));
    testsupport::WriteFile(dir / "snapclient.conf", ScriptedConfig(dir.Path()));
    // No auto-mount entry covers the share: no share is kept.
    const Exit exit = RunSnapagent({"job", "--quiet", "--config", dir / "snapclient.conf", "--client", "2",
                           "--job", "812", "--prev", "811", "--results", dir / "results",
                           "--auto-mount", "--transcript", dir / "t.jsonl", "/srv/elsewhere"},
                          dir.Path());
    ASSERT_TRUE(exit.bExited);
    EXPECT_EQ(exit.status, 1);
    const std::vector<std::string> lines = SplitLines(Slurp(dir / "t.jsonl"));
    ASSERT_EQ(lines.size(), 5u);
    const nlohmann::json configure = nlohmann::json::parse(lines[3]);
    EXPECT_EQ(configure["op"], "ConfigureSnapshot");
    EXPECT_EQ(configure["result"]["kind"], "event");
    EXPECT_EQ(configure["result"]["event_id"], 0x11000086u);
    EXPECT_EQ(configure["result"]["args"], nlohmann::json::array({""}));
    EXPECT_EQ(nlohmann::json::parse(lines[4])["outcome"], "failed");

    // The failure summary holds a newline; the log keeps it on one line.
    bool found = false;
    for (const std::string& line : SplitLines(Slurp(dir / "plugin.log"))) {
        const std::vector<std::string> fields = [&] {
            std::vector<std::string> out;
            size_t start = 0;
            for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
                out.push_back(line.substr(start, tab - start));
            out.push_back(line.substr(start));
            return out;
        }();
        ASSERT_EQ(fields.size(), 4u) << line;
        EXPECT_TRUE(fields[0] >= "-1" && fields[0].size() <= 2) << line;
        EXPECT_GT(std::stoi(fields[2]), 0) << line;
        if (fields[3] == "Processing of shares failed:\\n[]") {
            found = true;
            EXPECT_EQ(fields[0], "-1");
        }
    }
    EXPECT_TRUE(found) << Slurp(dir / "plugin.log");
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
