// snapagent: a command-line backup agent harness for the snapshot client
// plug-in. See CommandLine.cpp for the usage of each command.
#include "tools/CommandLine.h"
#include "tools/Demo.h"
#include "tools/JobCommand.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace snapagent;

namespace {

int UsageError(const std::string& message) {
    fprintf(stderr, "snapagent: error: %s (see snapagent --help)\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // Results on stdout and progress on stderr stay in order on a terminal.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return UsageError("name a command");
    const std::string command = args.front();
    args.erase(args.begin());
    std::string error;

    if (command == "--help" || command == "-h" || command == "help") {
        fputs(kMainUsage, stdout);
        return 0;
    }
    if (command == "demo") {
        DemoOptions options;
        if (!ParseDemoOptions(args, options, error)) return UsageError(error);
        if (options.common.bHelp) {
            fputs(kDemoUsage, stdout);
            return 0;
        }
        return RunDemo(options, stdout);
    }
    if (command == "job") {
        JobOptions options;
        if (!ParseJobOptions(args, options, error)) return UsageError(error);
        if (options.common.bHelp) {
            fputs(kJobUsage, stdout);
            return 0;
        }
        return RunJobCommand(options, stdout);
    }
    return UsageError("unknown command [" + command + "]");
}
