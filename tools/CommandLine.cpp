#include "tools/CommandLine.h"

#include <cstdlib>
#include <limits>

namespace snapagent {

const char kDefaultConfigPath[] = "/etc/snapclient/snapclient.conf";

const char kMainUsage[] =
    "usage: snapagent COMMAND [OPTIONS]\n"
    "\n"
    "Drives the snapshot client plug-in as a NAS backup agent does.\n"
    "\n"
    "commands:\n"
    "  demo    build a demo array, run a full and an incremental job, verify the\n"
    "          delivered changes against the real trees\n"
    "  job     run one job on the array a config file names\n"
    "  check   check a config, its credentials, the array and the shares,\n"
    "          changing nothing\n"
    "  inspect print the events of a change database of a job's results folder\n"
    "  snapshots\n"
    "          list a client's snapshots on the array and the next job's base\n"
    "  history list a client's jobs and what each did for each share\n"
    "\n"
    "snapagent --version (-V) prints the versions of snapagent, the plug-in and\n"
    "SQLite; --help (-h) prints this text.\n"
    "Run 'snapagent help COMMAND' or 'snapagent COMMAND --help' for the options\n"
    "of a command. -q (--quiet), -v (--verbose) and --json mean the same on\n"
    "every command, before the command or after it: -q leaves the results,\n"
    "the last line and errors; -v adds detail (every plug-in call, code\n"
    "locations); --json prints the results as JSON lines on stdout\n"
    "(/usr/share/doc/snapclient/json.md). A command with no use for one\n"
    "refuses it and says why.\n"
    "\n"
    "The whole story: man snapagent, and /usr/share/doc/snapclient/ (README.md,\n"
    "exit-codes.md, json.md, log-format.md, local-array.md, ...).\n";

const char kHelpUsage[] =
    "usage: snapagent help [COMMAND]\n"
    "\n"
    "Prints the commands of snapagent, or the options of COMMAND (the text of\n"
    "'snapagent COMMAND --help').\n";

const char kDemoUsage[] =
    "usage: snapagent demo [-q | -v] [--keep | --btrfs] [--non-cluster] [--plugin PATH]\n"
    "\n"
    "Builds a local array with two volumes and three shares (two on one volume)\n"
    "in a temporary folder, runs a full job, changes the trees, runs an\n"
    "incremental job, prints the change list of each share and verifies it\n"
    "against listings of the real trees. Exits non-zero on any mismatch.\n"
    "\n"
    "  -q, --quiet    no progress on stderr\n"
    "  -v, --verbose  progress and the plug-in's log (level 0) on stderr\n"
    "  --keep         keep the demo folder and print where it is\n"
    "  --btrfs        as root: run it on a btrfs image made and loop-mounted in a\n"
    "                 temporary folder (volumes are subvolumes, snapshots btrfs\n"
    "                 snapshots), unmounted and removed at the end, also on\n"
    "                 Ctrl-C\n"
    "  --non-cluster  the array is not a cluster (SnapDiff names carry the\n"
    "                 snapshot path)\n"
    "  --plugin PATH  load this plug-in instead of the installed one (or this build's)\n";

const char kJobUsage[] =
    "usage: snapagent job [--config FILE] --client N --job N [--prev N] [OPTIONS] SHARE...\n"
    "\n"
    "Runs one job for the shares (paths mounted on this machine) on the array\n"
    "that the config names for the client: snapshots, retention, for an\n"
    "incremental job (--prev N, the previous job's id) the change list of each\n"
    "share (with --list, the items of the others too), and the post-backup\n"
    "clean-up. Each share gets one outcome line on stderr: compared, backed\n"
    "up in full, needs a full scan, or not backed up.\n"
    "SIGINT or SIGTERM stops the job between two plug-in calls; run it again\n"
    "to finish. Output that cannot be written (a full disk, a closed pipe)\n"
    "stops it the same way, with exit status 1. One job of a client runs at a\n"
    "time. The plug-in's log goes to [log] file, else snapagent.log in the\n"
    "state folder (/usr/share/doc/snapclient/log-format.md).\n"
    "\n"
    "exit status: 0 every share compared or backed up in full as asked; 3 some\n"
    "share needs a full scan or was not backed up; 1 the job failed or backed\n"
    "up none of its shares; 2 usage;\n"
    "130 SIGINT; 143 SIGTERM (/usr/share/doc/snapclient/exit-codes.md)\n"
    "\n"
    "  --config FILE   the config file (also read by the plug-in; default\n"
    "                  $SNAPCLIENT_CONFIG, else /etc/snapclient/snapclient.conf)\n"
    "  --client N      client id: selects the array credentials [client.N]\n"
    "  --job N         this job's id (names its snapshots), from 1\n"
    "  --prev N        the previous job's id, below --job, or 0 for a full job;\n"
    "                  default: the client's latest job that ran to its end\n"
    "                  (none: a full job). A share that job did not back up\n"
    "                  completely is backed up in full (snapagent history)\n"
    "  --app1 N        first application id part (default 0)\n"
    "  --app2 N        second application id part (default 0)\n"
    "  --results DIR   job results folder (default: a folder per client and job\n"
    "                  under $SNAPAGENT_STATE_DIR, $XDG_STATE_HOME/snapagent or\n"
    "                  ~/.local/state/snapagent; for root without HOME\n"
    "                  /var/lib/snapagent)\n"
    "  --list          also list the items of each share backed up in full (or\n"
    "                  read live) as the agent reads them from its snapshot,\n"
    "                  one at a time, after \"items of SHARE:\"\n"
    "  --json          print the items, and a summary per share, as JSON\n"
    "                  lines on stdout (/usr/share/doc/snapclient/json.md)\n"
    "  --transcript FILE\n"
    "                  write every call, result, event and item the agent sees\n"
    "                  as JSON lines to FILE (/usr/share/doc/snapclient/\n"
    "                  transcript.md); - for stdout,\n"
    "                  in place of the change list\n"
    "  --auto-mount    act as an auto-mount agent: pass a content mapper, shares\n"
    "                  resolve through the config's [automount] map, and the\n"
    "                  post-backup clean-up runs with auto-mount on\n"
    "  --failed-mount MOUNT\n"
    "                  a share whose automatic mount failed (interface:/export or\n"
    "                  /export); repeatable; calls DeleteAutoMountFailedSnapshots\n"
    "  --no-cleanup    skip the post-backup clean-up\n"
    "  --wait          when another job of the client runs, wait for it to end\n"
    "                  instead of failing\n"
    "  -q, --quiet     no progress on stderr (outcome lines, the job's last line\n"
    "                  with its items, bytes of files and time, and errors stay)\n"
    "  -v, --verbose   every plug-in call, error locations and a copy of the\n"
    "                  plug-in's log on stderr\n"
    "  --plugin PATH   load this plug-in instead of the installed one (or this build's)\n";

const char kCheckUsage[] =
    "usage: snapagent check [--config FILE] --client N [--results DIR] [--auto-mount]\n"
    "                       [-q | -v] [--json] [SHARE...]\n"
    "\n"
    "Checks what a job would need, changing nothing on the array: the config\n"
    "(every section, key and value), the credentials [client.N], the\n"
    "connection to the array, the plug-in, the volume of each SHARE, and that\n"
    "the results folder can be written. Prints one line per check and goes on\n"
    "past a failure, so that every problem is named; exits 0 when all pass,\n"
    "1 otherwise, 2 on a usage error.\n"
    "\n"
    "  --config FILE   the config file (default as for job)\n"
    "  --client N      client id: selects the array credentials [client.N]\n"
    "  --results DIR   the results folder to test (default: the state folder)\n"
    "  --auto-mount    resolve the shares through the config's [automount] map\n"
    "  -q, --quiet     print only failures\n"
    "  -v, --verbose   also the plug-in's log on stderr\n"
    "  --json          one JSON object per check: check, ok, detail\n"
    "                  (/usr/share/doc/snapclient/json.md)\n"
    "  --plugin PATH   the plug-in a job would load (default: the installed one,\n"
    "                  or this build's); check loads it and prints its version\n";

namespace {

const OptionSpec* FindSpec(const std::vector<OptionSpec>& table, const std::string& name) {
    for (const OptionSpec& s : table)
        if (s.strName == name) return &s;
    return nullptr;
}

// What each command does with the flags every printing command shares;
// null where it has no use for one, with the reason its usage error gives.
struct SharedFlagUse {
    const char* command;
    const char* quiet;
    const char* verbose;
    const char* json;
    bool bPlugin;  // --plugin: the command loads the plug-in
};

const char kTakes[] = "";
const SharedFlagUse kSharedFlagUses[] = {
    {"demo", kTakes, kTakes,
     "demo prints its change lists and verdicts as text (snapagent job --json gives a job's "
     "results as JSON)",
     true},
    {"job", kTakes, kTakes, kTakes, true},
    {"check", kTakes, kTakes, kTakes, true},
    {"snapshots", kTakes, kTakes, kTakes, false},
    {"history", kTakes, "history has no more detail than its listing", kTakes, false},
    {"inspect", "inspect prints the events and nothing else",
     "inspect prints every field of every event already", kTakes, false},
};

const SharedFlagUse& UseOf(const std::string& command) {
    for (const SharedFlagUse& use : kSharedFlagUses)
        if (command == use.command) return use;
    return kSharedFlagUses[0];
}

// The command's own options, its help, the shared flags and --plugin where
// it loads the plug-in.
std::vector<OptionSpec> WithCommon(const std::string& command, std::vector<OptionSpec> table) {
    table.insert(table.end(), {{"--help", false},
                               {"-h", false},
                               {"--quiet", false},
                               {"-q", false},
                               {"--verbose", false},
                               {"-v", false},
                               {"--json", false}});
    if (UseOf(command).bPlugin) table.push_back({"--plugin", true});
    return table;
}

// The shared flags and --help; --json is read even from a wrong command
// line, so that a command can answer a usage error as asked.
bool ReadCommon(const std::string& command, const ParsedArgs& parsed, CommonOptions& common,
                std::string& error) {
    const SharedFlagUse& use = UseOf(command);
    common.bHelp = parsed.flags.count("--help") || parsed.flags.count("-h");
    common.bJson = use.json == kTakes && parsed.flags.count("--json");
    if (!error.empty()) return false;
    const bool quiet = parsed.flags.count("--quiet") || parsed.flags.count("-q");
    const bool verbose = parsed.flags.count("--verbose") || parsed.flags.count("-v");
    const std::pair<bool, const char*> refused[] = {
        {quiet, use.quiet}, {verbose, use.verbose}, {parsed.flags.count("--json") > 0, use.json}};
    const char* const names[] = {"-q (--quiet)", "-v (--verbose)", "--json"};
    for (size_t i = 0; i < 3; ++i)
        if (refused[i].first && refused[i].second != kTakes) {
            error = command + " takes no " + names[i] + ": " + refused[i].second;
            return false;
        }
    if (quiet && verbose) {
        error = "--quiet and --verbose exclude each other";
        return false;
    }
    if (quiet) common.verbosity = Verbosity::kQuiet;
    if (verbose) common.verbosity = Verbosity::kVerbose;
    auto plugin = parsed.values.find("--plugin");
    if (plugin != parsed.values.end()) common.strPluginPath = plugin->second;
    return true;
}

// Parses a command's options: its own and the shared ones.
bool ParseCommand(const std::string& command, const std::vector<std::string>& args,
                  const std::vector<OptionSpec>& own, ParsedArgs& parsed, CommonOptions& common,
                  std::string& error) {
    ParseArgs(args, WithCommon(command, own), parsed, error);
    return ReadCommon(command, parsed, common, error);
}

// Reads a numeric option; absent leaves value as it is unless required.
template <typename T>
bool ReadNumber(const ParsedArgs& parsed, const std::string& name, bool required, T& value,
                std::string& error) {
    auto it = parsed.values.find(name);
    if (it == parsed.values.end()) {
        if (required) error = name + " is required";
        return !required;
    }
    uint64_t number = 0;
    if (!ParseNumber(it->second, static_cast<uint64_t>(std::numeric_limits<T>::max()), number)) {
        error = name + " wants a decimal number up to " +
                std::to_string(std::numeric_limits<T>::max()) + ", not [" + it->second + "]";
        return false;
    }
    value = static_cast<T>(number);
    return true;
}

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* value = getenv(name);
    return value && *value ? value : fallback;
}

// The value of an option that names a file or folder, when given; an empty
// one is refused: it would name the current folder, or "/" once joined.
bool ReadPath(const ParsedArgs& parsed, const std::string& name, std::string& value,
              std::string& error) {
    auto found = parsed.values.find(name);
    if (found == parsed.values.end()) return true;
    if (found->second.empty()) {
        error = name + " needs a non-empty value";
        return false;
    }
    value = found->second;
    return true;
}

// The options of a command that reads a config: its own and the common
// ones; the config is --config, else the one an installed agent reads.
bool ParseConfigCommand(const std::string& command, const std::vector<std::string>& args,
                        std::vector<OptionSpec> own, ParsedArgs& parsed, CommonOptions& common,
                        std::string& config, std::string& error) {
    own.push_back({"--config", true});
    if (!ParseCommand(command, args, own, parsed, common, error)) return false;
    if (common.bHelp) return true;
    config = EnvOr("SNAPCLIENT_CONFIG", kDefaultConfigPath);
    return ReadPath(parsed, "--config", config, error);
}

}  // namespace

