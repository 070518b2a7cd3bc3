// Runs every job scenario under tests/scenarios (one test per file) through
// `snapagent job --transcript` on a scripted array and compares what the
// agent saw with what the scenario expects; tests/scenarios/README.md has
// the format.
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <regex>
#include <set>
#include <sstream>

using json = nlohmann::ordered_json;
using namespace testsupport;

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
    // An error text given without its code locations ("\n  at ...") stands
    // for itself followed by any of them.
    if (expected.is_string() && actual.is_string()) {
        const std::string want = expected, seen = actual, at = "\n  at ";
        return want == (want.find(at) == std::string::npos ? seen.substr(0, seen.find(at)) : seen);
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

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// What a scenario or a job sets up before it runs: the array document (an
// object, a string written as it is, or null for none), files, folders and
// hard links under the scenario's folder, "${DIR}" standing for that folder.
void Prepare(const json& node, const std::string& dir) {
    if (node.contains("array")) {
        const json& array = node["array"];
        std::remove((dir + "/array.json").c_str());
        if (!array.is_null())
            WriteFile(dir + "/array.json",
                      array.is_string() ? array.get<std::string>() : array.dump(1));
    }
    for (const json& folder : node.value("dirs", json::array()))
        MakeDirs(dir + "/" + folder.get<std::string>());
    const json files = node.value("files", json::object());
    for (auto it = files.begin(); it != files.end(); ++it)
        WriteFile(dir + "/" + it.key(), Replace(it.value(), "${DIR}", dir));
    const json links = node.value("links", json::object());
    for (auto it = links.begin(); it != links.end(); ++it)
        ASSERT_EQ(0, link((dir + "/" + it.value().get<std::string>()).c_str(),
                          (dir + "/" + it.key()).c_str()))
            << it.key();
}

// Whether the lines hold the expected ones in order, others between them.
bool HasInOrder(const std::vector<json>& lines, const json& expected) {
    size_t at = 0;
    for (const json& want : expected) {
        while (at < lines.size() && !Matches(want, lines[at])) ++at;
        if (at++ >= lines.size()) return false;
    }
    return true;
}

void CheckJob(const json& scenario, const json& job, const std::string& dir, size_t index) {
    const std::string tag = std::to_string(index + 1);
    Prepare(job, dir);
    WriteFile(
        dir + "/snapclient.conf",
        Replace(
            ClientConfig(
                "[array]\nbackend = scripted\nscript = ${DIR}/array.json\nsave_state = true\n"
                "calls_log = ${DIR}/calls.log\n[automount]\n/mnt/projects = filer1:/vol/projects\n"
                "/mnt/home = filer1:/vol/home\n\n[log]\nlevel = 3\nfile = ${DIR}/plugin.log\n\n" +
                scenario.value("config", std::string()) + job.value("config", std::string())),
            "${DIR}", dir));
    chmod((dir + "/snapclient.conf").c_str(), 0600);  // it holds a password
    const std::string command = job.value("command", "job");
    const bool bare = job.contains("argv");  // the whole command line, nothing added
    std::vector<std::string> args;
    if (!bare) args = {command, "--config", dir + "/snapclient.conf"};
    if (!bare && command == "job")
        args.insert(args.end(),
                    {"--quiet", "--results", dir + "/" + job.value("results", "results" + tag),
                     "--transcript", dir + "/transcript" + tag + ".jsonl"});
    for (const json& arg : job.at(bare ? "argv" : "args"))
        args.push_back(Replace(arg, "${DIR}", dir));
    for (const json& share : job.value("shares", json::array()))
        args.push_back(Replace(share, "${DIR}", dir));
    std::remove((dir + "/plugin.log").c_str());
    std::remove((dir + "/calls.log").c_str());
    const Exit exit = RunSnapagent(args, dir);
    ASSERT_TRUE(exit.bExited) << "killed by signal " << exit.status << "\n" << exit.err;
    const std::string err = Replace(exit.err, dir, "${DIR}");
    EXPECT_EQ(exit.status, job.value("exit", 0)) << err;
    if (job.contains("stderr_lines")) {
        EXPECT_EQ(SplitLines(exit.err).size(), job["stderr_lines"].get<size_t>()) << err;
    }

    if (job.contains("transcript")) {
        const std::vector<json> expected(job["transcript"].begin(), job["transcript"].end());
        std::vector<json> actual =
            ParseLines(Replace(ReadFile(dir + "/transcript" + tag + ".jsonl"), dir, "${DIR}"));
        // An empty list means no line at all: the job never started.
        if (!actual.empty() && actual[0].value("type", "") == "job" && !expected.empty() &&
            expected[0].value("type", "") != "job")
            actual.erase(actual.begin());
        // Share outcome lines are compared when the scenario gives some.
        const auto isShare = [](const json& line) { return line.value("type", "") == "share"; };
        if (std::none_of(expected.begin(), expected.end(), isShare))
            actual.erase(std::remove_if(actual.begin(), actual.end(), isShare), actual.end());
        bool same = expected.size() == actual.size();
        for (size_t i = 0; same && i < expected.size(); ++i) same = Matches(expected[i], actual[i]);
        EXPECT_TRUE(same) << "transcript (- expected, + actual):\n" << Diff(expected, actual);
    }
    const std::string out = Replace(exit.out, dir, "${DIR}");
    for (const auto& stream : {std::make_pair("stdout", &out), std::make_pair("stderr", &err)}) {
        size_t from = 0;
        for (const json& text : job.value(stream.first, json::array())) {
            const size_t at = stream.second->find(text.get<std::string>(), from);
            EXPECT_NE(at, std::string::npos)
                << stream.first << " lacks " << text << " (in order):\n"
                << *stream.second;
            if (at != std::string::npos) from = at + text.get<std::string>().size();
        }
    }
    const std::string logText = Replace(ReadFile(dir + "/plugin.log"), dir, "${DIR}");
    for (const json& want : job.value("log", json::array())) {
        // time \t pid \t client \t job \t level \t function \t line \t message
        const std::regex level("^([^\t]*\t){4}" + want.at("level").dump() + "\t");
        const std::string text = want.at("contains");
        bool found = false;
        std::smatch at;
        for (const std::string& line : SplitLines(logText))
            found |= std::regex_search(line, at, level) &&
                     line.find(text, at.length()) != std::string::npos;
        EXPECT_TRUE(found) << "no log line at level " << want["level"] << " containing \"" << text
                           << "\":\n"
                           << logText;
    }
    if (job.contains("calls")) {
        const std::vector<json> calls = ParseLines(ReadFile(dir + "/calls.log"));
        EXPECT_TRUE(HasInOrder(calls, job["calls"])) << "array calls lack, in order:\n"
                                                     << job["calls"].dump(1) << "\ncalls:\n"
                                                     << ReadFile(dir + "/calls.log");
    }
    if (job.contains("snapshots")) {
        const json array = json::parse(ReadFile(dir + "/array.json"));
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
    const json scenario = json::parse(ReadFile(kScenarioDir + "/" + GetParam() + ".json"));
    TempDir dir;
    Prepare(scenario, dir.Path());
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
