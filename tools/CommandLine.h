// The snapagent command line: a small option parser and the options of each
// command. Parsing never exits or prints; it returns false with one line of
// error text, which main prints.
#pragma once

#include "tools/JobRunner.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace snapagent {

struct OptionSpec {
    std::string strName;  // "--json"
    bool bTakesValue;
};

struct ParsedArgs {
    std::map<std::string, std::string> values;  // options with a value (last one wins)
    std::map<std::string, std::vector<std::string>> repeated;  // every value, in order
    std::set<std::string> flags;                               // options without one
    std::vector<std::string> positional;
};

// "--name value" and "--name=value"; "--" ends the options. Unknown
// options, and an option without its value, are errors.
bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& table,
               ParsedArgs& parsed, std::string& error);

// A decimal number of at most max; false for anything else (signs,
// spaces, hex, overflow).
bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value);

// How much the harness itself tells on stderr.
enum class Verbosity { kQuiet, kNormal, kVerbose };

// -q (--quiet), -v (--verbose) and --json mean the same on every command
// that prints, before the command or after it: -q leaves the results, the
// summary and the errors; -v adds detail and code locations; --json prints
// the results as JSON lines on stdout. A command refuses those it has no use
// for with a usage error that says why.
struct CommonOptions {
    bool bHelp = false;
    Verbosity verbosity = Verbosity::kNormal;
    bool bJson = false;
    std::string strPluginPath;  // empty: the plug-in of this build
};

// Whether the argument is one of -q, --quiet, -v, --verbose, --json.
bool IsSharedFlag(const std::string& arg);

struct DemoOptions {
    CommonOptions common;
    bool bKeep = false;  // leave the demo folder behind
    bool bCluster = true;
    bool bBtrfs = false;  // on a loop-mounted btrfs image of its own (BtrfsDemo.h)
};

struct JobOptions {
    CommonOptions common;
    std::string strConfig;
    JobSpec plan;  // ids, shares; the results folder when given
    bool bResultsGiven = false;
    bool bPrevGiven = false;    // else the job history decides the base
    std::string strTranscript;  // empty: no transcript
    bool bWait = false;         // wait for a running job of the client
};

struct CheckOptions {
    CommonOptions common;
    std::string strConfig;
    ULONG ulClientId = 0;
    std::string strResultsDir;  // empty: the default of --client's next job
    std::vector<std::string> shares;
    bool bAutoMount = false;
};

struct SnapshotsOptions {
    CommonOptions common;
    std::string strConfig;
    ULONG ulClientId = 0;
    std::vector<std::string> volumes;  // none: the config's, else the local array's
    bool bDelete = false;
    std::vector<std::string> names;  // --name
    bool bAppGiven = false;          // --app2
    ULONG ulApp = 0;
    bool bAll = false;
    bool bYes = false;
    bool bForce = false;
    bool bWait = false;  // for a running job of the client to end
};

struct HistoryOptions {
    CommonOptions common;
    ULONG ulClientId = 0;
};

struct InspectOptions {
    CommonOptions common;
    bool bSql = false;
    std::string strStore;
};

bool ParseDemoOptions(const std::vector<std::string>& args, DemoOptions& options,
                      std::string& error);
bool ParseJobOptions(const std::vector<std::string>& args, JobOptions& options, std::string& error);
bool ParseCheckOptions(const std::vector<std::string>& args, CheckOptions& options,
                       std::string& error);
bool ParseSnapshotsOptions(const std::vector<std::string>& args, SnapshotsOptions& options,
                           std::string& error);
bool ParseHistoryOptions(const std::vector<std::string>& args, HistoryOptions& options,
                         std::string& error);
bool ParseInspectOptions(const std::vector<std::string>& args, InspectOptions& options,
                         std::string& error);

// The config an installed agent reads when neither --config nor
// $SNAPCLIENT_CONFIG names one.
extern const char kDefaultConfigPath[];

extern const char kMainUsage[];
extern const char kHelpUsage[];
extern const char kDemoUsage[];
extern const char kJobUsage[];
extern const char kCheckUsage[];

}  // namespace snapagent
