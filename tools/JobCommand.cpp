#include "tools/JobCommand.h"

#include "host/FileLogWriter.h"
#include "tools/FileOps.h"
#include "tools/ItemJson.h"
#include "tools/ItemText.h"
#include "tools/Progress.h"

#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace snapagent {
namespace {

// Streams items as they are pulled, so a volume of millions of changes is
// never held in memory.
class PrintingObserver : public Progress {
public:
    PrintingObserver(Verbosity verbosity, bool json, FILE* out)
        : Progress(verbosity), m_bJson(json), m_pOut(out) {}

    void OnItem(const std::string& share, const FileServerSnapshotCompareItem& item) override {
        if (m_bJson) {
            fprintf(m_pOut, "%s\n", ItemJsonLine(share, item).c_str());
            return;
        }
        if (share != m_strLastShare) {
            fprintf(m_pOut, "changes of %s:\n", PrintablePath(share).c_str());
            m_strLastShare = share;
        }
        fprintf(m_pOut, "  %s\n", DescribeItem(item).c_str());
    }

private:
    bool m_bJson;
    FILE* m_pOut;
    std::string m_strLastShare;
};

int Fail(const std::string& message) {
    fprintf(stderr, "snapagent: error: %s\n", message.c_str());
    return 1;
}

}  // namespace

int RunJobCommand(JobOptions options, FILE* out) {
    if (access(options.strConfig.c_str(), R_OK) != 0)
        return Fail("cannot read config [" + options.strConfig + "]");
    setenv("SNAPCLIENT_CONFIG", options.strConfig.c_str(), 1);

    // The plug-in logs as the config says ([log] level, [log] file).
    std::unique_ptr<CFileLogWriter> log(CreateConfiguredLogWriter());
    CLogWriterInterface* previousLog = SetLogWriter(log.get());
    struct RestoreLog {
        CLogWriterInterface* previous;
        ~RestoreLog() { SetLogWriter(previous); }
    } restore{previousLog};

    JobSpec& spec = options.spec;
    if (!options.bResultsGiven)
        spec.strResultsDir = DefaultResultsDir(DefaultStateDir(), spec.ulClientId, spec.llJobId);
    std::string error;
    if (!MakeDirectories(spec.strResultsDir, error)) return Fail(error);
    spec.bKeepItems = false;

    PluginLoader plugin;
    const std::string pluginPath = options.common.strPluginPath.empty()
                                       ? PluginLoader::DefaultPath()
                                       : options.common.strPluginPath;
    if (!plugin.Load(pluginPath, error)) return Fail(error);

    PrintingObserver observer(options.common.verbosity, options.bJson, out);
    observer.Detail("job results folder: " + spec.strResultsDir);
    JobResult result;
    RunJob(plugin, spec, observer, result);
    fflush(out);
    if (!result.bOk) return Fail(result.strFailedStep + " failed: " + result.strError);
    observer.Say("job " + std::to_string(spec.llJobId) + " done: " +
                 std::to_string(result.keptShares.size()) + " shares backed up");
    return 0;
}

}  // namespace snapagent
