#include "tools/ClientLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace snapagent {

ClientLock::~ClientLock() {
    if (m_fd >= 0) close(m_fd);
}

bool ClientLock::Acquire(const std::string& stateDir, ULONG clientId, LONGLONG jobId, bool wait,
                         std::string& error) {
    const std::string path = stateDir + "/client" + std::to_string(clientId) + ".lock";
    m_fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        error = "cannot open the client's job lock [" + path + "]: " + strerror(errno);
        return false;
    }
    int rc;
    while ((rc = flock(m_fd, LOCK_EX | (wait ? 0 : LOCK_NB))) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        const int err = errno;
        char holder[64] = {};
        const ssize_t n = pread(m_fd, holder, sizeof holder - 1, 0);
        unsigned long pid = 0;
        unsigned long long job = 0;
        const bool named = n > 0 && sscanf(holder, "%lu %llu", &pid, &job) == 2;
        if (err != EWOULDBLOCK)
            error = "cannot lock the client's job lock [" + path + "]: " + strerror(err);
        else
            error =
                "client " + std::to_string(clientId) + " is running another job" +
                (named ? " (job " + std::to_string(job) + ", process " + std::to_string(pid) + ")"
                       : "") +
                "; two jobs of one client would delete each other's snapshots: wait for it "
                "to end, or pass --wait";
        return false;
    }
    const std::string holder = std::to_string(getpid()) + " " +
                               std::to_string(static_cast<unsigned long long>(jobId)) + "\n";
    if (ftruncate(m_fd, 0) != 0 ||
        pwrite(m_fd, holder.data(), holder.size(), 0) != static_cast<ssize_t>(holder.size())) {
        error = "cannot write the client's job lock [" + path + "]: " + strerror(errno);
        return false;
    }
    return true;
}

}  // namespace snapagent
