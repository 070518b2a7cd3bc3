// Runs the snapagent binary as a child process for the transcript and
// signal tests: arguments passed as they are (no shell), stdout and stderr
// to files, extra environment variables on top of the test's own, and the
// exit status or the signal that ended it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace transcripttest {

inline std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

struct Child {
    pid_t pid = -1;
    std::string strOut, strErr;  // files
};

struct Exit {
    bool bExited = false;
    int status = -1;  // exit status, or the signal when not exited
    std::string out, err;
};

// Starts snapagent with args; env entries are "NAME=value".
inline Child Start(const std::vector<std::string>& args, const std::string& scratch,
                   const std::vector<std::string>& env = {}) {
    static int runs = 0;
    Child child;
    const std::string tag = std::to_string(++runs);
    child.strOut = scratch + "/stdout." + tag;
    child.strErr = scratch + "/stderr." + tag;
    std::vector<std::string> argStore{SNAPAGENT_PATH};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStore) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) envStore.push_back(*e);
    envStore.insert(envStore.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& e : envStore) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, child.strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, child.strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        child.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

inline Exit Wait(const Child& child) {
    Exit exit;
    int rc = 0;
    if (child.pid < 0 || waitpid(child.pid, &rc, 0) != child.pid) return exit;
    exit.bExited = WIFEXITED(rc);
    exit.status = exit.bExited ? WEXITSTATUS(rc) : (WIFSIGNALED(rc) ? WTERMSIG(rc) : -1);
    exit.out = Slurp(child.strOut);
    exit.err = Slurp(child.strErr);
    return exit;
}

inline Exit RunSnapagent(const std::vector<std::string>& args, const std::string& scratch,
                const std::vector<std::string>& env = {}) {
    return Wait(Start(args, scratch, env));
}

}  // namespace transcripttest
