// snapagent: a command-line backup agent harness for the snapshot client
// plug-in. See CommandLine.cpp for the usage of each command.
#include "hostlib/FileLogWriter.h"
#include "hostlib/OutputFailure.h"
#include "tools/CheckCommand.h"
#include "tools/CommandLine.h"
#include "tools/Demo.h"
#include "tools/HistoryCommand.h"
#include "tools/ItemText.h"
#include "tools/JobCommand.h"
#include "tools/PluginLoader.h"
#include "tools/SnapshotsCommand.h"
#include "tools/StoreDumpCommand.h"

#include <sqlite3.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

using namespace snapagent;

namespace {

// Points at the help of the command that was misused, if any.
int UsageError(const std::string& message, const std::string& command = std::string()) {
    fprintf(stderr, "snapagent: error: %s (see snapagent %s--help)\n",
            PrintablePath(message).c_str(), command.empty() ? "" : (command + " ").c_str());
    return kExitUsage;
}

// The usage text of a command, or null for an unknown one.
const char* UsageOf(const std::string& command) {
    if (command == "demo") return kDemoUsage;
    if (command == "job") return kJobUsage;
    if (command == "check") return kCheckUsage;
    if (command == "inspect") return kInspectUsage;
    if (command == "snapshots") return kSnapshotsUsage;
    if (command == "history") return kHistoryUsage;
    if (command == "help") return kHelpUsage;
    return nullptr;
}

// Parses a command's options, then prints its help or runs it.
template <typename Options, typename Parse, typename Run>
int RunCommand(const std::string& command, const std::vector<std::string>& args, Parse parse,
               Run run, void (*usageJson)(const Options&, const std::string&, FILE*) = nullptr) {
    Options options;
    std::string error;
    if (!parse(args, options, error)) {
        const int status = UsageError(error, command);
        if (usageJson) usageJson(options, error, stdout);
        return status;
    }
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
    if (const hostlib::Status loaded = plugin.Load(path); !loaded.ok()) {
        fprintf(stderr, "snapagent: error: %s\n", loaded.message().c_str());
        return kExitFailed;
    }
    printf("plug-in %s (%s)\nSQLite %s\n", plugin.Version().c_str(), path.c_str(),
           sqlite3_libversion());
    return 0;
}

int RunCommandLine(std::vector<std::string> args) {
    // The shared flags may come before the command too: they go to it.
    std::vector<std::string> shared;
    while (!args.empty() && IsSharedFlag(args.front())) {
        shared.push_back(args.front());
        args.erase(args.begin());
    }
    if (args.empty()) return UsageError("name a command");
    const std::string command = args.front();
    args.erase(args.begin());
    // Help prints the same text whatever they say.
    if (command != "help" && command != "--help" && command != "-h")
        args.insert(args.begin(), shared.begin(), shared.end());

    if (command == "--help" || command == "-h" || command == "help") {
        // "snapagent help job" prints what "snapagent job --help" prints.
        if (command == "help" && !args.empty()) {
            const std::string& about =
                args.front() == "--help" || args.front() == "-h" ? "help" : args.front();
            if (!UsageOf(about)) return UsageError("no command [" + about + "]");
            fputs(UsageOf(about), stdout);
            return 0;
        }
        fputs(kMainUsage, stdout);
        return 0;
    }
    if (command == "--version" || command == "-V") return PrintVersion();
    if (command == "demo") return RunCommand<DemoOptions>(command, args, ParseDemoOptions, RunDemo);
    if (command == "job")
        return RunCommand<JobOptions>(command, args, ParseJobOptions, RunJobCommand,
                                      WriteUsageErrorJson);
    if (command == "check")
        return RunCommand<CheckOptions>(command, args, ParseCheckOptions, RunCheckCommand);
    if (command == "inspect") return RunInspectCommand(args, stdout);
    if (command == "snapshots") return RunSnapshotsCommand(args, stdout);
    if (command == "history") return RunHistoryCommand(args, stdout);
    return UsageError("unknown command [" + command + "]");
}

}  // namespace

int main(int argc, char** argv) {
    // Results on stdout and progress on stderr stay in order on a terminal.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // A reader that goes away (snapagent job ... | head) makes the next
    // write fail with EPIPE, which ends the job as failed output, instead of
    // killing the process in the middle of a plug-in call.
    signal(SIGPIPE, SIG_IGN);
    // Until a command installs the log its config names, failures the
    // plug-in or the host library log go to stderr; no file is touched
    // before then. Never destroyed, as code may log while the process exits.
    static CFileLogWriter* const startupLog = new CFileLogWriter(-1, std::string());
    SetLogWriter(startupLog);
    int status = RunCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    // The results are complete only when stdout took every byte.
    if (fflush(stdout) != 0)
        OutputFailure::Note("cannot write to stdout", errno);
    else if (ferror(stdout))
        OutputFailure::Note("cannot write to stdout", EIO);
    if (fclose(stdout) != 0) OutputFailure::Note("cannot close stdout", errno);
    const std::string unreported = OutputFailure::Take();
    if (!unreported.empty()) {
        fprintf(stderr, "snapagent: error: %s\n", PrintablePath(unreported).c_str());
        status = kExitFailed;
    }
    return status;
}