bool IsSharedFlag(const std::string& arg) {
    return arg == "-q" || arg == "--quiet" || arg == "-v" || arg == "--verbose" || arg == "--json";
}

bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& table,
               ParsedArgs& parsed, std::string& error) {
    parsed = ParsedArgs();
    error.clear();
    // The first mistake is the error; the rest is still read, so that a
    // command can answer as asked (--json) even to a wrong command line.
    auto fail = [&](const std::string& text) {
        if (error.empty()) error = text;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            parsed.positional.insert(parsed.positional.end(), args.begin() + i + 1, args.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            parsed.positional.push_back(arg);
            continue;
        }
        size_t eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        const OptionSpec* option = FindSpec(table, name);
        if (!option) {
            fail("unknown option " + name);
        } else if (!option->bTakesValue) {
            if (eq != std::string::npos) fail(name + " takes no value");
            parsed.flags.insert(name);
        } else if (eq != std::string::npos) {
            parsed.values[name] = arg.substr(eq + 1);
            parsed.repeated[name].push_back(parsed.values[name]);
        } else if (i + 1 < args.size()) {
            parsed.values[name] = args[++i];
            parsed.repeated[name].push_back(parsed.values[name]);
        } else {
            fail(name + " needs a value");
        }
    }
    return error.empty();
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (n > (max - digit) / 10) return false;
        n = n * 10 + digit;
    }
    value = n;
    return true;
}

