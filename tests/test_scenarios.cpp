// Runs every job scenario under tests/scenarios (one test per file) through
// `snapagent job --transcript` on a scripted array and compares what the
// agent saw with what the scenario expects; tests/scenarios/README.md has
// the format.
#include "test_transcript_process.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <set>
#include <sstream>

using json = nlohmann::ordered_json;
using namespace transcripttest;
using testsupport::TempDir;

namespace {

const std::string kScenarioDir = SNAPCLIENT_SOURCE_DIR "/tests/scenarios";

// Whether actual holds everything expected gives: objects on the expected
// keys alone (nested too), arrays element by element and of the same length.
bool Matches(const json& expected, const json& actual) {
    if (expected.is_object()) {
        if (!actual.is_object()) return false;
        for (auto it = expected.begin(); it != expected.end(); ++it)
            if (!actual.contains(it.key()) || !Matches(it.value(), actual[it.key()])) return false;
        return true;
    }
    if (expected.is_array()) {
        if (!actual.is_array() || actual.size() != expected.size()) return false;
        for (size_t i = 0; i < expected.size(); ++i)
            if (!Matches(expected[i], actual[i])) return false;
        return true;
    }
    return expected == actual;
}

// actual cut down to the keys of shape, so that a diff line shows what
// the scenario asks about and nothing else.
json Reduce(const json& actual, const json& shape) {
    if (!shape.is_object() || !actual.is_object()) return actual;
    json out = json::object();
    for (auto it = shape.begin(); it != shape.end(); ++it)
        if (actual.contains(it.key())) out[it.key()] = Reduce(actual[it.key()], it.value());
    return out;
}

// A line-by-line diff of expected and actual transcript lines over their
// longest common run of matching lines: "  " matched, "- " expected but
// missing, "+ " seen but not expected (reduced to the keys the scenario
// gives for lines of its type).
std::string Diff(const std::vector<json>& expected, const std::vector<json>& actual) {
    const size_t n = expected.size(), m = actual.size();
    std::vector<std::vector<size_t>> lcs(n + 1, std::vector<size_t>(m + 1, 0));
    for (size_t i = n; i-- > 0;)
        for (size_t j = m; j-- > 0;)
            lcs[i][j] = Matches(expected[i], actual[j]) ? lcs[i + 1][j + 1] + 1
                                                        : std::max(lcs[i + 1][j], lcs[i][j + 1]);
    auto shapeFor = [&](const json& line) {
        json shape = json::object();
        for (const json& e : expected)
            if (e.value("type", "") == line.value("type", "")) shape.update(e);
        return shape.empty() ? line : shape;
    };
    std::ostringstream out;
    size_t i = 0, j = 0;
    while (i < n || j < m) {
        if (i < n && j < m && Matches(expected[i], actual[j])) {
            out << "  " << expected[i++].dump() << "\n";
            ++j;
        } else if (i < n && (j == m || lcs[i + 1][j] >= lcs[i][j + 1])) {
            out << "- " << expected[i++].dump() << "\n";
        } else {
            out << "+ " << Reduce(actual[j], shapeFor(actual[j])).dump() << "\n";
            ++j;
        }
    }
    return out.str();
}

std::vector<json> ParseLines(const std::string& text) {
    std::vector<json> lines;
    for (const std::string& line : SplitLines(text)) lines.push_back(json::parse(line));
    return lines;
}

// The plug-in log's lines as {level, message}:
// "time\tpid\tjob\tlevel\tfunction\tline\tmessage" (docs/log-format.md).
std::vector<std::pair<int, std::string>> LogLines(const std::string& path) {
    std::vector<std::pair<int, std::string>> lines;
    for (const std::string& line : SplitLines(Slurp(path))) {
        std::vector<size_t> tabs;
        for (size_t tab = line.find('\t'); tab != std::string::npos && tabs.size() < 6;
             tab = line.find('\t', tab + 1))
            tabs.push_back(tab);
        if (tabs.size() < 6) continue;
        lines.emplace_back(std::stoi(line.substr(tabs[2] + 1, tabs[3] - tabs[2] - 1)),
                           line.substr(tabs[5] + 1));
    }
    return lines;
}

std::string Config(const std::string& dir, const std::string& extra) {
    return testsupport::ClientConfig(
        "[array]\nbackend = scripted\nscript = " + dir + "/array.json\nsave_state = true\n\n"
        "[automount]\n/mnt/projects = filer1:/vol/projects\n/mnt/home = filer1:/vol/home\n\n"
        "[log]\nlevel = 3\nfile = " + dir + "/plugin.log\n\n" + extra);
}

// The array document as the scenario gives it: an object, a string written
// as it is (a broken document), or null for no document at all.
void WriteArray(const json& array, const std::string& path) {
    std::remove(path.c_str());
    if (!array.is_null())
        testsupport::WriteFile(path, array.is_string() ? array.get<std::string>() : array.dump(1));
}

void CheckJob(const json& scenario, const json& job, const std::string& dir, size_t index) {
    const std::string tag = std::to_string(index + 1);
    if (job.contains("array")) WriteArray(job["array"], dir + "/array.json");
    testsupport::WriteFile(dir + "/snapclient.conf",
                           Config(dir, scenario.value("config", std::string()) +
                                           job.value("config", std::string())));
    std::vector<std::string> args{"job", "--quiet", "--config", dir + "/snapclient.conf",
                                  "--results", dir + "/results" + tag,
                                  "--transcript", dir + "/transcript" + tag + ".jsonl"};
    for (const json& arg : job.at("args")) args.push_back(arg.get<std::string>());
    for (const json& share : job.value("shares", json::array())) args.push_back(share.get<std::string>());
    std::remove((dir + "/plugin.log").c_str());
    const Exit exit = RunSnapagent(args, dir);
    ASSERT_TRUE(exit.bExited) << "killed by signal " << exit.status << "\n" << exit.err;
    EXPECT_EQ(exit.status, job.value("exit", 0)) << exit.err;

    if (job.contains("transcript")) {
        const std::vector<json> expected(job["transcript"].begin(), job["transcript"].end());
        std::vector<json> actual = ParseLines(Slurp(dir + "/transcript" + tag + ".jsonl"));
        // An empty list means no line at all: the job never started.
        if (!actual.empty() && actual[0].value("type", "") == "job" && !expected.empty() &&
            expected[0].value("type", "") != "job")
            actual.erase(actual.begin());
        bool same = expected.size() == actual.size();
        for (size_t i = 0; same && i < expected.size(); ++i) same = Matches(expected[i], actual[i]);
        EXPECT_TRUE(same) << "transcript (- expected, + actual):\n" << Diff(expected, actual);
    }
    size_t from = 0;
    for (const json& text : job.value("stderr", json::array())) {
        const size_t at = exit.err.find(text.get<std::string>(), from);
        EXPECT_NE(at, std::string::npos) << "stderr lacks " << text << " (in order):\n" << exit.err;
        if (at != std::string::npos) from = at + text.get<std::string>().size();
    }
    const auto log = LogLines(dir + "/plugin.log");
    for (const json& want : job.value("log", json::array())) {
        const int level = want.at("level");
        const std::string text = want.at("contains");
        EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::pair<int, std::string>& l) {
            return l.first == level && l.second.find(text) != std::string::npos;
        })) << "no log line at level " << level << " containing \"" << text << "\"\n"
            << Slurp(dir + "/plugin.log");
    }
    if (job.contains("snapshots")) {
        const json array = json::parse(Slurp(dir + "/array.json"));
        for (auto it = job["snapshots"].begin(); it != job["snapshots"].end(); ++it) {
            std::set<std::string> expected, actual;
            for (const json& name : it.value()) expected.insert(name.dump());
            for (const json& volume : array.value("snapshots", json::array()))
                if (volume.at("volume") == it.key())
                    for (const json& name : volume.at("names")) actual.insert(name.dump());
            EXPECT_EQ(actual, expected) << "snapshots of volume " << it.key();
        }
    }
}

// The scenario files as the build found them (names without ".json").
std::vector<std::string> ScenarioNames() {
    std::vector<std::string> names;
    std::istringstream list(SNAPCLIENT_SCENARIOS);
    for (std::string name; std::getline(list, name, ',');)
        if (!name.empty()) names.push_back(name);
    return names;
}

class Scenario : public testing::TestWithParam<std::string> {};

TEST_P(Scenario, Runs) {
    const json scenario = json::parse(Slurp(kScenarioDir + "/" + GetParam() + ".json"));
    TempDir dir;
    WriteArray(scenario.value("array", json()), dir / "array.json");
    const json& jobs = scenario.at("jobs");
    for (size_t i = 0; i < jobs.size() && !HasFatalFailure(); ++i) {
        SCOPED_TRACE("job " + std::to_string(i + 1) + " of " + GetParam());
        CheckJob(scenario, jobs[i], dir.Path(), i);
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Scenario, testing::ValuesIn(ScenarioNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

}  // namespace
