#include "tools/BtrfsDemo.h"

#include "array/local/BtrfsSubvolume.h"
#include "tools/FileOps.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace snapagent {
namespace {

// Large enough for the demo and for mkfs.btrfs's least size; sparse, so it
// costs what the demo writes.
const off_t kImageBytes = off_t(1) << 30;

// The child running the demo, for the handler to pass a signal on to; 0
// while there is none. stopSignal: the signal that asked to stop.
volatile sig_atomic_t g_child = 0;
volatile sig_atomic_t g_stopSignal = 0;

void PassOn(int signal) {
    g_stopSignal = signal;
    if (g_child > 0) kill(pid_t(g_child), signal);
}

// Ctrl-C, SIGTERM and SIGHUP reach the child, and this process stays to
// clean up after it. Restores the previous handlers when destroyed.
class SignalsPassedOn {
public:
    SignalsPassedOn() {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = PassOn;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < kCount; ++i) sigaction(kSignals[i], &action, &m_previous[i]);
    }
    ~SignalsPassedOn() {
        for (size_t i = 0; i < kCount; ++i) sigaction(kSignals[i], &m_previous[i], nullptr);
    }

private:
    static constexpr size_t kCount = 3;
    const int kSignals[kCount] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction m_previous[kCount];
};

// A system program where root's path keeps it.
std::string FindProgram(const std::string& name) {
    for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
        const std::string path = dir + name;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return std::string();
}

// Runs the program, its output gathered; ok when it exited 0, else an I/O
// error that holds what it said (or how it ended).
hostlib::Status RunProgram(const std::vector<std::string>& args) {
    std::string output;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return hostlib::Status::IOError(std::string("cannot make a pipe: ") + strerror(errno));
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    char buffer[512];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) != 0;)
        if (n > 0)
            output.append(buffer, size_t(n));
        else if (errno != EINTR)
            break;
    close(pipeFds[0]);
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) return hostlib::Status::OK();
    while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
    if (pid < 0) output = std::string("cannot start it: ") + strerror(errno);
    if (output.empty()) output = "it failed (status " + std::to_string(status) + ")";
    return hostlib::Status::IOError(output);
}

// The loop-mounted image and the temporary folder that holds it; both gone
// when destroyed.
class BtrfsImage {
public:
    ~BtrfsImage() {
        if (m_bMounted) {
            sync();
            // The demo's last files may still be closing; a lazy unmount
            // lets the kernel finish it once nothing holds the mount.
            if (umount(m_mountPoint.c_str()) != 0) umount2(m_mountPoint.c_str(), MNT_DETACH);
        }
        if (!m_folder.empty()) RemoveTree(m_folder);
    }

    // What is missing (empty when it is mounted) and what the system said.
    std::string Make() {
        if (!MayDeleteBtrfsSnapshots())
            return "root (CAP_SYS_ADMIN), which making a loop mount and deleting btrfs snapshots "
                   "need: run it with sudo";
        const std::string mkfs = FindProgram("mkfs.btrfs"), mount = FindProgram("mount");
        if (mkfs.empty()) return "mkfs.btrfs (btrfs-progs; scripts/install-deps installs it)";
        if (mount.empty()) return "the mount program (mount)";
        const hostlib::Status folder = MakeTempFolder("snapagent-btrfs-", m_folder);
        if (!folder.ok()) return "a temporary folder: " + folder.message();
        const std::string image = m_folder + "/image";
        m_mountPoint = m_folder + "/mnt";
        const int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        const bool sized = fd >= 0 && ftruncate(fd, kImageBytes) == 0;
        if (fd >= 0) close(fd);
        if (!sized) return "room for a sparse image at " + image + ": " + strerror(errno);
        const hostlib::Status formatted = RunProgram({mkfs, "-q", image});
        if (!formatted.ok()) return "a working " + mkfs + ": " + formatted.message();
        const hostlib::Status mountPoint = MakeDirectories(m_mountPoint);
        if (!mountPoint.ok()) return "a mount point: " + mountPoint.message();
        const hostlib::Status mounted = RunProgram({mount, "-o", "loop", image, m_mountPoint});
        if (!mounted.ok()) return "a kernel that allows loop mounts of btrfs: " + mounted.message();
        m_bMounted = true;
        return std::string();
    }
    const std::string& Folder() const { return m_folder; }
    const std::string& MountPoint() const { return m_mountPoint; }

private:
    std::string m_folder, m_mountPoint;
    bool m_bMounted = false;
};

}  // namespace

int RunDemoOnBtrfsImage(const DemoOptions& options, FILE* out,
                        int (*demo)(const DemoOptions&, FILE*)) {
    SignalsPassedOn signals;
    g_stopSignal = 0;
    int status = 1;
    {
        BtrfsImage image;
        const std::string missing = image.Make();
        if (!missing.empty()) {
            fprintf(stderr, "snapagent: error: demo --btrfs needs %s\n", missing.c_str());
        } else if (g_stopSignal == 0) {
            fprintf(out, "btrfs image: loop-mounted at %s, unmounted and removed at the end\n",
                    image.MountPoint().c_str());
            fflush(out);
            fflush(stderr);
            const pid_t child = fork();
            if (child == 0) {
                signal(SIGINT, SIG_DFL);
                signal(SIGTERM, SIG_DFL);
                signal(SIGHUP, SIG_DFL);
                setenv("TMPDIR", image.MountPoint().c_str(), 1);
                DemoOptions onImage = options;
                onImage.bBtrfs = false;
                const int done = demo(onImage, out);
                fflush(out);
                fflush(stderr);
                _exit(done);
            }
            g_child = child;
            // A signal that came between the fork and now went nowhere.
            if (child > 0 && g_stopSignal != 0) kill(child, g_stopSignal);
            int rc = 0;
            while (child > 0 && waitpid(child, &rc, 0) < 0 && errno == EINTR) {
            }
            g_child = 0;
            if (child < 0)
                fprintf(stderr, "snapagent: error: cannot start the demo: %s\n", strerror(errno));
            else
                status = WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc);
        }
    }
    if (g_stopSignal != 0)
        fprintf(stderr, "snapagent: demo stopped by signal %d; its btrfs image is removed\n",
                int(g_stopSignal));
    return g_stopSignal != 0 && status == 1 ? 128 + g_stopSignal : status;
}

}  // namespace snapagent