bool ParseDemoOptions(const std::vector<std::string>& args, DemoOptions& options,
                      std::string& error) {
    ParsedArgs parsed;
    if (!ParseCommand("demo", args,
                      {{"--keep", false}, {"--non-cluster", false}, {"--btrfs", false}}, parsed,
                      options.common, error))
        return false;
    if (options.common.bHelp) return true;
    if (!parsed.positional.empty()) {
        error = "demo takes no arguments, got [" + parsed.positional.front() + "]";
        return false;
    }
    options.bKeep = parsed.flags.count("--keep") > 0;
    options.bCluster = parsed.flags.count("--non-cluster") == 0;
    options.bBtrfs = parsed.flags.count("--btrfs") > 0;
    if (options.bKeep && options.bBtrfs) {
        error =
            "--keep and --btrfs do not go together: the btrfs image is always removed; to keep "
            "a demo on btrfs, run 'TMPDIR=/a/btrfs/folder snapagent demo --keep' as root";
        return false;
    }
    return true;
}

bool ParseJobOptions(const std::vector<std::string>& args, JobOptions& options,
                     std::string& error) {
    ParsedArgs parsed;
    JobSpec& plan = options.plan;
    plan.llJobId = 0;  // not known until --job is read
    const bool parsedOk = ParseConfigCommand("job", args,
                                             {{"--client", true},
                                              {"--job", true},
                                              {"--prev", true},
                                              {"--app1", true},
                                              {"--app2", true},
                                              {"--results", true},
                                              {"--list", false},
                                              {"--transcript", true},
                                              {"--auto-mount", false},
                                              {"--failed-mount", true},
                                              {"--no-cleanup", false},
                                              {"--wait", false}},
                                             parsed, options.common, options.strConfig, error);
    // What a usage error's --json summary reports.
    plan.shares.assign(parsed.positional.begin(), parsed.positional.end());
    std::string ignored;
    ReadNumber(parsed, "--job", false, plan.llJobId, ignored);
    if (!parsedOk) return false;
    if (options.common.bHelp) return true;
    if (!ReadNumber(parsed, "--client", true, plan.ulClientId, error) ||
        !ReadNumber(parsed, "--job", true, plan.llJobId, error) ||
        !ReadNumber(parsed, "--prev", false, plan.llPrevJobId, error) ||
        !ReadNumber(parsed, "--app1", false, plan.ulAppId1, error) ||
        !ReadNumber(parsed, "--app2", false, plan.ulAppId2, error))
        return false;
    if (plan.llJobId == 0) {
        error = "--job must be 1 or more (0 is no job)";
        return false;
    }
    // Retention keeps the snapshots of this job and its base; a base newer
    // than the job would make it delete the snapshot that base really needs.
    if (plan.llPrevJobId != 0 && plan.llPrevJobId >= plan.llJobId) {
        error = "--prev must name an earlier job than --job";
        return false;
    }
    if (parsed.positional.empty()) {
        error = "name at least one SHARE";
        return false;
    }
    if (!ReadPath(parsed, "--results", plan.strResultsDir, error) ||
        !ReadPath(parsed, "--transcript", options.strTranscript, error))
        return false;
    options.bResultsGiven = !plan.strResultsDir.empty();
    options.bPrevGiven = parsed.values.count("--prev") > 0;
    options.bWait = parsed.flags.count("--wait") > 0;
    plan.bListFull = parsed.flags.count("--list") > 0;
    plan.bAutoMount = parsed.flags.count("--auto-mount") > 0;
    auto failed = parsed.repeated.find("--failed-mount");
    if (failed != parsed.repeated.end())
        plan.failedMounts.assign(failed->second.begin(), failed->second.end());
    plan.bCleanup = parsed.flags.count("--no-cleanup") == 0;
    return true;
}

