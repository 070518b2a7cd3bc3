#include "array/local/BtrfsSendSnapDiff.h"

#include "array/local/CatalogRowOf.h"
#include "array/local/LocalArrayNames.h"
#include "array/local/LocalArrayOperator.h"

#include <fcntl.h>
#include <linux/btrfs.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

using hostlib::Status;

namespace {

// The kernel lists at most this many bytes of an inode's names at once.
constexpr size_t kInodePathsBytes = 4096;
constexpr int kStopCheckMs = 200;

std::string Parent(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string Under(const std::string& dir, const std::string& relative) {
    return relative.empty() ? dir : dir + "/" + relative;
}

// 0 when the name is not there.
Status InodeAt(const std::string& path, uint64_t& inode) {
    struct stat st;
    inode = 0;
    if (lstat(path.c_str(), &st) == 0) {
        inode = st.st_ino;
        return Status::OK();
    }
    if (errno == ENOENT) return Status::OK();
    return Status::IOError("cannot stat " + path + ": " + strerror(errno));
}

}  // namespace

BtrfsSendSnapDiff::BtrfsSendSnapDiff(const SnapDiffNaming& naming, unsigned long requestedBatchSize)
    : InodeSnapDiff(naming, requestedBatchSize) {}

BtrfsSendSnapDiff::~BtrfsSendSnapDiff() {
    EndSend();
    if (m_baseFd >= 0) close(m_baseFd);
    if (m_incrementalFd >= 0) close(m_incrementalFd);
}

// With the pipe's reading end closed, a send part-way through fails its
// next write at once, so the thread always ends.
void BtrfsSendSnapDiff::EndSend() {
    if (m_readFd >= 0) close(m_readFd);
    m_readFd = -1;
    if (m_sender.joinable()) m_sender.join();
}

Status BtrfsSendSnapDiff::Failed(const std::string& what, int error) const {
    std::string hint = error == EPERM ? " (it needs CAP_SYS_ADMIN and read-only snapshots)" : "";
    return Status::IOError("cannot compare snapshot " + EscapeSnapDiffName(Naming().strBase) +
                           " with " + EscapeSnapDiffName(Naming().strIncremental) + " of volume " +
                           Naming().strVolume + ": " + what + ": " + strerror(error) + hint);
}

Status BtrfsSendSnapDiff::Open(const std::string& baseDir, const std::string& incrementalDir,
                               const std::set<std::string>& arrayFolders) {
    m_baseDir = baseDir;
    m_incrementalDir = incrementalDir;
    m_arrayFolders = arrayFolders;
    m_tree.reset(new BtrfsSendTree(baseDir));
    m_baseFd = open(baseDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_baseFd < 0) return Failed("cannot open " + baseDir, errno);
    m_incrementalFd = open(incrementalDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_incrementalFd < 0) return Failed("cannot open " + incrementalDir, errno);
    btrfs_ioctl_ino_lookup_args lookup;
    memset(&lookup, 0, sizeof(lookup));
    lookup.objectid = BtrfsSendTree::kRootInode;
    if (ioctl(m_baseFd, BTRFS_IOC_INO_LOOKUP, &lookup) != 0)
        return Failed(baseDir + " is not a btrfs snapshot", errno);
    m_baseRoot = lookup.treeid;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return Failed("cannot make a pipe", errno);
    m_readFd = fds[0];
    const int writeFd = fds[1];
    try {
        m_sender = std::thread([this, writeFd]() {
            // A stopped session closes the pipe under the send; the write
            // that then fails must not raise SIGPIPE for the whole process.
            sigset_t pipeSignal;
            sigemptyset(&pipeSignal);
            sigaddset(&pipeSignal, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
            __u64 cloneSource = m_baseRoot;
            btrfs_ioctl_send_args args;
            memset(&args, 0, sizeof(args));
            args.send_fd = writeFd;
            args.clone_sources_count = 1;
            args.clone_sources = &cloneSource;
            args.parent_root = m_baseRoot;
            args.flags = BTRFS_SEND_FLAG_NO_FILE_DATA;
            m_sendError = ioctl(m_incrementalFd, BTRFS_IOC_SEND, &args) == 0 ? 0 : errno;
            close(writeFd);
        });
    } catch (const std::system_error& e) {
        close(writeFd);
        return Failed("cannot start the send", e.code().value());
    }
    m_nextInode = m_tree->Named().end();
    return Status::OK();
}

Status BtrfsSendSnapDiff::ReadStream() {
    btrfssend::SendStreamParser parser(
        [this](const btrfssend::SendCommand& command) { return m_tree->Apply(command); });
    std::vector<char> chunk(64 << 10);
    Status status;
    for (;;) {
        if (LocalArrayStopRequested())
            return Status::Aborted(
                "stopped at the operator's request during the comparison of "
                "snapshot " +
                EscapeSnapDiffName(Naming().strIncremental) + " of volume " + Naming().strVolume);
        pollfd ready = {m_readFd, POLLIN, 0};
        int polled = poll(&ready, 1, kStopCheckMs);
        if (polled < 0 && errno != EINTR) return Failed("cannot wait for the send", errno);
        if (polled <= 0) continue;
        ssize_t got = read(m_readFd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return Failed("cannot read the send stream", errno);
        if (got == 0) break;
        status = parser.Feed(chunk.data(), size_t(got));
        if (!status.ok()) return status;
    }
    EndSend();
    if (m_sendError != 0) return Failed("the send failed", m_sendError);
    return parser.Finish();
}

bool BtrfsSendSnapDiff::ArrayOwned(const std::string& path) const {
    for (const std::string& folder : m_arrayFolders) {
        std::string own = folder.empty() ? ".snapshot" : folder + "/.snapshot";
        if (path == own || path.compare(0, own.size() + 1, own + "/") == 0) return true;
    }
    return false;
}

Status BtrfsSendSnapDiff::RowsOf(int rootFd, const std::string& rootDir, uint64_t inode,
                                 std::vector<CatalogRow>& rows) const {
    rows.clear();
    // The volume root has no name in a directory; it is the row of path "".
    if (inode == BtrfsSendTree::kRootInode) {
        LiveTreeEntry entry;
        Status status = IdentifyLiveItem(rootDir, entry);
        if (status.ok()) rows.push_back(BtrfsSnapshotRowOf(entry));
        return status;
    }
    alignas(8) char buffer[kInodePathsBytes];
    btrfs_ioctl_ino_path_args args;
    memset(&args, 0, sizeof(args));
    args.inum = inode;
    args.size = sizeof(buffer);
    args.fspath = reinterpret_cast<uintptr_t>(buffer);
    if (ioctl(rootFd, BTRFS_IOC_INO_PATHS, &args) != 0) {
        if (errno == ENOENT) return Status::OK();
        return Failed("cannot list the names of inode " + std::to_string(inode), errno);
    }
    const btrfs_data_container* names = reinterpret_cast<const btrfs_data_container*>(buffer);
    if (names->elem_missed != 0)
        return Failed("inode " + std::to_string(inode) + " has more names than btrfs lists at once",
                      E2BIG);
    const char* base = reinterpret_cast<const char*>(names->val);
    for (uint32_t i = 0; i < names->elem_cnt; ++i) {
        if (names->val[i] >= sizeof(buffer) - offsetof(btrfs_data_container, val))
            return Failed(
                "btrfs listed a name of inode " + std::to_string(inode) + " outside its buffer",
                EIO);
        const char* name = base + names->val[i];
        size_t room = size_t(buffer + sizeof(buffer) - name);
        LiveTreeEntry entry;
        entry.strPath.assign(name, strnlen(name, room));
        if (ArrayOwned(entry.strPath)) continue;
        Status status = IdentifyLiveItem(Under(rootDir, entry.strPath), entry);
        if (!status.ok()) return status;
        if (entry.st.st_ino != inode || SnapDiffFileType(entry.st.st_mode) == 0) continue;
        LiveTreeEntry parent;
        status = IdentifyLiveItem(Under(rootDir, Parent(entry.strPath)), parent);
        if (!status.ok()) return status;
        entry.ullParentInode = parent.st.st_ino;
        entry.ullParentGeneration = parent.ullGeneration;
        rows.push_back(BtrfsSnapshotRowOf(entry));
    }
    std::sort(rows.begin(), rows.end(), CatalogRowLess);
    return Status::OK();
}

// A directory's names are what the stream added or removed in it; each is
// looked up in both snapshots, since one put back as it was is no change.
Status BtrfsSendSnapDiff::NamesChanged(uint64_t directory, const std::string& basePath,
                                       const std::string& incrementalPath, bool& changed) const {
    changed = false;
    const std::map<std::string, uint64_t>* touched = m_tree->TouchedNames(directory);
    if (!touched) return Status::OK();
    for (const auto& name : *touched) {
        std::string relative =
            incrementalPath.empty() ? name.first : incrementalPath + "/" + name.first;
        if (ArrayOwned(relative)) continue;
        uint64_t before = 0, after = 0;
        Status status = InodeAt(Under(m_baseDir, Under(basePath, name.first)), before);
        if (status.ok()) status = InodeAt(Under(m_incrementalDir, relative), after);
        if (!status.ok()) return status;
        if (before != after) {
            changed = true;
            break;
        }
    }
    return Status::OK();
}

Status BtrfsSendSnapDiff::Refill() {
    if (!m_bRead) {
        Status status = ReadStream();
        if (!status.ok()) return status;
        m_bRead = true;
        m_nextInode = m_tree->Named().begin();
    }
    while (!Pending() && m_nextInode != m_tree->Named().end()) {
        const uint64_t inode = *m_nextInode++;
        if (inode < BtrfsSendTree::kRootInode) continue;
        Status status = RowsOf(m_baseFd, m_baseDir, inode, m_baseRows);
        if (status.ok())
            status = RowsOf(m_incrementalFd, m_incrementalDir, inode, m_incrementalRows);
        if (!status.ok()) return status;
        if (m_incrementalRows.empty()) {
            QueueAll(m_baseRows, kChangeTextDeleted);
        } else if (m_baseRows.empty()) {
            QueueAll(m_incrementalRows, kChangeTextCreated);
        } else if (!SameInode(m_baseRows.front(), m_incrementalRows.front())) {
            // A new inode in the number (another generation): in catalog
            // order, the lesser generation's names first.
            const bool baseFirst = CatalogRowLess(m_baseRows.front(), m_incrementalRows.front());
            if (baseFirst) QueueAll(m_baseRows, kChangeTextDeleted);
            QueueAll(m_incrementalRows, kChangeTextCreated);
            if (!baseFirst) QueueAll(m_baseRows, kChangeTextDeleted);
        } else {
            bool changed = m_tree->Written(inode);
            if (!changed && m_incrementalRows.front().uiFileType == 2 &&
                m_baseRows.front().uiFileType == 2)
                status = NamesChanged(inode, m_baseRows.front().strPath,
                                      m_incrementalRows.front().strPath, changed);
            if (!status.ok()) return status;
            Compare(m_baseRows, m_incrementalRows, changed);
        }
    }
    return Status::OK();
}
