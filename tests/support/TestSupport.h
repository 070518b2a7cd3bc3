// Shared fixtures of the test suites: a temporary folder, a config file
// installed for the process, a log writer that records what the client
// logs, a scripted array installed behind every ManageONTAP, and snapagent
// run as a child process.
#pragma once

#include "array/ArrayScript.h"
#include "array/FaultInjectingBackend.h"
#include "array/ScriptedArray.h"
#include "host/LogWriter.h"
#include "hostlib/Status.h"

#include <gtest/gtest.h>
#include <sys/types.h>
#include <boost/shared_ptr.hpp>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder under $TMPDIR, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// For ASSERT_TRUE(IsOk(step)): a failed step's message in the failure.
inline ::testing::AssertionResult IsOk(const hostlib::Status& status) {
    if (status.ok()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << status.message();
}

void WriteFile(const std::string& path, const std::string& contents);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
void MakeDirs(const std::string& path);  // with every missing parent
std::vector<std::string> SplitLines(const std::string& text);

// How a snapagent run ended: its exit status, or the signal that ended it.
struct Exit {
    bool bExited = false;
    int status = -1;
    std::string out, err;
};
// Runs snapagent on a terminal (a pty 250 columns wide) with that state
// folder, typing input; out is all it showed there (stdout and stderr).
Exit OnATerminal(const std::vector<std::string>& args, const std::string& stateDir,
                 const std::string& input = std::string());
// Starts snapagent with args (no shell), stdout and stderr to files in
// scratch, env entries ("NAME=value") on top of the test's own; the pid.
pid_t StartSnapagent(const std::vector<std::string>& args, const std::string& scratch,
                     const std::vector<std::string>& env = {});
Exit WaitSnapagent(pid_t pid, const std::string& scratch);
Exit RunSnapagent(const std::vector<std::string>& args, const std::string& scratch,
                  const std::vector<std::string>& env = {});

// Writes an INI config and points SNAPCLIENT_CONFIG at it until destroyed.
class ScopedConfig {
public:
    explicit ScopedConfig(const std::string& contents);
    ~ScopedConfig();
    const std::string& Path() const { return m_path; }

private:
    TempDir m_dir;
    std::string m_path;
    std::string m_previous;
    bool m_hadPrevious;
};

// Records every message it is given, whatever its level, so that a test
// can also see what was written without asking the level; GetLevel answers
// the level set. Installed as g_ptrLogWriter for its lifetime.
class RecordingLogWriter : public CLogWriterInterface {
public:
    struct Line {
        int level;
        std::string message;
    };
    explicit RecordingLogWriter(int level = 3);
    ~RecordingLogWriter() override;
    int GetLevel() const override { return m_level; }
    void SetLevel(int level) { m_level = level; }
    void LogV(int level, const char* function, int line, const char* format, va_list args) override;

    const std::vector<Line>& Lines() const { return m_lines; }
    void Clear() { m_lines.clear(); }
    // Number of lines with exactly this level and message.
    size_t Count(int level, const std::string& message) const;
    bool Has(int level, const std::string& message) const { return Count(level, message) > 0; }

private:
    int m_level;
    std::vector<Line> m_lines;
    CLogWriterInterface* m_previous;
};

// Installs a scripted array behind every ManageONTAP built from now on, and
// keeps the fault decorator (call log, faults) and the array for the test.
class ScriptedArrayInstall {
public:
    explicit ScriptedArrayInstall(const ArrayScript& script);
    ~ScriptedArrayInstall();
    ScriptedArray& Array() { return *m_array; }
    FaultInjectingBackend& Backend() { return *m_backend; }
    // Snapshots of a volume now.
    std::set<std::string> Snapshots(const std::string& volume) const;
    // Calls of one operation, in order.
    std::vector<FaultInjectingBackend::Call> CallsOf(const std::string& operation) const;

private:
    boost::shared_ptr<ScriptedArray> m_array;
    boost::shared_ptr<FaultInjectingBackend> m_backend;
};

// A config with credentials for client ids 0 to 9 (array "filer1", client
// name "client<id>") plus the extra text given.
std::string ClientConfig(const std::string& extra = std::string());

}  // namespace testsupport