bool ParseCheckOptions(const std::vector<std::string>& args, CheckOptions& options,
                       std::string& error) {
    ParsedArgs parsed;
    if (!ParseConfigCommand("check", args,
                            {{"--client", true}, {"--results", true}, {"--auto-mount", false}},
                            parsed, options.common, options.strConfig, error))
        return false;
    if (options.common.bHelp) return true;
    if (!ReadNumber(parsed, "--client", true, options.ulClientId, error)) return false;
    if (!ReadPath(parsed, "--results", options.strResultsDir, error)) return false;
    options.bAutoMount = parsed.flags.count("--auto-mount") > 0;
    options.shares = parsed.positional;
    return true;
}

bool ParseSnapshotsOptions(const std::vector<std::string>& args, SnapshotsOptions& options,
                           std::string& error) {
    ParsedArgs parsed;
    if (!ParseConfigCommand("snapshots", args,
                            {{"--client", true},
                             {"--delete", false},
                             {"--name", true},
                             {"--app2", true},
                             {"--all", false},
                             {"--yes", false},
                             {"--force", false},
                             {"--wait", false}},
                            parsed, options.common, options.strConfig, error))
        return false;
    if (options.common.bHelp) return true;
    if (!ReadNumber(parsed, "--client", true, options.ulClientId, error) ||
        !ReadNumber(parsed, "--app2", false, options.ulApp, error))
        return false;
    options.volumes = parsed.positional;
    options.bDelete = parsed.flags.count("--delete") > 0;
    const auto names = parsed.repeated.find("--name");
    if (names != parsed.repeated.end()) options.names = names->second;
    options.bAppGiven = parsed.values.count("--app2") > 0;
    options.bAll = parsed.flags.count("--all") > 0;
    options.bYes = parsed.flags.count("--yes") > 0;
    options.bForce = parsed.flags.count("--force") > 0;
    options.bWait = parsed.flags.count("--wait") > 0;
    const bool selects = !options.names.empty() || options.bAppGiven || options.bAll;
    if (!options.bDelete && (selects || options.bYes || options.bForce || options.bWait)) {
        error = "--name, --app2, --all, --yes, --force and --wait go with --delete";
        return false;
    }
    // A bare --delete never means every snapshot: --all says so.
    if (options.bDelete && !selects) {
        error = "--delete wants --name NAME, --app2 N or --all";
        return false;
    }
    if (options.bAll && (!options.names.empty() || options.bAppGiven)) {
        error = "--all selects every snapshot of the client's jobs: not with --name or --app2";
        return false;
    }
    return true;
}

bool ParseHistoryOptions(const std::vector<std::string>& args, HistoryOptions& options,
                         std::string& error) {
    ParsedArgs parsed;
    if (!ParseCommand("history", args, {{"--client", true}}, parsed, options.common, error))
        return false;
    if (options.common.bHelp) return true;
    if (!parsed.positional.empty()) {
        error = "history takes no arguments, got [" + parsed.positional.front() + "]";
        return false;
    }
    return ReadNumber(parsed, "--client", true, options.ulClientId, error);
}

bool ParseInspectOptions(const std::vector<std::string>& args, InspectOptions& options,
                         std::string& error) {
    ParsedArgs parsed;
    if (!ParseCommand("inspect", args, {{"--sql", false}}, parsed, options.common, error))
        return false;
    if (options.common.bHelp) return true;
    if (parsed.positional.size() != 1) {
        error = "inspect takes one STORE";
        return false;
    }
    options.bSql = parsed.flags.count("--sql") > 0;
    options.strStore = parsed.positional.front();
    return true;
}

}  // namespace snapagent
