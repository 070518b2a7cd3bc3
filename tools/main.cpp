// snapagent: a command-line backup agent harness for the snapshot client
// plug-in. See CommandLine.cpp for the usage of each command.
#include "host/FileLogWriter.h"
#include "tools/CheckCommand.h"
#include "tools/CommandLine.h"
#include "tools/Demo.h"
#include "tools/StoreDumpCommand.h"
#include "tools/JobCommand.h"
#include "tools/PluginLoader.h"

#include <cstdio>
#include <sqlite3.h>
#include <string>
#include <vector>

using namespace snapagent;

namespace {

// Points at the help of the command that was misused, if any.
int UsageError(const std::string& message, const std::string& command = std::string()) {
    fprintf(stderr, "snapagent: error: %s (see snapagent %s--help)\n", message.c_str(),
            command.empty() ? "" : (command + " ").c_str());
    return kExitUsage;
}

// The usage text of a command, or null for an unknown one.
const char* UsageOf(const std::string& command) {
    if (command == "demo") return kDemoUsage;
    if (command == "job") return kJobUsage;
    if (command == "check") return kCheckUsage;
    if (command == "inspect") return kInspectUsage;
    return nullptr;
}

// Parses a command's options, then prints its help or runs it.
template <typename Options, typename Parse, typename Run>
int RunCommand(const std::string& command, const std::vector<std::string>& args, Parse parse,
               Run run) {
    Options options;
    std::string error;
    if (!parse(args, options, error)) return UsageError(error, command);
    if (options.common.bHelp) {
        fputs(UsageOf(command), stdout);
        return 0;
    }
    return run(options, stdout);
}

// The versions a support engineer asks for: this program's, the plug-in's
// it would load and the SQLite its change databases are written with.
int PrintVersion() {
    printf("snapagent %s\n", SNAPCLIENT_VERSION);
    const std::string path = PluginLoader::DefaultPath();
    PluginLoader plugin;
    std::string error;
    if (!plugin.Load(path, error)) {
        fprintf(stderr, "snapagent: error: %s\n", error.c_str());
        return kExitFailed;
    }
    printf("plug-in %s (%s)\nSQLite %s\n", plugin.Version().c_str(), path.c_str(),
           sqlite3_libversion());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Results on stdout and progress on stderr stay in order on a terminal.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // The host library installs no log writer of its own: until a command
    // installs the one it needs, the plug-in logs where the environment's
    // config says. Never destroyed, as code may log while the process exits.
    static CFileLogWriter* const startupLog = CreateConfiguredLogWriter();
    SetLogWriter(startupLog);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return UsageError("name a command");
    const std::string command = args.front();
    args.erase(args.begin());

    if (command == "--help" || command == "-h" || command == "help") {
        // "snapagent help job" prints what "snapagent job --help" prints.
        if (command == "help" && !args.empty()) {
            if (!UsageOf(args.front())) return UsageError("no command [" + args.front() + "]");
            fputs(UsageOf(args.front()), stdout);
            return 0;
        }
        fputs(kMainUsage, stdout);
        return 0;
    }
    if (command == "--version") return PrintVersion();
    if (command == "demo")
        return RunCommand<DemoOptions>(command, args, ParseDemoOptions, RunDemo);
    if (command == "job")
        return RunCommand<JobOptions>(command, args, ParseJobOptions, RunJobCommand);
    if (command == "check")
        return RunCommand<CheckOptions>(command, args, ParseCheckOptions, RunCheckCommand);
    if (command == "inspect") return RunInspectCommand(args, stdout);
    return UsageError("unknown command [" + command + "]");
}
