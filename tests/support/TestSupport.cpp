#include "tests/support/TestSupport.h"

#include "array/ArrayBackendFactory.h"
#include "host/FXString.h"

#include <fcntl.h>
#include <pty.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <boost/make_shared.hpp>
#include <cstdarg>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testsupport {

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/snapclient-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
    m_path = buffer.data();
}

TempDir::~TempDir() {
    std::string command = "chmod -R u+rwx '" + m_path + "' 2>/dev/null; rm -rf '" + m_path + "'";
    if (system(command.c_str()) != 0) {
        // Leaving a temporary folder behind is harmless.
    }
}

void WriteFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void MakeDirs(const std::string& path) {
    for (size_t pos = 1; pos <= path.size(); ++pos)
        if (pos == path.size() || path[pos] == '/') mkdir(path.substr(0, pos).c_str(), 0755);
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

pid_t StartSnapagent(const std::vector<std::string>& args, const std::string& scratch,
                     const std::vector<std::string>& env) {
    std::vector<std::string> argStore{SNAPAGENT_PATH};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStore) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    // The state folder (default results, log, client locks) is the test's
    // own, never the user's; entries of env replace the test's own.
    std::vector<std::string> envStore{"SNAPAGENT_STATE_DIR=" + scratch + "/state"};
    envStore.insert(envStore.end(), env.begin(), env.end());
    auto overridden = [&](const std::string& entry) {
        for (const std::string& given : envStore)
            if (given.compare(0, given.find('=') + 1, entry, 0, entry.find('=') + 1) == 0)
                return true;
        return false;
    };
    for (char** e = environ; *e; ++e)
        if (!overridden(*e)) envStore.push_back(*e);
    std::vector<char*> envp;
    for (std::string& e : envStore) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    const std::string out = scratch + "/snapagent.out", err = scratch + "/snapagent.err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Never the terminal of whoever runs the tests: a command that asks
    // there would wait for an answer.
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

Exit WaitSnapagent(pid_t pid, const std::string& scratch) {
    Exit exit;
    int rc = 0;
    if (pid < 0 || waitpid(pid, &rc, 0) != pid) return exit;
    exit.bExited = WIFEXITED(rc);
    exit.status = exit.bExited ? WEXITSTATUS(rc) : (WIFSIGNALED(rc) ? WTERMSIG(rc) : -1);
    exit.out = ReadFile(scratch + "/snapagent.out");
    exit.err = ReadFile(scratch + "/snapagent.err");
    return exit;
}

Exit OnATerminal(const std::vector<std::string>& args, const std::string& stateDir,
                 const std::string& input) {
    int master = -1;
    struct winsize wide = {24, 250, 0, 0};
    const pid_t child = forkpty(&master, nullptr, nullptr, &wide);
    if (child == 0) {
        std::vector<char*> argv{const_cast<char*>(SNAPAGENT_PATH)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        setenv("SNAPAGENT_STATE_DIR", stateDir.c_str(), 1);
        execv(SNAPAGENT_PATH, argv.data());
        _exit(127);
    }
    Exit exit;
    if (child < 0) return exit;
    if (!input.empty() && write(master, input.data(), input.size()) < 0) exit.err = "no input";
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) exit.out.append(buffer, n);
    int rc = 0;
    waitpid(child, &rc, 0);
    close(master);
    exit.bExited = WIFEXITED(rc);
    exit.status = exit.bExited ? WEXITSTATUS(rc) : -1;
    return exit;
}

Exit RunSnapagent(const std::vector<std::string>& args, const std::string& scratch,
                  const std::vector<std::string>& env) {
    return WaitSnapagent(StartSnapagent(args, scratch, env), scratch);
}

bool FileExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

ScopedConfig::ScopedConfig(const std::string& contents) : m_path(m_dir / "snapclient.conf") {
    const char* previous = getenv("SNAPCLIENT_CONFIG");
    m_hadPrevious = previous != nullptr;
    if (previous) m_previous = previous;
    WriteFile(m_path, contents);
    setenv("SNAPCLIENT_CONFIG", m_path.c_str(), 1);
}

ScopedConfig::~ScopedConfig() {
    if (m_hadPrevious)
        setenv("SNAPCLIENT_CONFIG", m_previous.c_str(), 1);
    else
        unsetenv("SNAPCLIENT_CONFIG");
}

RecordingLogWriter::RecordingLogWriter(int level) : m_level(level) {
    m_previous = SetLogWriter(this);
}

RecordingLogWriter::~RecordingLogWriter() { SetLogWriter(m_previous); }

void RecordingLogWriter::LogV(int level, const char*, int, const char* format, va_list args) {
    m_lines.push_back(Line{level, FXString::FormatV(format, args)});
}

size_t RecordingLogWriter::Count(int level, const std::string& message) const {
    size_t n = 0;
    for (const Line& l : m_lines)
        if (l.level == level && l.message == message) ++n;
    return n;
}

ScriptedArrayInstall::ScriptedArrayInstall(const ArrayScript& script)
    : m_array(boost::make_shared<ScriptedArray>(script)),
      m_backend(boost::make_shared<FaultInjectingBackend>(m_array, script.vecFaults)) {
    boost::shared_ptr<FaultInjectingBackend> backend = m_backend;
    SetArrayBackendOverride(
        [backend](const NASArrayInfo&) { return boost::shared_ptr<ArrayBackend>(backend); });
}

ScriptedArrayInstall::~ScriptedArrayInstall() { SetArrayBackendOverride(nullptr); }

std::set<std::string> ScriptedArrayInstall::Snapshots(const std::string& volume) const {
    auto it = m_array->Script().mapSnapshots.find(volume);
    return it == m_array->Script().mapSnapshots.end() ? std::set<std::string>() : it->second;
}

std::vector<FaultInjectingBackend::Call> ScriptedArrayInstall::CallsOf(
    const std::string& operation) const {
    std::vector<FaultInjectingBackend::Call> out;
    for (const auto& call : m_backend->Calls())
        if (call.strOperation == operation) out.push_back(call);
    return out;
}

std::string ClientConfig(const std::string& extra) {
    std::string text;
    for (int id = 0; id <= 9; ++id) {
        text += "[client." + std::to_string(id) + "]\n";
        text += "array = filer1\nclient_name = client" + std::to_string(id) +
                "\nuser = admin\npassword = secret\n\n";
    }
    return text + extra;
}

}  // namespace testsupport
