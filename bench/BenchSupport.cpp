#include "bench/BenchSupport.h"

#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <vector>

namespace bench {

Options::Options(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name.compare(0, 2, "--") != 0) Fail("unexpected argument [" + name + "]");
        name.erase(0, 2);
        if (i + 1 < argc && std::string(argv[i + 1]).compare(0, 2, "--") != 0)
            m_values[name] = argv[++i];
        else
            m_values[name] = "1";
    }
}

std::string Options::Text(const std::string& name, const std::string& fallback) const {
    auto it = m_values.find(name);
    return it == m_values.end() ? fallback : it->second;
}

uint64_t Options::Number(const std::string& name, uint64_t fallback) const {
    auto it = m_values.find(name);
    if (it == m_values.end()) return fallback;
    // Accepts 1e6 as well as 1000000: the driver passes N either way.
    char* end = nullptr;
    const double value = strtod(it->second.c_str(), &end);
    if (end == it->second.c_str() || *end != '\0' || value < 0 || value > 1e15)
        Fail("--" + name + " [" + it->second + "] is not a count");
    return static_cast<uint64_t>(value);
}

double NowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double PeakRssMiB() {
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) != 0) return -1;
    return usage.ru_maxrss / 1024.0;  // KiB on Linux
}

namespace {

// A disabled counter of this process's instructions, inherited by the
// threads it starts; -1 where the kernel refuses one.
int OpenInstructionCounter(bool kernel) {
    perf_event_attr attr = {};
    attr.size = sizeof attr;
    attr.type = PERF_TYPE_HARDWARE;
    attr.config = PERF_COUNT_HW_INSTRUCTIONS;
    attr.disabled = 1;
    attr.inherit = 1;
    attr.exclude_user = kernel;
    attr.exclude_kernel = !kernel;
    attr.exclude_hv = 1;
    return int(syscall(SYS_perf_event_open, &attr, 0, -1, -1, PERF_FLAG_FD_CLOEXEC));
}

// CPU seconds of the whole process so far, user and system.
void CpuSeconds(double& user, double& system) {
    struct rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    user = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6;
    system = usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

int64_t ReadCounter(int fd) {
    uint64_t value = 0;
    return fd >= 0 && read(fd, &value, sizeof value) == sizeof value ? int64_t(value) : -1;
}

}  // namespace

InstructionCount::InstructionCount()
    : m_userFd(OpenInstructionCounter(false)), m_kernelFd(OpenInstructionCounter(true)) {}

InstructionCount::~InstructionCount() {
    for (int fd : {m_userFd, m_kernelFd})
        if (fd >= 0) close(fd);
}

void InstructionCount::Start() {
    CpuSeconds(m_userSeconds, m_systemSeconds);
    for (int fd : {m_userFd, m_kernelFd}) {
        if (fd < 0) continue;
        ioctl(fd, PERF_EVENT_IOC_RESET, 0);
        ioctl(fd, PERF_EVENT_IOC_ENABLE, 0);
    }
}

void InstructionCount::Stop() {
    for (int fd : {m_userFd, m_kernelFd})
        if (fd >= 0) ioctl(fd, PERF_EVENT_IOC_DISABLE, 0);
    m_user = ReadCounter(m_userFd);
    m_kernel = ReadCounter(m_kernelFd);
    double user = 0, system = 0;
    CpuSeconds(user, system);
    m_userSeconds = user - m_userSeconds;
    m_systemSeconds = system - m_systemSeconds;
}

void Fail(const std::string& message) {
    std::cerr << "bench: " << message << std::endl;
    std::exit(1);
}

ScratchDir::ScratchDir(const std::string& base) {
    std::string folder = base;
    if (folder.empty()) {
        const char* tmp = getenv("TMPDIR");
        folder = tmp && *tmp ? tmp : "/tmp";
    }
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    std::string pattern = folder + "/snapbench-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) Fail("cannot create a scratch folder in " + folder);
    m_path = buffer.data();
}

ScratchDir::~ScratchDir() {
    std::error_code error;
    std::filesystem::remove_all(m_path, error);
}

void InstallConfig(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::trunc);
    out << contents;
    out.close();
    if (!out) Fail("cannot write the config file " + path);
    setenv("SNAPCLIENT_CONFIG", path.c_str(), 1);
}

DiscardingLogWriter::DiscardingLogWriter(int level)
    : m_level(level), m_previous(SetLogWriter(this)) {}

DiscardingLogWriter::~DiscardingLogWriter() { SetLogWriter(m_previous); }

void DiscardingLogWriter::LogV(int, const char*, int, const char*, va_list) { ++m_lines; }

void PrintResult(const nlohmann::json& result) {
    std::cout << result.dump() << std::endl;
    if (!std::cout) Fail("cannot write the result");
}

}  // namespace bench
