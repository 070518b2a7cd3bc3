#include "tools/ClientLock.h"

#include "tools/ReadDecimal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <string_view>

using hostlib::Status;

namespace snapagent {
namespace {

// The holder a lock file names, "<pid> <job>\n" as Acquire writes it; false
// for anything else (a file written by hand, or cut short), which the
// error then leaves out rather than name a process that is not the holder.
bool ReadHolder(std::string_view text, unsigned long& pid, unsigned long long& job) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    const size_t space = text.find(' ');
    return space != std::string_view::npos && ReadDecimal(text.substr(0, space), pid) &&
           ReadDecimal(text.substr(space + 1), job);
}

}  // namespace

ClientLock::~ClientLock() {
    if (m_fd >= 0) close(m_fd);
}

Status ClientLock::Acquire(const std::string& stateDir, ULONG clientId, LONGLONG jobId, bool wait) {
    const std::string path = stateDir + "/client" + std::to_string(clientId) + ".lock";
    m_fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_fd < 0)
        return Status::IOError("cannot open the client's job lock [" + path +
                               "]: " + strerror(errno));
    int rc;
    while ((rc = flock(m_fd, LOCK_EX | (wait ? 0 : LOCK_NB))) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        const int err = errno;
        if (err != EWOULDBLOCK)
            return Status::IOError("cannot lock the client's job lock [" + path +
                                   "]: " + strerror(err));
        char holder[64];
        const ssize_t n = pread(m_fd, holder, sizeof holder, 0);
        unsigned long pid = 0;
        unsigned long long job = 0;
        const bool named = n > 0 && ReadHolder(std::string_view(holder, size_t(n)), pid, job);
        const std::string what = job == kSnapshotDeletionJob ? "snapagent snapshots --delete"
                                                             : "job " + std::to_string(job);
        return Status::IOError(
            "client " + std::to_string(clientId) + " is running another job" +
            (named ? " (" + what + ", process " + std::to_string(pid) + ")" : "") +
            "; two jobs of one client would delete each other's snapshots: wait for it "
            "to end, or pass --wait");
    }
    const std::string holder = std::to_string(getpid()) + " " +
                               std::to_string(static_cast<unsigned long long>(jobId)) + "\n";
    if (ftruncate(m_fd, 0) != 0 ||
        pwrite(m_fd, holder.data(), holder.size(), 0) != static_cast<ssize_t>(holder.size()))
        return Status::IOError("cannot write the client's job lock [" + path +
                               "]: " + strerror(errno));
    return Status::OK();
}

}  // namespace snapagent
