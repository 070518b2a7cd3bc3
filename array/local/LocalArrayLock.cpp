#include "array/local/LocalArrayLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

using hostlib::Status;

RootLock::~RootLock() {
    if (m_fd >= 0) close(m_fd);  // releases the flock
}

bool RootLock::Open(const std::string& root) {
    if (m_fd < 0) m_fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return m_fd >= 0;
}

bool RootLock::TryAcquire(const std::string& root) {
    return Open(root) && flock(m_fd, LOCK_EX | LOCK_NB) == 0;
}

Status RootLock::Acquire(const std::string& root, unsigned waitSeconds) {
    if (!Open(root)) return Status::IOError("cannot open " + root + ": " + strerror(errno));
    // Polled rather than blocking, so that the wait has a bound.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
    for (;;) {
        if (flock(m_fd, LOCK_EX | LOCK_NB) == 0) return Status::OK();
        if (errno != EWOULDBLOCK && errno != EINTR)
            return Status::IOError("cannot lock " + root + ": " + strerror(errno));
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return Status::IOError("another process is creating or deleting a snapshot on array root " +
                           root + " (waited " + std::to_string(waitSeconds) +
                           " s); run one job at a time on a local array");
}
