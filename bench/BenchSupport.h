// What every benchmark program shares: command-line options, a monotonic
// clock, the process's peak resident memory, a scratch folder, a host config
// file, a log writer that keeps the agent's usual level but writes nothing,
// and the one JSON line each program prints for the driver (bench/run.py).
// Programs fail loudly (exit 1 with a message on stderr) rather than report
// a figure from a run that went wrong.
#pragma once

#include "host/LogWriter.h"

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

namespace bench {

// "--name value" pairs; a bare "--name" holds "1".
class Options {
public:
    Options(int argc, char** argv);
    std::string Text(const std::string& name, const std::string& fallback) const;
    uint64_t Number(const std::string& name, uint64_t fallback) const;

private:
    std::map<std::string, std::string> m_values;
};

double NowSeconds();
double PeakRssMiB();

// Instructions this process (and the threads it starts meanwhile) runs
// between Start and Stop, in user space and in the kernel apart: unlike the
// wall clock, a count another program's load does not move. Both are -1
// where the kernel allows no counter (perf_event_paranoid, a virtual
// machine without one); the CPU seconds of the process, user and system,
// are measured everywhere.
class InstructionCount {
public:
    InstructionCount();
    ~InstructionCount();
    InstructionCount(const InstructionCount&) = delete;
    InstructionCount& operator=(const InstructionCount&) = delete;
    void Start();
    void Stop();
    int64_t User() const { return m_user; }
    int64_t Kernel() const { return m_kernel; }
    double UserSeconds() const { return m_userSeconds; }
    double SystemSeconds() const { return m_systemSeconds; }

private:
    int m_userFd = -1;
    int m_kernelFd = -1;
    int64_t m_user = -1;
    int64_t m_kernel = -1;
    double m_userSeconds = 0;
    double m_systemSeconds = 0;
};

[[noreturn]] void Fail(const std::string& message);

// A fresh folder below base (or $TMPDIR), removed with its contents.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& base);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// Writes the host config file and points SNAPCLIENT_CONFIG at it.
void InstallConfig(const std::string& path, const std::string& contents);

// Answers GetLevel with the level given and drops every line, so that a run
// pays what an agent logging at that level pays, apart from the writing.
class DiscardingLogWriter : public CLogWriterInterface {
public:
    explicit DiscardingLogWriter(int level);
    ~DiscardingLogWriter() override;
    int GetLevel() const override { return m_level; }
    void LogV(int level, const char* function, int line, const char* format, va_list args) override;
    uint64_t Lines() const { return m_lines; }

private:
    int m_level;
    uint64_t m_lines = 0;
    CLogWriterInterface* m_previous;
};

// Prints the program's result as one JSON line on stdout.
void PrintResult(const nlohmann::json& result);

}  // namespace bench
